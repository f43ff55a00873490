/*
 * device_bench_test.cpp - the device bench still drives the daemon through
 * all its measurements: start-up, renames one by one, a burst of 256 and the
 * resync, each of which it checks (every name arrives, the resync lists all
 * 256 devices, the daemon stops in order). Figures are not judged here.
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

}  // namespace

TEST(DeviceBench, DrivesTheDaemonThroughEveryMeasurement)
{
    agenttest::TempDir dir;
    Q7Server q7(dir);
    ASSERT_TRUE(q7.started());
    agenttest::PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    setenv("Q7_SOCKET", dir.file("q7.sock").c_str(), 1);
    setenv("SA_AGENT_SOCKET", agent.socket().c_str(), 1);

    const std::string bin = agenttest::setting("TSH_BIN_DIR");
    const int out = open(dir.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(out, 0);
    const pid_t pid = spawn_process({bin + "/device_bench", "--renames", "5", "--samples", "10", "--bursts", "1",
                                     "--resyncs", "1", bin + "/TeSvcHdlr", dir.file("daemon.log")},
                                    out);
    close(out);
    ASSERT_GT(pid, 0);
    const int status = wait_exit(pid);
    const std::string text = read_file(dir.file("out"));
    const std::string log = read_file(dir.file("daemon.log"));
    ASSERT_EQ(status, 0) << text << "\ndaemon log ends:\n" << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
    for (const char *figure : {"rename p50", "burst p50", "resync p50"})
        EXPECT_NE(text.find(figure), std::string::npos) << figure << " missing from:\n" << text;
}
