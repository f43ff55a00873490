// Device synchronisation end to end: Q7 writes of device fields reach the
// agent through the worker, each entry is acknowledged in Q7, and the
// resync at every agent start sends the online devices.
#include "daemon_harness.h"

namespace tshtest {
namespace {

using Worker = DaemonTest;
using Resync = DaemonTest;
using Stress = DaemonTest;

constexpr const char MAC5[] = "F0:9F:C2:00:7F:80";

std::string acked(bool ok, unsigned row)
{
    return std::string("TelvaSoTResponseStatus setted as ") + (ok ? "true" : "false") +
           " at index : " + std::to_string(row) + "\n";
}

// Makes a change and waits until the worker has written its outcome.
void change(Lab &lab, const Daemon &d, const char *table, const char *field, const std::string &value,
            unsigned row, bool ok = true)
{
    const int seen = count_of(d.err(), acked(ok, row));
    ASSERT_EQ(lab.set(table, field, value, row), Q7_OK) << field;
    ASSERT_TRUE(d.wait_err(acked(ok, row), seen + 1)) << field << "\n" << d.err();
    EXPECT_EQ(lab.get("DeviceIdList", "TelvaSoTResponseStatus", row), ok ? "1" : "0") << field;
}

// The last accepted call of `call`, parsed.
saproto::JsonPtr last(Lab &lab, const char *call)
{
    const auto args = lab.journal(call);
    return parse(args.empty() ? "null" : args.back());
}

// The agent's entry of `key` under `group` ("device_info" by UUID, "online"
// by MAC) in its state document.
const cJSON *agent_entry(const saproto::JsonPtr &state, const char *group, const char *key)
{
    return cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(state.get(), group), key);
}

void full_device(Lab &lab, unsigned row, const char *mac, const char *uuid, const char *state)
{
    ASSERT_NO_FATAL_FAILURE(lab.device(row, mac, uuid, state));
    ASSERT_EQ(lab.set("Wexsignature", "DeviceIP", "192.168.1.200", row), Q7_OK);
    ASSERT_EQ(lab.set("Wexsignature", "DeviceDHCPHostname", "tablet", row), Q7_OK);
    ASSERT_EQ(lab.set("Wexsignature", "DeviceCategory", "phone", row), Q7_OK);
    ASSERT_EQ(lab.set("General", "lan_ifname", "br-lan"), Q7_OK);
}

TEST_F(Worker, EachDeviceFieldReachesTheAgentAndIsAcknowledged)
{
    ASSERT_NO_FATAL_FAILURE(full_device(lab, 5, MAC5, "uuid-5", ""));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();

    ASSERT_NO_FATAL_FAILURE(change(lab, d, "DeviceIdList", "DisplayNameCustom", "Kitchen tablet", 5));
    saproto::JsonPtr info = last(lab, "set_device_info");
    EXPECT_EQ(text_of(info.get(), "uuid"), "uuid-5");
    EXPECT_EQ(text_of(info.get(), "display_name"), "Kitchen tablet");
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(info.get(), "traffic_blocked"), nullptr);

