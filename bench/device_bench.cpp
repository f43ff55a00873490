/*
 * device_bench.cpp - how fast the daemon carries device changes to the
 * agent: one rename at a time, a burst of 256 renames, and the resync of
 * 256 devices when the agent starts, each beside the floor measured in the
 * same run on the same Q7 server and agent. Starts the daemon itself (on
 * $Q7_SOCKET and $SA_AGENT_SOCKET) and stops it with SIGUSR1.
 *   device_bench [OPTIONS] DAEMON LOG     (--help for the options)
 * The agent's receipt of a call is the arrival of its journal entry on the
 * bench's follow connection (bench_journal.h).
 */
#include "bench_journal.h"
#include "q7lib.h"
#include "sabroker.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char **environ;

namespace {

using bench::Clock;
using bench::Receipt;
using namespace std::chrono_literals;

constexpr unsigned kDevices = 256;
constexpr double kPauseUs = 2000;  // the worker's pause after each entry
constexpr int kRecordReads = 9;    // Q7 reads of one device record

struct Options {
    int renames = 500;
    int samples = 2000;  // round trips per floor
    int bursts = 3;
    int resyncs = 10;
    int log_level = 5;
    std::string daemon, log;
};

[[noreturn]] void fail(const std::string &what)
{
    throw std::runtime_error(what);
}

double us_between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::micro>(to - from).count();
}

struct Summary {
    double p50, p99, max;
};

Summary summarize(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[v.size() * 99 / 100], v.back()};
}

template <class Op>
Summary time_each(int n, Op op)
{
    std::vector<double> us;
    const int warm = n / 10;  // not timed
    for (int i = 0; i < warm + n; ++i) {
        const auto t0 = Clock::now();
        op(i);
        if (i >= warm)
            us.push_back(us_between(t0, Clock::now()));
    }
    return summarize(us);
}

struct Q7Closer {
    void operator()(q7_handle *h) const { q7_destroy(h); }
};
using Q7Ptr = std::unique_ptr<q7_handle, Q7Closer>;

Q7Ptr open_q7()
{
    Q7Ptr h(q7_init());
    if (!h)
        fail("cannot reach the Q7 server at $Q7_SOCKET");
    return h;
}

void q7_check(int rc, const char *op, const char *table, unsigned row, const char *field)
{
    if (rc != Q7_OK)
        fail(std::string("q7: ") + op + " " + table + "." + std::to_string(row) + "." + field + ": " +
             q7_error_string(rc) + " (" + std::to_string(rc) + ")");
}

void set(q7_handle *q7, const char *table, unsigned row, const char *field, const std::string &value)
{
    q7_check(q7_set_text(q7, table, row, field, value.c_str()), "set", table, row, field);
}

// The router and 256 devices, all "UP" and none a satellite, so that the
// resync lists every device and asks the agent nothing else.
void seed(q7_handle *q7, int log_level)
{
    const char *general[][2] = {{"DeviceName", "BenchRouter"}, {"DeviceModel", "Model-X1"},
                                {"FSN", "X1A2B3C4D5E6"},      {"DefaultMAC", "02:1A:11:00:00:00"},
                                {"FwRevision", "1.4.2"},      {"wan_ifname", "eth0"},
                                {"lan_ifname", "br-lan"}};
    for (auto &f : general)
        set(q7, "General", 0, f[0], f[1]);
    set(q7, "featureSwitch", 0, "rp", "enable");
    set(q7, "TelvaCfg", 0, "SAService", "DOWN");
    set(q7, "TelvaCfg", 0, "action", "none");
    // Console output goes to the log file the daemon's output is sent to.
    set(q7, "dalLogCfg", 0, "TshLogToConsole", "1");
    set(q7, "dalLogCfg", 0, "TshLogToFile", "0");
    set(q7, "dalLogCfg", 0, "TshLogLevel", std::to_string(log_level));
    char text[64];
    for (unsigned r = 0; r < kDevices; ++r) {
        snprintf(text, sizeof text, "02:1A:11:00:%02X:%02X", r >> 8, r & 0xff);
        set(q7, "Wexsignature", r, "DeviceMAC", text);
        snprintf(text, sizeof text, "192.168.%u.%u", 1 + r / 200, 10 + r % 200);
        set(q7, "Wexsignature", r, "DeviceIP", text);
        set(q7, "Wexsignature", r, "Devicestate", "UP");
        set(q7, "Wexsignature", r, "DeviceDHCPHostname", "host-" + std::to_string(r));
        set(q7, "Wexsignature", r, "AllowOrBlock", "allow");
        set(q7, "Wexsignature", r, "DeviceCategory", "phone");
        set(q7, "Wexsignature", r, "WEXSignatureUpdateStatus", "1");
        snprintf(text, sizeof text, "5b2d9a4e-0000-4000-8000-%012u", r);
        set(q7, "DeviceIdList", r, "DeviceUUID", text);
        set(q7, "DeviceIdList", r, "DisplayNameCustom", "device-" + std::to_string(r));
    }
}

