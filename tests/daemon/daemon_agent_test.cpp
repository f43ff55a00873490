// The agent bridge end to end: the agent library's start and restarts, the
// periodic check, protection requests, the agent's version and status
// report, and the router information pushed to the agent.
#include "daemon_harness.h"

#include <ctime>

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

// The lines of a try of the agent library's start that failed at its start.
std::vector<std::string> refused_try(int n)
{
    return {"<info> tsh_agent: try count " + std::to_string(n) + ", timesleep " + std::to_string(2 * n), INITING,
            "<info> tsh_agent: Setting saBrokerInitStatusEvent as false ",
            "<error> tsh_agent: Failed to initialize SA broker library", "<error> tsh_agent: Trying again"};
}

TEST_F(AgentStart, RetriesWhileTheAgentIsAwayAndMirrorsEachTry)
{
    // Values the first failed try must write over.
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "UP"), Q7_OK);
    ASSERT_EQ(lab.set("TelvaRAEvent", "saBrokerInitStatusEvent", "true"), Q7_OK);
    agenttest::PrivateAgent late;   // its socket is not there yet
    Daemon d({"SA_AGENT_SOCKET=" + late.socket()});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_err("try count 2, timesleep 4")) << d.err();
    std::vector<std::string> tries = refused_try(0);
    for (const std::string &l : refused_try(1))
        tries.push_back(l);
    EXPECT_TRUE(lines_together(d.err(), tries));
    EXPECT_TRUE(field_becomes(lab, "TelvaCfg", "SAService", "DOWN"));
    EXPECT_TRUE(field_becomes(lab, "TelvaRAEvent", "saBrokerInitStatusEvent", "false"));
    // Start-up stays in the retry loop.
    EXPECT_EQ(d.err().find("Retry Logic called successfully"), std::string::npos) << d.err();

    ASSERT_TRUE(late.start());
    ASSERT_TRUE(d.wait_ready(20s)) << d.err();
    EXPECT_TRUE(lines_in_order(d.err(), {STARTED, "<info> tsh_main: Retry Logic called successfully"}));
    EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP");
    EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerInitStatusEvent"), "true");
    expect_orderly_stop(d);
}

TEST_F(AgentStart, AFailedEventSubscriptionFailsTheTryUnlessItIsTheScanOne)
{
    const std::string init_true = "<info> tsh_agent: saBrokerInitStatusEvent is set as true",
                      init_false = "<info> tsh_agent: Setting saBrokerInitStatusEvent as false ",
                      report = "<info> tsh_agent: [status_report]:(telva_init) sa_broker_get_status_report: A brief "
                               "report showing the SAAgent status ",
                      started = "<info> tsh_agent: Subscribe to SA agent started",
                      retried = "<info> tsh_agent: try count 1, timesleep 2";
    struct Case {
        const char *call;
        std::vector<std::string> lines;
        const char *scan_event;
    };
    const Case cases[] = {
        {"subscribe:3",
         {"<info> tsh_agent: Telva init successfull", init_false,
          "<error> tsh_agent: Failed to subscribe to Devices list Update", init_false,
          "<error> tsh_agent: Failed to initialize SA broker library", "<error> tsh_agent: Trying again", retried,
          INITING, init_true},
         "true"},
        {"subscribe:4",
         {report, "<error> tsh_agent: Failed to subscribe to SA agent started", init_false,
          "<error> tsh_agent: Failed to initialize SA broker library", "<error> tsh_agent: Trying again", retried,
          INITING, init_true},
         "true"},
        {"subscribe:5",
         {started, "<info> tsh_agent: Setting saVAScanEvent as false ",
          "<error> tsh_agent: Failed to subscribe to SA_BROKER_VA_STATUS ", STARTED},
         "false"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        ASSERT_NO_FATAL_FAILURE(lab.reset());
        ASSERT_EQ(lab.set("TelvaRAEvent", "saVAScanEvent", "true"), Q7_OK);
        ASSERT_EQ(lab.agentctl({"fail", c.call}), 0);
        Daemon d;
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.wait_ready()) << d.err();
        EXPECT_TRUE(lines_together(d.err(), c.lines));
        EXPECT_EQ(count_of(d.err(), "try count 1,"), c.scan_event[0] == 't');
        EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP");
        EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerInitStatusEvent"), "true");
        EXPECT_EQ(lab.get("TelvaRAEvent", "saVAScanEvent"), c.scan_event);
        expect_orderly_stop(d);
    }
}