    for (const auto &[value, blocked] : {std::pair{"block", 1}, std::pair{"allow", 0}, std::pair{"block", 1},
                                         std::pair{"", 0}}) {
        ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "AllowOrBlock", value, 5));
        info = last(lab, "set_device_info");
        EXPECT_EQ(int_of(info.get(), "traffic_blocked"), blocked) << value;
        EXPECT_EQ(text_of(info.get(), "display_name"), "") << value;
    }
    saproto::JsonPtr state = lab.agent_state();
    const cJSON *dev = agent_entry(state, "device_info", "uuid-5");
    EXPECT_EQ(text_of(dev, "display_name"), "Kitchen tablet");

    // Offline: no satellite removal is even considered.
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "Devicestate", "DOWN", 5));
    saproto::JsonPtr online = last(lab, "set_device_online_status");
    EXPECT_EQ(text_of(online.get(), "mac"), MAC5);
    EXPECT_EQ(text_of(online.get(), "ip"), "192.168.1.200");
    EXPECT_EQ(text_of(online.get(), "interface"), "br-lan");
    EXPECT_EQ(text_of(online.get(), "dhcp_hostname"), "tablet");
    EXPECT_EQ(int_of(online.get(), "is_online"), 0);
    EXPECT_EQ(d.err().find("For Remove Satellite"), std::string::npos);

    // Becoming a satellite, then online: removed first, then sent online.
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "DeviceCategory", "satellite", 5));
    EXPECT_EQ(text_of(last(lab, "remove_satellite").get(), "mac"), MAC5);
    const int online_before = lab.calls("set_device_online_status");
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "Devicestate", "UNKNOWN", 5));
    EXPECT_EQ(lab.calls("remove_satellite"), 2);
    EXPECT_EQ(int_of(last(lab, "set_device_online_status").get(), "is_online"), 1);
    EXPECT_EQ(lab.calls("set_device_online_status"), online_before + 1);
    const std::string e = d.err();
    EXPECT_TRUE(in_order(e.substr(e.rfind("fld : Devicestate index : 5")),
                         {"Telva SOT for sa_broker_remove_satellite()",
                          "Telva SOT for sa_broker_set_device_online_status"}));

    // The update flag itself is a signature update: the online state again.
    // (Once the flag's own change has been dispatched with the flag off.)
    ASSERT_EQ(lab.set("Wexsignature", "WEXSignatureUpdateStatus", "0", 5), Q7_OK);
    ASSERT_TRUE(d.wait_err("WEXSignatureUpdateStatus at index 5 = 0")) << d.err();
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "WEXSignatureUpdateStatus", "1", 5));
    EXPECT_EQ(lab.calls("set_device_online_status"), online_before + 2);
    expect_orderly_stop(d);
}

TEST_F(Worker, AChangeDuringStartUpIsNotLost)
{
    ASSERT_NO_FATAL_FAILURE(full_device(lab, 5, MAC5, "uuid-5", ""));
    // Start-up held after the table subscriptions, before the queue's stage.
    ASSERT_EQ(lab.agentctl({"hang", "get_version_info", "3000"}), 0);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_err("set_module_version_detail() is called at boot time")) << d.err();
    ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "Hall lamp", 5), Q7_OK);
    ASSERT_TRUE(d.wait_err("Enqueue New device index : 5")) << d.err();
    ASSERT_EQ(d.err().find("Queue for TelvaSoT Initiliazed"), std::string::npos) << d.err();
    ASSERT_TRUE(d.wait_err(acked(true, 5))) << d.err();
    EXPECT_EQ(text_of(last(lab, "set_device_info").get(), "display_name"), "Hall lamp");
    expect_orderly_stop(d);
}

TEST_F(Worker, NothingToSendIsNoFailure)
{
    ASSERT_NO_FATAL_FAILURE(full_device(lab, 6, MAC5, "", "DOWN"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();

    ASSERT_NO_FATAL_FAILURE(change(lab, d, "DeviceIdList", "DisplayNameCustom", "Guest", 6));
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "AllowOrBlock", "block", 6));
    EXPECT_TRUE(in_order(d.err(), {"No TelvaSoT due to NULL DeviceUUID for displayname",
                                   "No TelvaSoT due to NULL DeviceUUID for AllowOrBlock"}));
    EXPECT_EQ(lab.calls("set_device_info"), 0);

    // Online but no satellite: no removal sent, the online state is.
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "Devicestate", "UP", 6));
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "DeviceCategory", "tv", 6));
    EXPECT_TRUE(in_order(d.err(), {"DeviceCategory is not satellite. DeviceCategory:phone",
                                   "Failed to call remove_satellite()", "DeviceState() is successfully called",
                                   "DeviceCategory is not satellite. DeviceCategory:tv"}));
    EXPECT_EQ(lab.calls("remove_satellite"), 0);
    expect_orderly_stop(d);
}

