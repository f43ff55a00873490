/*
 * device_bench.cpp - how fast the daemon carries device changes to the
 * agent: one rename at a time, a burst of 256 renames, and the resync of
 * 256 devices when the agent starts, each beside the floor measured in the
 * same run on the same Q7 server and agent. Starts the daemon itself (on
 * $Q7_SOCKET and $SA_AGENT_SOCKET) and stops it with SIGUSR1.
 *   device_bench [OPTIONS] DAEMON LOG     (--help for the options)
 * The agent's receipt of a call is the arrival of its journal entry on the
 * bench's follow connection (bench_journal.h). The daemon's threads' CPU over
 * the bursts is read from /proc; --probe runs a profiler beside them.
 */
#include "bench_lab.h"
#include "sabroker.h"

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace bench;
using namespace std::chrono_literals;

constexpr double kPauseUs = 2000;  // the worker's pause after each entry

struct Options : CommonOptions {
    int renames = 500;
    int samples = 2000;  // round trips per floor
    int bursts = 3;
    int resyncs = 10;
};

// The bench's own broker session, for the agent-call floor.
class BrokerSession {
  public:
    BrokerSession()
    {
        if (sa_broker_init() != 0)
            fail("sa_broker_init failed: agent at $SA_AGENT_SOCKET not reachable");
    }
    BrokerSession(const BrokerSession &) = delete;
    BrokerSession &operator=(const BrokerSession &) = delete;
    ~BrokerSession() { sa_broker_uninit(); }
};

struct Lab : LabBase {
    Options opt;
};

// Set on one handle, seen by the callback of another.
Summary notify_floor(int n)
{
    Q7Ptr a = open_q7(), b = open_q7();
    // Lock-free: bumped by b's callback thread, waited on by the main thread.
    static std::atomic<unsigned> seen{0};
    q7_subscribe_cb(b.get(), [](const char *, unsigned, const char *, void *) {
        seen.fetch_add(1);
        seen.notify_one();
    }, nullptr);
    q7_subscribe(b.get(), "TelvaDebug", 1);
    int32_t value = 0;
    q7_get_int(a.get(), "TelvaDebug", 0, "lastEventSink", &value);
    return time_each(n, [&](int) {
        const unsigned before = seen.load();
        value = (value & 0xffffff) + 1;  // every write changes the value, or nobody is told
        q7_check(q7_set_int(a.get(), "TelvaDebug", 0, "lastEventSink", value), "set", "TelvaDebug", 0,
                 "lastEventSink");
        seen.wait(before);
    });
}

Summary agent_call_floor(int n)
{
    BrokerSession session;
    const char *text = R"({"uuid":"5b2d9a4e-ffff-4000-8000-000000000000","display_name":"floor"})";
    return time_each(n, [&](int) {
        if (sa_broker_set_device_info(text) != 0)
            fail("sa_broker_set_device_info refused the bench's own text");
    });
}

std::vector<double> renames(Lab &lab)
{
    std::vector<double> us;
    size_t next = lab.journal.count();
    for (int i = 0; i < lab.opt.renames; ++i) {
        const unsigned row = i % kDevices;
        const std::string name = "rename-" + std::to_string(i);
        const auto t0 = Clock::now();
        set(lab.q7.get(), "DeviceIdList", row, "DisplayNameCustom", name);
        const Receipt r = await(lab.journal, next, [&](const Receipt &x) {
            return x.call == "set_device_info" && x.result == 0 && x.name == name;
        }, "set_device_info for " + name);
        us.push_back(us_between(t0, r.at));
    }
    return us;
}

// Idle time for the worker: its last entry leaves the queue and its pause
// ends, so that a burst of 256 finds the queue empty.
void let_worker_idle()
{
    std::this_thread::sleep_for(20ms);
}

// All devices renamed back to back; until the agent has accepted all 256.
double burst(Lab &lab, int round)
{
    let_worker_idle();
    std::set<std::string> pending;
    size_t next = lab.journal.count();
    const auto t0 = Clock::now();
    for (unsigned row = 0; row < kDevices; ++row) {
        const std::string name = "burst" + std::to_string(round) + "-" + std::to_string(row);
        pending.insert(name);
        set(lab.q7.get(), "DeviceIdList", row, "DisplayNameCustom", name);
    }
    Receipt last;
    while (!pending.empty())
        last = await(lab.journal, next, [&](const Receipt &x) {
            return x.call == "set_device_info" && x.result == 0 && pending.erase(x.name) > 0;
        }, std::to_string(pending.size()) + " of the burst's set_device_info calls");
    return us_between(t0, last.at) / 1000;
}

struct ResyncTimes {
    double total_ms, router_ms;
};

