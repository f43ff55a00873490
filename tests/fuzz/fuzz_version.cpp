/*
 * fuzz_version.cpp - the agent's version text into the daemon's version and patch
 * level buffers: both stay terminated within their bounds.
 */
#include "fuzz/fuzz_text.h"
#include "fuzz/parser_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz_text(data, size, parser_checks::version_violation, "fuzz_version");
}
