/*
 * daemon_bench.cpp - what the daemon costs as a process: start-up to
 * "running" and SIGUSR1 to exit (with the agent calls that mark the stages
 * in between), CPU and context switches at rest, resident memory at rest and
 * after discovery imports, and the import of 256 devices x 4 MACs (also
 * with 4 unknown MACs more each) against the bench's own 1,024 calls of the
 * device-information library, measured in turns with it. Starts the daemon
 * itself on $Q7_SOCKET and $SA_AGENT_SOCKET.
 *   daemon_bench [OPTIONS] DAEMON LOG     (--help for the options)
 */
#include "agent_control.h"
#include "bench_cli.h"
#include "lab_processes.h"
#include "proc_stats.h"
#include "q7dynlog.h"
#include "wexlib.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace bench;
using namespace std::chrono_literals;

constexpr unsigned kMacsPerDevice = 4;
constexpr unsigned kUpdates = kDevices * kMacsPerDevice;  // one per MAC

constexpr int kStartsPerRep = 5;  // start-ups and walks in each repetition

struct Options : CommonOptions {
    int starts = 11;   // repetitions
    int idle_s = 60;
    int imports = 11;  // repetitions
    bool seed = true;
    std::string tables = "seed";
};

struct Lab : LabBase {
    Options opt;
};

// The agent's discovered-device list for one import round. The table holds
// one MAC per row and 256 rows, so the 1,024 MACs are the rows' MACs four
// times over: device d holds those of rows 4d..4d+3 (mod 256), so every
// lookup finds its row. DIDs carry the round, so every write changes the
// stored value and is notified. With `unknown`, each device first holds 4
// MACs that no row holds (1,024 lookups that write nothing).
std::string discovered_list(int round, bool unknown)
{
    saproto::JsonPtr list(cJSON_CreateArray());
    for (unsigned d = 0; d < kDevices; ++d) {
        cJSON *dev = cJSON_CreateObject();
        cJSON_AddItemToArray(list.get(), dev);
        cJSON_AddStringToObject(dev, "did", ("did-" + std::to_string(round) + "-" + std::to_string(d)).c_str());
        cJSON_AddStringToObject(dev, "display_name", ("device-" + std::to_string(d)).c_str());
        cJSON_AddStringToObject(dev, "device_type", "phone");
        cJSON_AddStringToObject(dev, "manufacturer", "Bench");
        cJSON_AddStringToObject(dev, "os", "Android 14");
        cJSON_AddStringToObject(dev, "ds_version", "3.2.0");
        cJSON_AddNumberToObject(dev, "traffic_blocked", 0);
        cJSON *macs = cJSON_AddArrayToObject(dev, "mac_list");
        for (unsigned k = 0; unknown && k < kMacsPerDevice; ++k) {
            cJSON *m = cJSON_CreateObject();
            cJSON_AddItemToArray(macs, m);
            cJSON_AddStringToObject(m, "mac", row_mac(0x8000 + kMacsPerDevice * d + k).c_str());
            cJSON_AddStringToObject(m, "ip", "192.168.2.1");
        }
        for (unsigned k = 0; k < kMacsPerDevice; ++k) {
            const unsigned row = (kMacsPerDevice * d + k) % kDevices;
            cJSON *m = cJSON_CreateObject();
            cJSON_AddItemToArray(macs, m);
            cJSON_AddStringToObject(m, "mac", row_mac(row).c_str());
            cJSON_AddStringToObject(m, "ip", ("192.168.1." + std::to_string(10 + k)).c_str());
        }
    }
    return saproto::print(list.get());
}

// The DID the last device holding row's MAC gives it in `round`.
std::string expected_did(unsigned row, int round)
{
    const unsigned last_device = row / kMacsPerDevice + kDevices - kDevices / kMacsPerDevice;
    return "did-" + std::to_string(round) + "-" + std::to_string(last_device);
}

unsigned devices_up(q7_handle *q7)
{
    unsigned up = 0;
    for (unsigned row = 0; row < kDevices; ++row) {
        char state[16] = "";
        q7_check(q7_get_enum(q7, "Wexsignature", row, "Devicestate", state, sizeof state), "get", "Wexsignature", row,
                 "Devicestate");
        up += strcmp(state, "UP") == 0;
    }
    return up;
}

// The agent calls of one start-up: the last receipt of each call, in ms
// from the spawn.
struct Stage {
    std::string call;
    std::vector<double> ms;
};

