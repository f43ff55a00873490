/*
 * soak.cpp - the soak run: the daemon for a long time against its own Q7
 * server and agent while random work and restarts go on around it. Run by
 * scripts/soak, which builds it and gives it a private /tmp; its --help
 * (soak_options.cpp) says what it does and what it checks.
 */
#include "agent_control.h"
#include "lab_processes.h"
#include "proc_stats.h"
#include "q7_seed.h"
#include "soak_check.h"
#include "soak_options.h"
#include "soak_report.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

namespace {

using namespace bench;
namespace fs = std::filesystem;

constexpr unsigned kDemoRows = 12;  // rows host/q7/demo.json fills
constexpr const char *kPidFile = "/tmp/TeSvcHdlr.pid";

std::atomic<bool> g_interrupted{false};
struct Interrupted {};

bool contains(const std::string &path, const std::string &what)
{
    return read_text(path).find(what) != std::string::npos;
}

// What the soak believes each row holds, to make every change a real one,
// and which of its settings it has changed (kName...).
struct Shadow {
    std::string name, block, state, category, uuid;
    unsigned changed = 0;
};

struct DeviceField;

class Soak {
  public:
    explicit Soak(const SoakOptions &o);
    ~Soak();
    int run();

  private:
    long long now() const { return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0_).count(); }
    void nap(long long ms);
    // Polls pred every 20 ms until it holds (true) or `ms` pass (false).
    template <class Pred> bool wait_for(long long ms, Pred pred);
    int rnd(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    // A mean interval of S seconds becomes a random gap of S/2 to 3S/2.
    int gap(int s) { return rnd(s * 500, s * 1500); }
    void bump(const std::string &key) { ++count_[key]; }
    void failed(const std::string &what);
    void say(const std::string &what) { printf("soak: %s\n", what.c_str()); fflush(stdout); }

    q7_handle *q7();
    bool q7_set(const char *table, unsigned row, const char *field, const std::string &value);
    std::string q7_get(const char *table, const char *field);
    bool came_up(bool up, long long &since, const std::string &failure);
    bool q7_start();
    void q7_stop();
    bool agent_start();
    bool seed();
    bool daemon_alive() { return daemon_ && daemon_->exited() < 0; }

    void change_device(unsigned row, const DeviceField &f);
    void protect(bool on);
    void usr2();
    void sample(const std::string &note);
    // Q7 and the agent as they are, into check/NAME.*, compared: every
    // setting, or only those the soak has changed.
    bool check(const std::string &name, bool changed_only);
    void random_phase();
    void final_round();
    std::string report();

    const SoakOptions o_;
    const Clock::time_point t0_ = Clock::now();
    const std::string agent_socket_, log_, out_, err_;
    std::mt19937 rng_;
    std::map<std::string, int> count_;
    std::vector<std::string> failures_;
    std::vector<Shadow> rows_;
    std::vector<Sample> samples_;
    std::map<std::string, Agreement> checks_;
    Q7Server q7_server_;
    Q7Ptr q7_;
    Agent agent_;
    std::optional<Daemon> daemon_;
    long long q7_since_ = 0, agent_since_ = 0, last_protect_ = 0;
    int serial_ = 0;
    std::string stop_result_;
};

Soak::Soak(const SoakOptions &o)
    : o_(o), agent_socket_(o.dir + "/agent/agent.sock"), log_(o.dir + "/soak.log"), out_(o.dir + "/tsh.out"),
      err_(o.dir + "/tsh.err"), rng_(static_cast<unsigned>(o.seed)), rows_(o.devices),
      q7_server_(o.top, o.dir + "/q7", log_),
      agent_(o.bin + "/sa-agentd", agent_socket_,
             {"--state", o.dir + "/agent/state.json", "--seed", o.top + "/host/agent/demo-seed.json", "--journal",
              o.dir + "/agent/journal.jsonl"},
             o.dir + "/agent/sa-agentd.log")
{
    setenv("Q7_SOCKET", q7_server_.socket().c_str(), 1);
    setenv("SA_AGENT_SOCKET", agent_socket_.c_str(), 1);
}

Soak::~Soak()
{
    if (daemon_alive())
        kill(daemon_->pid(), SIGKILL);
    daemon_.reset();
    q7_.reset();
}

void Soak::nap(long long ms)
{
    for (const long long end = now() + ms; now() < end;) {
        if (g_interrupted)
            throw Interrupted{};
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(20LL, end - now())));
    }
}

