/*
 * q7_bench.cpp - latency of the Q7 client: get, set, and set-to-notification
 * seen on a second handle, each in turns with the raw PING round trip on the
 * same socket (the floor), in microseconds.
 *   q7_bench [--lab DIR] [ITERATIONS [REPETITIONS]]
 * ITERATIONS round trips per figure (default 20000) are split evenly over
 * REPETITIONS (default 11), each call after a PING. With --lab, on a Q7
 * server of its own in DIR; else on the one at $Q7_SOCKET (default
 * /tmp/q7.sock).
 */
#include "bench_cli.h"
#include "lab_processes.h"
#include "q7lib.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>

namespace {

using namespace bench;

// Bumped by the second handle's callback thread, waited on by the main thread.
std::atomic<unsigned> notified{0};

void on_change(const char *, unsigned, const char *, void *)
{
    notified.fetch_add(1);
    notified.notify_one();
}

void check(int rc, const char *what)
{
    if (rc != Q7_OK)
        fail(std::string("q7: ") + what + ": " + q7_error_string(rc) + " (" + std::to_string(rc) + ")");
}

// Round trips here move by half within seconds as the host schedules the
// machine: a repetition alternates a PING and a call, sample by sample, so
// that both medians come from the same moments.
template <class Op>
Turns alternate(const char *what, double goal, int reps, int n, Pinger &pinger, Op op)
{
    std::vector<double> ping, call;
    int i = 0;
    return interleave(what, "us", goal, reps, [&] {
        ping.clear();
        call.clear();
        for (int k = 0; k < n; ++k) {
            const auto t0 = Clock::now();
            pinger.once();
            const auto t1 = Clock::now();
            op(i++);
            ping.push_back(us_between(t0, t1));
            call.push_back(us_between(t1, Clock::now()));
        }
        return median(ping);
    }, [&] { return median(call); });
}

void run(int n, int reps)
{
    q7_handle *a = q7_init(), *b = q7_init();
    if (!a || !b)
        fail("cannot reach the Q7 server at $Q7_SOCKET");
    const auto get = [&](int) {
        char buf[64];
        check(q7_get_string(a, "General", 0, "DeviceName", buf, sizeof buf), "get General.0.DeviceName");
    };
    const auto set = [&](int i) {
        check(q7_set_string(a, "General", 0, "DeviceName", std::to_string(i).c_str()), "set General.0.DeviceName");
    };
    q7_subscribe_cb(b, on_change, nullptr);
    check(q7_subscribe(b, "TelvaDebug", 1), "subscribe TelvaDebug");
    int32_t value = 0;
    q7_get_int(a, "TelvaDebug", 0, "lastEventSink", &value);
    const auto notify = [&](int) {
        const unsigned before = notified.load();
        value = (value & 0xffffff) + 1;  // every write changes the value, or nobody is told
        check(q7_set_int(a, "TelvaDebug", 0, "lastEventSink", value), "set TelvaDebug.0.lastEventSink");
        notified.wait(before);
    };
    Pinger pinger;
    const Turns lines[] = {alternate("get", 1.5, reps, n, pinger, get), alternate("set", 0, reps, n, pinger, set),
                           alternate("set -> notification", 3, reps, n, pinger, notify)};
    q7_destroy(b);
    q7_destroy(a);
    printf("round trips per figure %d, floor: the raw PING round trip\n", n * reps);
    print_turns_heading(reps);
    // The floor is the PING itself: only a floor of no time is refused.
    for (const Turns &t : lines)
        print_turns(t, 0);
}

}  // namespace

int main(int argc, char **argv)
{
    std::string lab_dir;
    std::vector<std::string> pos;
    const auto usage = [](FILE *to, int status) {
        fputs("usage: q7_bench [--lab DIR] [ITERATIONS [REPETITIONS]]: at least 5 repetitions of 10 round trips\n"
              "  --lab DIR   starts a Q7 server of its own in DIR and stops it at the end;\n"
              "              else uses the one at $Q7_SOCKET\n",
              to);
        return status;
    };
    if (const int st = parse_args(argc, argv, "q7_bench", {}, {{"--lab", &lab_dir}}, pos, usage); st >= 0)
        return st;
    const int iterations = pos.size() > 0 ? atoi(pos[0].c_str()) : 20000;
    const int reps = pos.size() > 1 ? atoi(pos[1].c_str()) : 11;
    if (pos.size() > 2 || reps < 5 || iterations / reps < 10)
        return usage(stderr, 2);
    try {
        std::optional<OwnLab> lab;
        if (!lab_dir.empty())
            lab.emplace(source_dir(), lab_dir);
        run(iterations / reps, reps);
        return 0;
    } catch (const std::exception &e) {
        fprintf(stderr, "q7_bench: %s\n", e.what());
        return 1;
    }
}