void note_stages(std::vector<Stage> &stages, const std::vector<Receipt> &calls, Clock::time_point t0)
{
    std::vector<std::pair<std::string, double>> last;
    for (const Receipt &r : calls) {
        const double ms = us_between(t0, r.at) / 1000;
        auto it = std::find_if(last.begin(), last.end(), [&](const auto &p) { return p.first == r.call; });
        if (it == last.end())
            last.emplace_back(r.call, ms);
        else
            it->second = ms;
    }
    for (const auto &[call, ms] : last) {
        auto it = std::find_if(stages.begin(), stages.end(), [&](const Stage &s) { return s.call == call; });
        if (it == stages.end())
            stages.push_back({call, {ms}});
        else
            it->ms.push_back(ms);
    }
}

// Besides the walk, a start-up must start its process and subscribe to its
// tables; the bench does each alone and counts it into the floor.
// The process: the daemon's binary given a Q7 socket that is not there, from
// the spawn to its exit (loading, pid lock, signal thread, a failed
// connection, the teardown).
double process_ms(const Options &o)
{
    const auto t0 = Clock::now();
    Daemon d(o.daemon, o.log + ".floor", o.launcher, {"Q7_SOCKET=/nonexistent/q7.sock"});
    while (d.exited() < 0)
        std::this_thread::sleep_for(100us);
    return us_between(t0, Clock::now()) / 1000;
}

// The Q7 library's subscriptions at start-up: the daemon's tables on its
// handle, the device-information library's on another; each returns once it
// holds the table's values.
double subscriptions_ms()
{
    const auto t0 = Clock::now();
    Q7Ptr own = open_q7(), wex = open_q7();
    for (const char *t : {"OrlixCfg", "TelvaCfg", "DeviceIdList", "Wexsignature", "dalLogCfg", "General"})
        q7_check(q7_subscribe(own.get(), t, 1), "subscribe", t, 0, "*");
    q7_check(q7_subscribe(wex.get(), "Wexsignature", 1), "subscribe", "Wexsignature", 0, "*");
    return us_between(t0, Clock::now()) / 1000;
}

void startups(Lab &lab, double ping)
{
    const Options &o = lab.opt;
    std::vector<double> start_ms, stop_ms, beyond_ms;
    std::vector<Stage> stages;
    const auto start_once = [&] {
        size_t next = lab.journal.count();
        const auto t0 = Clock::now();
        Daemon daemon(o.daemon, o.log, o.launcher);
        const Receipt ready = wait_ready(lab.journal, daemon, o.log);
        start_ms.push_back(us_between(t0, ready.at) / 1000);
        std::vector<Receipt> calls;
        while (auto r = lab.journal.wait(next, [](const Receipt &) { return true; }, 0ms)) {
            calls.push_back(*r);
            if (r->call == "set_router_info")
                break;
        }
        note_stages(stages, calls, t0);
        // The resync runs from the version record to the online list.
        std::optional<Clock::time_point> version, online;
        for (const Receipt &r : calls) {
            if (r.call == "get_version_info")
                version = r.at;
            else if (r.call == "set_device_online_status")
                online = r.at;
        }
        if (version && online)
            beyond_ms.push_back(start_ms.back() - us_between(*version, *online) / 1000);
        const auto t1 = Clock::now();
        daemon.stop_in_order();
        stop_ms.push_back(us_between(t1, Clock::now()) / 1000);
        return start_ms.back();
    };
    // The floor: the bench's own walk of the 2,304 gets the resync makes, the
    // process start and the subscriptions.
    std::vector<double> walk, process, subscriptions;
    const Turns turns = interleave("start-up: spawn -> router info received", "ms", 1.2, o.starts, [&] {
        std::vector<double> ms;
        for (int i = 0; i < kStartsPerRep; ++i) {
            walk.push_back(walk_ms(lab.q7.get()));
            process.push_back(process_ms(o));
            subscriptions.push_back(subscriptions_ms());
            ms.push_back(walk.back() + process.back() + subscriptions.back());
        }
        return median(ms);
    }, [&] {
        std::vector<double> ms;
        for (int i = 0; i < kStartsPerRep; ++i)
            ms.push_back(start_once());
        return median(ms);
    });
    const int starts = static_cast<int>(start_ms.size());
    printf("start-ups %d (%d in each repetition, beside as many walks), tables: %s, devices \"UP\" %u of %u\n",
           starts, kStartsPerRep, o.tables.c_str(), devices_up(lab.q7.get()), kDevices);
    printf("floor: the bench's walk of 256 records (2304 gets) p50 %.1f ms + the process started and ended\n"
           "(the daemon given no Q7 socket) p50 %.1f ms + the start-up's Q7 subscriptions p50 %.1f ms;\n"
           "PING round trip %.1f us\n",
           median(walk), median(process), median(subscriptions), ping);
    print_turns_heading(o.starts);
    print_turns(turns, ping);
    if (!beyond_ms.empty())
        line("start-up less its resync", summarize(beyond_ms), "ms", true);
    line("stop: SIGUSR1 -> exit", summarize(stop_ms), "ms", true);
    // Ties keep the journal's order: calls that arrived in one read.
    std::stable_sort(stages.begin(), stages.end(),
                     [](const Stage &a, const Stage &b) { return summarize(a.ms).p50 < summarize(b.ms).p50; });
    printf("start-up stages, the last agent call of each kind (ms from the spawn, p50):\n");
    for (const Stage &s : stages)
        printf("  %-30s %8.1f ms  (%zu of %d start-ups)\n", s.call.c_str(), summarize(s.ms).p50, s.ms.size(),
               starts);
    limit_line("start-up p50", summarize(start_ms).p50, 100, "ms");
    limit_line("stop p50", summarize(stop_ms).p50, 50, "ms");
}