template <class Pred> bool Soak::wait_for(long long ms, Pred pred)
{
    for (const long long end = now() + ms; !pred(); nap(20))
        if (now() >= end)
            return false;
    return true;
}

void Soak::failed(const std::string &what)
{
    failures_.push_back(what);
    fprintf(stderr, "soak: FAIL: %s\n", what.c_str());
}

// A handle of its own for each run of the server, as a fresh client would
// have: none of the back-off a handle keeps after the server went away.
q7_handle *Soak::q7()
{
    if (!q7_ && q7_server_.up())
        q7_.reset(q7_init());
    return q7_.get();
}

bool Soak::q7_set(const char *table, unsigned row, const char *field, const std::string &value)
{
    return q7() && q7_set_text(q7(), table, row, field, value.c_str()) == Q7_OK;
}

// A field of a one-row table; empty when it cannot be read.
std::string Soak::q7_get(const char *table, const char *field)
{
    char text[256];
    return q7() && q7_get_text(q7(), table, 0, field, text, sizeof text) == Q7_OK ? text : "";
}

// Notes when a peer came up, or fails the run's check that it did.
bool Soak::came_up(bool up, long long &since, const std::string &failure)
{
    if (up)
        since = now();
    else
        failed(failure);
    return up;
}

bool Soak::q7_start()
{
    return came_up(q7_server_.start(), q7_since_, "Q7 server did not start (see " + o_.dir + "/q7/redis.log)");
}

void Soak::q7_stop()
{
    q7_.reset();
    q7_server_.stop();
}

bool Soak::agent_start()
{
    return came_up(agent_.start(), agent_since_, "agent did not come up (see " + o_.dir + "/agent/sa-agentd.log)");
}

// The demo's tables, then rows past its twelve: generated devices, all with
// a UUID and the signature-update flag, so that their changes reach the agent.
bool Soak::seed()
{
    if (run_child({o_.bin + "/q7ctl", "load", o_.top + "/host/q7/demo.json"}, {log_, "", true}) != 0) {
        failed("q7ctl load host/q7/demo.json failed");
        return false;
    }
    char mac[32], uuid[48], text[80];
    bool ok = true;
    for (unsigned row = 0; row < rows_.size(); ++row) {
        snprintf(mac, sizeof mac, "02:1A:11:00:01:%02X", row);
        snprintf(uuid, sizeof uuid, "50a4c000-0000-4000-8000-%012x", row);
        const std::string n = std::to_string(row);
        const std::tuple<const char *, const char *, std::string> generated[] = {
            {"Wexsignature", "DeviceMAC", mac}, {"Wexsignature", "DeviceIP", "192.168.2." + n},
            {"Wexsignature", "Devicestate", "UP"}, {"Wexsignature", "DeviceDHCPHostname", "soak-" + n},
            {"Wexsignature", "AllowOrBlock", "allow"}, {"Wexsignature", "DeviceCategory", "iot"},
            {"Wexsignature", "DeviceConnectionInterface", "wl0"}, {"DeviceIdList", "DeviceUUID", uuid},
            {"DeviceIdList", "DisplayNameCustom", "Soak device " + n}};
        for (const auto &[table, field, value] : generated)
            ok = ok && (row < kDemoRows || q7_set(table, row, field, value));
        ok = ok && q7_set("Wexsignature", row, "WEXSignatureUpdateStatus", "1");
    }
    if (!ok) {
        failed("the generated devices could not be written to Q7");
        return false;
    }
    try {
        seed_logging(q7(), o_.log_level);
    } catch (const std::exception &e) {
        failed(e.what());
        return false;
    }
    for (unsigned row = 0; row < rows_.size(); ++row) {
        Shadow &s = rows_[row];
        for (auto [table, field, value] : {std::tuple("DeviceIdList", "DisplayNameCustom", &s.name),
                                           {"Wexsignature", "AllowOrBlock", &s.block},
                                           {"Wexsignature", "Devicestate", &s.state},
                                           {"Wexsignature", "DeviceCategory", &s.category},
                                           {"DeviceIdList", "DeviceUUID", &s.uuid}})
            *value = q7_get_text(q7(), table, row, field, text, sizeof text) == Q7_OK ? text : "";
        if (s.uuid.empty()) {
            failed("row " + std::to_string(row) + " has no DeviceUUID after seeding");
            return false;
        }
    }
    return true;
}

