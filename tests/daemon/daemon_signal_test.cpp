// Signals end to end: SIGUSR1 stops the daemon in order from every state it
// can wait in, SIGUSR2 prints the protection status, SIGPIPE is ignored.
#include "daemon_harness.h"

#include <csignal>
#include <cstdio>
#include <fstream>

#include "wait_until.h"

namespace tshtest {
namespace {

using Stop = DaemonTest;
using Status = DaemonTest;

// Retry delays long enough that a stop could only be quick by cutting them.
const std::string LONG_RETRY = "TSH_TEST_RETRY_UNIT_MS=5000";

TEST_F(Stop, CutsTheStartUpBackoffShortAndSkipsTheLaterStages)
{
    agenttest::PrivateAgent never;
    Daemon d({LONG_RETRY, "SA_AGENT_SOCKET=" + never.socket()});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_err("Trying again")) << d.err();
    expect_orderly_stop(d);
    EXPECT_EQ(d.err().find("try count 1"), std::string::npos) << d.err();
    EXPECT_EQ(d.err().find("Retry Logic called successfully"), std::string::npos) << d.err();
    EXPECT_EQ(d.err().find("Queue for TelvaSoT Initiliazed"), std::string::npos) << d.err();
}

TEST_F(Stop, AtEveryStartUpStageIsOrderly)
{
    // Each stage held by a hung agent call, or (11, 12) by the test build's
    // hold, which lasts until the stop.
    struct Case {
        const char *stage, *hang, *env, *held_at;
    };
    const Case cases[] = {
        {"10 agent start", "init", "", "Initing telva subscriptions"},
        {"11 table subscriptions", "", "TSH_TEST_HOLD_STAGE=11", "Retry Logic called successfully"},
        {"12 module version", "", "TSH_TEST_HOLD_STAGE=12", "Function:set_module_version_detail"},
        {"13 agent version", "get_version_info", "", "set_module_version_detail() is called at boot time"},
        {"18 router information", "set_router_info", "", "Sending router info to SA cloud at router reboot"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stage);
        ASSERT_NO_FATAL_FAILURE(lab.reset());
        if (*c.hang) {
            ASSERT_EQ(lab.agentctl({"hang", c.hang, "60000"}), 0);
        }
        Daemon d(*c.env ? std::vector<std::string>{c.env} : std::vector<std::string>{});
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.wait_err(c.held_at, 1, 20s)) << d.err();
        expect_orderly_stop(d);
    }
}

TEST_F(Stop, EndsTheAliveStateRetryLoopInBackoffOrInAHungCall)
{
    // Backoff: the restart's try fails at its first subscription and every
    // later start is refused.
    {
        Daemon d({LONG_RETRY});
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.wait_ready()) << d.err();
        ASSERT_EQ(lab.agentctl({"fail", "subscribe", "always"}), 0);
        ASSERT_EQ(lab.agentctl({"fail", "init", "always"}), 0);
        ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", "UP"), Q7_OK);
        ASSERT_TRUE(d.wait_err("Trying again")) << d.err();
        expect_orderly_stop(d);
    }
    ASSERT_NO_FATAL_FAILURE(lab.reset());
    // A subscription whose reply does not come.
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_EQ(lab.agentctl({"hang", "subscribe", "60000"}), 0);
    ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", "UP"), Q7_OK);
    ASSERT_TRUE(d.wait_err("Telva init successfull", 2)) << d.err();
    expect_orderly_stop(d);
}

TEST_F(Stop, LeavesNoAgentStartBehindThatBeganJustBefore)
{
    Daemon d({"TSH_TEST_AGENT_START_DELAY_MS=600"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", "UP"), Q7_OK);
    ASSERT_TRUE(d.wait_err("Initing telva subscriptions", 2)) << d.err();
    // The stop comes while that start is held past its stop check.
    expect_orderly_stop(d);
    const std::string e = d.err();
    EXPECT_EQ(e.find("Telva init successfull", e.find("Bye Bye.....")), std::string::npos) << e;
}

TEST_F(Stop, EarlyOrRepeatedSigusr1IsSafe)
{
    {
        // Lands while start-up still builds what the teardown releases.
        Daemon d;
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.wait_err("TeSvcHdlr locked the pid file.")) << d.err();
        expect_orderly_stop(d, false);
        EXPECT_EQ(count_of(d.err(), "Bye Bye....."), 1) << d.err();
    }
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    d.signal(SIGUSR1);
    expect_orderly_stop(d);
    EXPECT_EQ(count_of(d.err(), "Bye Bye....."), 1) << d.err();
}

TEST_F(Status, Sigusr2PrintsProtectionStatusSigpipeAndSigrtminAreIgnored)
{
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_EQ(lab.set("TelvaStatus", "protectionStatus", "true"), Q7_OK);
    d.signal(SIGUSR2);
    // Flushed at once, although stdout is a file.
    ASSERT_TRUE(d.wait_out("protectionStatus :true\n")) << d.out();
    ASSERT_EQ(lab.set("TelvaStatus", "protectionStatus", "false"), Q7_OK);
    d.signal(SIGPIPE);
    // Taken and ignored: the number the signal thread's own stop uses.
    d.signal(SIGRTMIN);
    ASSERT_TRUE(wait_until([&] {
        std::ifstream status("/proc/" + std::to_string(d.pid()) + "/status");
        unsigned long long pending = ~0ULL;
        for (std::string line; std::getline(status, line);)
            if (std::sscanf(line.c_str(), "ShdPnd: %llx", &pending) == 1)
                break;
        return (pending & (1ULL << (SIGRTMIN - 1))) == 0;
    }));
    d.signal(SIGUSR2);
    ASSERT_TRUE(d.wait_out("protectionStatus :false\n")) << d.out();
    EXPECT_EQ(d.out(), "protectionStatus :true\nprotectionStatus :false\n");
    EXPECT_EQ(count_of(d.err(), "sig_usr2 handler."), 2) << d.err();
    EXPECT_TRUE(d.running());
    expect_orderly_stop(d);
}

TEST_F(Status, Sigusr2WritesNothingIntoThePidFileWhenStdoutWasClosed)
{
    Daemon d;
    d.close_stdout();
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    // Handled one after the other: the first print is over once the second
    // is logged.
    for (int n = 1; n <= 2; ++n) {
        d.signal(SIGUSR2);
        ASSERT_TRUE(d.wait_err("sig_usr2 handler.", n)) << d.err();
    }
    EXPECT_EQ(read_file(PID_FILE), std::to_string(d.pid()) + "\n");
    expect_orderly_stop(d);
}

TEST_F(Status, Sigusr2DuringStartUpFailsNoStage)
{
    agenttest::PrivateAgent late;
    Daemon d({"SA_AGENT_SOCKET=" + late.socket()});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_err("TeSvcHdlr locked the pid file.")) << d.err();
    d.signal(SIGUSR2);
    ASSERT_TRUE(d.wait_err("try count 1, timesleep 2")) << d.err();
    for (int i = 0; i < 5; ++i)
        d.signal(SIGUSR2);
    // The first one may come before info lines are shown; the prints show.
    ASSERT_TRUE(d.wait_out("protectionStatus :", 2)) << d.out();
    ASSERT_TRUE(late.start());
    ASSERT_TRUE(d.wait_ready(20s)) << d.err();
    EXPECT_NE(d.err().find("Retry Logic called successfully"), std::string::npos);
    EXPECT_TRUE(d.running());
    expect_orderly_stop(d);
}

} // namespace
} // namespace tshtest