void memory(const Lab &lab, pid_t pid, const char *when)
{
    if (!lab.opt.launcher.empty())
        return;  // it would be the emulator's
    const std::string exe = lab.opt.daemon.substr(lab.opt.daemon.rfind('/') + 1);
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::string status = read_text(proc + "/status");
    printf("memory %s: VmRSS %lld kB, threads %lld\n", when, status_value(status, "VmRSS").value_or(-1),
           status_value(status, "Threads").value_or(-1));
    const auto groups = smaps_groups(read_text(proc + "/smaps"), exe);
    std::vector<std::pair<std::string, Resident>> sorted(groups.begin(), groups.end());
    std::sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) { return a.second.rss > b.second.rss; });
    for (const auto &[name, r] : sorted)
        if (r.rss > 0)
            printf("  %-34s rss %6lld kB  private %6lld kB\n", name.c_str(), r.rss, r.private_kb);
}

void idle(pid_t pid, int seconds)
{
    const auto before = thread_stats(pid);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto delta = thread_deltas(before, thread_stats(pid));
    const double span_s = us_between(t0, Clock::now()) / 1e6;
    long long ticks = 0, switches = 0;
    for (const ThreadStat &t : delta) {
        ticks += t.cpu_ticks;
        switches += t.switches;
    }
    const double cpu_ms = static_cast<double>(ticks) * ms_per_tick();
    printf("idle %.1f s: cpu %.0f ms (%.0f ms ticks) = %.3f%% of one core, %.2f context switches/s\n", span_s,
           cpu_ms, ms_per_tick(), cpu_ms / (span_s * 10), static_cast<double>(switches) / span_s);
    std::vector<ThreadStat> busy;
    std::copy_if(delta.begin(), delta.end(), std::back_inserter(busy),
                 [](const ThreadStat &t) { return t.cpu_ticks > 0 || t.switches > 0; });
    print_threads(busy, ms_per_tick());
    limit_line("idle cpu", cpu_ms / (span_s * 10), 1.0, "% of one core");
}

// Counts the DeviceDID writes that reach a watcher of "Wexsignature" and
// stamps the last one.
class DidWatcher {
  public:
    DidWatcher() : q7_(open_q7())
    {
        q7_subscribe_cb(q7_.get(), &DidWatcher::changed, this);
        q7_check(q7_subscribe(q7_.get(), "Wexsignature", 1), "subscribe", "Wexsignature", 0, "*");
    }
    void reset() { seen_ = 0; }
    // The moment of the n-th write since reset; fails after `limit`.
    Clock::time_point wait_for(unsigned n, std::chrono::milliseconds limit)
    {
        const auto end = Clock::now() + limit;
        while (seen_.load() < n) {
            if (Clock::now() > end)
                fail("only " + std::to_string(seen_.load()) + " of " + std::to_string(n) +
                     " DeviceDID writes seen within " + std::to_string(limit.count()) + " ms");
            std::this_thread::sleep_for(200us);
        }
        return Clock::time_point(Clock::duration(last_.load()));
    }

  private:
    static void changed(const char *, unsigned, const char *field, void *ctx)
    {
        auto *self = static_cast<DidWatcher *>(ctx);
        if (strcmp(field, "DeviceDID") != 0)
            return;
        self->last_ = Clock::now().time_since_epoch().count();
        self->seen_.fetch_add(1);
    }

