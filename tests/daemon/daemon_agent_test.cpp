// The agent bridge end to end: the agent library's start and restarts, the
// periodic check, protection requests, the agent's version and status
// report, and the router information pushed to the agent.
#include "daemon_harness.h"

#include <ctime>
#include <tuple>

#include "wait_until.h"

namespace tshtest {
namespace {

using AgentStart = DaemonTest;
using AgentCheck = DaemonTest;
using AgentCalls = DaemonTest;
using RouterInfo = DaemonTest;

const std::string INITING = "<info> tsh_agent: Initing telva subscriptions",
                  STARTED = "<info> tsh_agent: Initialize SA broker library successfully";

bool field_becomes(Lab &lab, const char *table, const char *field, const std::string &want)
{
    return wait_until([&] { return lab.get(table, field) == want; }, 20s);
}

const std::string INIT_FALSE = "<info> tsh_agent: Setting saBrokerInitStatusEvent as false ",
                  NOT_STARTED = "<error> tsh_agent: Failed to initialize SA broker library",
                  AGAIN = "<error> tsh_agent: Trying again";

TEST_F(AgentStart, RetriesWhileTheAgentIsAwayAndMirrorsEachTry)
{
    // Values the first failed try must write over.
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "UP"), Q7_OK);
    ASSERT_EQ(lab.set("TelvaRAEvent", "saBrokerInitStatusEvent", "true"), Q7_OK);
    agenttest::PrivateAgent late;   // its socket is not there yet
    Daemon d({"SA_AGENT_SOCKET=" + late.socket()});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_err("try count 2, timesleep 4")) << d.err();
    EXPECT_TRUE(lines_together(d.err(), {"<info> tsh_agent: try count 0, timesleep 0", INITING, INIT_FALSE,
                                         NOT_STARTED, AGAIN, "<info> tsh_agent: try count 1, timesleep 2", INITING,
                                         INIT_FALSE, NOT_STARTED, AGAIN, "<info> tsh_agent: try count 2, timesleep 4"}));
    EXPECT_TRUE(field_becomes(lab, "TelvaCfg", "SAService", "DOWN"));
    EXPECT_TRUE(field_becomes(lab, "TelvaRAEvent", "saBrokerInitStatusEvent", "false"));
    ASSERT_TRUE(late.start());
    ASSERT_TRUE(d.wait_ready(20s)) << d.err();
    EXPECT_TRUE(lines_together(d.err(), {STARTED, "<info> tsh_main: Retry Logic called successfully"}));
    EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP");
    EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerInitStatusEvent"), "true");
    expect_orderly_stop(d);
}

