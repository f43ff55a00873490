// soak_options.cpp - the soak's command line and its usage text.
#include "soak_options.h"

#include "bench_cli.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <regex>
#include <vector>

namespace bench {

namespace {

namespace fs = std::filesystem;

const char kUsage[] = R"(Soak run: the daemon for a long time against its own Q7 server and agent
while random work and restarts go on around it.
  scripts/soak [--minutes N] [options]
For N minutes it changes device fields at a steady rate, switches
protection, kills and restarts the agent, restarts the Q7 server, sends
SIGUSR2 and samples the daemon's memory, descriptors and threads. Then it
starts whatever is down and waits until Q7 and the agent agree (nothing may
be lost across the restarts), makes one last round of changes, waits a
quiet period, checks again and that SIGUSR1 stops the daemon with
status 0 within 2 s. It prints a report (also DIR/report.txt) and exits 0
only when all of that held; 1 on a failed check, 2 on bad usage.

  --minutes N        length of the random phase (default 60; decimals allowed)
  --dir DIR          state, logs and report (default build/soak; emptied first)
  --devices N        client devices, 12 to 256 (default 32; rows past the
                     demo's 12 are generated)
  --rate N           device changes per second (default 10)
  --agent-every S    mean seconds between agent kills (default 150)
  --q7-every S       mean seconds between Q7 server restarts (default 240)
  --quiet S          quiet period before the final check (default 10)
  --rss-bound KIB    allowed RSS growth, warmed-up sample to end (default 1024)
  --log-level N      the daemon's log level (default 5: notices and errors)
  --seed N           random seed (default: from the clock; printed)
  -h, --help
TSH_BIN_DIR names the binaries (default build/dev/bin, built when missing).
The run has a private /tmp (its own mount namespace), so the daemon's fixed
pid file never meets another daemon's; without the rights for that it
shares /tmp and holds /tmp/tsh-daemon.lock instead.
)";

[[noreturn]] void die(const std::string &what)
{
    fprintf(stderr, "soak: %s\n", what.c_str());
    exit(2);
}

}  // namespace

SoakOptions read_soak_options(int argc, char **argv)
{
    SoakOptions o;
    std::vector<std::string> pos;
    const int st = parse_args(argc, argv, "soak",
                              {{"--devices", &o.devices, 12, 256}, {"--rate", &o.rate, 1, 100},
                               {"--agent-every", &o.agent_every, 2}, {"--q7-every", &o.q7_every, 2},
                               {"--quiet", &o.quiet, 0}, {"--rss-bound", &o.rss_bound, 0},
                               {"--log-level", &o.log_level, 0}, {"--seed", &o.seed, 0}},
                              {{"--minutes", &o.minutes}, {"--dir", &o.dir}}, pos, [](FILE *to, int status) {
                                  fputs(to == stdout ? kUsage : "soak: see --help\n", to);
                                  return status;
                              });
    if (st >= 0)
        exit(st);
    if (!pos.empty())
        die("unknown argument " + pos[0] + " (see --help)");
    if (!std::regex_match(o.minutes, std::regex("[0-9]+(\\.[0-9]+)?")))
        die("--minutes " + o.minutes + ": not a number");
    o.run_ms = static_cast<long>(std::stod(o.minutes) * 60000);
    if (o.run_ms < 10000)
        die("--minutes " + o.minutes + ": at least 10 seconds of run");
    for (int i = 1; i < argc; ++i)
        o.args += std::string(i > 1 ? " " : "") + argv[i];

    const char *top = getenv("TSH_SOURCE_DIR"), *bin = getenv("TSH_BIN_DIR"), *iso = getenv("TSH_SOAK_ISOLATION");
    o.top = top && *top ? top : source_dir();
    o.bin = bin && *bin ? bin : bin_dir();
    o.isolation = iso ? iso : "";
    if (o.isolation != "namespace" && o.isolation != "lock")
        die("TSH_SOAK_ISOLATION='" + o.isolation + "': run it through scripts/soak, which isolates it");
    unsetenv("TSH_SOAK_ISOLATION");
    for (const char *b : {"TeSvcHdlr", "q7ctl", "sa-agentd"})
        if (access((o.bin + "/" + b).c_str(), X_OK) != 0)
            die("no " + o.bin + "/" + b + " (set TSH_BIN_DIR to a build's bin directory)");

    std::error_code ec;
    const fs::path dir = o.dir.empty() ? fs::path(o.top) / "build/soak" : fs::path(o.dir);
    fs::create_directories(dir, ec);
    o.dir = fs::canonical(dir, ec).string();
    if (ec)
        die("cannot create " + dir.string());
    if (o.dir.size() > 80)
        die("--dir " + o.dir + ": too long for the Unix socket paths inside it");
    if (!fs::is_empty(o.dir) && !fs::exists(o.dir + "/.soak"))
        die("--dir " + o.dir + ": not empty and not a soak directory; choose another");
    if (o.seed < 0)
        o.seed = static_cast<int>(time(nullptr) % 100000);
    return o;
}

}  // namespace bench