// The nine reads the daemon makes for one device record, with its kinds.
void read_record(q7_handle *q7, unsigned row)
{
    uint8_t mac[6], ip[4];
    char text[64];
    int rc = q7_get_mac(q7, "Wexsignature", row, "DeviceMAC", mac);
    rc |= q7_get_ascii(q7, "DeviceIdList", row, "DeviceUUID", text, 64);
    rc |= q7_get_string(q7, "DeviceIdList", row, "DisplayNameCustom", text, 64);
    rc |= q7_get_enum(q7, "Wexsignature", row, "Devicestate", text, 16);
    rc |= q7_get_ipv4(q7, "Wexsignature", row, "DeviceIP", ip);
    rc |= q7_get_string(q7, "Wexsignature", row, "DeviceDHCPHostname", text, 64);
    rc |= q7_get_enum(q7, "Wexsignature", row, "AllowOrBlock", text, 16);
    rc |= q7_get_ascii(q7, "Wexsignature", row, "DeviceCategory", text, 32);
    rc |= q7_get_string(q7, "General", 0, "lan_ifname", text, 16);
    q7_check(rc, "read record", "Wexsignature", row, "*");
}

// The daemon as a child process, its output in one log file.
class Daemon {
  public:
    Daemon(const std::string &path, const std::string &log)
    {
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
        char *argv[] = {const_cast<char *>(path.c_str()), nullptr};
        const int rc = posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&fa);
        if (rc != 0)
            fail("cannot start the daemon " + path + ": " + strerror(rc));
    }
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;
    ~Daemon()
    {
        const pid_t pid = pid_;
        if (pid > 0 && stop() < 0)
            fprintf(stderr, "device_bench: daemon %d killed, it did not stop on SIGUSR1\n", static_cast<int>(pid));
    }

    // Its exit status once it has ended, else -1.
    int exited()
    {
        int st = 0;
        if (pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        }
        return pid_ > 0 ? -1 : status_;
    }

    // The orderly stop; the exit status, or -1 when it had to be killed.
    int stop()
    {
        if (pid_ <= 0)
            return status_;
        kill(pid_, SIGUSR1);
        for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(5ms))
            if (exited() >= 0)
                return status_;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }

  private:
    pid_t pid_ = -1;
    int status_ = -1;
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

struct Lab {
    Options opt;
    std::string agent_socket;
    Q7Ptr q7;
    bench::JournalFollower journal;
};

Receipt await(Lab &lab, size_t &next, const std::function<bool(const Receipt &)> &pred, const std::string &what,
              std::chrono::milliseconds limit = 10s)
{
    auto r = lab.journal.wait(next, pred, limit);
    if (!r)
        fail("the agent got no " + what + " within " + std::to_string(limit.count()) + " ms");
    return *r;
}

std::function<bool(const Receipt &)> is_call(const char *call)
{
    return [call](const Receipt &r) { return r.call == call; };
}