TEST_F(Worker, RefusedSendsAreTriedTwiceAndAnUnreadRecordSendsNothing)
{
    ASSERT_NO_FATAL_FAILURE(full_device(lab, 8, MAC5, "uuid-8", "DOWN"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();

    ASSERT_EQ(lab.agentctl({"fail", "set_device_info", "always"}), 0);
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "DeviceIdList", "DisplayNameCustom", "Printer", 8, false));
    EXPECT_EQ(lab.calls("set_device_info"), 2);

    // A satellite the agent will not remove: tried twice, reported, and its
    // online state still sent.
    ASSERT_EQ(lab.agentctl({"fail", "remove_satellite", "always"}), 0);
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "DeviceCategory", "satellite", 8, false));
    EXPECT_EQ(lab.calls("remove_satellite"), 2);
    const size_t online = lab.journal("set_device_online_status").size();
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "Devicestate", "UP", 8, false));
    EXPECT_EQ(lab.calls("remove_satellite"), 4);
    EXPECT_EQ(lab.journal("set_device_online_status").size(), online + 1);

    // The IP unreadable: a block setting read after it is not sent, a name
    // read before it is.
    ASSERT_EQ(lab.agentctl({"fail", "set_device_info", "off"}), 0);
    ASSERT_EQ(lab.redis({"HSET", "q7:d:Wexsignature:8", "DeviceIP", "not-an-address"}), 0);
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "AllowOrBlock", "block", 8, false));
    EXPECT_EQ(lab.calls("set_device_info"), 2);
    EXPECT_NE(d.err().find("Device record of index 8 not read, no block setting sent"), std::string::npos);
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "DeviceIdList", "DisplayNameCustom", "Scanner", 8));
    EXPECT_EQ(text_of(last(lab, "set_device_info").get(), "display_name"), "Scanner");
    expect_orderly_stop(d);
}

TEST_F(Worker, NoChangeIsLostWhileItsDeviceIsBeingHandled)
{
    ASSERT_NO_FATAL_FAILURE(full_device(lab, 4, MAC5, "uuid-4", "DOWN"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();

    ASSERT_EQ(lab.agentctl({"hang", "set_device_info", "300"}), 0);
    ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "first", 4), Q7_OK);
    ASSERT_TRUE(d.wait_err("Telva SOT for sa_broker_set_device_info(DisplayName)")) << d.err();
    // The record has been read: both changes are new to the worker.
    ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "second", 4), Q7_OK);
    ASSERT_EQ(lab.set("Wexsignature", "AllowOrBlock", "block", 4), Q7_OK);
    ASSERT_EQ(lab.agentctl({"hang", "set_device_info", "0"}), 0);
    EXPECT_TRUE(wait_until([&] {
        saproto::JsonPtr s = lab.agent_state();
        const cJSON *dev = cJSON_GetObjectItemCaseSensitive(
            cJSON_GetObjectItemCaseSensitive(s.get(), "device_info"), "uuid-4");
        return text_of(dev, "display_name") == "second" && int_of(dev, "traffic_blocked") == 1;
    })) << d.err();
    expect_orderly_stop(d);
}

// Q7 rows for the resync alone: no update flag, so the worker stays out.
void online_row(Lab &lab, unsigned row, const char *mac, const char *state, const char *category = "")
{
    ASSERT_EQ(lab.set("Wexsignature", "DeviceMAC", mac, row), Q7_OK);
    ASSERT_EQ(lab.set("Wexsignature", "Devicestate", state, row), Q7_OK);
    ASSERT_EQ(lab.set("Wexsignature", "DeviceCategory", category, row), Q7_OK);
}

void agent_started(Lab &lab, const Daemon &d)
{
    const std::string done = "(saagent_started) - saagent_started() is successfully called";
    const int seen = count_of(d.err(), done);
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    ASSERT_TRUE(d.wait_err(done, seen + 1)) << d.err();
}

