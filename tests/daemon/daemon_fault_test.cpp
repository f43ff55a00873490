// The faults a router really sees, end to end: a frozen database, an agent
// that keeps restarting, memory that runs out. Each ends with an orderly stop.
#include "daemon_harness.h"

#include "wait_until.h"

namespace tshtest {
namespace {

using Faults = DaemonTest;

// Devices 0..n-1 with the UUID u-N each and updates on.
void devices(Lab &lab, int n)
{
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(lab.set("DeviceIdList", "DeviceUUID", "u-" + std::to_string(i), i), Q7_OK);
        ASSERT_EQ(lab.set("Wexsignature", "WEXSignatureUpdateStatus", "1", i), Q7_OK);
    }
}

std::string name_at_agent(Lab &lab, int row)
{
    saproto::JsonPtr s = lab.agent_state();
    const cJSON *all = cJSON_GetObjectItemCaseSensitive(s.get(), "device_info");
    return text_of(cJSON_GetObjectItemCaseSensitive(all, ("u-" + std::to_string(row)).c_str()), "display_name");
}

TEST_F(Faults, AFrozenDatabaseBoundsTheWorkOfEveryThreadAndWorkResumes)
{
    ASSERT_NO_FATAL_FAILURE(devices(lab, 2));
    Daemon d({"Q7_TIMEOUT_MS=300"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_EQ(::kill(lab.q7_pid(), SIGSTOP), 0);
    // The signal thread prints what it could not read; the agent's start
    // event gives up at the first unreadable device, not after each of 256.
    d.signal(SIGUSR2);
    EXPECT_TRUE(d.wait_out("protectionStatus :\n")) << d.out();
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    EXPECT_TRUE(d.wait_err("(saagent_started) - Failed to call saagent_started()", 1, 20s)) << d.err();
    ASSERT_EQ(::kill(lab.q7_pid(), SIGCONT), 0);
    // Renamed until the agent has it: a write made while reconnecting may be lost.
    int i = 0;
    EXPECT_TRUE(wait_until(
        [&] {
            const std::string n = "thawed-" + std::to_string(i++);
            lab.set("DeviceIdList", "DisplayNameCustom", n, 1);
            return wait_until([&] { return name_at_agent(lab, 1) == n; }, 500ms);
        },
        20s)) << d.err();
    expect_orderly_stop(d);
}

// A change whose record Q7 could not give (frozen while the worker was in
// the agent's call before it) is read again until Q7 answers, and sent.
TEST_F(Faults, AChangeReadWhileTheDatabaseIsFrozenReachesTheAgentOnceItThaws)
{
    ASSERT_NO_FATAL_FAILURE(devices(lab, 2));
    Daemon d({"Q7_TIMEOUT_MS=300"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_EQ(lab.agentctl({"hang", "set_device_info", "3000"}), 0);
    ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "held", 0), Q7_OK);
    ASSERT_TRUE(d.wait_err("Telva SOT for sa_broker_set_device_info(DisplayName)")) << d.err();
    ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "thawed", 1), Q7_OK);
    ASSERT_TRUE(d.wait_err("WEXSignatureUpdateStatus at index 1 = 1")) << d.err();
    ASSERT_EQ(::kill(lab.q7_pid(), SIGSTOP), 0);
    EXPECT_TRUE(d.wait_err("(TelvaSoT) - Failed to get TelvaSoT info", 1, 20s)) << d.err();
    ASSERT_EQ(::kill(lab.q7_pid(), SIGCONT), 0);
    ASSERT_EQ(lab.agentctl({"hang", "set_device_info", "0"}), 0);
    EXPECT_TRUE(wait_until([&] { return name_at_agent(lab, 1) == "thawed"; }, 20s)) << d.err();
    expect_orderly_stop(d);
}

TEST_F(Faults, AnAgentRestartedOverAndOverEndsWithEveryDevicesLastState)
{
    constexpr int rows = 16, restarts = 30;
    ASSERT_NO_FATAL_FAILURE(devices(lab, rows));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    // Renames in flight at each restart: sends cut off, refused or made twice.
    for (int k = 0; k < restarts; ++k) {
        for (int r = 0; r < rows; r += 5)
            ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "k" + std::to_string(k), r), Q7_OK);
        ASSERT_EQ(lab.agentctl({"restart"}), 0);
        ASSERT_TRUE(d.wait_err("Entered into saAgentStarted callback function", k + 1, 20s)) << k << "\n" << d.err();
    }
    // Connected again: the last state of every device goes through.
    for (int r = 0; r < rows; ++r) {
        ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "last-" + std::to_string(r), r), Q7_OK);
        ASSERT_EQ(lab.set("Wexsignature", "AllowOrBlock", r % 2 ? "block" : "allow", r), Q7_OK);
    }
    EXPECT_TRUE(wait_until([&] {
        saproto::JsonPtr s = lab.agent_state();
        const cJSON *all = cJSON_GetObjectItemCaseSensitive(s.get(), "device_info");
        for (int r = 0; r < rows; ++r) {
            const cJSON *dev = cJSON_GetObjectItemCaseSensitive(all, ("u-" + std::to_string(r)).c_str());
            if (text_of(dev, "display_name") != "last-" + std::to_string(r) || int_of(dev, "traffic_blocked") != r % 2)
                return false;
        }
        return true;
    }, 30s)) << d.err();
    expect_orderly_stop(d);
}

TEST_F(Faults, AllocationFailuresSendNothingHalfBuilt)
{
    // Two devices online (one a satellite) and one rename: the resync, the
    // router push and the worker build their texts.
    ASSERT_NO_FATAL_FAILURE(devices(lab, 2));
    for (int r : {0, 1}) {
        ASSERT_EQ(lab.set("Wexsignature", "DeviceMAC", "02:00:00:00:00:0" + std::to_string(r), r), Q7_OK);
        ASSERT_EQ(lab.set("Wexsignature", "Devicestate", "UP", r), Q7_OK);
    }
    ASSERT_EQ(lab.set("Wexsignature", "DeviceCategory", "satellite", 1), Q7_OK);
    ASSERT_EQ(lab.set("featureSwitch", "rp", "enable"), Q7_OK);
    for (int n = 1;; ++n) {
        ASSERT_LT(n, 400) << "the paths never ran out of allocations to fail";
        ASSERT_EQ(lab.agentctl({"journal", "--clear"}), 0);
        Daemon d({"TSH_TEST_JSON_ALLOC_FAIL_AT=" + std::to_string(n)});
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.wait_ready()) << d.err();
        const std::string resynced = "Deleting device_online_status cjson";
        const int resyncs = count_of(d.err(), resynced);
        ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
        ASSERT_TRUE(d.wait_err(resynced, resyncs + 1)) << n << "\n" << d.err();
        ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "n" + std::to_string(n), 0), Q7_OK);
        ASSERT_TRUE(d.wait_err("TelvaSoTResponseStatus setted as")) << n << "\n" << d.err();
        // Whatever reached the agent was whole: it refused nothing.
        for (const char *call : {"set_router_info", "set_device_online_status", "remove_satellite", "set_device_info"})
            EXPECT_EQ(lab.calls(call), static_cast<int>(lab.journal(call).size())) << call << " at " << n;
        const bool failed = d.err().find("test: JSON allocation") != std::string::npos;
        EXPECT_TRUE(!failed || d.err().find("could not be built") != std::string::npos) << n << "\n" << d.err();
        expect_orderly_stop(d);
        if (!failed)
            break;  // every allocation of the paths has been made to fail once
    }
}

} // namespace
} // namespace tshtest
