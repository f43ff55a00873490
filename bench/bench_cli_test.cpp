// bench_cli_test.cpp - the benches' and the soak's command line: a bound not
// kept lets a run start with a setting it cannot handle.
#include "bench_cli.h"

#include <gtest/gtest.h>

using namespace bench;

TEST(BenchCli, NumbersWithinTheirBoundsTextsListsAndTheRest)
{
    struct Case {
        std::vector<const char *> args;
        int status;        // -1: go on
        const char *want;  // the values after it: devices, minutes, probes, other arguments
    };
    const Case cases[] = {
        {{"--devices", "12", "--minutes", "0.5", "DAEMON", "--probe", "a", "--probe", "b c", "LOG"}, -1,
         "12 0.5 [a][b c] DAEMON LOG"},
        {{"--devices", "256", "--minutes", "1", "--minutes", "2"}, -1, "256 2 "},
        {{"--devices", "11"}, 2, "32 60 "},
        {{"--devices", "257"}, 2, "32 60 "},
        {{"--devices", "1x"}, 2, "32 60 "},
        {{"--devices", ""}, 2, "32 60 "},
        {{"--rate", "1000001"}, 2, "32 60 "},
        {{"--minutes"}, 2, "32 60 "},
        {{"LOG", "-h", "--devices", "5"}, 0, "32 60  LOG"},
    };
    for (const Case &c : cases) {
        int devices = 32, rate = 10;
        std::string minutes = "60", got;
        std::vector<std::string> probes, pos;
        std::vector<char *> argv{const_cast<char *>("bench")};
        for (const char *a : c.args)
            argv.push_back(const_cast<char *>(a));
        const int status = parse_args(static_cast<int>(argv.size()), argv.data(), "bench",
                                      {{"--devices", &devices, 12, 256}, {"--rate", &rate, 1}},
                                      {{"--minutes", &minutes}, {"--probe", nullptr, &probes}}, pos,
                                      [](FILE *, int st) { return st; });
        got = std::to_string(devices) + " " + minutes + " ";
        for (const std::string &p : probes)
            got += "[" + p + "]";
        for (const std::string &p : pos)
            got += " " + p;
        EXPECT_EQ(status, c.status) << c.want;
        EXPECT_EQ(got, c.want) << c.want;
    }
}
