// The agent bridge end to end: protection requests, the agent's version and
// status report, and the periodic check that keeps SAAliveState current.
#include "daemon_harness.h"

#include <ctime>

namespace tshtest {
namespace {

using Protection = DaemonTest;
using AgentVersion = DaemonTest;
using AgentCheck = DaemonTest;
using StatusReport = DaemonTest;

// The daemon's log line holding `text`, or "".
std::string line_with(const std::string &log, const std::string &text)
{
    const size_t at = log.find(text);
    if (at == std::string::npos)
        return "";
    const size_t begin = log.rfind('\n', at);
    return log.substr(begin == std::string::npos ? 0 : begin + 1, log.find('\n', at) - begin);
}

// A request written as the web interface does, then consumed.
void request(Lab &lab, const Daemon &d, const char *action, const char *log_line, int times)
{
    ASSERT_EQ(lab.set("TelvaCfg", "action", action), Q7_OK);
    ASSERT_TRUE(d.wait_err(log_line, times)) << action << "\n" << d.err();
    ASSERT_TRUE(wait_until([&] { return lab.get("TelvaCfg", "action") == "none"; })) << action;
}

TEST_F(Protection, SwitchesFollowTheAgentsAnswerAndAreTimed)
{
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();

    const long before = static_cast<long>(std::time(nullptr));
    ASSERT_NO_FATAL_FAILURE(request(lab, d, "do_protection_on", "sa_broker_enable() called", 1));
    ASSERT_TRUE(wait_until([&] { return lab.get("TelvaStatus", "protectionStatus") == "true"; })) << d.err();
    ASSERT_TRUE(wait_until([&] { return std::atol(lab.get("TelvaDebug", "lastEventSink").c_str()) >= before; }));
    EXPECT_LE(std::atol(lab.get("TelvaDebug", "lastEventSink").c_str()), static_cast<long>(std::time(nullptr)));
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(lab.agent_state().get(), "protection")));

    // Refused: recorded state and time stay.
    ASSERT_EQ(lab.set("TelvaDebug", "lastEventSink", "1"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"fail", "disable"}), 0);
    ASSERT_NO_FATAL_FAILURE(request(lab, d, "do_protection_off", "sa_broker_disable is failed", 1));
    EXPECT_EQ(lab.get("TelvaStatus", "protectionStatus"), "true");
    EXPECT_EQ(lab.get("TelvaDebug", "lastEventSink"), "1");

    ASSERT_NO_FATAL_FAILURE(request(lab, d, "do_protection_off", "sa_broker_disable() called", 2));
    ASSERT_TRUE(wait_until([&] { return lab.get("TelvaStatus", "protectionStatus") == "false"; })) << d.err();
    EXPECT_NE(lab.get("TelvaDebug", "lastEventSink"), "1");
    ASSERT_EQ(lab.agentctl({"fail", "enable"}), 0);
    ASSERT_NO_FATAL_FAILURE(request(lab, d, "do_protection_on", "sa_broker_enable is failed", 1));
    EXPECT_EQ(lab.get("TelvaStatus", "protectionStatus"), "false");
    expect_orderly_stop(d);
}

