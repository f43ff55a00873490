/*
 * proc_stats.h - a process's threads, CPU and memory as /proc shows them,
 * and the parsers of the /proc texts they come from.
 */
#ifndef TSH_BENCH_PROC_STATS_H
#define TSH_BENCH_PROC_STATS_H

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bench {

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

// A process's size as the soak samples it; nothing once it has gone.
struct ProcessSize {
    long long rss_kib = 0, fds = 0, threads = 0;
};
std::optional<ProcessSize> process_size(pid_t pid);

}  // namespace bench

#endif