TEST_F(Resync, SendsTheOnlineDevicesInIndexOrderAtStartAndAtEachAgentStart)
{
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    // None online: an empty object.
    EXPECT_EQ(lab.journal("set_device_online_status"), std::vector<std::string>{"{}"});
    EXPECT_NE(d.err().find("(saagent_started) - Total number of UP DEVICE: 0"), std::string::npos);

    ASSERT_NO_FATAL_FAILURE(online_row(lab, 7, "00:00:00:00:00:07", "UP", "satellite"));
    ASSERT_NO_FATAL_FAILURE(agent_started(lab, d));
    saproto::JsonPtr one = last(lab, "set_device_online_status");
    ASSERT_TRUE(cJSON_IsObject(one.get()));
    EXPECT_EQ(text_of(one.get(), "mac"), "00:00:00:00:00:07");

    // Only "UP" counts here; a satellite is removed and still sent.
    ASSERT_NO_FATAL_FAILURE(online_row(lab, 3, "00:00:00:00:00:03", "UP"));
    ASSERT_NO_FATAL_FAILURE(online_row(lab, 5, "00:00:00:00:00:05", "UNKNOWN"));
    ASSERT_NO_FATAL_FAILURE(online_row(lab, 9, "00:00:00:00:00:09", "DOWN"));
    ASSERT_NO_FATAL_FAILURE(agent_started(lab, d));
    saproto::JsonPtr two = last(lab, "set_device_online_status");
    ASSERT_TRUE(cJSON_IsArray(two.get()));
    ASSERT_EQ(cJSON_GetArraySize(two.get()), 2);
    EXPECT_EQ(text_of(cJSON_GetArrayItem(two.get(), 0), "mac"), "00:00:00:00:00:03");
    EXPECT_EQ(text_of(cJSON_GetArrayItem(two.get(), 1), "mac"), "00:00:00:00:00:07");
    EXPECT_EQ(lab.journal("remove_satellite").size(), 2u);

    // A record unreadable half-way: nothing sent, the removals before it made.
    ASSERT_EQ(lab.redis({"HSET", "q7:d:Wexsignature:200", "DeviceIP", "junk"}), 0);
    const int sends = lab.calls("set_device_online_status");
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    ASSERT_TRUE(d.wait_err("(saagent_started) - Failed to call saagent_started()")) << d.err();
    EXPECT_EQ(lab.calls("set_device_online_status"), sends);
    EXPECT_EQ(lab.journal("remove_satellite").size(), 3u);
    expect_orderly_stop(d);
}

