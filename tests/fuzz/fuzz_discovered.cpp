/*
 * fuzz_discovered.cpp - the agent's discovered-device text into the
 * 256-record table: no out-of-bounds access, and the bounds invariants hold
 * for every input (see kjson/discovered_check.h).
 */
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kjson/discovered_check.h"

namespace {

constexpr unsigned char sentinel = 0xA5;

// Kept between inputs and restored after each: resetting only the filled
// records keeps the 2.3 MB table cheap per run.
DiscoveredDevice table[KJSON_MAX_DEVICES];
bool table_ready = false;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!table_ready) {
        std::memset(static_cast<void *>(table), sentinel, sizeof table);
        table_ready = true;
    }
    const std::string text(reinterpret_cast<const char *>(data), size); // NUL-terminated copy
    int dev_drop = -1;
    int mac_drop = -1;
    int filled = cjson_parse_and_fetch_ex(text.c_str(), KJSON_KIND_DISCOVERED, table, &dev_drop, &mac_drop);
    const char *problem = discovered_violation(table, filled, sentinel);
    if (!problem && (dev_drop < 0 || mac_drop < 0 || (dev_drop > 0 && filled != KJSON_MAX_DEVICES)))
        problem = "drop counts inconsistent";
    if (problem) {
        std::fprintf(stderr, "fuzz_discovered: %s (filled %d)\n", problem, filled);
        std::abort();
    }
    std::memset(static_cast<void *>(table), sentinel, sizeof(DiscoveredDevice) * static_cast<size_t>(filled));
    return 0;
}
