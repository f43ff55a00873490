// kjson: the agent's discovered-device list into the daemon's 256-record table. (Records
// to JSON, the import's bounds and lists that are no list are checked where the daemon
// sends and imports them.)
#include <gtest/gtest.h>

#include <span>
#include <string>
#include <vector>

#include "discovered_check.h"

namespace {

// The count, then each record: members, MACs, MAC count.
std::string fetch(const char *text)
{
    const DiscoveredDevice *table = nullptr;
    int n = 0;
    EXPECT_STREQ(discovered_violation(text, &table, &n), nullptr);
    std::string s = std::to_string(n);
    for (const DiscoveredDevice &d : std::span(table, n)) {
        s += std::string(" ") + d.did + "|" + d.display_name + "|" + d.device_type + "|" + d.manufacturer + "|" + d.os +
             "|" + d.ds_version + "|" + std::to_string(d.traffic_blocked);
        for (const DeviceAddress &a : std::span(d.mac_list, d.mac_count))
            s += std::string("|") + a.mac + "/" + a.ip;
        s += "|#" + std::to_string(d.mac_count);
    }
    return s;
}

}  // namespace

TEST(KjsonFetch, FillsRecordsWithinTheirBounds)
{
    const std::pair<std::string, std::string> rows[] = {
        {R"([{"did":"did-1","display_name":"Phone","device_type":"phone","manufacturer":"Acme","os":"Android",
            "ds_version":"3.1","traffic_blocked":1,"mac_list":[{"mac":"AA:AA:AA:AA:AA:01","ip":"192.168.1.2"},
            {"mac":"AA:AA:AA:AA:AA:02","ip":"192.168.1.3"}]}, {"did":"did-2","mac_list":[]}])",
         "2 did-1|Phone|phone|Acme|Android|3.1|1|AA:AA:AA:AA:AA:01/192.168.1.2|AA:AA:AA:AA:AA:02/192.168.1.3|#2"
         " did-2||||||0|#0"},
        // Wrong types stay zero, names are case-sensitive, only objects count, numbers are clamped.
        {R"([1, "x", null, {"did":7,"display_name":null,"os":["a"],"traffic_blocked":"1","mac_list":{"mac":"AA"}},
            {"DID":"upper","traffic_blocked":1e12,"mac_list":[3,{"mac":5,"ip":"10.0.0.9"},"z",{}]}])",
         "2 ||||||0|#0 ||||||2147483647|/10.0.0.9|/|#2"},
        // Cut to the width, never inside a UTF-8 sequence ("é" is two bytes).
        {R"([{"did":")" + std::string(500, 'd') + R"(","display_name":"aéééééééééééééééé","mac_list":[{"mac":")" +
             std::string(100, 'm') + R"(","ip":"1.2.3.4"}]}])",
         "1 " + std::string(64, 'd') + "|aééééééééééééééé|||||0|" + std::string(17, 'm') + "/1.2.3.4|#1"},
        {R"([{"did":"x","os":)" + std::string(990, '[') + std::string(990, ']') + "}]", "1 x||||||0|#0"},
        {"[{\"did\":\"\xC3\x28\xFF\"}]", "1 \xC3\x28\xFF||||||0|#0"},  // bytes pass through
        {"[{\"did\":\"x\"}", "0"}, {std::string(5000, '[') + std::string(5000, ']'), "0"},  // cut short, too deep
    };
    for (const auto &[text, want] : rows)
        EXPECT_EQ(fetch(text.c_str()), want) << text.substr(0, 60);
    EXPECT_EQ(fetch(nullptr), "0");
    std::vector<DiscoveredDevice> table(KJSON_MAX_DEVICES);
    EXPECT_EQ(cjson_parse_and_fetch(rows[0].first.c_str(), KJSON_KIND_DEVICE_ONLINE, table.data()), 0);
    EXPECT_EQ(cjson_parse_and_fetch(rows[0].first.c_str(), KJSON_KIND_DISCOVERED, nullptr), 0);
}
