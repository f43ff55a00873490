// Device sync end to end: a Q7 change dispatched and queued, the device sent as Q7 holds it and
// acknowledged in Q7, and each agent start resending the online devices and what it refused.
#include "daemon_harness.h"

#include <unistd.h>

#include <algorithm>

namespace tshtest {
namespace {

using Dispatch = DaemonTest;
using Worker = DaemonTest;
using Resync = DaemonTest;

constexpr const char MAC5[] = "F0:9F:C2:00:7F:80", NAME[] = "DisplayNameCustom";

// Makes a change and waits until the worker has written its outcome.
void change(Lab &lab, const Daemon &d, const char *table, const char *field, const std::string &value,
            unsigned row, bool ok = true)
{
    const std::string acked = std::string("TelvaSoTResponseStatus setted as ") + (ok ? "true" : "false") +
                              " at index : " + std::to_string(row) + "\n";
    const int seen = count_of(d.err(), acked);
    ASSERT_EQ(lab.set(table, field, value, row), Q7_OK) << field;
    ASSERT_TRUE(d.wait_err(acked, seen + 1)) << field << "\n" << d.err();
    EXPECT_EQ(lab.get("DeviceIdList", "TelvaSoTResponseStatus", row), ok ? "1" : "0") << field;
}

// A device row with every field the agent is told about; `flag` off keeps the worker out.
void device(Lab &lab, unsigned row, const std::string &mac, const char *uuid, const char *state, bool flag = true)
{
    ASSERT_EQ(lab.set("DeviceIdList", "DeviceUUID", uuid, row), Q7_OK);
    ASSERT_EQ(lab.set("General", "lan_ifname", "br-lan"), Q7_OK);
    const std::pair<const char *, std::string> fields[] = {
        {"DeviceMAC", mac}, {"Devicestate", state}, {"DeviceIP", "192.168.1." + std::to_string(200 + row % 50)},
        {"DeviceDHCPHostname", "host-" + std::to_string(row)}, {"DeviceCategory", "phone"},
        {"WEXSignatureUpdateStatus", flag ? "1" : "0"}};
    for (const auto &[field, value] : fields)
        ASSERT_EQ(lab.set("Wexsignature", field, value, row), Q7_OK) << field;
}

// What the agent must be sent about `row`, built from Q7.
std::string online_of(Lab &lab, unsigned row, int online)
{
    return R"({"mac":")" + lab.get("Wexsignature", "DeviceMAC", row) + R"(","ip":")" +
           lab.get("Wexsignature", "DeviceIP", row) + R"(","interface":")" + lab.get("General", "lan_ifname") +
           R"(","dhcp_hostname":")" + lab.get("Wexsignature", "DeviceDHCPHostname", row) + R"(","is_online":)" +
           std::to_string(online) + "}";
}

std::string info_of(Lab &lab, unsigned row, const std::string &name, int blocked = -1)
{
    return R"({"uuid":")" + lab.get("DeviceIdList", "DeviceUUID", row) + R"(","display_name":")" + name + "\"" +
           (blocked < 0 ? "}" : R"(,"traffic_blocked":)" + std::to_string(blocked) + "}");
}

// The text of the last accepted `call`.
std::string last(Lab &lab, const char *call)
{
    const std::vector<std::string> args = lab.journal(call);
    return args.empty() ? "(none)" : args.back();
}

// The agent holds `want`, less its key member, as entry `key` of `group`.
bool agent_has(Lab &lab, const char *group, const std::string &key, const std::string &want)
{
    const saproto::JsonPtr s = lab.agent_state(), w = parse(want);
    cJSON_DeleteItemFromObjectCaseSensitive(w.get(), "uuid");
    cJSON_DeleteItemFromObjectCaseSensitive(w.get(), "mac");
    const cJSON *got = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(s.get(), group), key.c_str());
    return got && cJSON_Compare(got, w.get(), true);
}

