// daemon_harness.h - end-to-end runs of TeSvcHdlr: one private Q7 server and
// one private agent per test binary (a gtest Environment), and the daemon
// itself started with posix_spawn, its standard streams in files, watched
// through its log lines with deadlines.
//
// The daemon's pid file has a fixed path, so every test that starts one holds
// the CTest resource lock tsh_daemon.
#ifndef TSH_DAEMON_HARNESS_H
#define TSH_DAEMON_HARNESS_H

#include <gtest/gtest.h>

#include <sys/types.h>
#include <sys/wait.h>

#include <csignal>
#include <cstdlib>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <cjson/cJSON.h>

#include "agent_test_util.h"
#include "q7lib.h"

namespace tshtest {

using namespace std::chrono_literals;
using agenttest::TempDir;

constexpr const char PID_FILE[] = "/tmp/TeSvcHdlr.pid";
// Field of the private schema whose name only begins with a device field.
constexpr const char PREFIXED_FIELD[] = "AllowOrBlockExtra";

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
bool path_exists(const std::string &path);   // lstat: a dangling link counts
// Each part found after the one before it.
bool in_order(const std::string &text, const std::vector<std::string> &parts);
int count_of(const std::string &text, const std::string &part);
// The daemon's stderr as whole lines with what varies taken out: a logged
// "2026-12-07 16:55:01.123 TeSvcHdlr[42] <info> TelvaSoT:45: text" becomes
// "<info> TelvaSoT: text", and "Line:586" or "Line : 586" in a text "Line:N" or "Line : N"; a line written
// otherwise stays as it is.
std::vector<std::string> log_lines(const std::string &text);
// Each expected line equals a whole log line after the one matched before it.
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
    // A raw command to the Q7 server underneath (to store what no Q7 write
    // would, so that a read of it fails).
    int redis(const std::vector<std::string> &args);
    // The arguments of the agent's journaled calls of `call` that it
    // accepted (all of them with accepted_only false), oldest first.
    std::vector<std::string> journal(const std::string &call, bool accepted_only = true);
    // How many calls of `call` the agent journaled, accepted or not.
    int calls(const std::string &call) { return static_cast<int>(journal(call, false).size()); }
    saproto::JsonPtr agent_state() { return agenttest::agent_state(agent_->socket()); }
    // The agent holds a hung call's reply.
    bool agent_holds_a_call();
    // The Q7 server's process, and a restart of it after a kill -9 (its data
    // is gone; the schema comes back).
    pid_t q7_pid() const { return std::atoi(read_file(dir_->file("redis.pid")).c_str()); }
    bool restart_q7();
    // The agent killed as in a crash and started again: its state, journal
    // and injected faults are gone.
    bool restart_agent() { return agent_->kill_hard(), agent_->start(); }
    // Device row: MAC, UUID and the update flag on; state as given.
    void device(unsigned row, const std::string &mac, const std::string &uuid, const std::string &state = "");
    // A plain agent, and the tables back to their defaults with console
    // logging at level 7.
    void reset();

  private:
    bool start_q7();

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

    // Started with its standard output closed (before start()).
    void close_stdout() { close_stdout_ = true; }
    bool start();
    pid_t pid() const { return pid_; }
    std::string err() const { return read_file(dir_.file("stderr")); }
    std::string out() const { return read_file(dir_.file("stdout")); }
    // Until stderr (stdout) holds text at least `times` times.
    bool wait_err(const std::string &text, int times = 1, std::chrono::milliseconds limit = 10s) const
    {
        return wait_in("stderr", text, times, limit);
    }
    bool wait_out(const std::string &text, int times = 1, std::chrono::milliseconds limit = 10s) const
    {
        return wait_in("stdout", text, times, limit);
    }
    // Start-up got through its last stage.
    bool wait_ready(std::chrono::milliseconds limit = 10s) const;
    void signal(int sig) const { if (pid_ > 0) ::kill(pid_, sig); }
    bool running() { return pid_ > 0 && !reap(WNOHANG); }
    // Exit status once it ended (128 + signal when killed), or nothing when
    // it still runs at the deadline.
    std::optional<int> wait_exit(std::chrono::milliseconds limit = 10s);

  private:
    bool wait_in(const char *file, const std::string &text, int times, std::chrono::milliseconds limit) const;
    bool reap(int options);

    TempDir dir_;
    std::vector<std::string> env_, args_;
    pid_t pid_ = -1;
    std::optional<int> status_;
    bool close_stdout_ = false;
};

// Reading the agent's JSON: a member's text ("<absent>" when missing or not
// a string) or number (-99), and a text parsed.
inline std::string text_of(const cJSON *j, const char *name)
{
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(j, name);
    return cJSON_IsString(m) ? m->valuestring : "<absent>";
}
inline int int_of(const cJSON *j, const char *name)
{
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(j, name);
    return cJSON_IsNumber(m) ? m->valueint : -99;
}
inline saproto::JsonPtr parse(const std::string &text) { return saproto::JsonPtr(cJSON_Parse(text.c_str())); }

// Waits for the dispatches made so far to end: dispatches run one at a time
// on the daemon's Q7 callback thread, so once a later notification has been
// logged the earlier ones are finished.
void settle(Lab &lab, const Daemon &d);

// SIGUSR1 and the orderly stop: exit 0 within 2 s, pid file gone. Before
// the logging configuration is applied only notices show, so info_shown
// false skips "sig_usr1 handler.".
void expect_orderly_stop(Daemon &d, bool info_shown = true);

// Clean pid file and Q7/agent state before each test.
class DaemonTest : public ::testing::Test {
  protected:
    void SetUp() override;
    Lab &lab = Lab::get();
};

} // namespace tshtest

#endif
