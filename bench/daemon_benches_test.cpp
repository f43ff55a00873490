// daemon_benches_test.cpp - the daemon benches still drive the daemon through every
// measurement, each checked by the bench itself; figures are not judged here.
#include "agent/agent_test_util.h"
#include "process_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace {

// One bench run against a private Q7 server and agent: it ends with 0 and
// prints each figure (else its output and the end of the daemon's log).
void run_bench(std::vector<std::string> args, std::initializer_list<const char *> figures)
{
    agenttest::TempDir dir;
    const std::string q7_server = agenttest::setting("TSH_SOURCE_DIR") + "/host/q7/q7-server", bin = agenttest::setting("TSH_BIN_DIR");
    agenttest::PrivateAgent agent;
    const bool q7_up = run_process({q7_server, "start", "--dir", dir.path()}) == 0;
    const int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
    int status = -1;
    if (q7_up && agent.start()) {
        setenv("Q7_SOCKET", dir.file("q7.sock").c_str(), 1);
        setenv("SA_AGENT_SOCKET", agent.socket().c_str(), 1);
        args[0] = bin + "/" + args[0];
        args.insert(args.end(), {bin + "/TeSvcHdlr", dir.file("daemon.log")});
        const pid_t pid = spawn_process(args, out);
        status = pid > 0 ? wait_exit(pid) : -1;
    }
    close(out);
    if (q7_up)
        run_process({q7_server, "stop", "--dir", dir.path()});
    auto read = [&](const char *name) { std::ifstream in(dir.file(name)); return std::string(std::istreambuf_iterator<char>(in), {}); };
    const std::string text = read("out"), log = read("daemon.log");
    ASSERT_EQ(status, 0) << text << "\ndaemon log ends:\n" << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
    for (const char *figure : figures)
        EXPECT_NE(text.find(figure), std::string::npos) << figure << " missing from:\n" << text;
}

}  // namespace

// A probe left running would hold the bench for ever: it must be ended.
TEST(DeviceBench, DrivesTheDaemonThroughEveryMeasurement)
{
    run_bench({"device_bench", "--reps", "1", "--renames", "5", "--samples", "10", "--resyncs", "1", "--probe", "sleep 600"},
              {"rename -> agent receipt (us)", "burst of 256 renames -> all received (ms)", "resync: emit started -> online list (ms)",
               "daemon threads over the burst repetitions"});
}

TEST(DaemonBench, StartsStopsRestsAndImports)
{
    run_bench({"daemon_bench", "--starts", "1", "--idle", "1", "--imports", "1"},
              {"start-up p50", "stop p50", "set_device_online_status", "idle cpu", "memory at rest: VmRSS", "TeSvcHdlr bss",
               "memory after the imports", "import: emit -> last DID written (ms)",
               "import, 1024 unknown MACs beside (ms)"});
}
