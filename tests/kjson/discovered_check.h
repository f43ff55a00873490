/*
 * discovered_check.h - the bounds invariants of a discovered-device table
 * after cjson_parse_and_fetch_ex, shared by the unit tests (corpus replay)
 * and the fuzz target.
 */
#ifndef DISCOVERED_CHECK_H
#define DISCOVERED_CHECK_H

#include <cstring>

#include "kjson.h"

// The first broken invariant, or nullptr. `table` has KJSON_MAX_DEVICES
// records, all set to `sentinel` bytes before the call that returned
// `filled`.
inline const char *discovered_violation(const DiscoveredDevice *table, int filled,
                                        unsigned char sentinel)
{
    auto terminated = [](const char *text, size_t width) {
        return std::memchr(text, '\0', width) != nullptr;
    };
    if (filled < 0 || filled > KJSON_MAX_DEVICES)
        return "record count out of range";
    for (int i = 0; i < filled; ++i) {
        const DiscoveredDevice &d = table[i];
        if (d.mac_count < 0 || d.mac_count > KJSON_MAX_MACS)
            return "mac_count out of range";
        for (const char *text : {d.did, d.display_name, d.device_type, d.manufacturer, d.os, d.ds_version})
            if (!terminated(text, text == d.did ? sizeof d.did : sizeof d.os))
                return "device text not terminated";
        for (const DeviceAddress &a : d.mac_list)
            if (!terminated(a.mac, sizeof a.mac) || !terminated(a.ip, sizeof a.ip))
                return "address text not terminated";
    }
    unsigned char untouched[sizeof(DiscoveredDevice)];
    std::memset(untouched, sentinel, sizeof untouched);
    for (int i = filled; i < KJSON_MAX_DEVICES; ++i)
        if (std::memcmp(&table[i], untouched, sizeof untouched) != 0)
            return "record beyond those filled was written";
    return nullptr;
}

#endif