TEST_F(Dispatch, QueuesEachDeviceFieldChangeOncePerDeviceWhileUpdatesAreOnAndAppliesTheLogConfiguration)
{
    ASSERT_EQ(lab.set("Wexsignature", "WEXSignatureUpdateStatus", "1", 3), Q7_OK);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    // Row 0's online-state send hangs: the worker holds that first entry.
    ASSERT_EQ(lab.agentctl({"hang", "set_device_online_status", "60000"}), 0);
    ASSERT_EQ(lab.set("Wexsignature", "WEXSignatureUpdateStatus", "1", 0), Q7_OK);
    ASSERT_TRUE(d.wait_err("Telva SOT for sa_broker_set_device_online_status", 2)) << d.err();
    const struct {
        const char *field, *value, *handler;
        int row, flag, pos;  // pos -1: not queued
    } changes[] = {
        {NAME, "kitchen", "_displayName", 9, 0, -1}, {"WEXSignatureUpdateStatus", "1", "", 7, 1, 1},
        {NAME, "hall", "_displayName", 7, 1, 2},     {NAME, "attic", "_displayName", 7, 1, -1},
        {NAME, "porch", "_displayName", 3, 1, 3},    {"AllowOrBlock", "block", "_trafficBlock", 7, 1, 4},
        {"Devicestate", "UP", "_Devicestate", 7, 1, 5}, {"DeviceCategory", "tv", "", 7, 1, 6},
    };
    std::vector<std::string> want;
    for (const auto &c : changes) {
        const std::string field = c.field, row = std::to_string(c.row), tell = "<info> tsh_dal: (TelvaSoT) - ";
        ASSERT_EQ(lab.set(field == NAME ? "DeviceIdList" : "Wexsignature", c.field, c.value, c.row), Q7_OK);
        if (*c.handler)
            want.push_back(std::string("<info> tsh_agent: ") + c.handler + " changed");
        want.push_back(tell + "Change notification for !!" + field + "!!");
        want.push_back(tell + " Updated Index at " + row + "  ");
        want.push_back(tell + "WEXSignatureUpdateStatus at index " + row + " = " + std::to_string(c.flag) + " ");
        if (c.pos >= 0)
            want.push_back("<info> tsh_queue: (TelvaSoT) - Enqueue New device index : " + row + ", field : " + field +
                           " at Queue pos = " + std::to_string(c.pos));
    }
    // No device fields: a longer name than one, and one that only begins alike.
    ASSERT_EQ(lab.set("Wexsignature", PREFIXED_FIELD, "x", 7), Q7_OK);
    ASSERT_EQ(lab.set("Wexsignature", "DeviceConnectionInterface", "wl0", 7), Q7_OK);
    ASSERT_NO_FATAL_FAILURE(settle(lab, d));
    const std::vector<std::string> log = log_lines(d.err());
    auto at = log.begin();
    for (const std::string &w : want) {
        at = std::find(at, log.end(), w);
        ASSERT_NE(at++, log.end()) << "no line \"" << w << "\" in order in\n" << d.err();
    }
    EXPECT_EQ(count_of(d.err(), "Change notification for !!"), 9) << d.err();
    EXPECT_EQ(count_of(d.err(), "Enqueue New device index"), 7) << d.err();

    // The log configuration's apply request: applied and cleared (logged where it now says).
    const std::string log_file = "/tmp/tsh-e2e-" + std::to_string(getpid()) + ".log";  // 31 characters at most
    const std::string apply = "[DAL_TSH] - Change notification on table: dalLogCfg for field: TshConfigurationApply";
    ASSERT_EQ(lab.set("dalLogCfg", "TshLogFileName", log_file), Q7_OK);
    ASSERT_EQ(lab.set("dalLogCfg", "TshLogToFile", "1"), Q7_OK);
    ASSERT_EQ(lab.set("dalLogCfg", "TshConfigurationApply", "1"), Q7_OK);
    ASSERT_TRUE(d.wait_err(apply, 2)) << d.err();
    EXPECT_EQ(lab.get("dalLogCfg", "TshConfigurationApply"), "0");
    EXPECT_TRUE(lines_in_order(read_file(log_file), {"<info> tsh_dal: " + apply}));
    ASSERT_NO_FATAL_FAILURE(settle(lab, d));
    EXPECT_EQ(count_of(d.err(), apply), 2) << d.err();  // its own write of false notified nobody
    unlink(log_file.c_str());
    // Rows that are no satellites say so.
    EXPECT_TRUE(no_failures(d.err(), {"Failed to call remove_satellite()"}));
    expect_orderly_stop(d);
}

