// fuzz_pidfile.cpp - the pid file's text as the daemon reads it (fuzz/parser_checks.h).
#include "fuzz/fuzz_text.h"
#include "fuzz/parser_checks.h"
FUZZ_TEXT(parser_checks::pid_violation(text.c_str()))