TEST_F(AgentStart, AFailedEventSubscriptionFailsTheTryUnlessItIsTheScanOne)
{
    const std::vector<std::string> retried = {INIT_FALSE, NOT_STARTED, AGAIN,
                                              "<info> tsh_agent: try count 1, timesleep 2"};
    struct Case {
        const char *call;
        std::string failure;
        std::vector<std::string> then;
        const char *scan_event;
    };
    const Case cases[] = {
        {"subscribe:3", "<error> tsh_agent: Failed to subscribe to Devices list Update", retried, "true"},
        {"subscribe:4", "<error> tsh_agent: Failed to subscribe to SA agent started", retried, "true"},
        {"subscribe:5", "<error> tsh_agent: Failed to subscribe to SA_BROKER_VA_STATUS ", {STARTED}, "false"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        ASSERT_NO_FATAL_FAILURE(lab.reset());
        ASSERT_EQ(lab.set("TelvaRAEvent", "saVAScanEvent", "true"), Q7_OK);
        ASSERT_EQ(lab.agentctl({"fail", c.call}), 0);
        Daemon d;
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.wait_ready()) << d.err();
        std::vector<std::string> lines = {c.failure};
        lines.insert(lines.end(), c.then.begin(), c.then.end());
        EXPECT_TRUE(lines_together(d.err(), lines));
        EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP");
        EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerInitStatusEvent"), "true");
        EXPECT_EQ(lab.get("TelvaRAEvent", "saVAScanEvent"), c.scan_event);
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

TEST_F(AgentCheck, MarksTheAgentDownWhileGoneAndRestartsTheLibraryWhenBack)
{
    ASSERT_EQ(lab.set("featureSwitch", "rp", "enable"), Q7_OK);
    Daemon d({"TSH_TEST_REFRESH_PERIOD_MS=50"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_TRUE(field_becomes(lab, "TelvaCfg", "SAAliveState", "UP")) << d.err();
    const int inits = count_of(d.err(), "Initing telva subscriptions");
    const size_t pushes = lab.journal("set_router_info").size();
    // The agent away for a while, as after a crash.
    ASSERT_EQ(lab.agentctl({"restart", "1500"}), 0);
    ASSERT_TRUE(field_becomes(lab, "TelvaCfg", "SAAliveState", "DOWN")) << d.err();
    ASSERT_TRUE(field_becomes(lab, "TelvaCfg", "SAService", "DOWN")) << d.err();
    EXPECT_TRUE(lines_in_order(d.err(), {"<info> tsh_agent: SAAgent alive state is DOWN"}));
    EXPECT_TRUE(lines_together(d.err(), {"<info> tsh_agent: _SAAliveState is changed",
                                         "<info> tsh_agent: !! SAAliveState is DOWN !!"}));
    // Back: the library started again and the router pushed once more.
    ASSERT_TRUE(field_becomes(lab, "TelvaCfg", "SAAliveState", "UP")) << d.err();
    ASSERT_TRUE(d.wait_err("Initing telva subscriptions", inits + 1)) << d.err();
    ASSERT_TRUE(field_becomes(lab, "TelvaCfg", "SAService", "UP")) << d.err();
    EXPECT_TRUE(wait_until([&] { return lab.journal("set_router_info").size() > pushes; })) << d.err();
    expect_orderly_stop(d);
}

TEST_F(AgentCheck, ADownWrittenWhileTheRestartRetriesDoesNotOutliveIt)
{
    Daemon d({"TSH_TEST_REFRESH_PERIOD_MS=2000"});
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

TEST_F(RouterInfo, IsPushedWholeOnItsTriggersAndNotAtAllWithoutItsLanInterface)
{
    const char *const fields[][2] = {{"DeviceName", "Home-GW"}, {"DeviceModel", "Model-X1"}, {"FSN", "SN0042"},
                                     {"FwRevision", "7.1.2"},   {"wan_ifname", "wan0"},        {"lan_ifname", "br-lan"}};
    for (const auto &f : fields)
        ASSERT_EQ(lab.set("General", f[0], f[1]), Q7_OK) << f[0];
    ASSERT_EQ(lab.set("featureSwitch", "rp", "ENABLE"), Q7_OK);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    auto pushed = [&](size_t n) { return wait_until([&] { return lab.journal("set_router_info").size() == n; }); };
    auto last = [&] {
        saproto::JsonPtr j = parse(lab.journal("set_router_info").back());
        char *text = cJSON_PrintUnformatted(j.get());
        const std::string s = text ? text : "";
        cJSON_free(text);
        return s;
    };
    const std::string ifs = R"("interfaces":[{"name":"wan0","type":"wan"},{"name":"br-lan","type":"lan"}]})";
    ASSERT_TRUE(pushed(1)) << d.err();
    EXPECT_EQ(last(), R"({"name":"Home-GW","model":"model-x1","serial_number":"SN0042","firmware_version":"7.1.2",)" + ifs);
    // At an agent start only with the service exactly "UP".
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "up"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    ASSERT_TRUE(d.wait_err("Router Protection state is 1 and SA Service state is 0")) << d.err();
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "UP"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    ASSERT_TRUE(pushed(2)) << d.err();
    // At a rename whatever the service; without protection the serial and
    // the firmware stay out.
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "DOWN"), Q7_OK);
    ASSERT_EQ(lab.set("featureSwitch", "rp", "disable"), Q7_OK);
    ASSERT_EQ(lab.set("General", "DeviceName", "Attic-GW"), Q7_OK);
    ASSERT_TRUE(pushed(3)) << d.err();
    EXPECT_EQ(last(), R"({"name":"Attic-GW","model":"model-x1",)" + ifs);
    // Values no Q7 write would store make those reads fail: only the LAN
    // interface's stops the push. A refused push is not tried again.
    const std::string junk(40, 'x');
    ASSERT_EQ(lab.redis({"HSET", "q7:d:General:0", "FSN", junk}), 0);
    ASSERT_EQ(lab.set("General", "DeviceName", "GW-2"), Q7_OK);
    ASSERT_TRUE(pushed(4)) << d.err();
    ASSERT_EQ(lab.redis({"HSET", "q7:d:General:0", "lan_ifname", junk}), 0);
    ASSERT_EQ(lab.set("General", "DeviceName", "GW-3"), Q7_OK);
    ASSERT_TRUE(d.wait_err("pushRouterInfo function failed at devname change")) << d.err();
    ASSERT_EQ(lab.set("General", "lan_ifname", "br0"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"fail", "set_router_info", "always"}), 0);
    ASSERT_EQ(lab.set("General", "DeviceName", "GW-4"), Q7_OK);
    ASSERT_TRUE(d.wait_err("pushRouterInfo function failed at devname change", 2)) << d.err();
    EXPECT_TRUE(lines_in_order(
        d.err(), {"<info> tsh_agent: [DAL_TSH] : pushRouterInfo function executed successful at devname change",
                  "<error> tsh_get_dalfld: [DAL_TSH] : Failed to get system info from DAL tables, returning with code -2",
                  "<error> tsh_agent: [DAL_TSH] : pushRouterInfo function failed at devname change",
                  "<error> tsh_get_dalfld: [DAL_TSH] : sa_broker_set_router_info() failed ",
                  "<error> tsh_agent: [DAL_TSH] : pushRouterInfo function failed at devname change"}));
    EXPECT_EQ(lab.calls("set_router_info"), 5);
    expect_orderly_stop(d);
}

}  // namespace
}  // namespace tshtest
