// soak_report.cpp - the soak's samples, its growth check and report lines.
#include "soak_report.h"

#include <sched.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace bench {

const char kSampleHeader[] = "t_s\trss_kib\tfds\tthreads\talive\tagent\tq7\tsteady\tchanges\tnote";

namespace {

std::vector<std::string> fields(const Sample &s)
{
    std::vector<std::string> f;
    for (long long v : {s.t_s, s.rss, s.fds, s.threads, 0LL + s.alive, 0LL + s.agent, 0LL + s.q7, 0LL + s.steady,
                        0LL + s.changes})
        f.push_back(std::to_string(v));
    f.push_back(s.note);
    return f;
}

std::string table_row(const std::vector<std::string> &f)
{
    char text[256];
    snprintf(text, sizeof text, "  %6s %8s %5s %8s %6s %6s %4s %7s %8s  %s\n", f[0].c_str(), f[1].c_str(),
             f[2].c_str(), f[3].c_str(), f[4].c_str(), f[5].c_str(), f[6].c_str(), f[7].c_str(), f[8].c_str(),
             f[9].c_str());
    return text;
}

}  // namespace

std::string sample_line(const Sample &s)
{
    std::string line;
    for (const std::string &f : fields(s))
        line += (line.empty() ? "" : "\t") + f;
    return line;
}

std::string samples_table(const std::vector<Sample> &samples)
{
    std::string out = table_row({"t_s", "rss_kib", "fds", "threads", "alive", "agent", "q7", "steady", "changes", "note"});
    for (const Sample &s : samples)
        out += table_row(fields(s));
    return out;
}

Growth check_growth(const std::vector<Sample> &samples, long run_ms, long long rss_bound)
{
    Growth g;
    if (samples.empty())
        return g;
    const long long warm_s = std::min(run_ms / 5, 120000L) / 1000;
    const auto ref = std::find_if(samples.begin(), samples.end(),
                                  [&](const Sample &s) { return s.steady && s.t_s >= warm_s && s.note != "end"; });
    g.ref = ref != samples.end() ? *ref : samples.front();
    if (samples.back().note == "end")
        g.end = samples.back();
    if (g.end.rss <= 0)
        return g;
    const std::string at = " at " + std::to_string(g.ref.t_s) + " s";
    if (g.end.rss - g.ref.rss > rss_bound)
        g.failures.push_back("RSS grew " + std::to_string(g.end.rss - g.ref.rss) + " KiB from " +
                             std::to_string(g.ref.rss) + " KiB" + at + " (bound " + std::to_string(rss_bound) + " KiB)");
    if (g.end.fds > g.ref.fds)
        g.failures.push_back("descriptors grew from " + std::to_string(g.ref.fds) + at + " to " +
                             std::to_string(g.end.fds));
    if (g.end.threads > g.ref.threads)
        g.failures.push_back("threads grew from " + std::to_string(g.ref.threads) + at + " to " +
                             std::to_string(g.end.threads));
    return g;
}

std::string growth_text(const Growth &g, long long rss_bound)
{
    return "growth reference: sample at " + std::to_string(g.ref.t_s) + " s (rss " + std::to_string(g.ref.rss) +
           " KiB, fds " + std::to_string(g.ref.fds) + ", threads " + std::to_string(g.ref.threads) + "); end: rss " +
           std::to_string(g.end.rss) + " KiB, fds " + std::to_string(g.end.fds) + ", threads " +
           std::to_string(g.end.threads) + "; bounds: rss +" + std::to_string(rss_bound) + " KiB, fds +0, threads +0";
}

std::string machine_text()
{
    utsname u{};
    uname(&u);
    cpu_set_t cpus;
    const int n = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus) : 0;
    std::string model;
    std::ifstream in("/proc/cpuinfo");
    for (std::string line; model.empty() && std::getline(in, line);)
        if (line.rfind("model name", 0) == 0)
            model = line.substr(std::min(line.find(':') + 2, line.size()));
    return std::string(u.machine) + ", " + std::to_string(n) + " cores, " + model + ", Linux " + u.release;
}

}  // namespace bench
