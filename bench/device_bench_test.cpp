/*
 * device_bench_test.cpp - the daemon benches still drive the daemon through
 * all their measurements. device_bench: start-up, renames one by one, a
 * burst of 256 (with a probe beside it) and the resync, each of which it
 * checks (every name arrives, the resync lists all 256 devices, the daemon
 * stops in order). daemon_bench: start-ups and stops, rest, memory and
 * imports (every row ends with the DID it should have). Figures are not
 * judged here.
 */
#include "agent/agent_test_util.h"
#include "process_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A private Q7 server for one test.
class Q7Server {
  public:
    explicit Q7Server(const agenttest::TempDir &dir)
        : script_(agenttest::setting("TSH_SOURCE_DIR") + "/host/q7/q7-server"), dir_(dir.path())
    {
        started_ = run_process({script_, "start", "--dir", dir_}) == 0;
    }
    ~Q7Server()
    {
        if (started_)
            run_process({script_, "stop", "--dir", dir_});
    }
    bool started() const { return started_; }

  private:
    std::string script_, dir_;
    bool started_ = false;
};

// One bench run against a private Q7 server and agent: its exit status and
// output, with the end of the daemon's log when it failed.
struct BenchRun {
    int status = -1;
    std::string text;

    BenchRun(const std::string &bench, std::vector<std::string> args)
    {
        agenttest::TempDir dir;
        Q7Server q7(dir);
        agenttest::PrivateAgent agent;
        if (!q7.started() || !agent.start()) {
            text = "no Q7 server or agent";
            return;
        }
        setenv("Q7_SOCKET", dir.file("q7.sock").c_str(), 1);
        setenv("SA_AGENT_SOCKET", agent.socket().c_str(), 1);
        const std::string bin = agenttest::setting("TSH_BIN_DIR");
        args.insert(args.begin(), bin + "/" + bench);
        args.push_back(bin + "/TeSvcHdlr");
        args.push_back(dir.file("daemon.log"));
        const int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const pid_t pid = out >= 0 ? spawn_process(args, out) : -1;
        if (out >= 0)
            close(out);
        status = pid > 0 ? wait_exit(pid) : -1;
        text = read_file(dir.file("out"));
        if (status != 0) {
            const std::string log = read_file(dir.file("daemon.log"));
            text += "\ndaemon log ends:\n" + log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
        }
    }
};

void expect_figures(const BenchRun &run, std::initializer_list<const char *> figures)
{
    ASSERT_EQ(run.status, 0) << run.text;
    for (const char *figure : figures)
        EXPECT_NE(run.text.find(figure), std::string::npos) << figure << " missing from:\n" << run.text;
}

}  // namespace

// A probe left running would hold the bench for ever: it must be ended.
TEST(DeviceBench, DrivesTheDaemonThroughEveryMeasurement)
{
    const BenchRun run("device_bench", {"--renames", "5", "--samples", "10", "--bursts", "1", "--resyncs", "1",
                                        "--probe", "sleep 600"});
    expect_figures(run, {"rename p50", "burst p50", "resync p50", "daemon threads over the bursts"});
}

// The bench checks every row's DID after the imports and fails otherwise.
TEST(DaemonBench, StartsStopsRestsAndImports)
{
    const BenchRun run("daemon_bench", {"--starts", "2", "--idle", "1", "--imports", "2"});
    expect_figures(run, {"start-up p50", "stop p50", "set_device_online_status", "idle cpu", "memory at rest: VmRSS",
                         "TeSvcHdlr bss", "memory after the imports", "import p50"});
}
