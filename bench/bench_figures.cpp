// bench_figures.cpp - summaries, the PING round trip and the lines of the
// figures measured in turns with their floors.
#include "bench_figures.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace bench {

void fail(const std::string &what)
{
    throw std::runtime_error(what);
}

double us_between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::micro>(to - from).count();
}

Summary summarize(std::vector<double> v)
{
    if (v.empty())
        return {0, 0, 0};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[v.size() * 99 / 100], v.back()};
}

double median(std::vector<double> v)
{
    return summarize(std::move(v)).p50;
}

Pinger::Pinger()
{
    const char *env = getenv("Q7_SOCKET");
    sock_ = env && *env ? env : "/tmp/q7.sock";
    raw_ = redisConnectUnix(sock_.c_str());
    if (!raw_ || raw_->err) {
        redisFree(raw_);
        fail("cannot reach the Q7 server at " + sock_);
    }
}

Pinger::~Pinger()
{
    redisFree(raw_);
}

void Pinger::once()
{
    const char *argv[] = {"PING"};
    auto *reply = static_cast<redisReply *>(redisCommandArgv(raw_, 1, argv, nullptr));
    const bool ok = reply && reply->type == REDIS_REPLY_STATUS;
    freeReplyObject(reply);
    if (!ok)
        fail("the Q7 server at " + sock_ + " did not answer PING");
}

double ping_us(int n)
{
    Pinger p;
    return median(time_samples(n, [&](int) { p.once(); }));
}

namespace {

std::string spread(const std::vector<double> &v)
{
    char text[64];
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    // Two decimals below 10, so that a small floor still shows its size.
    const int digits = *hi < 10 ? 2 : 1;
    snprintf(text, sizeof text, "%.*f / %.*f / %.*f", digits, *lo, digits, median(v), digits, *hi);
    return text;
}

}  // namespace

std::string turns_line(const Turns &t, double ping)
{
    if (t.floor.empty() || t.floor.size() != t.figure.size())
        fail(t.what + ": " + std::to_string(t.floor.size()) + " floors for " + std::to_string(t.figure.size()) +
             " figures");
    const double scale = t.unit == "ms" ? 1000 : 1;
    std::vector<double> ratios;
    for (size_t i = 0; i < t.floor.size(); ++i) {
        // Written so that NaN fails too.
        if (!(t.floor[i] > 0 && t.floor[i] * scale >= ping))
            fail(t.what + ": the floor of repetition " + std::to_string(i + 1) + " is " +
                 std::to_string(t.floor[i]) + " " + t.unit + ", no plausible time (the PING round trip is " +
                 std::to_string(ping) + " us); no ratio to it");
        ratios.push_back(t.figure[i] / t.floor[i]);
    }
    const auto [lo, hi] = std::minmax_element(ratios.begin(), ratios.end());
    const double ratio = median(ratios);
    char text[256];
    int n = snprintf(text, sizeof text, "%-45s %-26s %-26s %5.2fx (%.2f to %.2f)", (t.what + " (" + t.unit + ")").c_str(),
                     spread(t.floor).c_str(), spread(t.figure).c_str(), ratio, *lo, *hi);
    if (t.goal > 0 && n > 0 && static_cast<size_t>(n) < sizeof text)
        snprintf(text + n, sizeof text - n, "  goal %.2fx: %s", t.goal, ratio <= t.goal ? "met" : "missed");
    return text;
}

void print_turns(const Turns &t, double ping)
{
    puts(turns_line(t, ping).c_str());
}

void print_turns_heading(int reps)
{
    printf("%d repetitions, each a floor then its figure; min / median / max of the repetitions' medians;\n"
           "ratio: median of the repetitions' figure/floor (min to max)\n"
           "%-45s %-26s %-26s %s\n",
           reps, "figure", "floor", "figure", "ratio");
}

void line(const char *what, Summary s, const char *unit, bool few)
{
    printf("%-40s p50 %8.1f %s  %s %8.1f %s\n", what, s.p50, unit, few ? "max" : "p99", few ? s.max : s.p99, unit);
}

void limit_line(const char *what, double measured, double limit, const char *unit)
{
    printf("%-40s %8.1f %s (goal under %.0f %s: %s)\n", what, measured, unit, limit, unit,
           measured < limit ? "met" : "missed");
}

}  // namespace bench
