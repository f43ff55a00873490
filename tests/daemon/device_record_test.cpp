// The device record as the daemon gathers it from a real Q7 server, and how
// far a failed read lets the gathering go.
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

int redis(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"redis-cli", "-s", std::getenv("Q7_SOCKET")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv);
}

TEST(DeviceRecord, ReadsEachFieldInOrderUntilOneIsUnreadable)
{
    ASSERT_EQ(dal_init(), 0);
    const struct {
        const char *table, *field, *value;
    } fields[] = {
        {"Wexsignature", "DeviceMAC", "F0:9F:00:AA:7F:80"}, {"DeviceIdList", "DeviceUUID", "uuid-250"},
        {"DeviceIdList", "DisplayNameCustom", "name"},       {"Wexsignature", "Devicestate", "UP"},
        {"Wexsignature", "DeviceIP", "192.168.1.200"},      {"Wexsignature", "DeviceDHCPHostname", "tablet"},
        {"Wexsignature", "AllowOrBlock", "block"},          {"Wexsignature", "DeviceCategory", "satellite"},
        {"General", "lan_ifname", "br-lan"},  // the router's, row 0
    };
    // Nothing broken, then each field in turn: the ones before it are in,
    // the ones after it as the caller left them, a failed address is zeros.
    for (int broken = -1; broken < 9; ++broken) {
        std::vector<std::string> want;
        for (int i = 0; i < 9; ++i) {
            const unsigned row = i == 8 ? 0 : 250;
            ASSERT_EQ(q7_set_text(dal_get_handle(), fields[i].table, row, fields[i].field, fields[i].value), Q7_OK);
            if (i == broken) {
                ASSERT_EQ(redis({"HSET", std::string("q7:d:") + fields[i].table + ":" + std::to_string(row),
                                 fields[i].field, std::string(80, 'x')}), 0);
            }
            const char *failed = i == 0 ? "00:00:00:00:00:00" : i == 4 ? "0.0.0.0" : "";
            want.push_back(broken < 0 || i < broken ? fields[i].value : i == broken ? failed : "");
        }
        SoTDeviceInfo f{};
        SoTDeviceId d{};
        RecordProgress progress = REC_NONE;
        EXPECT_EQ(get_TelvaSoT_info(&f, &d, 250, &progress) != 0, broken >= 0) << broken;
        EXPECT_EQ(progress, broken < 0 ? REC_ALL : RecordProgress(std::min(broken, int(REC_ALL)))) << broken;
        EXPECT_EQ(std::vector<std::string>({f.mac, d.uuid, d.display_name, f.state, f.ip, f.dhcp_hostname,
                                            f.allow_or_block, f.category, f.lan_ifname}),
                  want)
            << broken;
    }
    redis({"DEL", "q7:d:Wexsignature:250", "q7:d:DeviceIdList:250"});
    redis({"HDEL", "q7:d:General:0", "lan_ifname"});
    dal_destroy();
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
