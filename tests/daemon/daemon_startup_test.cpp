// Start-up of TeSvcHdlr end to end: the stages and their messages, the
// argument rule, the single-instance pid file and a missing Q7 server.
#include "daemon_harness.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "wait_until.h"

namespace tshtest {
namespace {

using Startup = DaemonTest;

TEST_F(Startup, RunsStagesInOrderAndStopsOnSigusr1)
{
    // Values start-up must overwrite, so that the writes show.
    ASSERT_EQ(lab.set("TelvaCfg", "action", "do_protection_on"), Q7_OK);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    const std::string err = d.err();
    EXPECT_TRUE(lines_in_order(err, {"<notice> tsh_main: TeSvcHdlr locked the pid file.",
                                     "<info> tsh_main: Starting TSH Version Id is 1.2.1",
                                     "<info> tsh_main: (TelvaSoT) - Initiliazing WEX lib",
                                     "<info> tsh_agent: try count 0, timesleep 0",
                                     "<info> tsh_agent: Initing telva subscriptions",
                                     "<info> tsh_agent: saBrokerInitStatusEvent is set as true",
                                     "<info> tsh_agent: Telva init successfull",
                                     "<info> tsh_agent: Subscribe to Devices list updated and the type of change(new/ "
                                     "updated / removed)",
                                     "<info> tsh_agent: Subscribe to SA agent started",
                                     "<info> tsh_agent: Subscribe to VA Scan updated(new/updated/removed)",
                                     "<info> tsh_agent: Initialize SA broker library successfully",
                                     "<info> tsh_main: Retry Logic called successfully",
                                     "<info> tsh_agent: CSH:Entry Function:set_module_version_detail Line:N input "
                                     "fieldname --:TSHVersion input version --:1.2.1",
                                     "<info> tsh_main: !! set_module_version_detail() is called at boot time !!",
                                     "<info> tsh_main: !! get_version_info() is called at boot time !!",
                                     "<info> tsh_main: (TelvaSoT) - Queue for TelvaSoT Initiliazed"}));
    // The program's base name reaches the logging library, whatever path
    // started it.
    EXPECT_NE(err.find(" TeSvcHdlr[" + std::to_string(d.pid()) + "] "), std::string::npos) << err;
    EXPECT_EQ(read_file(PID_FILE), std::to_string(d.pid()) + "\n");
    EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP");
    EXPECT_EQ(lab.get("TelvaCfg", "action"), "none");
    EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerInitStatusEvent"), "true");
    expect_orderly_stop(d);
}

TEST_F(Startup, RefusesAnyArgument)
{
    Daemon d({}, {"-v"});
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.wait_exit(), std::optional<int>(255));
    EXPECT_TRUE(in_order(d.err(), {"Cannot parse args/load needed variables from cli.",
                                   "(TelvaSoT) - Can not parse args. Input valid data from cli\n"}))
        << d.err();
    EXPECT_FALSE(path_exists(PID_FILE));
}

TEST_F(Startup, SecondInstanceLeavesTheFirstOnesPidFile)
{
    Daemon first;
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.wait_ready()) << first.err();
    const std::string held = read_file(PID_FILE);

    Daemon second;
    ASSERT_TRUE(second.start());
    EXPECT_EQ(second.wait_exit(), std::optional<int>(1));
    EXPECT_TRUE(in_order(second.err(), {"Daemon is already running.", "Bye Bye.....", "Exit from LOCK_PROCESS",
                                        "(TelvaSoT) - failed to lock the pid file.\n"}))
        << second.err();
    EXPECT_EQ(read_file(PID_FILE), held);
    EXPECT_TRUE(first.running());
    expect_orderly_stop(first);
}

TEST_F(Startup, RefusesUnusablePidFilesAndReplacesAStaleOne)
{
    struct Case {
        const char *name, *content;
    };
    // Not a pid: each is left as it is and start-up stops.
    for (const Case &c : {Case{"empty", ""}, Case{"garbage", "daemon\n"}, Case{"zero", "0\n"},
                          Case{"negative", "-1\n"}}) {
        write_file(PID_FILE, c.content);
        Daemon d;
        ASSERT_TRUE(d.start());
        EXPECT_EQ(d.wait_exit(), std::optional<int>(1)) << c.name;
        EXPECT_TRUE(in_order(d.err(), {"possibly data is in wrong format", "failed to lock the pid file.\n"}))
            << c.name << "\n" << d.err();
        EXPECT_EQ(read_file(PID_FILE), c.content) << c.name;
    }

    // A link is refused and neither it nor what it names is touched.
    TempDir dir;
    const std::string target = dir.file("target");
    write_file(target, std::to_string(dead_pid()) + "\n");
    const std::string target_text = read_file(target);
    unlink(PID_FILE);
    ASSERT_EQ(symlink(target.c_str(), PID_FILE), 0);
    {
        Daemon d;
        ASSERT_TRUE(d.start());
        EXPECT_EQ(d.wait_exit(), std::optional<int>(1));
        EXPECT_NE(d.err().find("(TelvaSoT) - failed to lock the pid file.\n"), std::string::npos) << d.err();
        struct stat st;
        ASSERT_EQ(lstat(PID_FILE, &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        EXPECT_EQ(read_file(target), target_text);
    }
    unlink(PID_FILE);

    // A stale file: replaced by one with the new pid.
    write_file(PID_FILE, std::to_string(dead_pid()) + "\n");
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    EXPECT_NE(d.err().find("Remove not associated pid file."), std::string::npos) << d.err();
    EXPECT_EQ(read_file(PID_FILE), std::to_string(d.pid()) + "\n");
    expect_orderly_stop(d);
}

TEST_F(Startup, TwoInstancesOverAStalePidFileLeaveExactlyOneRunning)
{
    for (int round = 0; round < 3; ++round) {
        write_file(PID_FILE, std::to_string(dead_pid()) + "\n");
        Daemon a, b;
        ASSERT_TRUE(a.start());
        ASSERT_TRUE(b.start());
        // One of them fails at the lock; the other runs on.
        ASSERT_TRUE(wait_until([&] { return !a.running() || !b.running(); })) << a.err() << b.err();
        Daemon &winner = a.running() ? a : b;
        Daemon &loser = a.running() ? b : a;
        EXPECT_EQ(loser.wait_exit(), std::optional<int>(1)) << loser.err();
        EXPECT_NE(loser.err().find("(TelvaSoT) - failed to lock the pid file.\n"), std::string::npos)
            << loser.err();
        ASSERT_TRUE(winner.wait_ready()) << winner.err();
        EXPECT_EQ(read_file(PID_FILE), std::to_string(winner.pid()) + "\n");
        expect_orderly_stop(winner);
    }
}

TEST_F(Startup, FailsWithoutQ7AndReleasesThePidFile)
{
    TempDir nowhere;
    Daemon d({"Q7_SOCKET=" + nowhere.file("q7.sock")});
    ASSERT_TRUE(d.start());
    EXPECT_EQ(d.wait_exit(), std::optional<int>(1));
    EXPECT_TRUE(in_order(d.err(), {"TeSvcHdlr locked the pid file.", "Couldn't init Q7! is Q7 running?", "Bye Bye.....",
                                   "(TelvaSoT) - Couldn't init Q7! is Q7 running?\n"}))
        << d.err();
    EXPECT_FALSE(path_exists(PID_FILE));
}

} // namespace
} // namespace tshtest
