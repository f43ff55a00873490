/*
 * lab_processes.h - the lab's processes as the benches and the soak start
 * them: the daemon as a child, profilers beside it, the wait for its
 * start-up to end, a Q7 server of their own (host/q7/q7-server) and the
 * agent (sa-agentd). Every failure throws std::runtime_error naming what
 * failed, unless a call says it answers false.
 */
#ifndef TSH_BENCH_LAB_PROCESSES_H
#define TSH_BENCH_LAB_PROCESSES_H

#include "bench_journal.h"

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// Where a child's standard streams go: standard input from /dev/null,
// output to `out` (appended to when `append`), errors to `err` or, when it
// is empty, to `out` too.
struct ChildOutput {
    std::string out, err;
    bool append = false;
    // Only its three standard streams: descriptors of the parent's would
    // blur the child's descriptor count and keep the parent's peers open.
    bool close_others = true;
};
// Starts argv[0] (looked up in PATH) with `env` (NAME=VALUE entries) in
// front of this process's environment; a failure names it as `what`
// ("the daemon ") and argv[0].
pid_t spawn_child(const std::vector<std::string> &argv, const ChildOutput &io,
                  const std::vector<std::string> &env = {}, const std::string &what = "");
// Runs a command to its end; its exit status (128 + N after signal N).
int run_child(const std::vector<std::string> &argv, const ChildOutput &io);

// The daemon as a child process, its output in one log file; through
// `launcher` (an emulator) when one is given.
class Daemon {
  public:
    // `env`: NAME=VALUE entries that override the bench's environment.
    Daemon(const std::string &path, const std::string &log, const std::string &launcher = "",
           const std::vector<std::string> &env = {});
    // Without a launcher, its standard streams as `io` says.
    Daemon(const std::string &path, const ChildOutput &io);
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;
    ~Daemon();

    pid_t pid() const { return pid_; }
    // Its exit status once it has ended, else -1.
    int exited();
    // The orderly stop (SIGUSR1); the exit status, or -1 when it had to be
    // killed after `limit`.
    int stop(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // stop(), failing unless the daemon exited with status 0.
    void stop_in_order();

  private:
    std::string log_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// Commands (a profiler) run beside a measurement: started with the daemon's
// pid in place of the word "{pid}", given 500 ms to attach, and ended with
// SIGINT (as one ends them by hand) when the object goes.
class Probes {
  public:
    Probes(const std::vector<std::string> &commands, pid_t daemon);
    Probes(const Probes &) = delete;
    Probes &operator=(const Probes &) = delete;
    ~Probes();

  private:
    std::vector<pid_t> pids_;
};

// Start-up ends with the router-information push: waits for its receipt
// (up to 30 s, failing early when the daemon ends) and returns it.
Receipt wait_ready(JournalFollower &journal, Daemon &daemon, const std::string &log);

// A Q7 server of the lab's own with its state in `dir`, its data kept
// across restarts when `keep` (an append-only file written before each
// reply); the script's messages are appended to `log`. Stopped when the
// object goes.
class Q7Server {
  public:
    Q7Server(const std::string &source_dir, const std::string &dir, const std::string &log, bool keep = true);
    Q7Server(const Q7Server &) = delete;
    Q7Server &operator=(const Q7Server &) = delete;
    ~Q7Server();

    // false when the server did not start.
    bool start();
    void stop();
    bool up() const { return up_; }
    std::string socket() const { return dir_ + "/q7.sock"; }

  private:
    int run(const char *verb, bool aof);

    std::string script_, dir_, log_;
    bool keep_, up_ = false, tried_ = false;
};

// The agent in the foreground on `socket`, given `args` besides (its state
// file, seed, journal), through `launcher` when one is given; its output
// appended to `log`. Ended with SIGTERM when the object goes.
class Agent {
  public:
    Agent(const std::string &path, const std::string &socket, const std::vector<std::string> &args,
          const std::string &log, const std::string &launcher = "");
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;
    ~Agent();

    // Starts it and waits until it answers a control request; false when
    // it does not within `limit` (it is left running).
    bool start(std::chrono::milliseconds limit = std::chrono::seconds(5));
    // SIGKILL, as a crash would end it: its socket stays behind.
    void kill_hard();
    bool up() const { return up_; }

  private:
    std::vector<std::string> argv_;
    std::string socket_, log_;
    pid_t pid_ = -1;
    bool up_ = false;
};

// A bench's own lab in `dir`: a Q7 server whose data goes with it and,
// unless `agent` is empty, that agent binary through `launcher`; $Q7_SOCKET
// and $SA_AGENT_SOCKET name them for this process and the children it
// starts. Both stopped when the object goes.
class OwnLab {
  public:
    OwnLab(const std::string &source_dir, const std::string &dir, const std::string &agent = "",
           const std::string &launcher = "");

    // Loads FILE (as `q7ctl load FILE` does, with the q7ctl beside this
    // program) into the server.
    void load(const std::string &file);

  private:
    std::string dir_, launcher_;
    Q7Server q7_;
    std::optional<Agent> agent_;
};

// The binaries' directory (this program's own) and the source tree it was
// built from.
std::string bin_dir();
std::string source_dir();

}  // namespace bench

#endif