TEST_F(Worker, SendsEachFieldAsQ7HoldsItAndAcknowledgesIt)
{
    ASSERT_NO_FATAL_FAILURE(device(lab, 5, MAC5, "uuid-5", ""));
    // A change while start-up is held before the worker's stage: queued, sent once the worker runs.
    ASSERT_EQ(lab.agentctl({"hang", "get_version_info", "3000"}), 0);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_err("set_module_version_detail() is called at boot time")) << d.err();
    ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", std::string(63, 'n'), 5), Q7_OK);
    ASSERT_TRUE(d.wait_err("Enqueue New device index : 5")) << d.err();
    ASSERT_EQ(d.err().find("Queue for TelvaSoT Initiliazed"), std::string::npos) << d.err();
    ASSERT_TRUE(d.wait_err("TelvaSoTResponseStatus setted as true at index : 5")) << d.err();
    EXPECT_EQ(last(lab, "set_device_info"), info_of(lab, 5, std::string(63, 'n')));
    ASSERT_TRUE(d.wait_ready()) << d.err();

    for (const auto &[value, blocked] : {std::pair{"block", 1}, std::pair{"allow", 0}, std::pair{"", 0}}) {
        ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "AllowOrBlock", value, 5));
        EXPECT_EQ(last(lab, "set_device_info"), info_of(lab, 5, "", blocked)) << value;
    }
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "Devicestate", "DOWN", 5));
    EXPECT_EQ(last(lab, "set_device_online_status"), online_of(lab, 5, 0));
    EXPECT_EQ(d.err().find("For Remove Satellite"), std::string::npos);
    // Becoming a satellite, then online: removed first, then sent online.
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "DeviceCategory", "satellite", 5));
    EXPECT_EQ(last(lab, "remove_satellite"), R"({"mac":")" + std::string(MAC5) + "\"}");
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "Devicestate", "UNKNOWN", 5));
    EXPECT_EQ(last(lab, "set_device_online_status"), online_of(lab, 5, 1));
    EXPECT_TRUE(lines_in_order(d.err().substr(d.err().rfind("fld : Devicestate index : 5")),
                               {"<info> tsh_sot: Telva SOT for sa_broker_remove_satellite()",
                                "<info> tsh_sot: Telva SOT for sa_broker_set_device_online_status"}));
    // The update flag itself is a signature update: the online state again.
    ASSERT_EQ(lab.set("Wexsignature", "WEXSignatureUpdateStatus", "0", 5), Q7_OK);
    ASSERT_TRUE(d.wait_err("WEXSignatureUpdateStatus at index 5 = 0")) << d.err();
    ASSERT_EQ(lab.set("Wexsignature", "DeviceIP", "10.0.0.255", 5), Q7_OK);
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "WEXSignatureUpdateStatus", "1", 5));
    EXPECT_EQ(last(lab, "set_device_online_status"), online_of(lab, 5, 1));

    EXPECT_TRUE(no_failures(d.err()));
    expect_orderly_stop(d);
}

TEST_F(Worker, NothingToSendIsNoFailureAndARefusedChangeIsTriedTwiceThenAgainAtAgentStart)
{
    ASSERT_NO_FATAL_FAILURE(device(lab, 6, MAC5, "", "DOWN"));
    ASSERT_NO_FATAL_FAILURE(device(lab, 8, "F0:9F:C2:00:7F:88", "uuid-8", "DOWN"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    // No UUID: no name or block setting to send. Online but no satellite: no removal.
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "DeviceIdList", "DisplayNameCustom", "Guest", 6));
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "AllowOrBlock", "block", 6));
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "Devicestate", "UP", 6));
    EXPECT_EQ(lab.calls("set_device_info") + lab.calls("remove_satellite"), 0);
    EXPECT_EQ(last(lab, "set_device_online_status"), online_of(lab, 6, 1));

    // Refused: tried twice. A satellite the agent will not remove: its online state still sent.
    ASSERT_EQ(lab.agentctl({"fail", "set_device_info", "always"}), 0);
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "DeviceIdList", "DisplayNameCustom", "Printer", 8, false));
    EXPECT_EQ(lab.calls("set_device_info"), 2);
    const std::string tried = "<info> tsh_sot: Telva SOT for sa_broker_set_device_info(DisplayName)",
                      again = "<error> tsh_sot: Failed to called sa_broker_set_device_info(DisplayName)! Re-trying ..";
    EXPECT_TRUE(lines_in_order(d.err(), {tried, again, tried, again}));
    ASSERT_EQ(lab.agentctl({"fail", "remove_satellite", "always"}), 0);
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "DeviceCategory", "satellite", 8, false));
    EXPECT_EQ(lab.calls("remove_satellite"), 2);
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "Devicestate", "UP", 8, false));
    EXPECT_EQ(lab.calls("remove_satellite"), 4);
    EXPECT_EQ(last(lab, "set_device_online_status"), online_of(lab, 8, 1));

    // The agent away for 5 s: what it refused meanwhile reaches it once back, as Q7 holds it.
    ASSERT_EQ(lab.agentctl({"fail", "set_device_info", "off"}), 0);
    ASSERT_EQ(lab.agentctl({"fail", "remove_satellite", "off"}), 0);
    ASSERT_EQ(lab.agentctl({"restart", "5000"}), 0);
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "AllowOrBlock", "block", 8, false));
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "Devicestate", "DOWN", 8, false));
    const std::string name = lab.get("DeviceIdList", "DisplayNameCustom", 8);
    EXPECT_TRUE(wait_until(
        [&] {
            return agent_has(lab, "device_info", "uuid-8", info_of(lab, 8, name, 1)) &&
                   agent_has(lab, "online", "F0:9F:C2:00:7F:88", online_of(lab, 8, 0)) &&
                   !lab.journal("remove_satellite").empty();
        },
        30s))
        << d.err();

    // The IP unreadable: a block setting read after it is not sent, a name read before it is.
    ASSERT_EQ(lab.redis({"HSET", "q7:d:Wexsignature:8", "DeviceIP", "not-an-address"}), 0);
    const int sends = lab.calls("set_device_info");
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "Wexsignature", "AllowOrBlock", "allow", 8, false));
    EXPECT_EQ(lab.calls("set_device_info"), sends);
    EXPECT_TRUE(lines_in_order(d.err(), {"<error> tsh_sot: (TelvaSoT) - Device record of index 8 not read, no "
                                         "block setting sent"}));
    ASSERT_NO_FATAL_FAILURE(change(lab, d, "DeviceIdList", "DisplayNameCustom", "Scanner", 8));
    EXPECT_EQ(last(lab, "set_device_info"), info_of(lab, 8, "Scanner"));
    expect_orderly_stop(d);
}