const char *const kNames[] = {"Anna's phone", "Ben's laptop", "Wohnzimmer-Fernseher", "Büro Drucker",
                              "Kids' tablet", "Caméra porte", "Quote \"kitchen\" speaker", "mesh upstairs",
                              "A rather long device name that fills most of the field"};
const char *const kCategories[] = {"phone", "laptop", "tv", "tablet", "printer", "camera", "speaker", "iot", "satellite"};
// The fields the soak changes; the last round changes the first three.
struct DeviceField {
    const char *table, *name;
    std::string Shadow::*held;
    unsigned setting;  // what the agent hears of it; 0 for nothing
};
const DeviceField kFields[] = {{"DeviceIdList", "DisplayNameCustom", &Shadow::name, kName},
                               {"Wexsignature", "AllowOrBlock", &Shadow::block, kBlock},
                               {"Wexsignature", "Devicestate", &Shadow::state, kOnline},
                               {"Wexsignature", "DeviceCategory", &Shadow::category, 0}};

// One real change of the field, when Q7 is up.
void Soak::change_device(unsigned row, const DeviceField &f)
{
    if (!q7_server_.up()) {
        bump("skipped_q7_down");
        return;
    }
    Shadow &s = rows_[row];
    const std::string &held = s.*f.held, field = f.name;
    std::string value;
    if (field == "DisplayNameCustom")
        value = std::string(kNames[rnd(0, std::size(kNames) - 1)]) + " #" + std::to_string(++serial_);
    else if (field == "AllowOrBlock")
        value = held == "block" ? "allow" : "block";
    else if (field == "Devicestate")
        value = held == "DOWN" ? "UP" : "DOWN";
    else
        do
            value = kCategories[rnd(0, std::size(kCategories) - 1)];
        while (value == held);
    if (!q7_set(f.table, row, f.name, value)) {
        bump("set_failed");
        return;
    }
    bump(field);
    s.*f.held = value;
    s.changed |= f.setting;
}

void Soak::protect(bool on)
{
    if (!q7_server_.up()) {
        bump("skipped_q7_down");
        return;
    }
    if (q7_set("TelvaCfg", 0, "action", on ? "do_protection_on" : "do_protection_off"))
        bump(on ? "protection_on" : "protection_off");
    else
        bump("set_failed");
    last_protect_ = now();
}

// SIGUSR2: one more stdout line, naming Q7's protection state (empty while
// Q7 is down, as the read fails).
void Soak::usr2()
{
    const auto lines = [&] { const std::string t = read_text(out_); return std::count(t.begin(), t.end(), '\n'); };
    const auto before = lines();
    const std::string a = q7_get("TelvaStatus", "protectionStatus");
    kill(daemon_->pid(), SIGUSR2);
    if (!wait_for(3000, [&] { return lines() > before; })) {
        bump("usr2_bad");
        failed("SIGUSR2 printed no line within 3 s");
        return;
    }
    std::string text = read_text(out_);
    text.pop_back();
    const std::string line = text.substr(text.rfind('\n') + 1);
    const std::string b = q7_get("TelvaStatus", "protectionStatus");
    if (line == "protectionStatus :" + a || line == "protectionStatus :" + b) {
        bump("usr2_ok");
    } else {
        bump("usr2_bad");
        failed("SIGUSR2 line '" + line + "', Q7 protectionStatus '" + a + "'/'" + b + "'");
    }
}

