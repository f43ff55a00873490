// Signals end to end: SIGUSR1 stops the daemon in order from every state it
// can wait in, SIGUSR2 prints the protection status, SIGPIPE is ignored.
#include "daemon_harness.h"

#include <csignal>

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

TEST_F(Stop, EndsAHungAgentStartAtStartUp)
{
    ASSERT_EQ(lab.agentctl({"hang", "init", "60000"}), 0);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_err("Initing telva subscriptions")) << d.err();
    expect_orderly_stop(d);
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

TEST_F(Status, Sigusr2PrintsProtectionStatusAndSigpipeIsIgnored)
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
    d.signal(SIGUSR2);
    ASSERT_TRUE(d.wait_out("protectionStatus :false\n")) << d.out();
    EXPECT_EQ(d.out(), "protectionStatus :true\nprotectionStatus :false\n");
    EXPECT_EQ(count_of(d.err(), "sig_usr2 handler."), 2) << d.err();
    EXPECT_TRUE(d.running());
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
