/*
 * fuzz_status_report.cpp - the agent's status report as the daemon logs it: read
 * exactly when it is JSON, whatever its members hold.
 */
#include "fuzz/fuzz_text.h"
#include "fuzz/parser_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz_text(data, size, parser_checks::status_report_violation, "fuzz_status_report");
}
