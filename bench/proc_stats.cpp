// proc_stats.cpp - a process's threads, CPU and memory as /proc shows them.
#include "proc_stats.h"

#include "bench_figures.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace bench {

std::optional<std::pair<std::string, long long>> parse_stat(std::string_view line)
{
    // "tid (comm) state ppid ...": comm may hold blanks and parentheses, so
    // it ends at the last ')'. utime and stime are fields 14 and 15.
    const size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    std::istringstream rest{std::string(line.substr(close + 1))};
    std::string field;
    long long utime = -1, stime = -1;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14 || i == 15) {
            char *end = nullptr;
            const long long v = strtoll(field.c_str(), &end, 10);
            if (*end != '\0' || v < 0)
                return std::nullopt;
            (i == 14 ? utime : stime) = v;
        }
    }
    if (utime < 0 || stime < 0)
        return std::nullopt;
    return std::make_pair(std::string(line.substr(open + 1, close - open - 1)), utime + stime);
}

std::optional<long long> status_value(std::string_view text, std::string_view key)
{
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(at, end - at);
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ':') {
            const std::string value(line.substr(key.size() + 1));
            char *stop = nullptr;
            const long long v = strtoll(value.c_str(), &stop, 10);
            if (stop != value.c_str())
                return v;
            return std::nullopt;
        }
        at = end + 1;
    }
    return std::nullopt;
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<ThreadStat> thread_stats(pid_t pid)
{
    std::vector<ThreadStat> out;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir.c_str()), closedir);
    if (!d)
        fail("cannot read " + dir + ": " + strerror(errno));
    while (const dirent *e = readdir(d.get())) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        const std::string task = dir + "/" + e->d_name;
        const auto stat = parse_stat(read_text(task + "/stat"));
        const std::string status = read_text(task + "/status");
        if (!stat)
            continue;  // ended while we looked
        ThreadStat t;
        t.tid = atoi(e->d_name);
        t.comm = stat->first;
        t.cpu_ticks = stat->second;
        t.switches = status_value(status, "voluntary_ctxt_switches").value_or(0) +
                     status_value(status, "nonvoluntary_ctxt_switches").value_or(0);
        out.push_back(t);
    }
    // Thread ids grow with creation (short of a wrap of the pid space).
    std::sort(out.begin(), out.end(), [](const ThreadStat &a, const ThreadStat &b) { return a.tid < b.tid; });
    for (size_t i = 0; i < out.size(); ++i)
        out[i].rank = static_cast<int>(i) + 1;
    return out;
}

std::vector<ThreadStat> thread_deltas(const std::vector<ThreadStat> &before, const std::vector<ThreadStat> &after)
{
    std::vector<ThreadStat> out;
    for (const ThreadStat &a : after) {
        ThreadStat d = a;
        const auto b = std::find_if(before.begin(), before.end(), [&](const ThreadStat &x) { return x.tid == a.tid; });
        if (b != before.end()) {
            d.cpu_ticks -= b->cpu_ticks;
            d.switches -= b->switches;
        }
        out.push_back(d);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const ThreadStat &a, const ThreadStat &b) { return a.cpu_ticks > b.cpu_ticks; });
    return out;
}

double ms_per_tick()
{
    return 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void print_threads(const std::vector<ThreadStat> &delta, double tick_ms)
{
    for (const ThreadStat &t : delta)
        printf("  thread #%-2d tid %-7d %-16s cpu %6.0f ms  switches %7lld\n", t.rank, t.tid, t.comm.c_str(),
               static_cast<double>(t.cpu_ticks) * tick_ms, t.switches);
}

std::map<std::string, Resident> smaps_groups(std::string_view smaps, std::string_view exe)
{
    std::map<std::string, Resident> out;
    Resident *current = nullptr;
    unsigned long long exe_end = 0;  // end of the executable's last mapping seen
    std::istringstream in{std::string(smaps)};
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first.empty())
            continue;
        if (first.back() == ':') {
            long long kb = 0;
            if (!current || !(words >> kb))
                continue;
            if (first == "Rss:")
                current->rss += kb;
            else if (first == "Private_Clean:" || first == "Private_Dirty:")
                current->private_kb += kb;
            continue;
        }
        // A mapping: "start-end perms offset dev inode [path]".
        const size_t dash = first.find('-');
        if (dash == std::string::npos)
            continue;
        const unsigned long long start = strtoull(first.c_str(), nullptr, 16);
        const unsigned long long end = strtoull(first.c_str() + dash + 1, nullptr, 16);
        std::string perms, offset, dev, inode, path;
        words >> perms >> offset >> dev >> inode;
        std::getline(words >> std::ws, path);
        std::string group = path;
        const size_t slash = path.rfind('/');
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (!exe.empty() && base == exe) {
            exe_end = end;
        } else if (path.empty()) {
            group = start == exe_end ? std::string(exe) + " bss" : "[anon]";
        }
        if (!path.empty() && path[0] == '/')
            group = base;
        current = &out[group];
    }
    return out;
}

std::optional<ProcessSize> process_size(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::string status = read_text(proc + "/status");
    const auto rss = status_value(status, "VmRSS"), threads = status_value(status, "Threads");
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir((proc + "/fd").c_str()), closedir);
    if (!rss || !threads || !d)
        return std::nullopt;
    ProcessSize s{*rss, 0, *threads};
    while (const dirent *e = readdir(d.get()))
        s.fds += e->d_name[0] != '.';
    return s;
}

}  // namespace bench