ResyncTimes resync(Lab &lab)
{
    let_worker_idle();
    size_t next = lab.journal.count();
    size_t router_next = next;
    const saproto::JsonPtr req = control_request("ctl.emit", "started");
    const auto t0 = Clock::now();
    agent_control(lab.agent_socket, req.get());
    const Receipt online = await(lab.journal, next, is_call("set_device_online_status"), "set_device_online_status");
    const Receipt router = await(lab.journal, router_next, is_call("set_router_info"), "set_router_info");
    if (online.result != 0 || online.devices != static_cast<int>(kDevices))
        fail("the resync's online list held " + std::to_string(online.devices) + " devices (result " +
             std::to_string(online.result) + "), not " + std::to_string(kDevices));
    return {us_between(t0, online.at) / 1000, us_between(t0, router.at) / 1000};
}

void run(Lab &lab)
{
    const Options &o = lab.opt;
    seed_devices(lab.q7.get());
    seed_logging(lab.q7.get(), o.log_level);
    std::string err;
    if (!lab.journal.start(lab.agent_socket, err))
        fail(err);
    Daemon daemon(o.daemon, o.log, o.launcher);
    wait_ready(lab.journal, daemon, o.log);

    const Summary notify = notify_floor(o.samples);
    const Summary call = agent_call_floor(o.samples);
    const Summary record = time_each(o.samples, [&](int i) { read_record(lab.q7.get(), i % kDevices); });
    const Summary walk = walk_ms(lab.q7.get(), o.resyncs);

    const Summary rename = summarize(renames(lab));
    std::vector<double> burst_ms, resync_ms, router_ms;
    std::vector<ThreadStat> burst_threads;
    {
        const auto before = thread_stats(daemon.pid());
        {
            Probes probes(o.probes, daemon.pid());
            for (int i = 0; i < o.bursts; ++i)
                burst_ms.push_back(burst(lab, i));
        }
        burst_threads = thread_deltas(before, thread_stats(daemon.pid()));
    }
    for (int i = 0; i < o.resyncs; ++i) {
        const ResyncTimes t = resync(lab);
        resync_ms.push_back(t.total_ms);
        router_ms.push_back(t.router_ms);
    }
    daemon.stop_in_order();

    const Summary bursts = summarize(burst_ms), resyncs = summarize(resync_ms), router = summarize(router_ms);
    const double rename_floor = notify.p50 + call.p50 + kPauseUs;
    const double entry_floor = record.p50 + call.p50 + kPauseUs;
    printf("devices %u (all \"UP\", none a satellite), daemon log level %d to a file\n", kDevices, o.log_level);
    printf("renames %d, floor samples %d, bursts %d, resyncs %d\n", o.renames, o.samples, o.bursts, o.resyncs);
    line("floor: q7 set -> notification", notify, "us");
    line("floor: agent call (set_device_info)", call, "us");
    line("floor: q7 record read (9 gets)", record, "us");
    line("floor: q7 walk, 256 records (2304 gets)", walk, "ms", true);
    line("rename -> agent receipt", rename, "us");
    line("burst of 256 renames -> all received", bursts, "ms", true);
    line("resync: emit started -> online list", resyncs, "ms", true);
    line("  of which emit -> router info", router, "ms", true);
    printf("per-entry floor: record read %.1f + agent call %.1f + pause %.0f = %.1f us\n", record.p50, call.p50,
           kPauseUs, entry_floor);
    goal_line("rename p50 (us)", rename.p50, rename_floor, 1.5);
    goal_line("burst p50 (ms)", bursts.p50, kDevices * entry_floor / 1000, 1.5);
    goal_line("resync p50 (ms)", resyncs.p50, walk.p50 / 1000, 1.3);
    double bursts_ms = 0;
    for (double ms : burst_ms)
        bursts_ms += ms;
    printf("daemon threads over the bursts (/proc, %.0f ms ticks; the bursts took %.0f ms in all):\n",
           ms_per_tick(), bursts_ms);
    print_threads(burst_threads, ms_per_tick());
}

constexpr Help kHelp = {
    "usage: device_bench [--renames N] [--samples N] [--bursts N] [--resyncs N] [--log-level N]\n"
    "                    [--launcher PROG] [--probe COMMAND]... DAEMON LOG\n"
    "Starts DAEMON (TeSvcHdlr) on $Q7_SOCKET and $SA_AGENT_SOCKET with its output in LOG,\n"
    "measures renames, a burst of 256 renames and the resync at agent start against\n"
    "their floors, stops it with SIGUSR1. The Q7 tables are overwritten.\n"
    "  --renames N       single renames timed (default 500)\n"
    "  --samples N       round trips per floor (default 2000)\n"
    "  --bursts N        bursts of 256 renames (default 3)\n"
    "  --resyncs N       resyncs, and walks for their floor (default 10)\n",
    "the bursts"};

}  // namespace

int main(int argc, char **argv)
{
    Lab lab;
    Options &o = lab.opt;
    return bench_main(argc, argv, "device_bench",
                      {{"--renames", &o.renames, 1},
                       {"--samples", &o.samples, 10},
                       {"--bursts", &o.bursts, 1},
                       {"--resyncs", &o.resyncs, 1}},
                      {}, kHelp, o, lab, [&] { run(lab); });
}
