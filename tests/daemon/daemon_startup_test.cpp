// TeSvcHdlr end to end: start-up, its failures, one instance at a time, a stop
// at each stage; the agent library's starts, signals, the agent check,
// protection, the agent's version and report, the router information.
#include "daemon_harness.h"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <tuple>

#include "wait_until.h"

namespace tshtest {
namespace {

using Startup = DaemonTest;
using Stop = DaemonTest;
using AgentStart = DaemonTest;
using AgentCheck = DaemonTest;
using AgentCalls = DaemonTest;
using RouterInfo = DaemonTest;

// A plain start, two SIGUSR2 and a stop logged as the transcript beside this
// file (TSH_GOLDEN_UPDATE=1 writes it anew), and what start-up records.
TEST_F(Startup, FollowsTheTranscriptAndRecordsTheAgentAndItself)
{
    ASSERT_EQ(lab.set("featureSwitch", "rp", "enable"), Q7_OK);
    // Written over by start-up before anything acts on it.
    ASSERT_EQ(lab.set("TelvaCfg", "action", "do_protection_on"), Q7_OK);
    Daemon d;
    // The pid file must not become its standard output.
    d.close_stdout();
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    for (int n = 1; n <= 2; ++n) {
        d.signal(SIGUSR2);
        ASSERT_TRUE(d.wait_err("sig_usr2 handler.", n)) << d.err();
    }
    EXPECT_EQ(read_file(PID_FILE), std::to_string(d.pid()) + "\n");
    const char *const fields[][3] = {
        {"TelvaCfg", "SAService", "UP"}, {"TelvaCfg", "action", "none"}, {"DalModuleVersion", "TSHVersion", "1.2.1"},
        {"TelvaRAEvent", "saBrokerInitStatusEvent", "true"}, {"TelvaRAEvent", "saBrokerVersionStatus", "true"},
        {"TelvaStatus", "saaVersion", "5.1.2.33"}, {"TelvaStatus", "saaPatchLevel", "7"}};
    for (const auto &f : fields)
        EXPECT_EQ(lab.get(f[0], f[1]), f[2]) << f[0] << "." << f[1];
    EXPECT_EQ(lab.calls("set_router_info"), 1);
    expect_orderly_stop(d);
    // The program's base name reaches the logging library.
    EXPECT_NE(d.err().find(" TeSvcHdlr[" + std::to_string(d.pid()) + "] "), std::string::npos) << d.err();
    // Logged lines only, without the reads of the device and router records.
    std::string got;
    for (const std::string &l : log_lines(d.err()))
        if (l.starts_with("<") && l.find(" tsh_get_dalfld: ") == std::string::npos)
            got += l + "\n";
    const std::string golden = agenttest::setting("TSH_SOURCE_DIR") + "/tests/daemon/daemon_startup_test.golden";
    if (std::getenv("TSH_GOLDEN_UPDATE"))
        write_file(golden, got);
    EXPECT_EQ(got, read_file(golden));
}

TEST_F(Startup, EndsWithItsStatusAndLinesAndNoPidFile)
{
    struct Case {
        const char *name;
        std::vector<std::string> env, args;
        const char *refused_call;
        int status;
        std::vector<std::string> tail;
    };
    TempDir nowhere;
    const Case cases[] = {
        {"an argument", {}, {"-v"}, "", 255,
         {"<error> tsh_main: Cannot parse args/load needed variables from cli.",
          "(TelvaSoT) - Can not parse args. Input valid data from cli"}},
        {"no Q7 server", {"Q7_SOCKET=" + nowhere.file("q7.sock")}, {}, "", 1,
         {"<notice> tsh_main: TeSvcHdlr locked the pid file.", "Couldn't init q7!",
          "<error> tsh_main: Couldn't init Q7! is Q7 running?",
          "<notice> tsh_main: Bye Bye.....", "(TelvaSoT) - Couldn't init Q7! is Q7 running?"}},
        {"the agent's version refused", {}, {}, "get_version_info", 1,
         {"<info> tsh_main: !! set_module_version_detail() is called at boot time !!",
          "<info> tsh_agent: Failed to call sa_broker_get_version_info()",
          "<error> tsh_main: Failed to get SA Agent Version ", "<notice> tsh_main: Bye Bye.....",
          "<info> tsh_main: !! get_version_info() is called at boot time !!"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(lab.reset());
        ASSERT_TRUE(!*c.refused_call || lab.agentctl({"fail", c.refused_call, "always"}) == 0);
        Daemon d(c.env, c.args);
        ASSERT_TRUE(d.start());
        EXPECT_EQ(d.wait_exit(), std::optional<int>(c.status)) << d.err();
        EXPECT_TRUE(lines_together(d.err(), c.tail, true));
        EXPECT_FALSE(path_exists(PID_FILE));
    }
}

TEST_F(Startup, RefusesASecondInstanceAndTakesOverAKilledOnesPidFile)
{
    Daemon first;
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.wait_ready()) << first.err();
    const std::string held = read_file(PID_FILE);
    {
        Daemon second;
        ASSERT_TRUE(second.start());
        EXPECT_EQ(second.wait_exit(), std::optional<int>(1));
        EXPECT_TRUE(lines_together(second.err(),
                                   {"<notice> tsh_daemon: Daemon is already running.",
                                    "<error> tsh_main: failed to lock the pid file.", "<notice> tsh_main: Bye Bye.....",
                                    "<notice> tsh_main: Exit from LOCK_PROCESS", "(TelvaSoT) - failed to lock the pid file."},
                                   true));
        EXPECT_EQ(read_file(PID_FILE), held);
    }
    ASSERT_TRUE(first.running());
    // Its pid file stays behind, naming a process that is gone.
    first.signal(SIGKILL);
    ASSERT_EQ(first.wait_exit(), std::optional<int>(128 + SIGKILL));
    Daemon next;
    ASSERT_TRUE(next.start());
    ASSERT_TRUE(next.wait_ready()) << next.err();
    EXPECT_TRUE(lines_in_order(next.err(), {"<notice> tsh_daemon: Remove not associated pid file.",
                                            "<notice> tsh_main: TeSvcHdlr locked the pid file."}));
    EXPECT_EQ(read_file(PID_FILE), std::to_string(next.pid()) + "\n");
    expect_orderly_stop(next);
}

// SIGUSR1 while the daemon is held in one place: exit 0 within 2 s and, from
// the line it was held at, exactly the lines given.
TEST_F(Stop, AtEachStageEndsInOrderWithItsOwnLines)
{
    // Delays of 10 s, which a stop must cut short.
    const std::string long_retry = "TSH_TEST_RETRY_UNIT_MS=5000", sig = "<info> tsh_main: sig_usr1 handler.",
                      bye = "<notice> tsh_main: Bye Bye.....";
    const std::string no_push =
        "<notice> tsh_get_dalfld: [DAL_TSH] : No need to push router info to SA, returning with code 1";
    agenttest::PrivateAgent absent;
    // Agent faults made before the start, or once it is ready when alive_up
    // writes SAAliveState "UP" after them; held once the log ends in tail[0]
    // (and the agent holds a call when in_call).
    struct Row {
        const char *where;
        std::vector<std::string> env;
        std::vector<std::vector<std::string>> faults;
        bool alive_up, in_call;
        std::vector<std::string> tail;
    };
    const Row rows[] = {
        {"agent start, between tries", {long_retry, "SA_AGENT_SOCKET=" + absent.socket()}, {}, false, false,
         {"<error> tsh_agent: Trying again", sig, bye}},
        {"agent start, in its call", {}, {{"hang", "init", "60000"}}, false, true,
         {"<info> tsh_agent: Initing telva subscriptions", sig, bye}},
        {"agent start, past its stop check", {"TSH_TEST_HOLD_STAGE=10"}, {}, false, false,
         {"<info> tsh_agent: Initing telva subscriptions", sig, bye}},
        {"table subscriptions", {"TSH_TEST_HOLD_STAGE=11"}, {}, false, false,
         {"<info> tsh_main: Retry Logic called successfully", sig, bye}},
        {"module version", {"TSH_TEST_HOLD_STAGE=12"}, {}, false, false,
         {"<info> tsh_agent: CSH:Entry Function:set_module_version_detail Line:N input fieldname --:TSHVersion "
          "input version --:1.2.1",
          sig, "<info> tsh_main: !! set_module_version_detail() is called at boot time !!", bye}},
        {"agent version", {}, {{"hang", "get_version_info", "60000"}}, false, true,
         {"<info> tsh_main: !! set_module_version_detail() is called at boot time !!", sig, bye}},
        {"running", {}, {}, false, false, {no_push, sig, bye}},
        {"alive-state restart, between tries", {long_retry},
         {{"fail", "subscribe", "always"}, {"fail", "init", "always"}}, true, false,
         {"<error> tsh_agent: Trying again", sig, bye}},
        {"alive-state restart, in a subscription", {}, {{"hang", "subscribe", "60000"}}, true, true,
         {"<info> tsh_agent: Telva init successfull", sig, bye}},
        {"alive-state restart, past its stop check", {"TSH_TEST_AGENT_START_DELAY_MS=30000"}, {}, true, false,
         {"<info> tsh_agent: Initing telva subscriptions", sig, bye}},
        {"agent check, in its call", {"TSH_TEST_REFRESH_PERIOD_MS=50", "SA_CALL_TIMEOUT_MS=600000"},
         {{"hang", "get_version_info", "600000"}}, true, true, {no_push, sig, bye}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.where);
        ASSERT_NO_FATAL_FAILURE(lab.reset());
        Daemon d(r.env);
        for (const auto &f : r.faults)
            ASSERT_TRUE(r.alive_up || lab.agentctl(f) == 0);
        ASSERT_TRUE(d.start());
        if (r.alive_up) {
            ASSERT_TRUE(d.wait_ready()) << d.err();
            for (const auto &f : r.faults)
                ASSERT_EQ(lab.agentctl(f), 0);
            ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", "UP"), Q7_OK);
        }
        ASSERT_TRUE(wait_until([&] {
            const std::vector<std::string> log = log_lines(d.err());
            return !log.empty() && log.back() == r.tail[0] && (!r.in_call || lab.agent_holds_a_call());
        }, 20s)) << d.err();
        d.signal(SIGUSR1);
        EXPECT_EQ(d.wait_exit(2s), std::optional<int>(0)) << d.err();
        EXPECT_FALSE(path_exists(PID_FILE));
        EXPECT_TRUE(lines_together(d.err(), r.tail, true));
        // A call the stop cut short is no answer: nothing is written for it.
        EXPECT_EQ(lab.get("TelvaCfg", "SAAliveState"), r.alive_up ? "UP" : "DOWN");
        EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerVersionStatus"), r.alive_up || r.tail[0] == no_push ? "true" : "false");
    }
}

const std::string INITING = "<info> tsh_agent: Initing telva subscriptions",
                  STARTED = "<info> tsh_agent: Initialize SA broker library successfully";

bool field_becomes(Lab &lab, const char *table, const char *field, const std::string &want)
{
    return wait_until([&] { return lab.get(table, field) == want; }, 20s);
}

const std::string INIT_FALSE = "<info> tsh_agent: Setting saBrokerInitStatusEvent as false ",
                  NOT_STARTED = "<error> tsh_agent: Failed to initialize SA broker library",
                  AGAIN = "<error> tsh_agent: Trying again";

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

} // namespace
} // namespace tshtest
