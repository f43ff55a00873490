/*
 * soak_report.h - the soak's samples of the daemon, the growth check over
 * them and the pieces of its report.
 */
#ifndef TSH_BENCH_SOAK_REPORT_H
#define TSH_BENCH_SOAK_REPORT_H

#include <string>
#include <vector>

namespace bench {

struct Sample {
    long long t_s = 0, rss = 0, fds = 0, threads = 0;  // t in s, rss in KiB; 0 while the daemon is gone
    int alive = 0, agent = 0, q7 = 0, steady = 0, changes = 0;
    std::string note;  // "start", "mid", "end", "died" or empty
};
// The header of the samples' tab-separated lines, and one line.
extern const char kSampleHeader[];
std::string sample_line(const Sample &s);
// The samples as the report's table, the header first.
std::string samples_table(const std::vector<Sample> &samples);

struct Growth {
    Sample ref, end;  // end: all zero when no "end" sample was taken
    std::vector<std::string> failures;
};
// The reference is the first steady sample after the warm-up (2 min, or a
// fifth of a shorter run): start-up allocations and the first reconnects
// are behind it. From there to the "end" sample RSS may grow by
// `rss_bound` KiB; descriptors and threads must not grow at all.
Growth check_growth(const std::vector<Sample> &samples, long run_ms, long long rss_bound);
std::string growth_text(const Growth &g, long long rss_bound);

// "x86_64, 2 cores, MODEL, Linux RELEASE"
std::string machine_text();

}  // namespace bench

#endif