// Start-up ends with the router-information push; the worker and the
// subscriptions are in place well before it.
void start_daemon_and_wait(Lab &lab, Daemon &d)
{
    size_t next = lab.journal.count();
    auto end = Clock::now() + 30s;
    while (!lab.journal.wait(next, is_call("set_router_info"), 50ms)) {
        if (const int st = d.exited(); st >= 0)
            fail("the daemon ended with status " + std::to_string(st) + " before it was ready; see " + lab.opt.log);
        if (Clock::now() > end)
            fail("the daemon pushed no router info within 30 s of its start; see " + lab.opt.log);
    }
}

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
        const Receipt r = await(lab, next, [&](const Receipt &x) {
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
        last = await(lab, next, [&](const Receipt &x) {
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
    saproto::JsonPtr req(cJSON_Parse(R"({"id":1,"call":"ctl.emit","what":"started"})"));
    std::string err;
    const auto t0 = Clock::now();
    saproto::JsonPtr reply = saproto::round_trip(lab.agent_socket, req.get(), 5000, err);
    if (!reply || saproto::get_int(reply.get(), "result").value_or(1) != 0)
        fail("agent refused to emit started: " + (err.empty() ? saproto::print(reply.get()) : err));
    const Receipt online = await(lab, next, is_call("set_device_online_status"), "set_device_online_status");
    const Receipt router = await(lab, router_next, is_call("set_router_info"), "set_router_info");
    if (online.result != 0 || online.devices != static_cast<int>(kDevices))
        fail("the resync's online list held " + std::to_string(online.devices) + " devices (result " +
             std::to_string(online.result) + "), not " + std::to_string(kDevices));
    return {us_between(t0, online.at) / 1000, us_between(t0, router.at) / 1000};
}

// Few samples (bursts, resyncs, walks) show their maximum, not a p99.
void line(const char *what, Summary s, const char *unit, bool few = false)
{
    printf("%-40s p50 %8.1f %s  %s %8.1f %s\n", what, s.p50, unit, few ? "max" : "p99", few ? s.max : s.p99, unit);
}

void goal_line(const char *what, double measured, double floor, double goal)
{
    printf("%-40s %8.1f vs floor %8.1f  = %.2fx (goal %.1fx)\n", what, measured, floor, measured / floor, goal);
}

void run(Lab &lab)
{
    const Options &o = lab.opt;
    seed(lab.q7.get(), o.log_level);
    std::string err;
    if (!lab.journal.start(lab.agent_socket, err))
        fail(err);
    Daemon daemon(o.daemon, o.log);
    start_daemon_and_wait(lab, daemon);

    const Summary notify = notify_floor(o.samples);
    const Summary call = agent_call_floor(o.samples);
    const Summary record = time_each(o.samples, [&](int i) { read_record(lab.q7.get(), i % kDevices); });
    const Summary walk = time_each(o.resyncs, [&](int) {
        for (unsigned row = 0; row < kDevices; ++row)
            read_record(lab.q7.get(), row);
    });

    const Summary rename = summarize(renames(lab));
    std::vector<double> burst_ms, resync_ms, router_ms;
    for (int i = 0; i < o.bursts; ++i)
        burst_ms.push_back(burst(lab, i));
    for (int i = 0; i < o.resyncs; ++i) {
        const ResyncTimes t = resync(lab);
        resync_ms.push_back(t.total_ms);
        router_ms.push_back(t.router_ms);
    }
    const int status = daemon.stop();
    if (status != 0)
        fail("the daemon did not stop in order (status " + std::to_string(status) + "); see " + o.log);

    const Summary bursts = summarize(burst_ms), resyncs = summarize(resync_ms), router = summarize(router_ms);
    const double rename_floor = notify.p50 + call.p50 + kPauseUs;
    const double entry_floor = record.p50 + call.p50 + kPauseUs;
    printf("devices %u (all \"UP\", none a satellite), daemon log level %d to a file\n", kDevices, o.log_level);
    printf("renames %d, floor samples %d, bursts %d, resyncs %d\n", o.renames, o.samples, o.bursts, o.resyncs);
    line("floor: q7 set -> notification", notify, "us");
    line("floor: agent call (set_device_info)", call, "us");
    line("floor: q7 record read (9 gets)", record, "us");
    line("floor: q7 walk, 256 records (2304 gets)", {walk.p50 / 1000, 0, walk.max / 1000}, "ms", true);
    line("rename -> agent receipt", rename, "us");
    line("burst of 256 renames -> all received", bursts, "ms", true);
    line("resync: emit started -> online list", resyncs, "ms", true);
    line("  of which emit -> router info", router, "ms", true);
    printf("per-entry floor: record read %.1f + agent call %.1f + pause %.0f = %.1f us\n", record.p50, call.p50,
           kPauseUs, entry_floor);
    goal_line("rename p50 (us)", rename.p50, rename_floor, 1.5);
    goal_line("burst p50 (ms)", bursts.p50, kDevices * entry_floor / 1000, 1.5);
    goal_line("resync p50 (ms)", resyncs.p50, walk.p50 / 1000, 1.3);
}

int usage(FILE *to, int status)
{
    fprintf(to,
            "usage: device_bench [--renames N] [--samples N] [--bursts N] [--resyncs N] [--log-level N]\n"
            "                    DAEMON LOG\n"
            "Starts DAEMON (TeSvcHdlr) on $Q7_SOCKET and $SA_AGENT_SOCKET with its output in LOG,\n"
            "measures renames, a burst of 256 renames and the resync at agent start against\n"
            "their floors, stops it with SIGUSR1. The Q7 tables are overwritten.\n"
            "  --renames N    single renames timed (default 500)\n"
            "  --samples N    round trips per floor (default 2000)\n"
            "  --bursts N     bursts of 256 renames (default 3)\n"
            "  --resyncs N    resyncs, and walks for their floor (default 10)\n"
            "  --log-level N  the daemon's TshLogLevel (default 5)\n");
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    signal(SIGPIPE, SIG_IGN);
    Lab lab;
    std::vector<std::string> pos;
    struct Flag {
        const char *name;
        int *value;
        int min;
    };
    const Flag flags[] = {{"--renames", &lab.opt.renames, 1},     {"--samples", &lab.opt.samples, 10},
                          {"--bursts", &lab.opt.bursts, 1},       {"--resyncs", &lab.opt.resyncs, 1},
                          {"--log-level", &lab.opt.log_level, 0}};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h")
            return usage(stdout, 0);
        const Flag *f = std::find_if(std::begin(flags), std::end(flags), [&](const Flag &x) { return a == x.name; });
        if (f == std::end(flags)) {
            pos.push_back(a);
            continue;
        }
        char *end = nullptr;
        const long v = i + 1 < argc ? strtol(argv[i + 1], &end, 10) : -1;
        if (i + 1 >= argc || *end != '\0' || v < f->min || v > 1000000) {
            fprintf(stderr, "device_bench: %s wants a number of at least %d\n", f->name, f->min);
            return usage(stderr, 2);
        }
        *f->value = static_cast<int>(v);
        ++i;
    }
    if (pos.size() != 2)
        return usage(stderr, 2);
    lab.opt.daemon = pos[0];
    lab.opt.log = pos[1];
    lab.agent_socket = saproto::socket_from_env();
    try {
        lab.q7 = open_q7();
        run(lab);
    } catch (const std::exception &e) {
        fprintf(stderr, "device_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
