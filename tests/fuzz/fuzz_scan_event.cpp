/*
 * fuzz_scan_event.cpp - the agent's scan status event as the daemon takes it
 * apart. No Q7 connection is open, so each write fails at once and only the
 * parsing runs; the sanitizers are the check.
 */
#include "fuzz/fuzz_text.h"
#include "tsh_agent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    return fuzz_text(data, size, [](const char *text) -> const char * {
        update_scan_status_from_raw_response(text);
        return nullptr;
    }, "fuzz_scan_event");
}
