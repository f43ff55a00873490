/*
 * device_bench.cpp - how fast the daemon carries device changes to the
 * agent: one rename at a time, a burst of 256 renames, and the resync of
 * 256 devices when the agent starts, each beside the floor measured in the
 * same run on the same Q7 server and agent. Starts the daemon itself (on
 * $Q7_SOCKET and $SA_AGENT_SOCKET) and stops it with SIGUSR1.
 *   device_bench [OPTIONS] DAEMON LOG     (--help for the options)
 * The agent's receipt of a call is the arrival of its journal entry on the
 * bench's follow connection (bench_journal.h). The daemon's threads' CPU over
 * the bursts is read from /proc; --probe runs a profiler beside three
 * more bursts, untimed.
 */
#include "agent_control.h"
#include "bench_cli.h"
#include "lab_processes.h"
#include "proc_stats.h"
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

constexpr double kPauseUs = 2000;   // the worker's pause after each entry
constexpr int kProfiledBursts = 3;  // bursts run under --probe, after the timed ones

struct Options : CommonOptions {
    int reps = 11;
    int renames = 200;   // per repetition, and as many samples of each floor part
    int samples = 512;   // record reads and agent calls per burst repetition
    int resyncs = 5;     // per repetition, and as many walks
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
class NotifyFloor {
  public:
    NotifyFloor() : a_(open_q7()), b_(open_q7())
    {
        q7_subscribe_cb(b_.get(), [](const char *, unsigned, const char *, void *) {
            seen.fetch_add(1);
            seen.notify_one();
        }, nullptr);
        q7_check(q7_subscribe(b_.get(), "TelvaDebug", 1), "subscribe", "TelvaDebug", 0, "*");
        q7_get_int(a_.get(), "TelvaDebug", 0, "lastEventSink", &value_);
    }
    // n round trips, in us each.
    std::vector<double> samples(int n)
    {
        return time_samples(n, [&](int) {
            const unsigned before = seen.load();
            value_ = (value_ & 0xffffff) + 1;  // every write changes the value, or nobody is told
            q7_check(q7_set_int(a_.get(), "TelvaDebug", 0, "lastEventSink", value_), "set", "TelvaDebug", 0,
                     "lastEventSink");
            seen.wait(before);
        });
    }

