// TeSvcHdlr and the agent end to end: the broker library's starts and retries
// (and the signals taken meanwhile), the agent check, protection requests,
// the agent's version and status report, its scan status events.
#include "daemon_harness.h"

#include <csignal>
#include <ctime>
#include <tuple>

#include "wait_until.h"

namespace tshtest {
namespace {

using AgentStart = DaemonTest;
using AgentCheck = DaemonTest;
using AgentCalls = DaemonTest;
using Scan = DaemonTest;

const std::string INITING = "<info> tsh_agent: Initing telva subscriptions",
                  STARTED = "<info> tsh_agent: Initialize SA broker library successfully",
                  INIT_FALSE = "<info> tsh_agent: Setting saBrokerInitStatusEvent as false ",
                  NOT_STARTED = "<error> tsh_agent: Failed to initialize SA broker library",
                  AGAIN = "<error> tsh_agent: Trying again";

bool field_becomes(Lab &lab, const char *table, const char *field, const std::string &want)
{
    return wait_until([&] { return lab.get(table, field) == want; }, 20s);
}

// And the signals taken meanwhile and afterwards.
TEST_F(AgentStart, RetriesWhileTheAgentIsAwayAndMirrorsEachTry)
{
    // Values the first failed try must write over.
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "UP"), Q7_OK);
    ASSERT_EQ(lab.set("TelvaRAEvent", "saBrokerInitStatusEvent", "true"), Q7_OK);
    ASSERT_EQ(lab.set("TelvaStatus", "protectionStatus", "true"), Q7_OK);
    agenttest::PrivateAgent late;   // its socket is not there yet
    Daemon d({"SA_AGENT_SOCKET=" + late.socket()});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_err("try count 2, timesleep 4")) << d.err();
    EXPECT_TRUE(lines_together(d.err(), {"<info> tsh_agent: try count 0, timesleep 0", INITING, INIT_FALSE,
                                         NOT_STARTED, AGAIN, "<info> tsh_agent: try count 1, timesleep 2", INITING,
                                         INIT_FALSE, NOT_STARTED, AGAIN, "<info> tsh_agent: try count 2, timesleep 4"}));
    EXPECT_TRUE(field_becomes(lab, "TelvaCfg", "SAService", "DOWN"));
    EXPECT_TRUE(field_becomes(lab, "TelvaRAEvent", "saBrokerInitStatusEvent", "false"));
    // Printed at once although stdout is a file, and no stage fails for it.
    d.signal(SIGUSR2);
    ASSERT_TRUE(d.wait_out("protectionStatus :true\n")) << d.out();
    ASSERT_TRUE(late.start());
    ASSERT_TRUE(d.wait_ready(20s)) << d.err();
    EXPECT_TRUE(lines_together(d.err(), {STARTED, "<info> tsh_main: Retry Logic called successfully"}));
    EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP");
    EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerInitStatusEvent"), "true");
    ASSERT_EQ(lab.set("TelvaStatus", "protectionStatus", "false"), Q7_OK);
    // SIGPIPE ignored; the number of the signal thread's own stop taken and
    // ignored; signals of one kind merged while one is pending.
    d.signal(SIGPIPE);
    d.signal(SIGRTMIN);
    for (int i = 0; i < 1000; ++i)
        d.signal(SIGUSR2);
    ASSERT_TRUE(d.wait_out("protectionStatus :false\n")) << d.out();
    EXPECT_TRUE(wait_until(
        [&] { return count_of(d.out(), "protectionStatus :") == count_of(d.err(), "sig_usr2 handler."); }));
    EXPECT_EQ(d.out().find("protectionStatus :false\nprotectionStatus :true"), std::string::npos) << d.out();
    expect_orderly_stop(d);
}

