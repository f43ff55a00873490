// discovered_check.h - what must hold after cjson_parse_and_fetch_ex for any
// text; shared by the kjson test, the corpus replay and the fuzz target.
#pragma once

#include <cstring>
#include <span>
#include <vector>

#include "kjson.h"

// The first broken rule, or nullptr: filled records cleared and their texts terminated,
// counts in range, no record beyond them written. The 2.3 MB table is kept between
// calls (*table, *n: what this call filled); only the records filled are reset.
inline const char *discovered_violation(const char *text, const DiscoveredDevice **table_out = nullptr, int *n = nullptr)
{
    constexpr unsigned char sentinel = 0xA5;
    static auto *table = new DiscoveredDevice[KJSON_MAX_DEVICES];
    static int filled = KJSON_MAX_DEVICES;  // the first call sets every record
    std::memset(static_cast<void *>(table), sentinel, sizeof *table * size_t(filled));
    int dev_drop = -1, mac_drop = -1;
    filled = cjson_parse_and_fetch_ex(text, KJSON_KIND_DISCOVERED, table, &dev_drop, &mac_drop);
    if (table_out)
        *table_out = table, *n = filled;
    if (filled < 0 || filled > KJSON_MAX_DEVICES)
        return filled = 0, "record count out of range";
    if (dev_drop < 0 || mac_drop < 0 || (dev_drop > 0 && filled != KJSON_MAX_DEVICES))
        return "drop counts inconsistent";
    auto ended = [](const char *s, size_t width) { return std::memchr(s, '\0', width) != nullptr; };
    for (const DiscoveredDevice &d : std::span(table, filled)) {
        if (d.mac_count < 0 || d.mac_count > KJSON_MAX_MACS)
            return "mac_count out of range";
        for (const char *s : {d.did, d.display_name, d.device_type, d.manufacturer, d.os, d.ds_version})
            if (!ended(s, s == d.did ? sizeof d.did : sizeof d.os))
                return "device text not terminated or not cleared";
        for (const DeviceAddress &a : d.mac_list)
            if (!ended(a.mac, sizeof a.mac) || !ended(a.ip, sizeof a.ip))
                return "address text not terminated or not cleared";
    }
    static const std::vector<unsigned char> untouched(sizeof *table, sentinel);
    for (int i = filled; i < KJSON_MAX_DEVICES; ++i)
        if (std::memcmp(&table[i], untouched.data(), untouched.size()) != 0)
            return "record beyond those filled was written";
    return nullptr;
}