void Soak::sample(const std::string &note)
{
    Sample s;
    s.t_s = now() / 1000, s.agent = agent_.up(), s.q7 = q7_server_.up(), s.note = note;
    if (daemon_alive()) {
        if (const auto size = process_size(daemon_->pid())) {
            s.alive = 1;
            s.rss = size->rss_kib, s.fds = size->fds, s.threads = size->threads;
        }
    }
    // Steady: both peers up for 5 s, so the daemon's connections are back.
    s.steady = s.agent && s.q7 && now() - agent_since_ >= 5000 && now() - q7_since_ >= 5000;
    for (const DeviceField &f : kFields)
        s.changes += count_[f.name];
    samples_.push_back(s);
    std::ofstream(o_.dir + "/samples.tsv", std::ios::app) << sample_line(s) << '\n';
}

bool Soak::check(const std::string &name, bool changed_only)
{
    const std::string p = o_.dir + "/check/" + name;
    auto view = q7() ? read_q7_view(q7(), o_.devices) : std::nullopt;
    const saproto::JsonPtr agent = agent_state(agent_socket_);
    if (!view || !agent)
        return false;
    for (unsigned row = 0; changed_only && row < rows_.size(); ++row)
        view->rows[row].compared = rows_[row].changed;
    std::ofstream(p + ".q7") << view_text(*view);
    std::ofstream(p + ".agent") << saproto::print(agent.get()) << '\n';
    const Agreement &a = checks_[name] = compare(*view, agent.get());
    std::ofstream result(p + ".result");
    for (const std::string &m : a.mismatches)
        result << "mismatch: " << m << '\n';
    result << a.summary() << '\n';
    return a.agrees();
}

void Soak::random_phase()
{
    const long long end = now() + o_.run_ms, step = 1000 / o_.rate, mid = end / 2;
    long long next_change = now(), next_protect = now() + rnd(5000, 20000), next_usr2 = now() + rnd(15000, 60000);
    long long next_sample = now() + rnd(10000, 30000), next_agent = now() + gap(o_.agent_every);
    long long next_q7 = now() + gap(o_.q7_every);
    bool mid_done = false;
    // When `next` is due, a peer that is up goes down for 0.5 to 5 s and one
    // that is down comes back for a gap around its mean; false when it
    // does not come back.
    const auto cycle = [&](long long &next, bool up, auto down, const char *counted, auto start, int every) {
        if (now() < next)
            return true;
        if (up) {
            down();
            bump(counted);
            next = now() + rnd(500, 5000);
            return true;
        }
        if (!start())
            return false;
        next = now() + gap(every);
        return true;
    };
    while (now() < end) {
        if (!daemon_alive()) {
            const long long at = now() / 1000;
            sample("died");
            failed("the daemon died at " + std::to_string(at) + " s (status " + std::to_string(daemon_->exited()) +
                   "; see " + err_ + ")");
            return;
        }
        if (now() >= next_change) {
            change_device(rnd(0, o_.devices - 1), kFields[rnd(0, 3)]);
            next_change += step;
            if (next_change <= now())
                next_change = now() + step;  // no burst to catch up
        }
        if (now() >= next_protect) {
            protect(rnd(0, 1) == 1);
            next_protect = now() + rnd(5000, 20000);
        }
        if (!cycle(next_agent, agent_.up(), [&] { agent_.kill_hard(); }, "agent_kill", [&] { return agent_start(); },
                   o_.agent_every) ||
            !cycle(next_q7, q7_server_.up(), [&] { q7_stop(); }, "q7_restart", [&] { return q7_start(); }, o_.q7_every))
            return;
        if (now() >= next_usr2) {
            // Not while a switch may be in flight or the daemon's Q7 handle
            // may be reconnecting: the line would race the state it reports.
            if (now() - last_protect_ >= 1500 && (!q7_server_.up() || now() - q7_since_ >= 3000)) {
                usr2();
                next_usr2 = now() + rnd(15000, 60000);
            } else {
                next_usr2 = now() + 500;
            }
        }
        if (now() >= next_sample) {
            const bool at_mid = !mid_done && now() >= mid;
            mid_done = mid_done || at_mid;
            sample(at_mid ? "mid" : "");
            next_sample = now() + rnd(10000, 30000);
        }
        const long long wake = std::min({next_change, next_protect, next_agent, next_q7, next_usr2, next_sample, end});
        nap(std::min(wake - now(), 200LL));
    }
}

