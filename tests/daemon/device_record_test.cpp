// The device record as the daemon gathers it from a real Q7 server: text
// forms of the addresses, the longest texts, and how far a failed read lets
// the gathering go.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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

class DeviceRecord : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(dal_init(), 0); }
    void TearDown() override
    {
        // The fixture server is shared: leave nothing of ours behind.
        redis({"DEL", "q7:d:Wexsignature:250", "q7:d:DeviceIdList:250"});
        redis({"HDEL", "q7:d:General:0", "lan_ifname"});
        dal_destroy();
    }
    static int set(const char *table, const char *field, const char *value, unsigned row = ROW)
    {
        return q7_set_text(dal_get_handle(), table, row, field, value);
    }
    // Stores what no Q7 write would, so that its read fails.
    static int redis(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {"redis-cli", "-s", std::getenv("Q7_SOCKET")};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv);
    }
    void fill_device()
    {
        ASSERT_EQ(set("Wexsignature", "DeviceMAC", "F0:9F:00:AA:7F:80"), Q7_OK);
        ASSERT_EQ(set("Wexsignature", "DeviceIP", "192.168.1.200"), Q7_OK);
        ASSERT_EQ(set("Wexsignature", "Devicestate", "UP"), Q7_OK);
        ASSERT_EQ(set("Wexsignature", "DeviceDHCPHostname", "tablet"), Q7_OK);
        ASSERT_EQ(set("Wexsignature", "AllowOrBlock", "block"), Q7_OK);
        ASSERT_EQ(set("Wexsignature", "DeviceCategory", "satellite"), Q7_OK);
        ASSERT_EQ(set("DeviceIdList", "DeviceUUID", "uuid-250"), Q7_OK);
        ASSERT_EQ(set("General", "lan_ifname", "br-lan", 0), Q7_OK);
    }
    SoTDeviceInfo info{};
    SoTDeviceId id{};
    RecordProgress progress = REC_NONE;
};

TEST_F(DeviceRecord, FormatsAddressesUnsignedAndKeepsTheLongestTextsWhole)
{
    ASSERT_NO_FATAL_FAILURE(fill_device());
    // A field's width counts its terminator, as the record's buffers do.
    const std::string long_name(63, 'n');
    ASSERT_EQ(set("DeviceIdList", "DisplayNameCustom", (long_name + "n").c_str()), Q7_TOO_LONG);
    ASSERT_EQ(set("DeviceIdList", "DisplayNameCustom", long_name.c_str()), Q7_OK);

    ASSERT_EQ(get_TelvaSoT_info(&info, &id, ROW, &progress), 0);
    EXPECT_EQ(progress, REC_ALL);
    EXPECT_STREQ(info.mac, "F0:9F:00:AA:7F:80");
    EXPECT_STREQ(info.ip, "192.168.1.200");
    EXPECT_STREQ(info.state, "UP");
    EXPECT_STREQ(info.dhcp_hostname, "tablet");
    EXPECT_STREQ(info.allow_or_block, "block");
    EXPECT_STREQ(info.category, "satellite");
    EXPECT_STREQ(info.lan_ifname, "br-lan");
    EXPECT_STREQ(id.uuid, "uuid-250");
    EXPECT_EQ(std::string(id.display_name), long_name);
}

TEST_F(DeviceRecord, AFailedReadStopsTheGatheringButAFailedLanInterfaceDoesNot)
{
    ASSERT_NO_FATAL_FAILURE(fill_device());
    const std::string junk(80, 'x');

    // The UUID: the MAC is in, everything after stays as the caller left it.
    ASSERT_EQ(redis({"HSET", "q7:d:DeviceIdList:250", "DeviceUUID", junk}), 0);
    EXPECT_NE(get_TelvaSoT_info(&info, &id, ROW, &progress), 0);
    EXPECT_EQ(progress, REC_MAC);
    EXPECT_STREQ(info.mac, "F0:9F:00:AA:7F:80");
    for (const char *text : {id.display_name, info.state, info.ip, info.dhcp_hostname, info.allow_or_block,
                             info.category, info.lan_ifname})
        EXPECT_STREQ(text, "");

    // The MAC itself: all-zero text, and nothing read after it.
    ASSERT_EQ(redis({"HSET", "q7:d:Wexsignature:250", "DeviceMAC", junk}), 0);
    info = {};
    EXPECT_NE(get_TelvaSoT_info(&info, &id, ROW, &progress), 0);
    EXPECT_EQ(progress, REC_NONE);
    EXPECT_STREQ(info.mac, "00:00:00:00:00:00");

    // Only the router's interface unreadable: the device is all there.
    ASSERT_EQ(set("Wexsignature", "DeviceMAC", "F0:9F:00:AA:7F:80"), Q7_OK);
    ASSERT_EQ(set("DeviceIdList", "DeviceUUID", "uuid-250"), Q7_OK);
    ASSERT_EQ(redis({"HSET", "q7:d:General:0", "lan_ifname", junk}), 0);
    info = {};
    EXPECT_NE(get_TelvaSoT_info(&info, &id, ROW, &progress), 0);
    EXPECT_EQ(progress, REC_ALL);
    EXPECT_STREQ(info.category, "satellite");
    EXPECT_STREQ(info.lan_ifname, "");
}

TEST(LowercaseString, ChangesOnlyAsciiCapitals)
{
    char text[] = "Model-X1 \xC3\x84Z@[";
    EXPECT_EQ(lowercase_string(text), text);
    EXPECT_STREQ(text, "model-x1 \xC3\x84z@[");
}

} // namespace
