// device_bench_test.cpp - the daemon benches still drive the daemon through
// every measurement, each of which they check themselves (every rename
// arrives, the resync lists all 256 devices, every row ends with its DID,
// the daemon stops in order). Figures are not judged here.
#include "agent/agent_test_util.h"
#include "process_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <fstream>
#include <iterator>

namespace {

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One bench run against a private Q7 server and agent: asserts it ended
// with 0 and printed each figure (its output and the daemon log's end if not).
void run_bench(const std::string &bench, std::vector<std::string> args, std::initializer_list<const char *> figures)
{
    agenttest::TempDir dir;
    const std::string q7_server = agenttest::setting("TSH_SOURCE_DIR") + "/host/q7/q7-server";
    ASSERT_EQ(run_process({q7_server, "start", "--dir", dir.path()}), 0);
    agenttest::PrivateAgent agent;
    int status = -1;
    if (agent.start()) {
        setenv("Q7_SOCKET", dir.file("q7.sock").c_str(), 1);
        setenv("SA_AGENT_SOCKET", agent.socket().c_str(), 1);
        const std::string bin = agenttest::setting("TSH_BIN_DIR");
        args.insert(args.begin(), bin + "/" + bench);
        args.insert(args.end(), {bin + "/TeSvcHdlr", dir.file("daemon.log")});
        const int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const pid_t pid = spawn_process(args, out);
        close(out);
        status = pid > 0 ? wait_exit(pid) : -1;
    }
    run_process({q7_server, "stop", "--dir", dir.path()});
    const std::string text = read_file(dir.file("out")), log = read_file(dir.file("daemon.log"));
    ASSERT_EQ(status, 0) << text << "\ndaemon log ends:\n" << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
    for (const char *figure : figures)
        EXPECT_NE(text.find(figure), std::string::npos) << figure << " missing from:\n" << text;
}

}  // namespace

// A probe left running would hold the bench for ever: it must be ended.
TEST(DeviceBench, DrivesTheDaemonThroughEveryMeasurement)
{
    run_bench("device_bench", {"--renames", "5", "--samples", "10", "--bursts", "1", "--resyncs", "1", "--probe", "sleep 600"},
              {"rename p50", "burst p50", "resync p50", "daemon threads over the bursts"});
}

TEST(DaemonBench, StartsStopsRestsAndImports)
{
    run_bench("daemon_bench", {"--starts", "2", "--idle", "1", "--imports", "2"},
              {"start-up p50", "stop p50", "set_device_online_status", "idle cpu", "memory at rest: VmRSS", "TeSvcHdlr bss",
               "memory after the imports", "import p50"});
}