TEST_F(Protection, OnlyExactRequestsReachTheAgentAndEachIsCarriedOut)
{
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    for (const char *other : {"Do_Protection_On", "DO_PROTECTION_OFF", "do_reboot"}) {
        ASSERT_EQ(lab.set("TelvaCfg", "action", other), Q7_OK);
        ASSERT_TRUE(wait_until([&] { return lab.get("TelvaCfg", "action") == "none"; })) << other;
    }
    ASSERT_NO_FATAL_FAILURE(settle(lab, d));
    EXPECT_EQ(lab.calls("enable") + lab.calls("disable"), 0);
    EXPECT_EQ(d.err().find("action is :"), std::string::npos);

    // Two in a row: both carried out. The web interface's own flow.
    std::string out;
    ASSERT_EQ(agenttest::run_tool("q7ctl", {"set", "TelvaCfg.action", "do_protection_on"}), 0);
    ASSERT_TRUE(d.wait_err("sa_broker_enable() called")) << d.err();
    ASSERT_TRUE(wait_until([&] { return lab.get("TelvaCfg", "action") == "none"; }));
    ASSERT_NO_FATAL_FAILURE(request(lab, d, "do_protection_on", "sa_broker_enable() called", 2));
    EXPECT_TRUE(wait_until([&] { return lab.calls("enable") == 2; }));
    ASSERT_TRUE(wait_until([&] {
        return agenttest::run_tool("q7ctl", {"get", "TelvaStatus.protectionStatus"}, &out) == 0 &&
               out.find("true") != std::string::npos;
    })) << out;
    expect_orderly_stop(d);
}

// The version text as the agent hands it out, then a refresh on demand.
void version_from(Lab &lab, const Daemon &d, const std::string &text, int refresh)
{
    ASSERT_EQ(lab.agentctl({"set", "--raw", "version", text}), 0);
    // Disconnected first, and seen so, or the next write would be read by
    // this change's handler too.
    if (lab.get("OrlixCfg", "orlix_connected") != "0") {
        const int seen = count_of(d.err(), "x_status : 0");
        ASSERT_EQ(lab.set("OrlixCfg", "orlix_connected", "0"), Q7_OK);
        ASSERT_TRUE(d.wait_err("x_status : 0", seen + 1)) << d.err();
    }
    ASSERT_EQ(lab.set("OrlixCfg", "orlix_connected", "1"), Q7_OK);
    ASSERT_TRUE(d.wait_err("get_version_info() is called while connected is true", refresh)) << d.err();
}

TEST_F(AgentVersion, IsScannedOutOfTheAgentsTextWithinItsBounds)
{
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    EXPECT_EQ(lab.get("DalModuleVersion", "TSHVersion"), "1.2.1");
    EXPECT_EQ(lab.get("TelvaStatus", "saaVersion"), "5.1.2.33");
    EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerVersionStatus"), "true");

    struct Case {
        std::string text, version, patch;
    };
    const std::string long_version(300, 'v');
    const Case cases[] = {
        {R"({"version": "5.1.2.33", "build": "b", "patch_level": 7})", "5.1.2.33", "7"},
        {R"({"version":"6.0","patch_level":8})", "6.0", "8"},
        {R"({"version": "6.1", "patch_level": 7, "x": 1})", "6.1", "7,"},
        {R"({"version": "6.2 beta"})", "6.2", ""},
        {R"({"build": "b", "patch_level": 9})", "", "9"},
        {R"({"version": ")" + long_version + R"(", "patch_level": 1234567890123456789})", long_version.substr(0, 127),
         "123456789012345"},
    };
    int refresh = 0;
    for (const Case &c : cases) {
        ASSERT_NO_FATAL_FAILURE(version_from(lab, d, c.text, ++refresh));
        EXPECT_EQ(lab.get("TelvaStatus", "saaVersion"), c.version) << c.text;
        EXPECT_EQ(lab.get("TelvaStatus", "saaPatchLevel"), c.patch) << c.text;
    }
    // The agent failing: marked, the version kept.
    ASSERT_EQ(lab.agentctl({"fail", "get_version_info"}), 0);
    ASSERT_NO_FATAL_FAILURE(version_from(lab, d, R"({"version": "9", "patch_level": 9})", ++refresh));
    EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerVersionStatus"), "false");
    EXPECT_EQ(lab.get("TelvaStatus", "saaPatchLevel"), "123456789012345");
    // Each disconnection only logged: no further agent call. An unreadable
    // flag counts as disconnected.
    ASSERT_EQ(lab.redis({"HSET", "q7:d:OrlixCfg:0", "orlix_connected", "junk"}), 0);
    const int seen = count_of(d.err(), "x_status : 0");
    ASSERT_EQ(lab.redis({"XADD", "q7:events", "*", "n", "OrlixCfg\t0\torlix_connected", "v", "junk"}), 0);
    ASSERT_TRUE(d.wait_err("x_status : 0", seen + 1)) << d.err();
    EXPECT_EQ(lab.calls("get_version_info"), refresh + 1);
    expect_orderly_stop(d);
}