    Q7Ptr q7_;
    // Written by the handle's callback thread, read by the main thread.
    std::atomic<unsigned> seen_{0};
    std::atomic<Clock::rep> last_{0};
};

// kUpdates calls of op(repeat, i), in ms.
template <class Op>
double total_ms(Op op)
{
    static int repeat = 0;
    const auto t0 = Clock::now();
    for (unsigned i = 0; i < kUpdates; ++i)
        op(repeat, i);
    ++repeat;
    return us_between(t0, Clock::now()) / 1000;
}

// The line the daemon must log at level 4 for each MAC no row holds, 1,024
// times into a file through the logging library, as the daemon writes its
// log (standard error on a file).
double unknown_lines_ms(const std::string &path)
{
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int saved = dup(STDERR_FILENO);
    if (file < 0 || saved < 0 || dup2(file, STDERR_FILENO) < 0)
        fail("cannot point standard error at " + path);
    const auto t0 = Clock::now();
    for (unsigned i = 0; i < kUpdates; ++i)
        log_printf(4, "tsh_sot", 369, "(TelvaSoT) - wex_update_table_field Update failed %d\n", 5);
    const double ms = us_between(t0, Clock::now()) / 1000;
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(file);
    return ms;
}

void imports(Lab &lab, Daemon &daemon, double ping)
{
    q7_handle *q7 = lab.q7.get();
    // Watching from the start: the floors pay for its notifications as the
    // imports do (and for the daemon's, whose dispatcher watches the table).
    DidWatcher watcher;
    char text[80];
    // The import must call the device-information library once per MAC; the
    // floor is the bench making the same 1,024 calls through a session of the
    // library of its own, after the same 20 ms of quiet each import follows
    // (a CPU that never idled would be quicker). The session's first call
    // reads the rows' MACs, untimed; it ends before the import, whose writes
    // it would otherwise watch too.
    std::vector<std::string> macs;
    for (unsigned i = 0; i < kUpdates; ++i)
        macs.push_back(row_mac(i % kDevices));
    const auto wex_calls_ms = [&] {
        if (wex_init() != WEX_OK)
            fail("wex_init: no Q7 server for the device-information library");
        const auto call = [&](int repeat, unsigned i) {
            snprintf(text, sizeof text, "wex-%d-%u", repeat, i);
            const int rc = wex_update_table_field(macs[i].c_str(), WEX_FIELD_DEVICE_MAC, text, WEX_DID_WIDTH,
                                                  WEX_FIELD_DEVICE_DID);
            if (rc != WEX_OK)
                fail("wex_update_table_field " + macs[i] + ": error " + std::to_string(rc));
        };
        call(-1, 0);
        const double ms = total_ms(call);
        wex_uninit();
        return ms;
    };
    // And 1,024 plain Q7 sets, to show what the library's guarded write adds.
    std::vector<double> set_ms;
    const auto floor = [&] {
        std::this_thread::sleep_for(20ms);
        set_ms.push_back(total_ms([&](int repeat, unsigned i) {
            snprintf(text, sizeof text, "floor-%d-%u", repeat, i);
            set(q7, "Wexsignature", i % kDevices, "DeviceDID", text);
        }));
        std::this_thread::sleep_for(20ms);
        return wex_calls_ms();
    };

    std::vector<double> fetch_ms;
    const auto threads_before = thread_stats(daemon.pid());
    Probes probes(lab.opt.probes, daemon.pid());
    int round = 0;
    const auto import = [&](bool unknown) {
        const std::string list = discovered_list(round++, unknown);
        agent_control(lab.agent_socket, control_request("ctl.set", "devices", &list).get());
        std::this_thread::sleep_for(20ms);  // the last round's notifications are all in
        watcher.reset();
        size_t next = lab.journal.count();
        const auto t0 = Clock::now();
        agent_control(lab.agent_socket, control_request("ctl.emit", "devices-changed").get());
        const auto done = watcher.wait_for(kUpdates, 30s);
        const Receipt fetched = await(lab.journal, next, is_call("get_devices"), "get_devices");
        fetch_ms.push_back(us_between(t0, fetched.at) / 1000);
        return us_between(t0, done) / 1000;
    };
    const double first_ms = import(false);
    memory(lab, daemon.pid(), "after the first import");
    const Turns known = interleave("import: emit -> last DID written", "ms", 1.15, lab.opt.imports, floor,
                                   [&] { return import(false); });
    std::vector<double> lines_ms;
    const Turns unknown = interleave("import, 1024 unknown MACs beside", "ms", 1.15, lab.opt.imports, [&] {
        lines_ms.push_back(unknown_lines_ms(lab.opt.log + ".lines"));
        return floor() + lines_ms.back();
    }, [&] { return import(true); });
    const auto threads = thread_deltas(threads_before, thread_stats(daemon.pid()));
    for (unsigned row = 0; row < kDevices; ++row) {
        char did[65] = "";
        q7_check(q7_get_ascii(q7, "Wexsignature", row, "DeviceDID", did, sizeof did), "get", "Wexsignature", row,
                 "DeviceDID");
        if (did != expected_did(row, round - 1))
            fail("Wexsignature." + std::to_string(row) + ".DeviceDID is '" + did + "', not " +
                 expected_did(row, round - 1));
    }
    printf("imports of %u devices x %u MACs (%u DeviceDID writes each, every MAC in the table), the second\n"
           "series with 4 unknown MACs more each; floor: the same 1024 wex_update_table_field calls by the bench,\n"
           "for the second series with the 1024 lines logged for the unknown MACs (p50 %.2f ms); PING round trip %.1f us\n",
           kDevices, kMacsPerDevice, kUpdates, median(lines_ms), ping);
    line("  1024 plain q7 sets by the bench", summarize(set_ms), "ms", true);
    line("first import: emit -> last DID written", {first_ms, 0, first_ms}, "ms", true);
    line("  of which emit -> list handed out", summarize(fetch_ms), "ms", true);
    print_turns_heading(lab.opt.imports);
    print_turns(known, ping);
    print_turns(unknown, ping);
    printf("daemon threads over the imports (/proc, %.0f ms ticks):\n", ms_per_tick());
    print_threads(threads, ms_per_tick());
}