TEST_F(Resync, AnAgentRestartBringsRouterAndOnlineDevicesBack)
{
    ASSERT_EQ(lab.set("featureSwitch", "rp", "enable"), Q7_OK);
    ASSERT_EQ(lab.set("General", "lan_ifname", "br-lan"), Q7_OK);
    ASSERT_NO_FATAL_FAILURE(online_row(lab, 2, "00:00:00:00:00:02", "UP"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    const size_t routers = lab.journal("set_router_info").size();
    const size_t onlines = lab.journal("set_device_online_status").size();
    ASSERT_EQ(lab.agentctl({"restart"}), 0);
    EXPECT_TRUE(wait_until([&] {
        return lab.journal("set_router_info").size() > routers &&
               lab.journal("set_device_online_status").size() > onlines;
    })) << d.err();
    saproto::JsonPtr s = lab.agent_state();
    const cJSON *dev = agent_entry(s, "online", "00:00:00:00:00:02");
    EXPECT_EQ(int_of(dev, "is_online"), 1);
    expect_orderly_stop(d);
}

TEST_F(Resync, NeverLeavesTheAgentWithAnOlderStateThanTheWorkerSent)
{
    const char mac[] = "00:00:00:00:00:03";
    ASSERT_NO_FATAL_FAILURE(full_device(lab, 3, mac, "uuid-3", "DOWN"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    const std::string done = "(saagent_started) - saagent_started() is successfully called";
    constexpr int rounds = 20;
    for (int i = 0; i < rounds; ++i) {
        ASSERT_EQ(lab.set("Wexsignature", "Devicestate", "UP", 3), Q7_OK);
        ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
        ASSERT_EQ(lab.set("Wexsignature", "Devicestate", "DOWN", 3), Q7_OK);
    }
    // Every resync and every queued entry done: the last word is the
    // worker's DOWN, which no resync list may have overwritten.
    ASSERT_TRUE(d.wait_err(done, rounds)) << d.err();
    ASSERT_TRUE(wait_until([&] {
        const std::string e = d.err();
        return count_of(e, "Dequeue device index") == count_of(e, "Enqueue New device index");
    })) << d.err();
    saproto::JsonPtr s = lab.agent_state();
    const cJSON *dev = agent_entry(s, "online", mac);
    EXPECT_EQ(int_of(dev, "is_online"), 0);
    expect_orderly_stop(d);
}

TEST_F(Resync, ChangesRefusedWhileTheAgentIsDownReachItWhenItStarts)
{
    const char mac[] = "00:00:00:00:00:04";
    ASSERT_NO_FATAL_FAILURE(full_device(lab, 4, mac, "uuid-4", "UP"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "DeviceIdList", "DisplayNameCustom", "before", 4));
    // Away for 5 s: the rename, the block and the going offline are refused.
    ASSERT_EQ(lab.agentctl({"restart", "5000"}), 0);
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "DeviceIdList", "DisplayNameCustom", "after", 4, false));
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "AllowOrBlock", "block", 4, false));
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "Devicestate", "DOWN", 4, false));
    EXPECT_TRUE(wait_until(
        [&] {
            saproto::JsonPtr s = lab.agent_state();
            const cJSON *info = agent_entry(s, "device_info", "uuid-4");
            return text_of(info, "display_name") == lab.get("DeviceIdList", "DisplayNameCustom", 4) &&
                   int_of(info, "traffic_blocked") == 1 && int_of(agent_entry(s, "online", mac), "is_online") == 0;
        },
        30s))
        << d.err();
    expect_orderly_stop(d);
}

TEST_F(Stress, RenamesAcrossAgentRestartsEndWithEveryLastName)
{
    constexpr int devices = 256, rounds = 20;
    for (int i = 0; i < devices; ++i) {
        ASSERT_EQ(lab.set("DeviceIdList", "DeviceUUID", "u-" + std::to_string(i), i), Q7_OK);
        ASSERT_EQ(lab.set("Wexsignature", "WEXSignatureUpdateStatus", "1", i), Q7_OK);
    }
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready(30s)) << d.err();
    const std::string reconnected = "Entered into saAgentStarted callback function";
    int restarts = 0;
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < devices; ++i)
            ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "n" + std::to_string(i) + "-" + std::to_string(r),
                              i), Q7_OK);
        // Restarts in the early rounds; the last round's names are written
        // once the daemon is connected again, so none can be refused.
        if (r % 3 == 1 && restarts < 5) {
            ASSERT_EQ(lab.agentctl({"restart"}), 0);
            ++restarts;
            ASSERT_TRUE(d.wait_err(reconnected, restarts, 30s)) << restarts;
        }
    }
    EXPECT_TRUE(wait_until(
        [&] {
            saproto::JsonPtr s = lab.agent_state();
            const cJSON *all = cJSON_GetObjectItemCaseSensitive(s.get(), "device_info");
            for (int i = 0; i < devices; ++i) {
                const cJSON *dev = cJSON_GetObjectItemCaseSensitive(all, ("u-" + std::to_string(i)).c_str());
                if (text_of(dev, "display_name") != "n" + std::to_string(i) + "-" + std::to_string(rounds - 1))
                    return false;
            }
            return true;
        },
        90s));
    expect_orderly_stop(d);
}

} // namespace
} // namespace tshtest