void agent_started(Lab &lab, const Daemon &d, const char *outcome = "saagent_started() is successfully called")
{
    const int seen = count_of(d.err(), outcome);
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    ASSERT_TRUE(d.wait_err(outcome, seen + 1)) << d.err();
}

TEST_F(Resync, SendsTheOnlineDevicesInIndexOrderAtEachAgentStartNeverOlderThanTheWorkersLast)
{
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    EXPECT_EQ(lab.journal("set_device_online_status"), std::vector<std::string>{"{}"});
    // Rows without the update flag: the worker stays out.
    ASSERT_NO_FATAL_FAILURE(device(lab, 7, "00:00:00:00:00:07", "", "UP", false));
    ASSERT_EQ(lab.set("Wexsignature", "DeviceCategory", "satellite", 7), Q7_OK);
    ASSERT_NO_FATAL_FAILURE(agent_started(lab, d));
    EXPECT_EQ(last(lab, "set_device_online_status"), online_of(lab, 7, 1));
    EXPECT_EQ(last(lab, "remove_satellite"), R"({"mac":"00:00:00:00:00:07"})");
    // Only "UP" counts here; a satellite is removed and still sent.
    for (const auto &[row, state] : {std::pair{3u, "UP"}, std::pair{5u, "UNKNOWN"}, std::pair{9u, "DOWN"}})
        ASSERT_NO_FATAL_FAILURE(device(lab, row, "00:00:00:00:00:0" + std::to_string(row), "", state, false));
    ASSERT_NO_FATAL_FAILURE(agent_started(lab, d));
    EXPECT_EQ(last(lab, "set_device_online_status"), "[" + online_of(lab, 3, 1) + "," + online_of(lab, 7, 1) + "]");
    EXPECT_EQ(lab.calls("remove_satellite"), 2);
    // Resyncs racing the worker: its last word, offline, is never overwritten by an older list.
    ASSERT_NO_FATAL_FAILURE(device(lab, 4, "00:00:00:00:00:04", "uuid-4", "DOWN"));
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(lab.set("Wexsignature", "Devicestate", "UP", 4), Q7_OK);
        ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
        ASSERT_EQ(lab.set("Wexsignature", "Devicestate", "DOWN", 4), Q7_OK);
    }
    ASSERT_TRUE(d.wait_err("saagent_started() is successfully called", 2 + 20)) << d.err();
    ASSERT_TRUE(wait_until([&] {
        return count_of(d.err(), "Dequeue device index") == count_of(d.err(), "Enqueue New device index");
    })) << d.err();
    EXPECT_TRUE(agent_has(lab, "online", "00:00:00:00:00:04", online_of(lab, 4, 0)));
    // Rows that are no satellites say so.
    EXPECT_TRUE(no_failures(d.err(), {"Failed to call remove_satellite()"}));
    // A record unreadable half-way: nothing sent, the removals before it made.
    ASSERT_EQ(lab.redis({"HSET", "q7:d:Wexsignature:200", "DeviceIP", "junk"}), 0);
    const int sends = lab.calls("set_device_online_status"), removals = lab.calls("remove_satellite");
    ASSERT_NO_FATAL_FAILURE(agent_started(lab, d, "(saagent_started) - Failed to call saagent_started()"));
    EXPECT_EQ(lab.calls("set_device_online_status"), sends);
    EXPECT_EQ(lab.calls("remove_satellite"), removals + 1);
    expect_orderly_stop(d);
}

} // namespace
} // namespace tshtest
