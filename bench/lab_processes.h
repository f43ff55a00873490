/*
 * lab_processes.h - the lab's processes as a bench starts them: the daemon
 * as a child, profilers beside it, and the wait for its start-up to end.
 * Every failure throws std::runtime_error naming what failed.
 */
#ifndef TSH_BENCH_LAB_PROCESSES_H
#define TSH_BENCH_LAB_PROCESSES_H

#include "bench_journal.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// The daemon as a child process, its output in one log file; through
// `launcher` (an emulator) when one is given.
class Daemon {
  public:
    // `env`: NAME=VALUE entries that override the bench's environment.
    Daemon(const std::string &path, const std::string &log, const std::string &launcher = "",
           const std::vector<std::string> &env = {});
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;
    ~Daemon();

    pid_t pid() const { return pid_; }
    // Its exit status once it has ended, else -1.
    int exited();
    // The orderly stop (SIGUSR1); the exit status, or -1 when it had to be
    // killed after 5 s.
    int stop();
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

}  // namespace bench

#endif
