// proc_stats_test.cpp - the benches' readings of /proc: a misread turns into a
// wrong figure, not a failure. (daemon_benches_test runs the rest of the harness.)
#include "proc_stats.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <thread>

using namespace bench;

TEST(ProcReadings, StatLinesAndStatusKeys)
{
    // A thread may name itself with blanks and parentheses.
    const std::pair<const char *, std::string> stats[] = {
        {"4242 (q7 (cb) x) S 1 4242 4242 0 -1 4194368 120 0 0 0 37 12 0 0 20 0 3 0", "q7 (cb) x 49"},
        {"", "none"}, {"4242 (cut short) S 1 2 3", "none"}, {"4242 (bad) S 1 2 3 4 5 6 7 8 9 x 12", "none"},
    };
    for (const auto &[line, want] : stats) {
        const auto s = parse_stat(line);
        EXPECT_EQ(s ? s->first + " " + std::to_string(s->second) : "none", want) << line;
    }
    const std::string status = "Name:\tTeSvcHdlr\nVmRSSx:\t1 kB\nVmRSS:\t  5120 kB\nThreads:\t9\n"
                               "nonvoluntary_ctxt_switches:\t7\nvoluntary_ctxt_switches:\t40\n";
    const std::pair<const char *, long long> keys[] = {{"VmRSS", 5120}, {"Threads", 9}, {"voluntary_ctxt_switches", 40},
                                                       {"nonvoluntary_ctxt_switches", 7}, {"VmSwap", -1}, {"Name", -1}};
    for (const auto &[key, want] : keys)
        EXPECT_EQ(status_value(status, key).value_or(-1), want) << key;
}

TEST(ProcReadings, SmapsGroupsFilesBssHeapAndOtherAnonymousMemory)
{
    const std::string smaps =
        "55d0c2a00000-55d0c2a10000 r-xp 00000000 08:01 11 /opt/tsh/bin/TeSvcHdlr\nRss: 40 kB\nPrivate_Clean: 0 kB\n"
        "55d0c2a10000-55d0c2a12000 rw-p 00010000 08:01 11 /opt/tsh/bin/TeSvcHdlr\nRss: 8 kB\nPrivate_Dirty: 8 kB\nVmFlags: rd\n"
        "55d0c2a12000-55d0c2c46000 rw-p 00000000 00:00 0 \nRss: 2248 kB\nPrivate_Dirty: 2248 kB\n"
        "55d0c3000000-55d0c3021000 rw-p 00000000 00:00 0   [heap]\nRss: 132 kB\nPrivate_Dirty: 132 kB\n"
        "7f0000000000-7f0000800000 rw-p 00000000 00:00 0 \nRss: 12 kB\nPrivate_Dirty: 12 kB\n"
        "7f1000000000-7f1000100000 r-xp 00000000 08:01 22 /usr/lib/libc.so.6\nRss: 900 kB\nPrivate_Clean: 4 kB\n"
        "7f1000100000-7f1000104000 rw-p 00100000 08:01 22 /usr/lib/libc.so.6\nRss: 16 kB\nPrivate_Dirty: 16 kB\n";
    std::string got;
    for (const auto &[group, kb] : smaps_groups(smaps, "TeSvcHdlr"))
        got += group + " " + std::to_string(kb.rss) + "/" + std::to_string(kb.private_kb) + ", ";
    EXPECT_EQ(got, "TeSvcHdlr 48/8, TeSvcHdlr bss 2248/2248, [anon] 12/12, [heap] 132/132, libc.so.6 916/20, ");
}

// A thread or a descriptor more shows in the next reading; a reaped process
// gives none.
TEST(ProcReadings, ProcessSizeCountsThreadsAndDescriptors)
{
    const auto before = process_size(getpid());
    ASSERT_TRUE(before);
    EXPECT_GT(before->rss_kib, 0);
    std::promise<void> go;
    std::thread t([f = go.get_future()]() mutable { f.wait(); });
    const int fd = open("/dev/null", O_RDONLY);
    const auto after = process_size(getpid());
    go.set_value();
    t.join();
    close(fd);
    ASSERT_TRUE(after);
    EXPECT_EQ(after->threads, before->threads + 1);
    EXPECT_EQ(after->fds, before->fds + 1);
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    EXPECT_FALSE(process_size(child));
}