TEST_F(AgentStart, AFailedEventSubscriptionFailsTheTryUnlessItIsTheScanOne)
{
    auto retried = [](const std::string &failure) {
        return std::vector<std::string>{failure, INIT_FALSE, NOT_STARTED, AGAIN,
                                        "<info> tsh_agent: try count 1, timesleep 2"};
    };
    const std::tuple<const char *, std::vector<std::string>, const char *> cases[] = {
        {"subscribe:3", retried("<error> tsh_agent: Failed to subscribe to Devices list Update"), "true"},
        {"subscribe:4", retried("<error> tsh_agent: Failed to subscribe to SA agent started"), "true"},
        {"subscribe:5", {"<error> tsh_agent: Failed to subscribe to SA_BROKER_VA_STATUS ", STARTED}, "false"},
    };
    for (const auto &[call, lines, scan_event] : cases) {
        SCOPED_TRACE(call);
        ASSERT_NO_FATAL_FAILURE(lab.reset());
        ASSERT_EQ(lab.set("TelvaRAEvent", "saVAScanEvent", "true"), Q7_OK);
        ASSERT_EQ(lab.agentctl({"fail", call}), 0);
        Daemon d;
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.wait_ready()) << d.err();
        EXPECT_TRUE(lines_together(d.err(), lines));
        EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP");
        EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerInitStatusEvent"), "true");
        EXPECT_EQ(lab.get("TelvaRAEvent", "saVAScanEvent"), scan_event);
        expect_orderly_stop(d);
    }
}

// And the agent's status report logged whatever it holds, at start-up and at
// each start of the library.
TEST_F(AgentStart, OnlyAnExactUpOfTheAliveStateRestartsTheLibrary)
{
    ASSERT_EQ(lab.agentctl({"set", "--raw", "status-report",
                            R"({"agent": {"version": {"release": 5}}, "va": {"scheduled": {"enabled": false}}})"}),
              0);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    const std::string report = "<info> tsh_agent: [status_report]: ";
    EXPECT_TRUE(lines_together(d.err(), {report + "release: (absent)", report + "patch: (absent)",
                                         "<error> tsh_agent: [status_report]: scheduled VA network scan tasks are "
                                         "not run",
                                         report + "cloud triggered VA scan tasks are not run by the SAAgent",
                                         "<info> tsh_main: [status_report]:(main) sa_broker_get_status_report: A "
                                         "brief report showing the SAAgent status "}));
    // Each a change from the value before, so each is notified.
    for (const char *state : {"up", ""}) {
        ASSERT_EQ(lab.set("TelvaCfg", "SAService", "UP"), Q7_OK);
        ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", state), Q7_OK);
        ASSERT_TRUE(field_becomes(lab, "TelvaCfg", "SAService", "DOWN")) << state;
    }
    EXPECT_EQ(count_of(d.err(), "!! SAAliveState is DOWN !!"), 2);
    ASSERT_EQ(lab.agentctl({"set", "--raw", "status-report", "not json"}), 0);
    ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", "UP"), Q7_OK);
    ASSERT_TRUE(d.wait_err("Sending router info to SA cloud at SA state toggle")) << d.err();
    EXPECT_TRUE(lines_in_order(d.err(), {"<info> tsh_agent: _SAAliveState is changed",
                                         "<info> tsh_agent: try count 0, timesleep 0", INITING,
                                         "<error> tsh_agent: [status_report]:(telva_init) Failed to get the SAAgent "
                                         "status report ",
                                         STARTED, "<info> tsh_agent: [DAL_TSH] : Sending router info to SA cloud at "
                                                  "SA state toggle"}));
    EXPECT_TRUE(field_becomes(lab, "TelvaCfg", "SAService", "UP"));
    // The library stays up through the other states: no new start.
    EXPECT_EQ(count_of(d.err(), "Initing telva subscriptions"), 2);
    expect_orderly_stop(d);
}

