// discovered_check.h - what must hold after cjson_parse_and_fetch_ex for any
// text; shared by the kjson test, the corpus replay and the fuzz target.
#pragma once

#include <cstring>

#include "kjson.h"

struct Fetched {
    const DiscoveredDevice *table;
    int n, dev_drop, mac_drop;
};

// The first broken rule, or nullptr: filled records are cleared and their
// texts terminated, the counts in range, no record beyond them written. The
// 2.3 MB table is kept between calls; only the records filled are reset.
inline const char *discovered_violation(const char *text, Fetched *out = nullptr)
{
    constexpr unsigned char sentinel = 0xA5;
    static DiscoveredDevice *table = static_cast<DiscoveredDevice *>(std::memset(
        static_cast<void *>(new DiscoveredDevice[KJSON_MAX_DEVICES]), sentinel, sizeof(DiscoveredDevice) * KJSON_MAX_DEVICES));
    static int filled = 0;
    std::memset(static_cast<void *>(table), sentinel, sizeof(DiscoveredDevice) * size_t(filled));
    int dev_drop = -1, mac_drop = -1;
    filled = cjson_parse_and_fetch_ex(text, KJSON_KIND_DISCOVERED, table, &dev_drop, &mac_drop);
    if (out)
        *out = {table, filled, dev_drop, mac_drop};
    if (filled < 0 || filled > KJSON_MAX_DEVICES)
        return filled = 0, "record count out of range";
    if (dev_drop < 0 || mac_drop < 0 || (dev_drop > 0 && filled != KJSON_MAX_DEVICES))
        return "drop counts inconsistent";
    auto terminated = [](const char *s, size_t width) { return std::memchr(s, '\0', width) != nullptr; };
    for (int i = 0; i < filled; ++i) {
        const DiscoveredDevice &d = table[i];
        if (d.mac_count < 0 || d.mac_count > KJSON_MAX_MACS)
            return "mac_count out of range";
        for (const char *s : {d.did, d.display_name, d.device_type, d.manufacturer, d.os, d.ds_version})
            if (!terminated(s, s == d.did ? sizeof d.did : sizeof d.os))
                return "device text not terminated";
        for (const DeviceAddress &a : d.mac_list)
            if (!terminated(a.mac, sizeof a.mac) || !terminated(a.ip, sizeof a.ip))
                return "address text not terminated or not cleared";
    }
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(table + filled);
         p < reinterpret_cast<const unsigned char *>(table + KJSON_MAX_DEVICES); ++p)
        if (*p != sentinel)
            return "record beyond those filled was written";
    return nullptr;
}
