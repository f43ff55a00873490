// daemon_benches_test.cpp - the benches still drive the daemon through every
// measurement, each checked by the bench itself, on a lab they start and stop
// themselves; figures are not judged here.
#include "agent/agent_test_util.h"
#include "process_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

bool answers(const std::string &socket_path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// One bench run with --lab: it ends with 0 and prints each figure (else its
// output and the end of the daemon's log), and leaves no lab running. The
// sockets in the environment lead nowhere: the bench must use its own.
void run_bench(std::vector<std::string> args, std::initializer_list<const char *> figures, bool daemon = true)
{
    agenttest::TempDir dir;
    const std::string bin = agenttest::setting("TSH_BIN_DIR"), lab = dir.file("lab");
    setenv("Q7_SOCKET", dir.file("none/q7.sock").c_str(), 1);
    setenv("SA_AGENT_SOCKET", dir.file("none/agent.sock").c_str(), 1);
    args[0] = bin + "/" + args[0];
    args.insert(args.begin() + 1, {"--lab", lab});
    if (daemon)
        args.insert(args.end(), {bin + "/TeSvcHdlr", dir.file("daemon.log")});
    const int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT, 0600);
    const pid_t pid = spawn_process(args, out);
    const int status = pid > 0 ? wait_exit(pid) : -1;
    close(out);
    auto read = [&](const char *name) { std::ifstream in(dir.file(name)); return std::string(std::istreambuf_iterator<char>(in), {}); };
    const std::string text = read("out"), log = read("daemon.log");
    EXPECT_FALSE(answers(lab + "/q7.sock")) << "the bench left its Q7 server running";
    EXPECT_FALSE(answers(lab + "/agent.sock")) << "the bench left its agent running";
    ASSERT_EQ(status, 0) << text << "\ndaemon log ends:\n" << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
    for (const char *figure : figures)
        EXPECT_NE(text.find(figure), std::string::npos) << figure << " missing from:\n" << text;
}

}  // namespace

TEST(Q7Bench, MeasuresOnAServerOfItsOwn)
{
    run_bench({"q7_bench", "100", "5"}, {"round trips per figure 100", "set -> notification"}, false);
}

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

// The demo's tables, loaded into the lab and kept: 8 of its devices are up.
TEST(DaemonBench, StartsOnTheTablesItLoaded)
{
    run_bench({"daemon_bench", "--starts", "1", "--idle", "0", "--imports", "0", "--tables", "keep", "--load",
               agenttest::setting("TSH_SOURCE_DIR") + "/host/q7/demo.json"},
              {"tables: keep, devices \"UP\" 8 of 256", "start-up p50"});
}
