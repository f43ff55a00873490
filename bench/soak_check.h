/*
 * soak_check.h - whether the agent was told what Q7 holds about the client
 * devices and the protection switch: the soak's check that nothing was lost
 * across restarts.
 */
#ifndef TSH_BENCH_SOAK_CHECK_H
#define TSH_BENCH_SOAK_CHECK_H

#include "q7lib.h"

#include <cjson/cJSON.h>

#include <optional>
#include <string>
#include <vector>

namespace bench {

// A row's settings the agent hears of: its display name, its block
// setting, its online state.
enum Setting : unsigned { kName = 1, kBlock = 2, kOnline = 4, kEverySetting = 7 };

// One device row as Q7 holds it, in the text forms of q7_get_text.
struct DeviceRow {
    std::string mac, state, block;  // Wexsignature: DeviceMAC, Devicestate, AllowOrBlock
    std::string uuid, name;         // DeviceIdList: DeviceUUID, DisplayNameCustom
    // The settings to compare: the agent knows only of those the daemon
    // was told of, and it is told of a setting when it changes.
    unsigned compared = kEverySetting;
};
struct Q7View {
    std::vector<DeviceRow> rows;  // rows 0 to N-1
    std::string protection;       // TelvaStatus.protectionStatus
};
// Rows 0 to devices-1 and the protection state; nothing when a read fails.
std::optional<Q7View> read_q7_view(q7_handle *q7, unsigned devices);
// The view as TABLE.ROW.FIELD=VALUE lines, as q7ctl shows them.
std::string view_text(const Q7View &view);

struct Agreement {
    std::vector<std::string> mismatches;  // one line each
    unsigned names = 0, blocks = 0, online = 0;           // rows that agree
    unsigned names_of = 0, blocks_of = 0, online_of = 0;  // rows compared
    bool protection = false;
    bool agrees() const { return mismatches.empty(); }
    // "agree: names 32/32, blocks 32/32, online 32/32, protection yes; mismatches 0"
    std::string summary() const;
};
// Per row, of the settings it compares: the display name and the block setting ("block" is
// traffic_blocked 1, anything else 0) in the agent's device_info by UUID,
// the online state in its online list by MAC (every state but DOWN is
// online); then the agent's protection against Q7's protectionStatus.
// `agent` is the agent's state.
Agreement compare(const Q7View &q7, const cJSON *agent);

}  // namespace bench

#endif
