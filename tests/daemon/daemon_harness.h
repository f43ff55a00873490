// daemon_harness.h - end-to-end runs of TeSvcHdlr against one private Q7
// server and agent per test binary, its standard streams in files. The pid
// file has a fixed path: each test that starts one holds the lock tsh_daemon.
#ifndef TSH_DAEMON_HARNESS_H
#define TSH_DAEMON_HARNESS_H

#include <gtest/gtest.h>

#include <cjson/cJSON.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "agent_test_util.h"
#include "q7lib.h"

namespace tshtest {

using namespace std::chrono_literals;
using agenttest::TempDir;

constexpr const char PID_FILE[] = "/tmp/TeSvcHdlr.pid";
// Field of the private schema whose name only begins with a device field.
constexpr const char PREFIXED_FIELD[] = "AllowOrBlockExtra";

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}
inline void write_file(const std::string &path, const std::string &text) { std::ofstream(path) << text; }
// lstat: a dangling link counts.
inline bool path_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}
// Each part found after the one before it.
bool in_order(const std::string &text, const std::vector<std::string> &parts);
int count_of(const std::string &text, const std::string &part);
// The daemon's stderr as whole lines with what varies taken out: a logged
// "2026-12-07 16:55:01.123 TeSvcHdlr[42] <info> TelvaSoT:45: text" becomes
// "<info> TelvaSoT: text", with "Line:586" or "Line : 586" in the text as
// "Line:N" or "Line : N". Other lines stay as they are.
std::vector<std::string> log_lines(const std::string &text);
// No line that tells of a failure ("Fail", "fail", "Can not", "Error: ")
// but those holding one of `expected`: a path that went well says so.
::testing::AssertionResult no_failures(const std::string &text, const std::vector<std::string> &expected = {});
// Each line equals a whole log line after the one matched before it.
::testing::AssertionResult lines_in_order(const std::string &text, const std::vector<std::string> &lines);
// The lines one after another in the log, or as its last lines.
::testing::AssertionResult lines_together(const std::string &text, const std::vector<std::string> &lines,
                                          bool at_end = false);

// The Q7 server and the agent every test of the binary shares.
class Lab : public ::testing::Environment {
  public:
    static Lab &get() { return *the_lab_; }
    void SetUp() override;
    void TearDown() override;

    // Q7 fields as text (q7_get_text / q7_set_text); row 0 by default.
    std::string get(const char *table, const char *field, unsigned row = 0);
    int set(const char *table, const char *field, const std::string &value, unsigned row = 0)
    {
        return q7_set_text(q7_, table, row, field, value.c_str());
    }
    int agentctl(const std::vector<std::string> &args, std::string *out = nullptr)
    {
        return agenttest::agentctl(agent_->socket(), args, out);
    }
    // A command to the Q7 server underneath (to store what no Q7 write would).
    int redis(const std::vector<std::string> &args);
    // The arguments of the agent's journaled calls of `call` it accepted
    // (all of them with accepted_only false), oldest first.
    std::vector<std::string> journal(const std::string &call, bool accepted_only = true);
    int calls(const std::string &call) { return static_cast<int>(journal(call, false).size()); }
    saproto::JsonPtr agent_state() { return agenttest::agent_state(agent_->socket()); }
    // The agent holds back a hung call's reply.
    bool agent_holds_a_call();
    pid_t q7_pid() const { return std::atoi(read_file(dir_->file("redis.pid")).c_str()); }
    // Device row: MAC, UUID and the update flag on; state as given.
    void device(unsigned row, const std::string &mac, const std::string &uuid, const std::string &state = "");
    // A new agent, and every table at its defaults but logging.
    void reset();

  private:
    static inline Lab *the_lab_ = nullptr;
    std::unique_ptr<TempDir> dir_;
    std::unique_ptr<agenttest::PrivateAgent> agent_;
    q7_handle *q7_ = nullptr;
};

// One TeSvcHdlr process. The destructor stops one still running (SIGUSR1,
// then SIGKILL) and fails the test when a sanitizer reported in it.
class Daemon {
  public:
    // env: "NAME=VALUE" entries that replace or add to the test's own.
    explicit Daemon(std::vector<std::string> env = {}, std::vector<std::string> args = {})
        : env_(std::move(env)), args_(std::move(args)) {}
    ~Daemon();
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    // Started with its standard output closed.
    void close_stdout() { close_stdout_ = true; }
    bool start();
    pid_t pid() const { return pid_; }
    std::string err() const { return read_file(dir_.file("stderr")); }
    std::string out() const { return read_file(dir_.file("stdout")); }
    // Until stderr (stdout) holds text at least `times` times.
    bool wait_err(const std::string &text, int times = 1, std::chrono::milliseconds limit = 10s) const;
    bool wait_out(const std::string &text, int times = 1, std::chrono::milliseconds limit = 10s) const;
    // Start-up got through its last stage.
    bool wait_ready(std::chrono::milliseconds limit = 10s) const;
    void signal(int sig) const { if (pid_ > 0) ::kill(pid_, sig); }
    bool running() { return pid_ > 0 && !reap(WNOHANG); }
    // Exit status once it ended (128 + signal when killed), or nothing when
    // it still runs at the deadline.
    std::optional<int> wait_exit(std::chrono::milliseconds limit = 10s);

  private:
    bool reap(int options);

    TempDir dir_;
    std::vector<std::string> env_, args_;
    pid_t pid_ = -1;
    std::optional<int> status_;
    bool close_stdout_ = false;
};

// A member's text ("<absent>" when not a string) or number (-99).
std::string text_of(const cJSON *j, const char *name);
int int_of(const cJSON *j, const char *name);
inline saproto::JsonPtr parse(const std::string &text) { return saproto::JsonPtr(cJSON_Parse(text.c_str())); }

// Waits for the dispatches made so far to end: dispatches run one at a time
// on the daemon's Q7 callback thread, so once a later notification has been
// logged the earlier ones are finished.
void settle(Lab &lab, const Daemon &d);

// SIGUSR1 and the orderly stop: exit 0 within 2 s, pid file gone.
void expect_orderly_stop(Daemon &d);

class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override;
    Lab &lab = Lab::get();
};

} // namespace tshtest

#endif
