/*
 * bench_cli.h - the benches' command line: flags and their parser, the
 * options every daemon bench takes, and the main they share.
 */
#ifndef TSH_BENCH_CLI_H
#define TSH_BENCH_CLI_H

#include "bench_journal.h"
#include "lab_processes.h"
#include "q7_seed.h"

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bench {

constexpr int kIntFlagMax = 1000000;

// Command-line options: numbers from `min` to `max`, texts (the last
// given), lists (every one given, in order).
struct IntFlag {
    const char *name;
    int *value;
    int min;
    int max = kIntFlagMax;
};
struct TextFlag {
    const char *name;
    std::string *one = nullptr;
    std::vector<std::string> *many = nullptr;
};
// Fills the flags and `pos` with the other arguments. -1 to go on, else the
// status to exit with: usage(stdout, 0) for --help, usage(stderr, 2) for a
// bad option (named on stderr first).
int parse_args(int argc, char **argv, const char *prog, const std::vector<IntFlag> &ints,
               const std::vector<TextFlag> &texts, std::vector<std::string> &pos,
               const std::function<int(FILE *, int)> &usage);

// What every daemon bench is given and holds.
struct CommonOptions {
    int log_level = 5;                // the daemon's TshLogLevel
    std::string daemon, log, launcher;
    std::string lab, load;            // the lab's directory, tables to load into its Q7 server
    std::vector<std::string> probes;  // commands run beside a measurement
};
struct LabBase {
    std::optional<OwnLab> own;  // first made, last gone: the connections below end before it
    std::string agent_socket;
    Q7Ptr q7;
    JournalFollower journal;
};
// A bench's help: its own text, then the lines of the flags bench_main
// adds; probes run while `measured` run (e.g. "the bursts").
struct Help {
    const char *text;
    const char *measured;
};
// A bench's main: SIGPIPE ignored; its own flags and --log-level,
// --launcher, --probe, --lab, --load parsed; DAEMON and LOG taken; the lab
// started when asked for; the agent's socket and a Q7 handle opened; then
// run(), its failure reported as "prog: what" and status 1.
int bench_main(int argc, char **argv, const char *prog, std::vector<IntFlag> ints, std::vector<TextFlag> texts,
               const Help &help, CommonOptions &o, LabBase &lab, const std::function<void()> &run);

}  // namespace bench

#endif
