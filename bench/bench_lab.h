/*
 * bench_lab.h - what the daemon benchmarks share: timing summaries, the Q7
 * tables they seed, the daemon as a child process, probes beside it,
 * requests to the agent's control interface, the daemon's threads, CPU and
 * memory as /proc shows them, and their command line. Every failure throws
 * std::runtime_error naming what failed.
 */
#ifndef TSH_BENCH_LAB_H
#define TSH_BENCH_LAB_H

#include "bench_journal.h"
#include "q7lib.h"

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bench {

constexpr unsigned kDevices = 256;

// A figure's line: p50 and p99, or the maximum for few samples.
void line(const char *what, Summary s, const char *unit, bool few = false);
// A figure against an absolute goal ("under limit").
void limit_line(const char *what, double measured, double limit, const char *unit);

struct Q7Closer {
    void operator()(q7_handle *h) const { q7_destroy(h); }
};
using Q7Ptr = std::unique_ptr<q7_handle, Q7Closer>;

Q7Ptr open_q7();
void q7_check(int rc, const char *op, const char *table, unsigned row, const char *field);
void set(q7_handle *q7, const char *table, unsigned row, const char *field, const std::string &value);

// The MAC of device row `row` in the seeded tables.
std::string row_mac(unsigned row);
// The daemon's log settings: console output (which the benches send to a
// file) at the given TshLogLevel.
void seed_logging(q7_handle *q7, int log_level);
// The router and kDevices devices, all "UP" and none a satellite, so that a
// resync lists every device and asks the agent nothing else.
void seed_devices(q7_handle *q7);
// The nine reads the daemon makes for one device record, with its kinds.
void read_record(q7_handle *q7, unsigned row);
// One walk of all kDevices records (2,304 gets), in ms: the floor of the
// resync and of the start-up.
double walk_ms(q7_handle *q7);

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

// The first journal entry from `next` on that satisfies pred; fails after
// `limit`.
Receipt await(JournalFollower &journal, size_t &next, const std::function<bool(const Receipt &)> &pred,
              const std::string &what, std::chrono::milliseconds limit = std::chrono::seconds(10));
std::function<bool(const Receipt &)> is_call(const char *call);
// Start-up ends with the router-information push: waits for its receipt
// (up to 30 s, failing early when the daemon ends) and returns it.
Receipt wait_ready(JournalFollower &journal, Daemon &daemon, const std::string &log);

// A control request to the agent ("ctl.set", "ctl.emit"...) about `what`.
saproto::JsonPtr control_request(const char *call, const char *what, const std::string *value = nullptr);
// One control request to the agent; fails unless its result is 0.
void agent_control(const std::string &socket, const cJSON *request);

// One thread of a process as /proc/PID/task/TID shows it.
struct ThreadStat {
    int tid = 0;
    int rank = 0;  // 1 for the oldest thread (the main thread), and so on
    std::string comm;
    long long cpu_ticks = 0;  // utime + stime, in clock ticks
    long long switches = 0;   // voluntary + nonvoluntary context switches
};
// comm, utime + stime out of a /proc stat line; nothing when it is not one.
std::optional<std::pair<std::string, long long>> parse_stat(std::string_view line);
// "Key:  value ..." of a /proc status text; nothing when the key is absent.
std::optional<long long> status_value(std::string_view text, std::string_view key);
std::vector<ThreadStat> thread_stats(pid_t pid);
// Per-thread CPU and switches between two readings, busiest first; threads
// that ended between them are left out.
std::vector<ThreadStat> thread_deltas(const std::vector<ThreadStat> &before, const std::vector<ThreadStat> &after);
// One line per thread: its rank, tid, name, CPU and switches.
void print_threads(const std::vector<ThreadStat> &delta, double ms_per_tick);
double ms_per_tick();

// Resident memory of one group of mappings (a file, [heap], [stack], the
// executable's bss, other anonymous memory), in kB.
struct Resident {
    long long rss = 0, private_kb = 0;
};
// smaps text -> kB per group. The anonymous mapping right after the last
// mapping of `exe` (a base name) is its bss.
std::map<std::string, Resident> smaps_groups(std::string_view smaps, std::string_view exe);
std::string read_text(const std::string &path);

// Command-line options: numbers of at least `min`, texts (the last given),
// lists (every one given, in order).
struct IntFlag {
    const char *name;
    int *value;
    int min;
};
struct TextFlag {
    const char *name;
    std::string *one = nullptr;
    std::vector<std::string> *many = nullptr;
};
// Fills the flags and `pos` with the other arguments. -1 to go on, else the
// status to exit with: usage(stdout, 0) for --help, usage(stderr, 2) for a
// bad option (named on stderr first).
int parse_args(int argc, char **argv, const char *prog, const std::vector<IntFlag> &ints,
               const std::vector<TextFlag> &texts, std::vector<std::string> &pos,
               const std::function<int(FILE *, int)> &usage);

// What every daemon bench is given and holds.
struct CommonOptions {
    int log_level = 5;                // the daemon's TshLogLevel
    std::string daemon, log, launcher;
    std::vector<std::string> probes;  // commands run beside a measurement
};
struct LabBase {
    std::string agent_socket;
    Q7Ptr q7;
    JournalFollower journal;
};
// A bench's help: its own text, then the lines of the flags bench_main
// adds; probes run while `measured` run (e.g. "the bursts").
struct Help {
    const char *text;
    const char *measured;
};
// A bench's main: SIGPIPE ignored; its own flags and --log-level,
// --launcher, --probe parsed; DAEMON and LOG taken; the agent's socket and
// a Q7 handle opened; then run(), its failure reported as "prog: what" and
// status 1.
int bench_main(int argc, char **argv, const char *prog, std::vector<IntFlag> ints, std::vector<TextFlag> texts,
               const Help &help, CommonOptions &o, LabBase &lab, const std::function<void()> &run);

}  // namespace bench

#endif
