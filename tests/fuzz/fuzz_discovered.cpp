// fuzz_discovered.cpp - the agent's discovered-device text into the 256-record table (kjson/discovered_check.h).
#include "fuzz/fuzz_text.h"
#include "kjson/discovered_check.h"
FUZZ_TEXT(discovered_violation(text.c_str()))
