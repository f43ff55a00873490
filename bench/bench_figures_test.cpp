// bench_figures_test.cpp - a figure measured in turns with its floor: a wrong
// ratio prints a plausible line, not a failure.
#include "bench_figures.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

using namespace bench;

// A ratio is the median of the repetitions' own ratios, and a floor that is
// no plausible time (the unit slip of ms taken for us, a zero, a NaN) fails
// rather than printing a ratio.
TEST(Turns, RatioOfEachRepetitionAndImplausibleFloors)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char *unit;
        std::vector<double> floor, figure;
        double goal;
        const char *want;  // in the line, or "fail"
    };
    const Case cases[] = {
        // Medians 200 and 300 would say 1.50x; the repetitions say 1.20x.
        {"us", {100, 200, 400}, {120, 300, 400}, 1.2, "1.20x (1.00 to 1.50)  goal 1.20x: met"},
        {"us", {100, 200, 400}, {120, 300, 400}, 1.15, "goal 1.15x: missed"},
        {"ms", {0.05, 0.06}, {0.06, 0.06}, 0, "0.05 / 0.06 / 0.06"},
        {"ms", {0.03, 0.06}, {0.06, 0.06}, 1.2, "fail"},  // 30 us, under the 40 us PING
        {"us", {100, 0}, {120, 120}, 1.2, "fail"},
        {"us", {100, -5}, {120, 120}, 1.2, "fail"},
        {"us", {nan, 100}, {120, 120}, 1.2, "fail"},
        {"us", {100}, {120, 130}, 1.2, "fail"},
    };
    for (const Case &c : cases) {
        std::string got;
        try {
            got = turns_line({"figure", c.unit, c.goal, c.floor, c.figure}, 40);
        } catch (const std::runtime_error &) {
            got = "fail";
        }
        EXPECT_NE(got.find(c.want), std::string::npos) << got;
    }
}
