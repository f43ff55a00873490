// The discovery import end to end: the agent's device list lands in
// Wexsignature.DeviceDID, one DID per known MAC.
#include "daemon_harness.h"

namespace tshtest {
namespace {

using Import = DaemonTest;

constexpr const char DONE[] = "_typeOfChange Event is processed successfully",
                      FAILED[] = "Failed to processed _typeOfChange Event";

std::string mac_of(int row)
{
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:%02X", row / 256, row % 256);
    return mac;
}

std::string device_json(const std::string &did, const std::vector<std::string> &macs)
{
    std::string list;
    for (const std::string &m : macs)
        list += (list.empty() ? "" : ",") + std::string(R"({"mac":")") + m + R"(","ip":"192.168.1.9"})";
    return R"({"did":")" + did + R"(","display_name":"TV","device_type":"tv","manufacturer":"Acme","os":"linux",)"
           R"("ds_version":"1","traffic_blocked":0,"mac_list":[)" + list + "]}";
}

// The agent's list as it is, then one device-list event; waits for its outcome.
void import(Lab &lab, const Daemon &d, const std::string &devices, const char *outcome = DONE)
{
    ASSERT_EQ(lab.agentctl({"set", "--raw", "devices", devices}), 0);
    const int seen = count_of(d.err(), outcome);
    ASSERT_EQ(lab.agentctl({"emit", "devices-changed"}), 0);
    ASSERT_TRUE(d.wait_err(outcome, seen + 1)) << d.err();
}

TEST_F(Import, RecordsEachDidAgainstEveryMacOfItsDeviceWithinTheTablesBounds)
{
    for (int row : {1, 2, 3, 4, 5})
        ASSERT_EQ(lab.set("Wexsignature", "DeviceMAC", mac_of(row), row), Q7_OK);
    ASSERT_EQ(lab.set("Wexsignature", "DeviceDID", "before", 5), Q7_OK);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    // Empty, unreadable or unanswered: nothing changes.
    for (const char *list : {"[]", "not json", R"({"did": "x"})"})
        ASSERT_NO_FATAL_FAILURE(import(lab, d, list, FAILED));
    ASSERT_EQ(lab.agentctl({"fail", "get_devices"}), 0);
    ASSERT_NO_FATAL_FAILURE(import(lab, d, "[" + device_json("x", {mac_of(5)}) + "]", FAILED));
    EXPECT_EQ(lab.get("Wexsignature", "DeviceDID", 5), "before");

    // An unknown MAC fails alone, a device without MACs is only logged, a long DID is cut.
    const std::string long_did(70, 'd');
    ASSERT_NO_FATAL_FAILURE(import(lab, d,
                                   "[" + device_json("did-a", {mac_of(1), mac_of(99), mac_of(2), mac_of(3)}) + "," +
                                       device_json("did-b", {}) + "," + device_json(long_did, {mac_of(4)}) + "]"));
    for (int row : {1, 2, 3})
        EXPECT_EQ(lab.get("Wexsignature", "DeviceDID", row), "did-a") << row;
    EXPECT_EQ(lab.get("Wexsignature", "DeviceDID", 4), long_did.substr(0, 64));
    std::string e = d.err();
    const std::string update = "<info> tsh_sot: TSH-SOT: wex_update_table_field MAC: ";
    EXPECT_TRUE(lines_in_order(e, {update + mac_of(1), update + mac_of(99),
                                   "<error> tsh_sot: (TelvaSoT) - wex_update_table_field Update failed 5",
                                   update + mac_of(2), update + mac_of(3),
                                   "<info> tsh_sot: TSH-SOT: Multi On demand: Device DID: did-b",
                                   "<info> tsh_sot: TSH-SOT: MULTI MACs TOTAL INDEX:0",
                                   "<error> tsh_sot: devices_discoveredList() is successfully called"}));
    EXPECT_EQ(count_of(e, "MULTI ONLINE STATUS INDEX:"), 3);
    EXPECT_EQ(count_of(e, "beyond the table's bounds"), 0);
    EXPECT_TRUE(lines_in_order(e, {"<info> tsh_agent: _typeOfChange callback function",
                                   "<info> tsh_agent: _typeOfChange Event is ###{\"type_of_change\":\"updated\",\"did\":\"\"}###",
                                   "<info> tsh_agent: =====!!_typeOfChange LOCKed Process..!!=====",
                                   std::string("<info> tsh_agent: ") + DONE,
                                   "<info> tsh_agent: =====!!_typeOfChange UnLOCK Done..!!====="}));

    // Beyond the table's bounds, one line for what was cut: a device of 300 MACs, then 257 devices.
    const size_t at = d.err().size();
    ASSERT_NO_FATAL_FAILURE(import(lab, d, "[" + device_json("did-big", std::vector<std::string>(300, mac_of(5))) + "]"));
    std::string list = "[" + device_json("did-0", {});
    for (int i = 1; i < 257; ++i)
        list += "," + device_json("did-" + std::to_string(i), {});
    ASSERT_NO_FATAL_FAILURE(import(lab, d, list + "]"));
    e = d.err().substr(at);
    const std::string bounds = "<error> tsh_sot: TSH-SOT: list beyond the table's bounds: ";
    EXPECT_TRUE(lines_in_order(e, {bounds + "0 devices and 44 MACs dropped",
                                   "<info> tsh_sot: TSH-SOT: MULTI ONLINE STATUS TOTAL INDEX:256",
                                   bounds + "1 devices and 0 MACs dropped"}));
    EXPECT_EQ(count_of(e, "MULTI ONLINE STATUS INDEX:"), 257);
    EXPECT_EQ(count_of(e, "wex_update_table_field MAC: " + mac_of(5)), 256);
    EXPECT_EQ(lab.get("Wexsignature", "DeviceDID", 5), "did-big");
    expect_orderly_stop(d);
}

TEST_F(Import, EventAndOnDemandImportsOfAnyChangeTypeNeverRunOverEachOther)
{
    std::string list = "[";
    for (int row = 0; row < 8; ++row) {
        ASSERT_EQ(lab.set("Wexsignature", "DeviceMAC", mac_of(row), row), Q7_OK);
        list += (row ? "," : "") + device_json("did-" + std::to_string(row), {mac_of(row)});
    }
    ASSERT_EQ(lab.agentctl({"set", "devices", list + "]"}), 0);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(lab.agentctl({"emit", "devices-changed", R"({"type_of_change": "removed", "did": "did-1"})"}), 0);
        ASSERT_EQ(lab.set("OrlixCfg", "orlix_connected", i % 2 ? "0" : "1"), Q7_OK);
    }
    ASSERT_TRUE(d.wait_err(DONE, 10)) << d.err();
    ASSERT_TRUE(d.wait_err("! Ondemand called device discovery !", 1)) << d.err();
    for (int row = 0; row < 8; ++row)
        EXPECT_EQ(lab.get("Wexsignature", "DeviceDID", row), "did-" + std::to_string(row));
    EXPECT_TRUE(no_failures(d.err()));
    expect_orderly_stop(d);
}

TEST_F(Import, AStopDuringTheLargestImportOfUnknownMacsIsOrderly)
{
    // 256 devices x 256 MACs, none of them in a row.
    std::string list = "[";
    for (int dev = 0; dev < 256; ++dev) {
        std::vector<std::string> macs;
        for (int m = 0; m < 256; ++m)
            macs.push_back(mac_of(256 * dev + m));
        list += (dev ? "," : "") + device_json("did-" + std::to_string(dev), macs);
    }
    const TempDir dir;
    write_file(dir.file("devices.json"), list + "]");
    ASSERT_EQ(lab.agentctl({"set", "devices", "@" + dir.file("devices.json")}), 0);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_EQ(lab.agentctl({"emit", "devices-changed"}), 0);
    ASSERT_TRUE(d.wait_err("wex_update_table_field Update failed"));
    expect_orderly_stop(d);
    // It ended at the next MAC, not at the end of the device.
    const std::string e = d.err();
    EXPECT_LT(count_of(e.substr(e.find("sig_usr1 handler.")), "wex_update_table_field MAC:"), 64);
}

} // namespace
} // namespace tshtest
