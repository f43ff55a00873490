/*
 * soak_options.h - what a soak run is asked to do: its command line, the
 * source tree and binaries it uses and how scripts/soak isolated it.
 */
#ifndef TSH_BENCH_SOAK_OPTIONS_H
#define TSH_BENCH_SOAK_OPTIONS_H

#include <string>

namespace bench {

struct SoakOptions {
    std::string minutes = "60", dir, args;  // args: the command line as given
    int devices = 32, rate = 10, agent_every = 150, q7_every = 240, quiet = 10, rss_bound = 1024, log_level = 5;
    int seed = -1;
    long run_ms = 0;                       // the random phase
    std::string top, bin, isolation;       // source tree, binaries, "namespace" or "lock"
};

// The options, with the directory made and checked; prints the usage and
// exits 0 for --help, exits 2 on bad usage.
SoakOptions read_soak_options(int argc, char **argv);

}  // namespace bench

#endif
