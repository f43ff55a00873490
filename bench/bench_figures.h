/*
 * bench_figures.h - how every bench turns samples into figures: timing
 * loops, the raw PING round trip of the Q7 server, and a figure measured in
 * turns with its floor (floor, figure, floor, figure...) so that drift on
 * the machine hits both alike. Single-threaded; failures throw
 * std::runtime_error naming what failed.
 */
#ifndef TSH_BENCH_FIGURES_H
#define TSH_BENCH_FIGURES_H

#include <chrono>
#include <string>
#include <vector>

struct redisContext;

namespace bench {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string &what);

double us_between(Clock::time_point from, Clock::time_point to);

struct Summary {
    double p50, p99, max;
};
Summary summarize(std::vector<double> v);
double median(std::vector<double> v);
// A figure's line: p50 and p99, or the maximum for few samples.
void line(const char *what, Summary s, const char *unit, bool few = false);
// A figure against an absolute goal ("under limit").
void limit_line(const char *what, double measured, double limit, const char *unit);

// n timed runs of op(i) after n/10 untimed ones; microseconds.
template <class Op>
std::vector<double> time_samples(int n, Op op)
{
    std::vector<double> us;
    const int warm = n / 10;
    for (int i = 0; i < warm + n; ++i) {
        const auto t0 = Clock::now();
        op(i);
        if (i >= warm)
            us.push_back(us_between(t0, Clock::now()));
    }
    return us;
}
template <class Op>
Summary time_each(int n, Op op)
{
    return summarize(time_samples(n, op));
}

// A connection of its own to the Q7 server ($Q7_SOCKET) for raw PINGs: the
// cheapest round trip there is, and so the least any floor can be.
class Pinger {
  public:
    Pinger();
    Pinger(const Pinger &) = delete;
    Pinger &operator=(const Pinger &) = delete;
    ~Pinger();
    void once();

  private:
    redisContext *raw_;
    std::string sock_;
};
// The median of n PINGs, in us.
double ping_us(int n);

// A figure beside its floor: one value of each per repetition (each the
// median of that repetition's samples), in `unit` ("us" or "ms").
struct Turns {
    std::string what;
    std::string unit;
    double goal = 0;  // the ratio aimed at; 0 for none
    std::vector<double> floor, figure;
};

// reps repetitions of floor() then figure(), after one untimed pair (the
// caches, the daemon's queues and the server warm up on it).
template <class Floor, class Figure>
Turns interleave(std::string what, std::string unit, double goal, int reps, Floor floor, Figure figure)
{
    Turns t{std::move(what), std::move(unit), goal, {}, {}};
    floor();
    figure();
    for (int i = 0; i < reps; ++i) {
        t.floor.push_back(floor());
        t.figure.push_back(figure());
    }
    return t;
}

// The line of a figure: floor and figure as min / median / max over the
// repetitions, the median of the per-repetition ratios with their spread,
// and "met" or "missed" against the goal. A floor that is no plausible
// time (not above zero, or below the run's PING round trip `ping`, in us)
// fails instead: its ratio would mean nothing.
std::string turns_line(const Turns &t, double ping);
void print_turns(const Turns &t, double ping);
// The heading of those lines.
void print_turns_heading(int reps);

}  // namespace bench

#endif