TEST_F(AgentStart, OnlyAnExactUpOfTheAliveStateRestartsTheLibrary)
{
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    // Each a change from the value before, so each is notified.
    int downs = 0;
    for (const char *state : {"up", "", "DOWN"}) {
        ASSERT_EQ(lab.set("TelvaCfg", "SAService", "UP"), Q7_OK);
        ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", state), Q7_OK);
        ASSERT_TRUE(d.wait_err("!! SAAliveState is DOWN !!", ++downs)) << state << "\n" << d.err();
        EXPECT_TRUE(field_becomes(lab, "TelvaCfg", "SAService", "DOWN")) << state;
    }
    ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", "UP"), Q7_OK);
    ASSERT_TRUE(d.wait_err("Sending router info to SA cloud at SA state toggle")) << d.err();
    EXPECT_TRUE(lines_in_order(d.err(), {"<info> tsh_agent: _SAAliveState is changed",
                                         "<info> tsh_agent: try count 0, timesleep 0", INITING, STARTED,
                                         "<info> tsh_agent: [DAL_TSH] : Sending router info to SA cloud at SA "
                                         "state toggle"}));
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
    struct Request {
        const char *action, *refused_call, *status;
        int calls;
    };
    // Each request consumed before it is carried out, and carried out once.
    const Request requests[] = {
        {"do_protection_on", "", "true", 1},        {"do_protection_on", "", "true", 2},
        {"do_protection_off", "disable", "true", 3}, {"do_protection_off", "", "false", 4},
        {"do_protection_on", "enable", "false", 5},  {"Do_Protection_On", "", "false", 5},
        {"do_reboot", "", "false", 5},
    };
    int calls = 0;
    for (const Request &r : requests) {
        SCOPED_TRACE(r.action);
        const bool accepted = !*r.refused_call && r.calls > calls;
        calls = r.calls;
        ASSERT_EQ(lab.set("TelvaDebug", "lastEventSink", "1"), Q7_OK);
        ASSERT_TRUE(!*r.refused_call || lab.agentctl({"fail", r.refused_call}) == 0);
        const long before = static_cast<long>(std::time(nullptr));
        ASSERT_EQ(lab.set("TelvaCfg", "action", r.action), Q7_OK);
        ASSERT_TRUE(field_becomes(lab, "TelvaCfg", "action", "none"));
        ASSERT_NO_FATAL_FAILURE(settle(lab, d));
        EXPECT_EQ(lab.calls("enable") + lab.calls("disable"), r.calls);
        EXPECT_EQ(lab.get("TelvaStatus", "protectionStatus"), r.status);
        EXPECT_EQ(cJSON_IsTrue(cJSON_GetObjectItem(lab.agent_state().get(), "protection")), r.status[0] == 't');
        // When the agent last accepted a change.
        const long sink = std::atol(lab.get("TelvaDebug", "lastEventSink").c_str());
        if (accepted)
            EXPECT_TRUE(sink >= before && sink <= static_cast<long>(std::time(nullptr))) << sink;
        else
            EXPECT_EQ(sink, 1);
    }
    EXPECT_TRUE(lines_in_order(d.err(), {"<info> tsh_agent: action is :do_protection_on",
                                         "<info> tsh_agent: sa_broker_enable() called",
                                         "<info> tsh_agent: sa_broker_disable is failed",
                                         "<info> tsh_agent: sa_broker_enable is failed"}));
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

TEST_F(AgentCalls, TheStatusReportIsLoggedWhateverItHolds)
{
    const std::string pre = "<info> tsh_agent: [status_report]: ";
    struct Case {
        const char *report;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {R"({"agent": {"version": {"release": "5.1.2", "patch": "33"}}, "va": {"scheduled": {"enabled": false}}})",
         {pre + "release: 5.1.2", pre + "patch: 33",
          "<error> tsh_agent: [status_report]: scheduled VA network scan tasks are not run",
          pre + "cloud triggered VA scan tasks are not run by the SAAgent",
          "<info> tsh_main: [status_report]:(main) sa_broker_get_status_report: A brief report showing the SAAgent "
          "status "}},
        {R"({"agent": {"version": {"release": 5}}, "va": 1})",
         {pre + "release: (absent)", pre + "patch: (absent)",
          "<error> tsh_agent: [status_report]: scheduled VA network scan tasks are not run"}},
        {"not json", {"<error> tsh_main: [status_report]:(main) Failed to get the SAAgent status report "}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.report);
        ASSERT_NO_FATAL_FAILURE(lab.reset());
        ASSERT_EQ(lab.agentctl({"set", "--raw", "status-report", c.report}), 0);
        Daemon d;
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.wait_ready()) << d.err();
        EXPECT_TRUE(lines_in_order(d.err(), c.lines));
    }
}

