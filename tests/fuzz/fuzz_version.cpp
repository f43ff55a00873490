// fuzz_version.cpp - the agent's version text into the daemon's buffers (fuzz/parser_checks.h).
#include "fuzz/fuzz_text.h"
#include "fuzz/parser_checks.h"
FUZZ_TEXT(parser_checks::version_violation(text.c_str()))