TEST_F(AgentVersion, UnanswerableAtStartUpEndsTheDaemon)
{
    ASSERT_EQ(lab.agentctl({"fail", "get_version_info", "always"}), 0);
    Daemon d;
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.wait_exit(), std::optional<int>(1)) << d.err();
    EXPECT_TRUE(in_order(d.err(), {"Failed to get SA Agent Version", "Bye Bye....."})) << d.err();
    EXPECT_FALSE(path_exists(PID_FILE));
    ASSERT_EQ(lab.agentctl({"fail", "get_version_info", "off"}), 0);
}

TEST_F(AgentCheck, MarksTheAgentDownWhileGoneAndRestartsItWhenBack)
{
    ASSERT_EQ(lab.set("featureSwitch", "rp", "enable"), Q7_OK);
    Daemon d({"TSH_TEST_REFRESH_PERIOD_MS=50"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_TRUE(wait_until([&] { return lab.get("TelvaCfg", "SAAliveState") == "UP"; })) << d.err();
    const int inits = count_of(d.err(), "Initing telva subscriptions");
    const size_t pushes = lab.journal("set_router_info").size();

    // The agent away for a while, as after a crash.
    ASSERT_EQ(lab.agentctl({"restart", "1500"}), 0);
    ASSERT_TRUE(wait_until([&] { return lab.get("TelvaCfg", "SAAliveState") == "DOWN"; })) << d.err();
    ASSERT_TRUE(d.wait_err("SAAgent alive state is DOWN")) << d.err();
    ASSERT_TRUE(wait_until([&] { return lab.get("TelvaCfg", "SAService") == "DOWN"; })) << d.err();
    // Back: the whole start-up again, and the router pushed once more.
    ASSERT_TRUE(wait_until([&] { return lab.get("TelvaCfg", "SAAliveState") == "UP"; })) << d.err();
    ASSERT_TRUE(d.wait_err("Initing telva subscriptions", inits + 1)) << d.err();
    ASSERT_TRUE(wait_until([&] { return lab.get("TelvaCfg", "SAService") == "UP"; })) << d.err();
    EXPECT_TRUE(wait_until([&] { return lab.journal("set_router_info").size() > pushes; })) << d.err();
    expect_orderly_stop(d);
}

TEST_F(AgentCheck, AStopDuringTheCheckWritesNothing)
{
    // A call timeout longer than the test: the check is still in its call at the stop.
    Daemon d({"TSH_TEST_REFRESH_PERIOD_MS=50", "SA_CALL_TIMEOUT_MS=600000"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_TRUE(wait_until([&] { return lab.get("TelvaCfg", "SAAliveState") == "UP"; })) << d.err();
    ASSERT_EQ(lab.agentctl({"hang", "get_version_info", "600000"}), 0);
    ASSERT_TRUE(wait_until([&] {
        saproto::JsonPtr state = lab.agent_state();
        const cJSON *held = cJSON_GetObjectItemCaseSensitive(
            cJSON_GetObjectItemCaseSensitive(state.get(), "runtime"), "held");
        return cJSON_IsNumber(held) && held->valuedouble > 0;
    })) << d.err();
    expect_orderly_stop(d);
    EXPECT_EQ(lab.get("TelvaCfg", "SAAliveState"), "UP");
    EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerVersionStatus"), "true");
}

TEST_F(AgentCheck, ADownWrittenWhileTheRestartRetriesDoesNotOutliveIt)
{
    Daemon d({"TSH_TEST_REFRESH_PERIOD_MS=2000"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    // The first check's "UP" restarts the library once.
    ASSERT_TRUE(d.wait_err("Initialize SA broker library successfully", 2, 20s)) << d.err();
    auto field_becomes = [&](const char *table, const char *field, const char *value) {
        return wait_until([&] { return lab.get(table, field) == value; }, 20s);
    };
    // The agent gone for a check: the service goes down.
    ASSERT_EQ(lab.agentctl({"fail", "get_version_info", "always"}), 0);
    ASSERT_TRUE(field_becomes("TelvaCfg", "SAService", "DOWN")) << d.err();
    // Back, but it cannot be started yet: the handler retries, and with the
    // library released meanwhile the next check writes "DOWN".
    ASSERT_EQ(lab.agentctl({"fail", "init", "always"}), 0);
    ASSERT_EQ(lab.agentctl({"fail", "subscribe", "always"}), 0);
    ASSERT_EQ(lab.agentctl({"fail", "get_version_info", "off"}), 0);
    ASSERT_TRUE(d.wait_err("Trying again", 1, 20s)) << d.err();
    ASSERT_TRUE(field_becomes("TelvaCfg", "SAAliveState", "DOWN")) << d.err();
    // Started at last: the notification of that "DOWN" comes after.
    const int changes = count_of(d.err(), "_SAAliveState is changed");
    ASSERT_EQ(lab.agentctl({"fail", "init", "off"}), 0);
    ASSERT_EQ(lab.agentctl({"fail", "subscribe", "off"}), 0);
    ASSERT_TRUE(d.wait_err("_SAAliveState is changed", changes + 1)) << d.err();
    ASSERT_NO_FATAL_FAILURE(settle(lab, d));
    EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP") << d.err();
    expect_orderly_stop(d);
}

void start_with_report(Lab &lab, Daemon &d, const std::string &report)
{
    ASSERT_EQ(lab.agentctl({"set", "--raw", "status-report", report}), 0);
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
}

TEST_F(StatusReport, IsLoggedWhateverItHolds)
{
    {
        Daemon d;
        ASSERT_NO_FATAL_FAILURE(start_with_report(
            lab, d, R"({"agent": {"version": {"release": "5.1.2", "patch": "33"}}, "va": {"scheduled": {"enabled": false, "allowed": false}}})"));
        const std::string e = d.err();
        EXPECT_NE(e.find("[status_report]: release: 5.1.2"), std::string::npos);
        EXPECT_NE(e.find("[status_report]: patch: 33"), std::string::npos);
        EXPECT_NE(line_with(e, "scheduled VA network scan tasks are not run").find("<error>"), std::string::npos);
        EXPECT_NE(line_with(e, "cloud triggered VA scan tasks are not run by the SAAgent").find("<info>"),
                  std::string::npos);
        EXPECT_NE(e.find("[status_report]:(main) sa_broker_get_status_report: A brief report"), std::string::npos);
    }
    {
        // Members missing or of another type: logged as absent, still a report.
        Daemon d;
        ASSERT_NO_FATAL_FAILURE(start_with_report(lab, d, R"({"agent": {"version": {"release": 5}}, "va": 1})"));
        const std::string e = d.err();
        EXPECT_NE(e.find("[status_report]: release: (absent)"), std::string::npos);
        EXPECT_NE(e.find("[status_report]: patch: (absent)"), std::string::npos);
        EXPECT_NE(e.find("scheduled VA network scan tasks are not run"), std::string::npos);
    }
    for (const char *bad : {"not json", ""}) {
        Daemon d;
        ASSERT_NO_FATAL_FAILURE(start_with_report(lab, d, bad));
        EXPECT_NE(d.err().find("[status_report]:(main) Failed to get the SAAgent status report"), std::string::npos)
            << bad;
    }
}

} // namespace
} // namespace tshtest
