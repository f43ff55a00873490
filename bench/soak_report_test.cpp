// soak_report_test.cpp - the soak's growth check: a wrong reference sample or
// bound lets a leak pass, or fails a run that holds.
#include "soak_report.h"

#include <gtest/gtest.h>

using namespace bench;

namespace {

Sample at(long long t_s, long long rss, long long fds, long long threads, int steady, const char *note = "")
{
    Sample s;
    s.t_s = t_s, s.rss = rss, s.fds = fds, s.threads = threads, s.alive = 1, s.steady = steady, s.note = note;
    return s;
}

}  // namespace

// A 10-minute run warms up for 120 s; a 100 s run for 20 s.
TEST(SoakGrowth, FromTheFirstSteadySampleAfterTheWarmUpToTheEnd)
{
    struct Case {
        long run_ms;
        std::vector<Sample> samples;
        long long ref_t;
        const char *failure;  // nullptr: none
    };
    const Case cases[] = {
        // Growth within the bound from the reference at 130 s, not from 0 s.
        {600000, {at(0, 3000, 17, 9, 0, "start"), at(110, 4000, 16, 11, 1), at(130, 4100, 16, 11, 1),
                  at(620, 5100, 16, 11, 0, "end")}, 130, nullptr},
        // Unsteady samples are passed over.
        {600000, {at(0, 3000, 17, 9, 0, "start"), at(130, 4000, 16, 11, 0), at(150, 4100, 16, 11, 1),
                  at(620, 5125, 16, 11, 0, "end")}, 150, "RSS grew 1025 KiB from 4100 KiB at 150 s (bound 1024 KiB)"},
        {100000, {at(0, 3000, 17, 9, 0, "start"), at(25, 4000, 16, 11, 1), at(110, 4000, 17, 11, 0, "end")}, 25,
         "descriptors grew from 16 at 25 s to 17"},
        {100000, {at(0, 3000, 17, 9, 0, "start"), at(25, 4000, 16, 11, 1), at(110, 4000, 16, 12, 0, "end")}, 25,
         "threads grew from 11 at 25 s to 12"},
        // No steady sample after the warm-up: the first one is the reference.
        {100000, {at(0, 3000, 17, 9, 0, "start"), at(10, 3500, 16, 11, 1), at(110, 3900, 17, 9, 1, "end")}, 0, nullptr},
        // The daemon died: no end sample, nothing to compare.
        {600000, {at(0, 3000, 17, 9, 0, "start"), at(130, 4000, 16, 11, 1), at(200, 0, 0, 0, 0, "died")}, 130,
         nullptr},
    };
    for (const Case &c : cases) {
        const Growth g = check_growth(c.samples, c.run_ms, 1024);
        EXPECT_EQ(g.ref.t_s, c.ref_t) << c.samples.size();
        if (c.failure) {
            ASSERT_EQ(g.failures.size(), 1u) << c.failure;
            EXPECT_EQ(g.failures[0], c.failure);
        } else {
            EXPECT_EQ(g.failures, std::vector<std::string>{});
        }
    }
}