// Nothing is lost across restarts: once both peers are back and the daemon
// has caught up with them, Q7 and the agent agree before the last round too.
void Soak::final_round()
{
    if (!q7_server_.up())
        q7_start();
    if (!agent_.up())
        agent_start();
    if (!wait_for(20000, [&] { return check("drift", true); }))
        failed("Q7 and the agent still disagree 20 s after the random phase");
    say("before the last round: " + (checks_.count("drift") ? checks_["drift"].summary() : "not measured"));

    // The daemon is back on both links once a name change reaches the agent.
    bool probed = false;
    for (int attempt = 1; attempt <= 10 && !probed; ++attempt) {
        const std::string name = "Soak probe " + std::to_string(attempt);
        if (!q7_set("DeviceIdList", 0, "DisplayNameCustom", name)) {
            nap(1000);
            continue;
        }
        probed = wait_for(2000, [&] {
            const saproto::JsonPtr state = agent_state(agent_socket_);
            const cJSON *info = cJSON_GetObjectItemCaseSensitive(state.get(), "device_info");
            const char *shown = saproto::get_string(cJSON_GetObjectItemCaseSensitive(info, rows_[0].uuid.c_str()),
                                                    "display_name");
            return shown && name == shown;
        });
    }
    if (!probed)
        failed("no name change reached the agent within 10 tries after the last restart");

    // Every device once per field; a device's next change comes devices*step
    // ms later, so its previous entry has left the daemon's queue.
    for (const DeviceField &f : {kFields[0], kFields[1], kFields[2]})
        for (unsigned row = 0; row < rows_.size(); ++row) {
            change_device(row, f);
            bump("last_round");
            nap(1000 / o_.rate);
        }
    protect(q7_get("TelvaStatus", "protectionStatus") != "true");
    bump("last_round");
    say("last round made; quiet for " + std::to_string(o_.quiet) + " s");
    nap(o_.quiet * 1000LL);
    if (!check("final", false))
        failed("Q7 and the agent disagree after the last round");
    sample("end");

    // Orderly stop.
    const long long asked = now();
    const int status = daemon_->stop(std::chrono::milliseconds(2000));
    if (status >= 0) {
        if (status != 0)
            failed("the daemon exited with status " + std::to_string(status) + " after SIGUSR1");
        stop_result_ = "status " + std::to_string(status) + " after " + std::to_string(now() - asked) + " ms";
    } else {
        failed("the daemon still ran 2 s after SIGUSR1");
        stop_result_ = "killed: still running 2 s after SIGUSR1";
    }
    if (access(kPidFile, F_OK) == 0)
        failed(std::string("the pid file ") + kPidFile + " is still there after the stop");
    if (!contains(err_, "Bye Bye....."))
        failed("no 'Bye Bye.....' in the daemon's log");
}