TEST_F(AgentCheck, ADownWrittenWhileTheRestartRetriesDoesNotOutliveIt)
{
    Daemon d({"TSH_TEST_CHECK_PERIOD_MS=2000"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    // The first check's "UP" restarts the library once.
    ASSERT_TRUE(d.wait_err("Initialize SA broker library successfully", 2, 20s)) << d.err();
    // The agent gone for a check: the service goes down.
    ASSERT_EQ(lab.agentctl({"fail", "get_version_info", "always"}), 0);
    ASSERT_TRUE(field_becomes(lab, "TelvaCfg", "SAService", "DOWN")) << d.err();
    // Back, but it cannot be started yet: the handler retries, and with the
    // library released meanwhile the next check writes "DOWN".
    ASSERT_EQ(lab.agentctl({"fail", "init", "always"}), 0);
    ASSERT_EQ(lab.agentctl({"fail", "subscribe", "always"}), 0);
    ASSERT_EQ(lab.agentctl({"fail", "get_version_info", "off"}), 0);
    ASSERT_TRUE(d.wait_err("Trying again", 1, 20s)) << d.err();
    ASSERT_TRUE(field_becomes(lab, "TelvaCfg", "SAAliveState", "DOWN")) << d.err();
    // Started at last: the notification of that "DOWN" comes after.
    const int changes = count_of(d.err(), "_SAAliveState is changed");
    ASSERT_EQ(lab.agentctl({"fail", "init", "off"}), 0);
    ASSERT_EQ(lab.agentctl({"fail", "subscribe", "off"}), 0);
    ASSERT_TRUE(d.wait_err("_SAAliveState is changed", changes + 1)) << d.err();
    ASSERT_NO_FATAL_FAILURE(settle(lab, d));
    EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP") << d.err();
    expect_orderly_stop(d);
}

TEST_F(AgentCalls, ProtectionFollowsExactRequestsAndTheAgentsAnswer)
{
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    // The request, the call the agent refuses, the calls made so far and the
    // protection then recorded.
    const std::tuple<const char *, const char *, int, std::string> requests[] = {
        {"do_protection_on", "", 1, "true"},         {"do_protection_on", "", 2, "true"},
        {"do_protection_off", "disable", 3, "true"}, {"do_protection_off", "", 4, "false"},
        {"do_protection_on", "enable", 5, "false"},  {"Do_Protection_On", "", 5, "false"},
        {"do_reboot", "", 5, "false"},
    };
    int made = 0;
    for (const auto &[action, refused, calls, status] : requests) {
        SCOPED_TRACE(action);
        const bool accepted = !*refused && calls > made;
        made = calls;
        ASSERT_EQ(lab.set("TelvaDebug", "lastEventSink", "1"), Q7_OK);
        ASSERT_TRUE(!*refused || lab.agentctl({"fail", refused}) == 0);
        const long before = std::time(nullptr);
        // Consumed before it is carried out, and carried out once.
        ASSERT_EQ(lab.set("TelvaCfg", "action", action), Q7_OK);
        ASSERT_TRUE(field_becomes(lab, "TelvaCfg", "action", "none"));
        ASSERT_NO_FATAL_FAILURE(settle(lab, d));
        EXPECT_EQ(lab.calls("enable") + lab.calls("disable"), calls);
        EXPECT_EQ(lab.get("TelvaStatus", "protectionStatus"), status);
        EXPECT_EQ(cJSON_IsTrue(cJSON_GetObjectItem(lab.agent_state().get(), "protection")), status == "true");
        // When the agent last accepted a change.
        const long sink = std::atol(lab.get("TelvaDebug", "lastEventSink").c_str());
        EXPECT_TRUE(accepted ? sink >= before && sink <= std::time(nullptr) : sink == 1) << sink;
    }
    expect_orderly_stop(d);
}

// The agent's version read again while connected, as the agent hands it out.
void refresh_version(Lab &lab, const Daemon &d, const char *text, int refresh)
{
    ASSERT_EQ(lab.agentctl({"set", "--raw", "version", text}), 0);
    ASSERT_EQ(lab.set("OrlixCfg", "orlix_connected", "1"), Q7_OK);
    ASSERT_TRUE(d.wait_err("get_version_info() is called while connected is true", refresh)) << d.err();
    // Disconnected again, and seen so.
    ASSERT_EQ(lab.set("OrlixCfg", "orlix_connected", "0"), Q7_OK);
    ASSERT_TRUE(d.wait_err("x_status : 0", refresh)) << d.err();
}

TEST_F(AgentCalls, TheVersionIsReadAgainOnlyWhileConnected)
{
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_NO_FATAL_FAILURE(refresh_version(lab, d, R"({"version": "6.0.1", "patch_level": 8})", 1));
    EXPECT_EQ(lab.get("TelvaStatus", "saaVersion"), "6.0.1");
    EXPECT_EQ(lab.get("TelvaStatus", "saaPatchLevel"), "8");
    EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerVersionStatus"), "true");
    // Refused: marked, the version kept.
    ASSERT_EQ(lab.agentctl({"fail", "get_version_info"}), 0);
    ASSERT_NO_FATAL_FAILURE(refresh_version(lab, d, R"({"version": "9", "patch_level": 9})", 2));
    EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerVersionStatus"), "false");
    EXPECT_EQ(lab.get("TelvaStatus", "saaVersion"), "6.0.1");
    // An unreadable flag counts as disconnected: no call.
    ASSERT_EQ(lab.redis({"HSET", "q7:d:OrlixCfg:0", "orlix_connected", "junk"}), 0);
    ASSERT_EQ(lab.redis({"XADD", "q7:events", "*", "n", "OrlixCfg\t0\torlix_connected", "v", "junk"}), 0);
    ASSERT_TRUE(d.wait_err("x_status : 0", 3)) << d.err();
    // At start-up, then once for each connection.
    EXPECT_EQ(lab.calls("get_version_info"), 3);
    expect_orderly_stop(d);
}

// Each scan event's status, type, reason and result as they land in Q7; the
// update flag is set only for an event that was used.
TEST_F(Scan, EachStatusKeepsItsMembersAndUnusableEventsLeaveTheFlag)
{
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    struct Row {
        const char *json;
        bool running;
        std::vector<std::string> want; // status, type, reason, result
        const char *flag, *handled;
    };
    constexpr const char SCANNED[] = "Setting saVAScanEvent as true";
    const Row rows[] = {
        {R"({"status":"started","type":"full","reason":"r","result":"x"})", true, {"started", "full", "", ""}, "true", SCANNED},
        {R"({"status":"canceled","reason":"user"})", true, {"canceled", "", "user", ""}, "true", SCANNED},
        {R"({"status":"postponed","type":"quick","reason":"busy"})", true, {"postponed", "quick", "busy", ""}, "true", SCANNED},
        {R"({"status":"aborted","type":"full"})", true, {"aborted", "full", "", ""}, "true", SCANNED},
        {R"({"status":"finished","type":"full","result":"failed"})", true, {"finished", "full", "unknown", "failed"}, "true", SCANNED},
        {R"({"status":"finished","result":"failed","reason":7})", true, {"finished", "", "unknown", "failed"}, "true", SCANNED},
        {R"({"status":"finished","result":"failed","reason":"timeout"})", true, {"finished", "", "timeout", "failed"}, "true", SCANNED},
        {R"({"status":"finished","result":"ok","reason":"r"})", true, {"finished", "", "", "ok"}, "true", SCANNED},
        {R"({"Status":"Started","type":"full"})", true, {"Started", "", "", ""}, "true", SCANNED},
        {"not json", true, {"Started", "", "", ""}, "false", "VA scan is being run"},
        // A status that is no text: emptied, but not flagged as an update.
        {R"({"status":3,"type":"full"})", true, {"", "", "", ""}, "false", "VA scan is being run"},
        {R"({"status":"finished","result":"ok"})", false, {"", "", "", ""}, "false", "No Scans are being run"},
    };
    for (const Row &r : rows) {
        ASSERT_EQ(lab.agentctl({"set", "va-running", r.running ? "1" : "0"}), 0);
        ASSERT_EQ(lab.set("TelvaRAEvent", "saVAScanEvent", "false"), Q7_OK);
        const int seen = count_of(d.err(), r.handled);
        ASSERT_EQ(lab.agentctl({"emit", "--raw", "va-scan", r.json}), 0);
        ASSERT_TRUE(d.wait_err(r.handled, seen + 1)) << r.json << "\n" << d.err();
        // Written after the line that says the event is being handled.
        std::vector<std::string> got;
        EXPECT_TRUE(wait_until([&] {
            got.clear();
            for (const char *f : {"saVAScanStatus", "saVAScanType", "saVAScanReason", "saVAScanResult"})
                got.push_back(lab.get("TelvaRAEvent", f));
            return got == r.want;
        })) << r.json << ": " << testing::PrintToString(got);
        EXPECT_EQ(lab.get("TelvaRAEvent", "saVAScanEvent"), r.flag) << r.json;
    }
    expect_orderly_stop(d);
}

} // namespace
} // namespace tshtest
