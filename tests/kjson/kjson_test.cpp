/*
 * kjson_test.cpp - records to JSON and the discovered-device import: member
 * names and values, count and container rules, bounds, hostile input, and a
 * replay of the fuzz corpus.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "discovered_check.h"
#include "kjson.h"

namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

JsonPtr object() { return JsonPtr(cJSON_CreateObject(), cJSON_Delete); }
JsonPtr array() { return JsonPtr(cJSON_CreateArray(), cJSON_Delete); }

std::string print(const cJSON *item)
{
    char *text = cJSON_PrintUnformatted(item);
    std::string s = text ? text : "<null>";
    cJSON_free(text);
    return s;
}

// Fills a fresh object (count <= 1) or array and prints it.
std::string create(int kind, const void *records, int count)
{
    JsonPtr target = count > 1 ? array() : object();
    int rc = cjson_create_json_file(target.get(), kind, records, count);
    return rc == KJSON_OK ? print(target.get()) : "error " + std::to_string(rc);
}

// Lays text into a fixed member without the terminator when it fills it.
template <size_t N> void put(char (&field)[N], const std::string &text)
{
    std::memset(field, 0, N);
    std::memcpy(field, text.data(), std::min(N, text.size()));
}

// Every member of a record on one line; the first MACs and the MAC count last.
std::string summary(const DiscoveredDevice &d)
{
    std::string s = std::string(d.did) + "|" + d.display_name + "|" + d.device_type + "|" + d.manufacturer + "|" +
                    d.os + "|" + d.ds_version + "|" + std::to_string(d.traffic_blocked);
    for (int i = 0; i < d.mac_count && i < 2; ++i)
        s += std::string("|") + d.mac_list[i].mac + "/" + d.mac_list[i].ip;
    return s + "|#" + std::to_string(d.mac_count);
}

// A whole table, every byte set to `sentinel`, so writes are visible.
constexpr unsigned char sentinel = 0xA5;
struct Table {
    std::vector<DiscoveredDevice> rec = std::vector<DiscoveredDevice>(KJSON_MAX_DEVICES);
    Table() { std::memset(static_cast<void *>(rec.data()), sentinel, rec.size() * sizeof rec[0]); }
    DiscoveredDevice *data() { return rec.data(); }
};

std::string repeat(const std::string &part, int n, const std::string &sep = ",")
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += (i ? sep : "") + part;
    return out;
}

// One device "d" whose MACs are 02:00:00:00:HH:LL for 0..macs-1.
std::string device_with_macs(int macs)
{
    std::string list;
    for (int i = 0; i < macs; ++i) {
        char entry[64];
        std::snprintf(entry, sizeof entry, "%s{\"mac\":\"02:00:00:00:%02X:%02X\",\"ip\":\"10.0.0.1\"}",
                      i ? "," : "", i >> 8, i & 0xFF);
        list += entry;
    }
    return "{\"did\":\"d\",\"mac_list\":[" + list + "]}";
}

} // namespace

TEST(KjsonCreate, MembersOfEveryKind)
{
    deviceinfo di{};
    put(di.uuid, "uuid-1");
    put(di.display_name, "Kitchen \"TV\"");
    di.traffic_blocked = 1;
    EXPECT_EQ(create(KJSON_KIND_DEVICE_INFO, &di, 1),
              R"({"uuid":"uuid-1","display_name":"Kitchen \"TV\"","traffic_blocked":1})");
    di.traffic_blocked = KJSON_TRAFFIC_BLOCKED_UNSET;
    put(di.display_name, "");
    EXPECT_EQ(create(KJSON_KIND_DEVICE_INFO, &di, 1), R"({"uuid":"uuid-1","display_name":""})");

    SatelliteMac sat{};
    put(sat.mac, "AA:BB:CC:DD:EE:FF");
    EXPECT_EQ(create(KJSON_KIND_SATELLITE_MAC, &sat, 1), R"({"mac":"AA:BB:CC:DD:EE:FF"})");
}

TEST(KjsonCreate, OneRecordFillsObjectSeveralFillArrayInOrder)
{
    deviceonline d[2]{};
    for (int i = 0; i < 2; ++i) {
        put(d[i].mac, "AA:BB:CC:DD:EE:0" + std::to_string(i));
        put(d[i].ip, "192.168.1.1" + std::to_string(i));
        put(d[i].interface, "br-lan");
        put(d[i].dhcp_hostname, "host" + std::to_string(i));
        d[i].is_online = i;
    }
    const std::string first = R"({"mac":"AA:BB:CC:DD:EE:00","ip":"192.168.1.10","interface":"br-lan",)"
                              R"("dhcp_hostname":"host0","is_online":0})";
    const std::string second = R"({"mac":"AA:BB:CC:DD:EE:01","ip":"192.168.1.11","interface":"br-lan",)"
                               R"("dhcp_hostname":"host1","is_online":1})";
    EXPECT_EQ(create(KJSON_KIND_DEVICE_ONLINE, d, 1), first);
    EXPECT_EQ(create(KJSON_KIND_DEVICE_ONLINE, d, 2), "[" + first + "," + second + "]");
    EXPECT_EQ(create(KJSON_KIND_DEVICE_ONLINE, d, 0), "{}");
}

TEST(KjsonCreate, TextFillingItsWidthIsNotReadPastTheMember)
{
    deviceinfo di{};
    put(di.uuid, std::string(64, 'u'));
    put(di.display_name, std::string(64, 'n'));
    di.traffic_blocked = 0;
    EXPECT_EQ(create(KJSON_KIND_DEVICE_INFO, &di, 1), R"({"uuid":")" + std::string(64, 'u') +
                                                           R"(","display_name":")" + std::string(64, 'n') +
                                                           R"(","traffic_blocked":0})");
    // The last member of a heap record: a read past it is caught by ASan.
    auto sat = std::make_unique<SatelliteMac>();
    std::memset(sat->mac, 'm', sizeof sat->mac);
    EXPECT_EQ(create(KJSON_KIND_SATELLITE_MAC, sat.get(), 1), R"({"mac":")" + std::string(18, 'm') + "\"}");
}

TEST(KjsonCreate, RejectedCallsLeaveTargetUntouched)
{
    deviceonline d[2]{};
    JsonPtr o = object();
    JsonPtr a = array();
    cJSON_AddStringToObject(o.get(), "keep", "me");
    const std::string before = print(o.get());

    EXPECT_EQ(cjson_create_json_file(nullptr, KJSON_KIND_DEVICE_ONLINE, d, 1), KJSON_EINVAL);
    EXPECT_EQ(cjson_create_json_file(o.get(), KJSON_KIND_DEVICE_ONLINE, nullptr, 1), KJSON_EINVAL);
    EXPECT_EQ(cjson_create_json_file(o.get(), KJSON_KIND_DEVICE_ONLINE, d, -1), KJSON_EINVAL);
    for (int kind : {0, 9, int(KJSON_KIND_DISCOVERED), -7})
        EXPECT_EQ(cjson_create_json_file(o.get(), kind, d, 1), KJSON_EINVAL) << kind;
    EXPECT_EQ(cjson_create_json_file(o.get(), KJSON_KIND_DEVICE_ONLINE, d, 2), KJSON_EMISMATCH);
    EXPECT_EQ(cjson_create_json_file(a.get(), KJSON_KIND_DEVICE_ONLINE, d, 1), KJSON_EMISMATCH);

    EXPECT_EQ(print(o.get()), before);
    EXPECT_EQ(print(a.get()), "[]");
}

TEST(KjsonFetch, FillsEveryMemberAndMacsInOrder)
{
    const char *text = R"([{"did":"did-1","display_name":"Phone","device_type":"phone",
        "manufacturer":"Acme","os":"Android","ds_version":"3.1","traffic_blocked":1,
        "mac_list":[{"mac":"AA:AA:AA:AA:AA:01","ip":"192.168.1.2"},
                    {"mac":"AA:AA:AA:AA:AA:02","ip":"192.168.1.3"}]},
        {"did":"did-2","mac_list":[]}])";
    Table t;
    int dev_drop = -1, mac_drop = -1;
    ASSERT_EQ(cjson_parse_and_fetch_ex(text, KJSON_KIND_DISCOVERED, t.data(), &dev_drop, &mac_drop), 2);
    EXPECT_EQ(dev_drop, 0);
    EXPECT_EQ(mac_drop, 0);
    EXPECT_EQ(summary(t.rec[0]),
              "did-1|Phone|phone|Acme|Android|3.1|1|AA:AA:AA:AA:AA:01/192.168.1.2|AA:AA:AA:AA:AA:02/192.168.1.3|#2");
    EXPECT_EQ(summary(t.rec[1]), "did-2||||||0|#0");
    EXPECT_STREQ(discovered_violation(t.data(), 2, sentinel), nullptr);
}

// At and one over each bound: 256/257 devices of one MAC, 2 devices of 256/257 MACs.
TEST(KjsonFetch, StopsAtBoundsAndCountsTheRest)
{
    for (int extra : {0, 1}) {
        Table t;
        int dev_drop = -1, mac_drop = -1;
        std::string text = "[" + repeat(device_with_macs(1), KJSON_MAX_DEVICES + extra) + "]";
        EXPECT_EQ(cjson_parse_and_fetch_ex(text.c_str(), KJSON_KIND_DISCOVERED, t.data(), &dev_drop, &mac_drop),
                  KJSON_MAX_DEVICES);
        EXPECT_EQ(dev_drop, extra);
        EXPECT_EQ(mac_drop, 0);
        EXPECT_STREQ(discovered_violation(t.data(), KJSON_MAX_DEVICES, sentinel), nullptr);

        Table u;
        text = "[" + repeat(device_with_macs(KJSON_MAX_MACS + extra), 2) + "]";
        ASSERT_EQ(cjson_parse_and_fetch_ex(text.c_str(), KJSON_KIND_DISCOVERED, u.data(), &dev_drop, &mac_drop), 2);
        EXPECT_EQ(mac_drop, 2 * extra);
        EXPECT_EQ(u.rec[0].mac_count, KJSON_MAX_MACS);
        EXPECT_STREQ(u.rec[0].mac_list[255].mac, "02:00:00:00:00:FF");
        EXPECT_EQ(u.rec[1].mac_count, KJSON_MAX_MACS); // the device after a cut one is intact
        EXPECT_STREQ(discovered_violation(u.data(), 2, sentinel), nullptr);
    }
}

TEST(KjsonFetch, WrongTypesMissingMembersAndStrayElementsAreSkipped)
{
    const char *text = R"([1, "x", null, [], {"did":7,"display_name":null,"os":["a"],"traffic_blocked":"1",
        "mac_list":{"mac":"AA"}},
        {"DID":"upper","traffic_blocked":true,"mac_list":[3,{"mac":5,"ip":"10.0.0.9"},"z",{}]},
        {"traffic_blocked":1e12}])";
    Table t; // dirty: the filled records must be cleared, not trusted
    ASSERT_EQ(cjson_parse_and_fetch(text, KJSON_KIND_DISCOVERED, t.data()), 3);
    EXPECT_EQ(summary(t.rec[0]), "||||||0|#0");
    // Member names are case-sensitive; only object entries count as MACs.
    EXPECT_EQ(summary(t.rec[1]), "||||||0|/10.0.0.9|/|#2");
    EXPECT_EQ(t.rec[2].traffic_blocked, INT32_MAX); // clamped, not undefined
    EXPECT_STREQ(discovered_violation(t.data(), 3, sentinel), nullptr);
}

TEST(KjsonFetch, LongTextsAreCutAndTerminated)
{
    // "é" is two bytes: a cut must not keep half of it.
    std::string text = R"([{"did":")" + std::string(500, 'd') + R"(","display_name":"a)" + repeat("é", 40, "") +
                       R"(","mac_list":[{"mac":")" + std::string(100, 'm') + R"(","ip":"1.2.3.4"}]}])";
    Table t;
    ASSERT_EQ(cjson_parse_and_fetch(text.c_str(), KJSON_KIND_DISCOVERED, t.data()), 1);
    const DiscoveredDevice &d = t.rec[0];
    EXPECT_EQ(std::string(d.did), std::string(64, 'd'));
    EXPECT_EQ(std::string(d.display_name), "a" + repeat("é", 15, "")); // 31 bytes, not 32
    EXPECT_EQ(std::string(d.mac_list[0].mac), std::string(17, 'm'));
    EXPECT_STREQ(discovered_violation(t.data(), 1, sentinel), nullptr);
}

TEST(KjsonFetch, UnusableInputFillsNothing)
{
    const std::string deep = std::string(5000, '[') + std::string(5000, ']');
    const std::string deep_member = R"([{"did":"x","os":)" + std::string(990, '[') + std::string(990, ']') + "}]";
    const std::string bad_utf8 = "[{\"did\":\"\xC3\x28\xFF\"}]";
    struct {
        const char *text;
        int kind, filled;
    } cases[] = {
        {nullptr, KJSON_KIND_DISCOVERED, 0},
        {"", KJSON_KIND_DISCOVERED, 0},
        {"not json", KJSON_KIND_DISCOVERED, 0},
        {"[{\"did\":\"x\"}", KJSON_KIND_DISCOVERED, 0}, // cut short
        {"{\"did\":\"x\"}", KJSON_KIND_DISCOVERED, 0},  // an object, not a list
        {"[]", KJSON_KIND_DISCOVERED, 0},
        {"[{\"did\":\"x\"}]", KJSON_KIND_DEVICE_ONLINE, 0},
        {deep.c_str(), KJSON_KIND_DISCOVERED, 0},
        {deep_member.c_str(), KJSON_KIND_DISCOVERED, 1},
        {bad_utf8.c_str(), KJSON_KIND_DISCOVERED, 1}, // bytes pass through, still terminated
    };
    for (const auto &c : cases) {
        Table t;
        int dev_drop = -1, mac_drop = -1;
        EXPECT_EQ(cjson_parse_and_fetch_ex(c.text, c.kind, t.data(), &dev_drop, &mac_drop), c.filled)
            << (c.text ? std::string(c.text).substr(0, 40) : "NULL");
        EXPECT_EQ(dev_drop + mac_drop, 0);
        EXPECT_STREQ(discovered_violation(t.data(), c.filled, sentinel), nullptr);
    }
    EXPECT_EQ(cjson_parse_and_fetch("[{}]", KJSON_KIND_DISCOVERED, nullptr), 0);
}

// Every seed and every crash reproducer kept in the fuzz corpus, through the
// normal build of every preset.
TEST(KjsonFetch, FuzzCorpusKeepsBoundsInvariants)
{
    const std::filesystem::path dir = KJSON_CORPUS_DIR;
    int files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream buf;
        buf << in.rdbuf();
        Table t;
        int filled = cjson_parse_and_fetch_ex(buf.str().c_str(), KJSON_KIND_DISCOVERED, t.data(), nullptr, nullptr);
        const char *problem = discovered_violation(t.data(), filled, sentinel);
        EXPECT_STREQ(problem, nullptr) << entry.path();
        ++files;
    }
    EXPECT_GT(files, 5);
}
