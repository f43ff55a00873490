// fuzz_q7ctl_args.cpp - q7ctl's command line, split at NUL bytes (fuzz/parser_checks.h).
#include "fuzz/fuzz_text.h"
#include "fuzz/parser_checks.h"
FUZZ_TEXT(parser_checks::q7ctl_violation(text))