std::string Soak::report()
{
    const Growth growth = check_growth(samples_, o_.run_ms, o_.rss_bound);
    for (const std::string &f : growth.failures)
        failed(f);
    char date[64];
    const time_t t = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&t));
    std::string r = "== soak report ==\ncommand: scripts/soak " + o_.args + "\ndate: " + date + "; machine: " +
                    machine_text() + "\nbinaries: " + o_.bin + "; seed " + std::to_string(o_.seed) + "; devices " +
                    std::to_string(o_.devices) + "; rate " + std::to_string(o_.rate) + "/s; isolation " +
                    o_.isolation + "\n\nsamples (t in s, rss in KiB; steady: agent and Q7 up for 5 s):\n" +
                    samples_table(samples_) + "\nactions:\n";
    for (const char *k : {"DisplayNameCustom", "AllowOrBlock", "Devicestate", "DeviceCategory", "protection_on",
                          "protection_off", "agent_kill", "q7_restart", "usr2_ok", "usr2_bad", "last_round",
                          "skipped_q7_down", "set_failed"}) {
        char line[64];
        snprintf(line, sizeof line, "  %-18s %d\n", k, count_[k]);
        r += line;
    }
    r += "\n" + growth_text(growth, o_.rss_bound) + "\n";
    for (const auto &[name, title, missing] : {std::tuple("drift", "before the last round", "not measured"),
                                               {"final", "final check", "no check result"}}) {
        const auto c = checks_.find(name);
        r += std::string(title) + ": " + (c != checks_.end() ? c->second.summary() : missing) + "\n";
        for (const std::string &m : c != checks_.end() ? c->second.mismatches : std::vector<std::string>{})
            r += "  mismatch: " + m + "\n";
    }
    r += "stop: " + stop_result_ + "\n";
    r += failures_.empty() ? "result: PASS\n" : "result: FAIL (" + std::to_string(failures_.size()) + ")\n";
    for (const std::string &f : failures_)
        r += "  " + f + "\n";
    return r;
}

int Soak::run()
{
    for (const fs::directory_entry &e : fs::directory_iterator(o_.dir))
        fs::remove_all(e.path());
    std::ofstream(o_.dir + "/.soak");
    for (const char *d : {"q7", "agent", "check"})
        fs::create_directory(o_.dir + "/" + d);
    std::ofstream(o_.dir + "/samples.tsv") << kSampleHeader << '\n';

    say("dir " + o_.dir + ", seed " + std::to_string(o_.seed) + ", isolation " + o_.isolation + ", binaries " + o_.bin);
    if (!q7_start() || !seed() || !agent_start())
        return 1;
    daemon_.emplace(o_.bin + "/TeSvcHdlr", ChildOutput{out_, err_});
    try {
        JournalFollower journal;
        std::string why;
        if (!journal.start(agent_socket_, why))
            fail(why);
        wait_ready(journal, *daemon_, err_);
    } catch (const std::runtime_error &e) {
        failed(e.what());
        return 1;
    }
    say("daemon pid " + std::to_string(daemon_->pid()) + " up; random phase of " + o_.minutes + " min");
    sample("start");

    random_phase();
    if (daemon_alive()) {
        final_round();
    } else {
        checks_.erase("final");
        stop_result_ = "not stopped: the daemon died";
    }
    for (const char *found : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                              "runtime error:"})
        if (contains(err_, found))
            failed(std::string("the daemon's stderr holds '") + found + "'");

    const std::string text = report();
    fputs(text.c_str(), stdout);
    std::ofstream(o_.dir + "/report.txt") << text;
    return failures_.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    const SoakOptions o = read_soak_options(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa {};
    sa.sa_handler = [](int) { g_interrupted = true; };
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    try {
        Soak soak(o);
        return soak.run();
    } catch (const Interrupted &) {
        return 130;
    } catch (const std::exception &e) {
        fprintf(stderr, "soak: %s\n", e.what());
        return 1;
    }
}