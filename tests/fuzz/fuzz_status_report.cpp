// fuzz_status_report.cpp - the agent's status report as the daemon logs it (fuzz/parser_checks.h).
#include "fuzz/fuzz_text.h"
#include "fuzz/parser_checks.h"
FUZZ_TEXT(parser_checks::status_report_violation(text.c_str()))