void set_router(Lab &lab, const char *rp)
{
    const char *const fields[][2] = {{"DeviceName", "Home-GW"}, {"DeviceModel", "Model-X1"},
                                     {"FSN", "SN0042"},         {"FwRevision", "7.1.2"},
                                     {"DefaultMAC", "0A:1B:2C:3D:4E:5F"}, {"wan_ifname", "wan0"},
                                     {"lan_ifname", "br-lan"}};
    for (const auto &f : fields)
        ASSERT_EQ(lab.set("General", f[0], f[1]), Q7_OK) << f[0];
    ASSERT_EQ(lab.set("featureSwitch", "rp", rp), Q7_OK);
}

bool pushes_reach(Lab &lab, size_t n)
{
    return wait_until([&] { return lab.journal("set_router_info").size() >= n; });
}

TEST_F(RouterInfo, PushedAtStartAndAgentStartsWithProtectionAndServiceUpAndAtEachRename)
{
    ASSERT_NO_FATAL_FAILURE(set_router(lab, "ENABLE"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_TRUE(pushes_reach(lab, 1)) << d.err();
    const char *full = R"({"name":"Home-GW","model":"model-x1","serial_number":"SN0042","firmware_version":"7.1.2",)"
                       R"("interfaces":[{"name":"wan0","type":"wan"},{"name":"br-lan","type":"lan"}]})";
    auto last_push = [&] {
        char *text = cJSON_PrintUnformatted(parse(lab.journal("set_router_info").back()).get());
        const std::string s = text ? text : "";
        cJSON_free(text);
        return s;
    };
    EXPECT_EQ(last_push(), full);
    // An agent start with the service "up" in lower case: not up, no push.
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "up"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    ASSERT_TRUE(d.wait_err("Router Protection state is 1 and SA Service state is 0")) << d.err();
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "UP"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    ASSERT_TRUE(pushes_reach(lab, 2)) << d.err();
    ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", "UP"), Q7_OK);
    ASSERT_TRUE(pushes_reach(lab, 3)) << d.err();
    // A rename pushes whatever the service; without protection the serial
    // and the firmware stay out.
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "DOWN"), Q7_OK);
    ASSERT_EQ(lab.set("featureSwitch", "rp", "disable"), Q7_OK);
    ASSERT_EQ(lab.set("General", "DeviceName", "Attic-GW"), Q7_OK);
    ASSERT_TRUE(pushes_reach(lab, 4)) << d.err();
    EXPECT_EQ(last_push(), R"({"name":"Attic-GW","model":"model-x1",)"
                           R"("interfaces":[{"name":"wan0","type":"wan"},{"name":"br-lan","type":"lan"}]})");
    EXPECT_TRUE(d.wait_err("pushRouterInfo function executed successful at devname change")) << d.err();
    EXPECT_EQ(lab.calls("set_router_info"), 4);
    expect_orderly_stop(d);
}

TEST_F(RouterInfo, OnlyAnUnreadableLanInterfaceStopsThePushAndARefusalIsNotRetried)
{
    ASSERT_NO_FATAL_FAILURE(set_router(lab, "enable"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_TRUE(pushes_reach(lab, 1)) << d.err();
    // Values no Q7 write would store make those reads fail.
    const std::string junk(40, 'x');
    ASSERT_EQ(lab.redis({"HSET", "q7:d:General:0", "FSN", junk}), 0);
    ASSERT_EQ(lab.set("General", "DeviceName", "GW-2"), Q7_OK);
    ASSERT_TRUE(pushes_reach(lab, 2)) << d.err();
    EXPECT_EQ(text_of(parse(lab.journal("set_router_info")[1]).get(), "name"), "GW-2");
    ASSERT_EQ(lab.redis({"HSET", "q7:d:General:0", "lan_ifname", junk}), 0);
    ASSERT_EQ(lab.set("General", "DeviceName", "GW-3"), Q7_OK);
    ASSERT_TRUE(d.wait_err("pushRouterInfo function failed at devname change")) << d.err();
    ASSERT_EQ(lab.set("General", "lan_ifname", "br0"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"fail", "set_router_info", "always"}), 0);
    ASSERT_EQ(lab.set("General", "DeviceName", "GW-4"), Q7_OK);
    ASSERT_TRUE(d.wait_err("pushRouterInfo function failed at devname change", 2)) << d.err();
    EXPECT_TRUE(lines_in_order(
        d.err(), {"<error> tsh_get_dalfld: [DAL_TSH] : Failed to get system info from DAL tables, returning with code -2",
                  "<error> tsh_agent: [DAL_TSH] : pushRouterInfo function failed at devname change",
                  "<error> tsh_get_dalfld: [DAL_TSH] : sa_broker_set_router_info() failed ",
                  "<error> tsh_agent: [DAL_TSH] : pushRouterInfo function failed at devname change"}));
    EXPECT_EQ(lab.calls("set_router_info"), 3);
    expect_orderly_stop(d);
}

}  // namespace
}  // namespace tshtest
