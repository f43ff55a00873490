// lab_processes_test.cpp - the lab's processes as the soak restarts them: a
// Q7 server that loses its data, or an agent that cannot come back after a
// crash, would fail the soak for a fault of its own.
#include "lab_processes.h"

#include "agent/agent_test_util.h"
#include "agent_control.h"
#include "proc_stats.h"
#include "q7_seed.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>

using namespace bench;

TEST(LabProcesses, AQ7ServerKeepsItsDataAcrossARestart)
{
    agenttest::TempDir dir;
    Q7Server server(agenttest::setting("TSH_SOURCE_DIR"), dir.file("q7"), dir.file("q7.log"));
    setenv("Q7_SOCKET", server.socket().c_str(), 1);
    ASSERT_TRUE(server.start());
    set(open_q7().get(), "DeviceIdList", 3, "DisplayNameCustom", "kept");
    server.stop();
    EXPECT_FALSE(server.up());
    ASSERT_TRUE(server.start());
    char text[64] = "";
    EXPECT_EQ(q7_get_text(open_q7().get(), "DeviceIdList", 3, "DisplayNameCustom", text, sizeof text), Q7_OK);
    EXPECT_STREQ(text, "kept");
}

TEST(LabProcesses, AnAgentKilledAsByACrashComesBackWithItsState)
{
    agenttest::TempDir dir;
    const std::string socket = dir.file("agent.sock");
    Agent agent(agenttest::setting("TSH_BIN_DIR") + "/sa-agentd", socket, {"--state", dir.file("state.json")},
                dir.file("agent.log"));
    ASSERT_TRUE(agent.start());
    const std::string va = "1";
    agent_control(socket, control_request("ctl.set", "va-running", &va).get());
    agent.kill_hard();
    EXPECT_FALSE(agent.up());
    EXPECT_FALSE(agent_state(socket, 500));
    ASSERT_TRUE(agent.start());
    const saproto::JsonPtr state = agent_state(socket);
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(state.get(), "va_running")));
}

// A child gets its three streams where it is told and nothing else of ours.
TEST(LabProcesses, AChildHasOnlyItsOwnStreams)
{
    agenttest::TempDir dir;
    const int ours = open("/dev/null", O_RDONLY);  // without O_CLOEXEC, as a library's socket may be
    const std::string list = "ls /proc/$$/fd; echo err >&2";
    for (bool append : {false, true})
        EXPECT_EQ(run_child({"sh", "-c", list}, {dir.file("out"), dir.file("err"), append}), 0);
    EXPECT_EQ(read_text(dir.file("out")), "0\n1\n2\n0\n1\n2\n");
    EXPECT_EQ(read_text(dir.file("err")), "err\nerr\n");
    EXPECT_EQ(run_child({"sh", "-c", "exit 3"}, {dir.file("out"), ""}), 3);
    EXPECT_EQ(read_text(dir.file("out")), "");
    close(ours);
}

// An emulator reads the last of two entries of a name: the override must be the only one.
TEST(LabProcesses, AnOverriddenVariableReachesTheChildOnce)
{
    agenttest::TempDir dir;
    setenv("TSH_LAB_SOCKET", "outer", 1);
    setenv("TSH_LAB_SOCKET_TOO", "kept", 1);
    const pid_t pid = spawn_child({"env"}, {dir.file("out"), ""}, {"TSH_LAB_SOCKET=inner"});
    waitpid(pid, nullptr, 0);
    const std::string env = "\n" + read_text(dir.file("out"));
    EXPECT_NE(env.find("\nTSH_LAB_SOCKET=inner\n"), std::string::npos) << env;
    EXPECT_EQ(env.find("\nTSH_LAB_SOCKET=outer\n"), std::string::npos) << env;
    EXPECT_NE(env.find("\nTSH_LAB_SOCKET_TOO=kept\n"), std::string::npos) << env;
}
