// The device record as the daemon gathers it from a real Q7 server: the text
// forms of its fields, and how far a failed read lets the gathering go.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "process_util.h"
#include "tsh_dal.h"
#include "tsh_get_dalfld.h"
#include "tsh_main.h"

// No daemon runs here, so it is never stopping.
bool tsh_shutting_down()
{
    return false;
}

namespace {

constexpr unsigned ROW = 250;
const std::string NAME(63, 'n');  // the longest the record holds

struct Field {
    const char *table, *field, *value;
    unsigned row;
};
// In the order they are read; the router's interface last.
const Field FIELDS[] = {
    {"Wexsignature", "DeviceMAC", "F0:9F:00:AA:7F:80", ROW}, {"DeviceIdList", "DeviceUUID", "uuid-250", ROW},
    {"DeviceIdList", "DisplayNameCustom", NAME.c_str(), ROW}, {"Wexsignature", "Devicestate", "UP", ROW},
    {"Wexsignature", "DeviceIP", "192.168.1.200", ROW},       {"Wexsignature", "DeviceDHCPHostname", "tablet", ROW},
    {"Wexsignature", "AllowOrBlock", "block", ROW},           {"Wexsignature", "DeviceCategory", "satellite", ROW},
    {"General", "lan_ifname", "br-lan", 0},
};

std::vector<std::string> texts(const SoTDeviceInfo &i, const SoTDeviceId &d)
{
    return {i.mac, d.uuid, d.display_name, i.state, i.ip, i.dhcp_hostname, i.allow_or_block, i.category, i.lan_ifname};
}

// Stores what no Q7 write would, so that its read fails.
int store_raw(const Field &f, const std::string &value)
{
    return run_process({"redis-cli", "-s", std::getenv("Q7_SOCKET"), "HSET",
                        std::string("q7:d:") + f.table + ":" + std::to_string(f.row), f.field, value});
}

class DeviceRecord : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(dal_init(), 0); }
    void TearDown() override
    {
        // The fixture server is shared: leave nothing of ours behind.
        run_process({"redis-cli", "-s", std::getenv("Q7_SOCKET"), "DEL", "q7:d:Wexsignature:250",
                     "q7:d:DeviceIdList:250"});
        run_process({"redis-cli", "-s", std::getenv("Q7_SOCKET"), "HDEL", "q7:d:General:0", "lan_ifname"});
        dal_destroy();
    }
};

TEST_F(DeviceRecord, ReadsEachFieldInOrderUntilOneIsUnreadable)
{
    std::vector<std::string> good;
    for (const Field &f : FIELDS)
        good.push_back(f.value);
    // Nothing broken, then each field in turn: the fields before it are in,
    // the ones after it stay as the caller left them, and a failed address
    // reads as zeros.
    for (int broken = -1; broken < int(std::size(FIELDS)); ++broken) {
        for (const Field &f : FIELDS)
            ASSERT_EQ(q7_set_text(dal_get_handle(), f.table, f.row, f.field, f.value), Q7_OK) << f.field;
        if (broken >= 0) {
            ASSERT_EQ(store_raw(FIELDS[broken], std::string(80, 'x')), 0);
        }
        SoTDeviceInfo info{};
        SoTDeviceId id{};
        RecordProgress progress = REC_NONE;
        const int rc = get_TelvaSoT_info(&info, &id, ROW, &progress);
        std::vector<std::string> want = good;
        for (int i = broken; i >= 0 && i < int(want.size()); ++i)
            want[i] = "";
        if (broken == 0 || broken == 4)
            want[broken] = broken ? "0.0.0.0" : "00:00:00:00:00:00";
        EXPECT_EQ(rc != 0, broken >= 0) << broken;
        EXPECT_EQ(progress, broken < 0 ? REC_ALL : RecordProgress(std::min(broken, int(REC_ALL)))) << broken;
        EXPECT_EQ(texts(info, id), want) << broken;
    }
    // One character more than the record holds is refused by Q7 itself.
    EXPECT_EQ(q7_set_text(dal_get_handle(), "DeviceIdList", ROW, "DisplayNameCustom", (NAME + "n").c_str()),
              Q7_TOO_LONG);
}

TEST(LowercaseString, ChangesOnlyAsciiCapitals)
{
    char text[] = "AModel-X1 \xC3\x84Z@[";
    EXPECT_EQ(lowercase_string(text), text);
    EXPECT_STREQ(text, "amodel-x1 \xC3\x84z@[");
}

TEST(ErrorMessage, KnowsTheLastCodeAndNothingOutside)
{
    EXPECT_STREQ(error_message(9), "Q7 Unknown Error");
    EXPECT_STREQ(error_message(10), "Unknown");
    EXPECT_STREQ(error_message(-1), "Unknown");
}

} // namespace