  private:
    // Lock-free: bumped by b's callback thread, waited on by the main thread.
    static inline std::atomic<unsigned> seen{0};
    Q7Ptr a_, b_;
    int32_t value_ = 0;
};

double agent_call_us(int n)
{
    const char *text = R"({"uuid":"5b2d9a4e-ffff-4000-8000-000000000000","display_name":"floor"})";
    return median(time_samples(n, [&](int) {
        if (sa_broker_set_device_info(text) != 0)
            fail("sa_broker_set_device_info refused the bench's own text");
    }));
}

// n renames one at a time, each sent when the last was received; the
// median in us.
double renames(Lab &lab, int n)
{
    static int count = 0;
    std::vector<double> us;
    size_t next = lab.journal.count();
    for (int i = 0; i < n; ++i, ++count) {
        const unsigned row = count % kDevices;
        const std::string name = "rename-" + std::to_string(count);
        const auto t0 = Clock::now();
        set(lab.q7.get(), "DeviceIdList", row, "DisplayNameCustom", name);
        const Receipt r = await(lab.journal, next, [&](const Receipt &x) {
            return x.call == "set_device_info" && x.result == 0 && x.name == name;
        }, "set_device_info for " + name);
        us.push_back(us_between(t0, r.at));
    }
    return median(us);
}

// Idle time for the worker: its last entry leaves the queue and its pause
// ends, so that a burst of 256 finds the queue empty. The floors of bursts
// and resyncs wait as long first: a CPU that has idled wakes up slower, and
// both should pay for it alike.
void let_worker_idle()
{
    std::this_thread::sleep_for(20ms);
}

// All devices renamed back to back; until the agent has accepted all 256.
double burst(Lab &lab)
{
    static int round = 0;
    let_worker_idle();
    std::set<std::string> pending;
    size_t next = lab.journal.count();
    const auto t0 = Clock::now();
    for (unsigned row = 0; row < kDevices; ++row) {
        const std::string name = "burst" + std::to_string(round) + "-" + std::to_string(row);
        pending.insert(name);
        set(lab.q7.get(), "DeviceIdList", row, "DisplayNameCustom", name);
    }
    ++round;
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
    BrokerSession session;
    NotifyFloor notify;
    q7_handle *q7 = lab.q7.get();
    const double ping = ping_us(o.samples);

    // The parts of the floors, kept to show what they are made of.
    std::vector<double> notify_us, call_us, record_us, ack_us, router_ms;
    const Turns rename = interleave("rename -> agent receipt", "us", 1.2, o.reps, [&] {
        notify_us.push_back(median(notify.samples(o.renames)));
        call_us.push_back(agent_call_us(o.renames));
        return notify_us.back() + call_us.back() + kPauseUs;
    }, [&] { return renames(lab, o.renames); });

    std::vector<double> burst_ms;
    std::vector<ThreadStat> burst_threads;
    Turns bursts;
    {
        const auto before = thread_stats(daemon.pid());
        bursts = interleave("burst of 256 renames -> all received", "ms", 1.15, o.reps, [&] {
            let_worker_idle();
            record_us.push_back(median(time_samples(o.samples, [&](int i) { read_record(q7, i % kDevices); })));
            call_us.push_back(agent_call_us(o.samples));
            // The acknowledgement the worker must write after each call.
            ack_us.push_back(median(time_samples(o.samples, [&](int i) {
                set(q7, "DeviceIdList", i % kDevices, "TelvaSoTResponseStatus", "1");
            })));
            return kDevices * (record_us.back() + call_us.back() + ack_us.back() + kPauseUs) / 1000;
        }, [&] {
            burst_ms.push_back(burst(lab));
            return burst_ms.back();
        });
        burst_threads = thread_deltas(before, thread_stats(daemon.pid()));
    }
    // A profiler slows what it watches: it gets bursts of its own, untimed.
    if (!o.probes.empty()) {
        Probes probes(o.probes, daemon.pid());
        for (int i = 0; i < kProfiledBursts; ++i)
            burst(lab);
    }
    const Turns resyncs = interleave("resync: emit started -> online list", "ms", 1.15, o.reps, [&] {
        std::vector<double> ms;
        for (int i = 0; i < o.resyncs; ++i) {
            let_worker_idle();
            ms.push_back(walk_ms(q7));
        }
        return median(ms);
    }, [&] {
        std::vector<double> ms;
        for (int i = 0; i < o.resyncs; ++i) {
            const ResyncTimes t = resync(lab);
            ms.push_back(t.total_ms);
            router_ms.push_back(t.router_ms);
        }
        return median(ms);
    });
    daemon.stop_in_order();

    printf("devices %u (all \"UP\", none a satellite), daemon log level %d to a file\n", kDevices, o.log_level);
    printf("per repetition: %d renames and as many samples of each floor part; %d record reads and agent calls\n"
           "and one burst; %d walks and %d resyncs. PING round trip %.1f us\n",
           o.renames, o.samples, o.resyncs, o.resyncs, ping);
    printf("floor parts, median over the run: q7 set -> notification %.1f us, agent call %.1f us,\n"
           "q7 record read (9 gets) %.1f us, q7 set of TelvaSoTResponseStatus %.1f us, the worker's pause %.0f us\n",
           median(notify_us), median(call_us), median(record_us), median(ack_us), kPauseUs);
    printf("floors: rename = set -> notification + agent call + pause; burst = 256 x (record read + agent\n"
           "call + TelvaSoTResponseStatus set + pause); resync = a walk of the 256 records (2304 gets)\n");
    print_turns_heading(o.reps);
    for (const Turns *t : std::initializer_list<const Turns *>{&rename, &bursts, &resyncs})
        print_turns(*t, ping);
    line("  of which emit -> router info", summarize(router_ms), "ms", true);
    double all_ms = 0;
    for (double ms : burst_ms)
        all_ms += ms;
    printf("daemon threads over the burst repetitions (/proc, %.0f ms ticks; the bursts took %.0f ms in all):\n",
           ms_per_tick(), all_ms);
    print_threads(burst_threads, ms_per_tick());
}

constexpr Help kHelp = {
    "usage: device_bench [--reps N] [--renames N] [--samples N] [--resyncs N] [--log-level N]\n"
    "                    [--launcher PROG] [--probe COMMAND]... DAEMON LOG\n"
    "Starts DAEMON (TeSvcHdlr) on $Q7_SOCKET and $SA_AGENT_SOCKET with its output in LOG,\n"
    "measures renames, bursts of 256 renames and the resync at agent start in turns with\n"
    "their floors, stops it with SIGUSR1. The Q7 tables are overwritten.\n"
    "  --reps N          repetitions of each floor and figure (default 11)\n"
    "  --renames N       renames per repetition, and samples of each floor part (default 200)\n"
    "  --samples N       record reads and agent calls per burst repetition (default 512)\n"
    "  --resyncs N       resyncs per repetition, and walks for their floor (default 5)\n",
    "the bursts"};

}  // namespace

int main(int argc, char **argv)
{
    Lab lab;
    Options &o = lab.opt;
    return bench_main(argc, argv, "device_bench",
                      {{"--reps", &o.reps, 1},
                       {"--renames", &o.renames, 1},
                       {"--samples", &o.samples, 10},
                       {"--resyncs", &o.resyncs, 1}},
                      {}, kHelp, o, lab, [&] { run(lab); });
}
