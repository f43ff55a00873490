/*
 * q7_bench.cpp - latency of the Q7 client: get, set, and set-to-notification
 * seen on a second handle, beside the raw PING round trip on the same socket
 * (the floor). Prints p50/p99 in microseconds.
 *   q7_bench [ITERATIONS]     server at $Q7_SOCKET (default /tmp/q7.sock)
 */
#include "q7lib.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Stats {
    double p50, p99;
};

Stats stats(std::vector<double> us)
{
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

template <class Op>
Stats measure(int n, Op op)
{
    std::vector<double> us;
    us.reserve(n);
    for (int i = 0; i < n / 10; i++)  // warm-up
        op(i);
    for (int i = 0; i < n; i++) {
        auto t0 = Clock::now();
        op(i);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return stats(us);
}

// Written by the callback thread, spun on by the main thread.
std::atomic<unsigned> notified{0};

void on_change(const char *, unsigned, const char *, void *)
{
    notified.fetch_add(1, std::memory_order_release);
}

void report(const char *what, Stats s, Stats floor)
{
    printf("%-22s p50 %7.1f us  p99 %7.1f us  (p50 %.2fx ping)\n", what, s.p50, s.p99, s.p50 / floor.p50);
}

}  // namespace

int main(int argc, char **argv)
{
    int n = argc > 1 ? atoi(argv[1]) : 20000;
    if (n < 100) {
        fprintf(stderr, "q7_bench: ITERATIONS must be at least 100\n");
        return 2;
    }
    const char *sock = getenv("Q7_SOCKET");
    redisContext *raw = redisConnectUnix(sock && *sock ? sock : "/tmp/q7.sock");
    q7_handle *a = q7_init(), *b = q7_init();
    if (!raw || raw->err || !a || !b) {
        fprintf(stderr, "q7_bench: cannot reach the Q7 server at %s\n", sock ? sock : "/tmp/q7.sock");
        return 1;
    }
    bool ok = true;
    Stats ping = measure(n, [&](int) {
        const char *argv1[] = {"PING"};
        freeReplyObject(redisCommandArgv(raw, 1, argv1, nullptr));
    });
    Stats get = measure(n, [&](int) {
        char buf[64];
        ok = ok && q7_get_string(a, "General", 0, "DeviceName", buf, sizeof buf) == Q7_OK;
    });
    Stats set = measure(n, [&](int i) {
        ok = ok && q7_set_string(a, "General", 0, "DeviceName", std::to_string(i).c_str()) == Q7_OK;
    });
    q7_subscribe_cb(b, on_change, nullptr);
    q7_subscribe(b, "TelvaDebug", 1);
    // Every write must change the value, or no notification comes.
    int32_t value = 0;
    q7_get_int(a, "TelvaDebug", 0, "lastEventSink", &value);
    Stats notify = measure(n, [&](int) {
        unsigned before = notified.load(std::memory_order_acquire);
        value = (value & 0xffffff) + 1;
        ok = ok && q7_set_int(a, "TelvaDebug", 0, "lastEventSink", value) == Q7_OK;
        while (ok && notified.load(std::memory_order_acquire) == before) {
        }
    });
    q7_destroy(b);
    q7_destroy(a);
    redisFree(raw);
    if (!ok) {
        fprintf(stderr, "q7_bench: a call failed\n");
        return 1;
    }
    printf("iterations %d\n", n);
    report("ping (raw, floor)", ping, ping);
    report("get", get, ping);
    report("set", set, ping);
    report("set -> notification", notify, ping);
    return 0;
}