void run(Lab &lab)
{
    const Options &o = lab.opt;
    if (o.seed)
        seed_devices(lab.q7.get());
    seed_logging(lab.q7.get(), o.log_level);
    std::string err;
    if (!lab.journal.start(lab.agent_socket, err))
        fail(err);
    const double ping = ping_us(2000);
    printf("daemon log level %d to a file\n", o.log_level);
    if (o.starts > 0)
        startups(lab, ping);
    if (o.idle_s == 0 && o.imports == 0)
        return;

    Daemon daemon(o.daemon, o.log, o.launcher);
    wait_ready(lab.journal, daemon, o.log);
    std::this_thread::sleep_for(1s);  // the start-up's last calls settle
    memory(lab, daemon.pid(), "at rest");
    if (o.idle_s > 0)
        idle(daemon.pid(), o.idle_s);
    if (o.imports > 0) {
        imports(lab, daemon, ping);
        memory(lab, daemon.pid(), "after the imports");
    }
    daemon.stop_in_order();
}

constexpr Help kHelp = {
    "usage: daemon_bench [--starts N] [--idle SECONDS] [--imports N] [--log-level N]\n"
    "                    [--tables seed|keep] [--launcher PROG] [--probe COMMAND]... DAEMON LOG\n"
    "Starts DAEMON (TeSvcHdlr) on $Q7_SOCKET and $SA_AGENT_SOCKET with its output in LOG:\n"
    "times start-up and stop, then on one more start its CPU at rest, its memory and\n"
    "discovery imports of 256 devices x 4 MACs; the agent's device list is replaced.\n"
    "Under a launcher the memory is not read: it would be the emulator's.\n"
    "  --starts N        repetitions of 5 walks and 5 start-ups (default 11; 0 skips them)\n"
    "  --idle SECONDS    rest measured (default 60; 0 skips it)\n"
    "  --imports N       repetitions of 1,024 sets and an import (default 11; 0 skips\n"
    "                    them), then N more with 1,024 unknown MACs beside\n"
    "  --tables seed     overwrite the tables with 256 devices \"UP\" (default)\n"
    "  --tables keep     use the tables as they are (e.g. the lab's demo)\n",
    "the imports"};

}  // namespace

int main(int argc, char **argv)
{
    Lab lab;
    Options &o = lab.opt;
    return bench_main(argc, argv, "daemon_bench",
                      {{"--starts", &o.starts, 0}, {"--idle", &o.idle_s, 0}, {"--imports", &o.imports, 0}},
                      {{"--tables", &o.tables}}, kHelp, o, lab, [&] {
                          if (o.tables != "seed" && o.tables != "keep")
                              fail("--tables wants seed or keep, not '" + o.tables + "'");
                          o.seed = o.tables == "seed";
                          run(lab);
                      });
}
