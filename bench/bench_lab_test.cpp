/*
 * bench_lab_test.cpp - the benches' readings of /proc (thread stat lines,
 * status keys, smaps groups) and their option parsing: a misread here turns
 * into a wrong figure, not a failure.
 */
#include "bench_lab.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "wait_until.h"

using namespace bench;

TEST(ProcReadings, StatLineEndsTheNameAtTheLastParenthesis)
{
    // A thread may name itself with blanks and parentheses.
    const auto s = parse_stat("4242 (q7 (cb) x) S 1 4242 4242 0 -1 4194368 120 0 0 0 37 12 0 0 20 0 3 0");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->first, "q7 (cb) x");
    EXPECT_EQ(s->second, 37 + 12);

    EXPECT_FALSE(parse_stat(""));
    EXPECT_FALSE(parse_stat("4242 (cut short) S 1 2 3"));
    EXPECT_FALSE(parse_stat("4242 (bad) S 1 2 3 4 5 6 7 8 9 x 12"));
}

TEST(ProcReadings, StatusKeyMatchesOnlyItself)
{
    const std::string status = "Name:\tTeSvcHdlr\nVmRSSx:\t1 kB\nVmRSS:\t  5120 kB\nThreads:\t9\n"
                               "nonvoluntary_ctxt_switches:\t7\nvoluntary_ctxt_switches:\t40\n";
    EXPECT_EQ(status_value(status, "VmRSS"), 5120);
    EXPECT_EQ(status_value(status, "Threads"), 9);
    EXPECT_EQ(status_value(status, "voluntary_ctxt_switches"), 40);
    EXPECT_EQ(status_value(status, "nonvoluntary_ctxt_switches"), 7);
    EXPECT_FALSE(status_value(status, "VmSwap"));
    EXPECT_FALSE(status_value(status, "Name"));  // not a number
}

TEST(ProcReadings, SmapsGroupsFilesBssHeapAndOtherAnonymousMemory)
{
    const std::string smaps =
        "55d0c2a00000-55d0c2a10000 r-xp 00000000 08:01 11 /opt/tsh/bin/TeSvcHdlr\n"
        "Rss:                  40 kB\nPrivate_Clean:          0 kB\nPrivate_Dirty:          0 kB\n"
        "55d0c2a10000-55d0c2a12000 rw-p 00010000 08:01 11 /opt/tsh/bin/TeSvcHdlr\n"
        "Rss:                   8 kB\nPrivate_Dirty:          8 kB\nVmFlags: rd wr mr mw me ac\n"
        "55d0c2a12000-55d0c2c46000 rw-p 00000000 00:00 0 \n"
        "Rss:                2248 kB\nPrivate_Dirty:       2248 kB\n"
        "55d0c3000000-55d0c3021000 rw-p 00000000 00:00 0                          [heap]\n"
        "Rss:                 132 kB\nPrivate_Dirty:        132 kB\n"
        "7f0000000000-7f0000800000 rw-p 00000000 00:00 0 \n"
        "Rss:                  12 kB\nPrivate_Dirty:         12 kB\n"
        "7f1000000000-7f1000100000 r-xp 00000000 08:01 22 /usr/lib/x86_64-linux-gnu/libc.so.6\n"
        "Rss:                 900 kB\nPrivate_Clean:          4 kB\n"
        "7f1000100000-7f1000104000 rw-p 00100000 08:01 22 /usr/lib/x86_64-linux-gnu/libc.so.6\n"
        "Rss:                  16 kB\nPrivate_Dirty:         16 kB\n";
    const auto g = smaps_groups(smaps, "TeSvcHdlr");
    ASSERT_EQ(g.size(), 5u);
    EXPECT_EQ(g.at("TeSvcHdlr").rss, 48);
    EXPECT_EQ(g.at("TeSvcHdlr").private_kb, 8);
    EXPECT_EQ(g.at("TeSvcHdlr bss").rss, 2248);
    EXPECT_EQ(g.at("[heap]").rss, 132);
    EXPECT_EQ(g.at("[anon]").rss, 12);
    EXPECT_EQ(g.at("libc.so.6").rss, 916);
    EXPECT_EQ(g.at("libc.so.6").private_kb, 20);
}

TEST(ProcReadings, ThreadsOfALiveProcessAndTheirDeltas)
{
    const auto before = thread_stats(getpid());
    std::atomic<bool> stop{false};
    // Busy until told to stop: its CPU must show in the delta.
    std::thread busy([&] {
        while (!stop.load())
            ;
    });
    ASSERT_TRUE(wait_until([&] {
        const auto d = thread_deltas(before, thread_stats(getpid()));
        return !d.empty() && d.front().cpu_ticks >= 3;
    }));
    const auto during = thread_stats(getpid());
    stop = true;
    busy.join();
    // (A sanitizer may start a thread of its own meanwhile.)
    ASSERT_GE(during.size(), before.size() + 1);
    EXPECT_EQ(during.front().rank, 1);
    EXPECT_EQ(during.back().rank, static_cast<int>(during.size()));
    const auto d = thread_deltas(before, during);
    // The new thread is the busiest and counts from its start.
    EXPECT_EQ(std::count_if(before.begin(), before.end(), [&](const ThreadStat &t) { return t.tid == d.front().tid; }),
              0);
    for (const ThreadStat &t : d)
        EXPECT_GE(t.cpu_ticks, 0);
}

namespace {
int quiet_usage(FILE *, int status)
{
    return status;
}
}  // namespace

TEST(BenchOptions, NumbersTextsListsAndBadUsage)
{
    int runs = 1, level = 5;
    std::string launcher;
    std::vector<std::string> probes, pos;
    auto parse = [&](std::vector<const char *> args) {
        args.insert(args.begin(), "bench");
        pos.clear();
        return parse_args(static_cast<int>(args.size()), const_cast<char **>(args.data()), "bench",
                          {{"--runs", &runs, 1}, {"--level", &level, 0}},
                          {{"--launcher", &launcher}, {"--probe", nullptr, &probes}}, pos, quiet_usage);
    };
    EXPECT_EQ(parse({"--runs", "7", "DAEMON", "--probe", "perf stat -p {pid}", "--launcher", "qemu-arm",
                     "--probe", "sleep 9", "LOG", "--level", "0"}),
              -1);
    EXPECT_EQ(runs, 7);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(launcher, "qemu-arm");
    EXPECT_EQ(probes, (std::vector<std::string>{"perf stat -p {pid}", "sleep 9"}));
    EXPECT_EQ(pos, (std::vector<std::string>{"DAEMON", "LOG"}));

    EXPECT_EQ(parse({"--runs", "0"}), 2);  // below its minimum
    EXPECT_EQ(parse({"--runs", "3x"}), 2);
    EXPECT_EQ(parse({"--runs", ""}), 2);
    EXPECT_EQ(parse({"--runs"}), 2);
    EXPECT_EQ(parse({"--launcher"}), 2);
    EXPECT_EQ(parse({"DAEMON", "--help"}), 0);
    EXPECT_EQ(runs, 7);  // bad values change nothing
}
