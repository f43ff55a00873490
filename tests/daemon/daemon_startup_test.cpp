// TeSvcHdlr end to end, its start and its stop: start-up and what it records,
// its failures, one instance at a time, and a stop at each stage.
#include "daemon_harness.h"

#include <csignal>
#include <cstdlib>

#include "wait_until.h"

namespace tshtest {
namespace {

using Startup = DaemonTest;
using Stop = DaemonTest;

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
        {"agent check, in its call", {"TSH_TEST_CHECK_PERIOD_MS=50", "SA_CALL_TIMEOUT_MS=600000"},
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

} // namespace
} // namespace tshtest
