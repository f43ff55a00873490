/*
 * fuzz_pidfile.cpp - the pid file's text as the daemon reads it: a pid in
 * 1..99999999 that the text holds, or a refusal.
 */
#include "fuzz/fuzz_text.h"
#include "fuzz/parser_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz_text(data, size, parser_checks::pid_violation, "fuzz_pidfile");
}
