// bench_lab.cpp - the benchmarks' shared lab: seeding, the daemon child,
// probes, agent control requests, the /proc readings and the command line.
#include "bench_lab.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace bench {

using namespace std::chrono_literals;

void line(const char *what, Summary s, const char *unit, bool few)
{
    printf("%-40s p50 %8.1f %s  %s %8.1f %s\n", what, s.p50, unit, few ? "max" : "p99", few ? s.max : s.p99, unit);
}

void limit_line(const char *what, double measured, double limit, const char *unit)
{
    printf("%-40s %8.1f %s (goal under %.0f %s: %s)\n", what, measured, unit, limit, unit,
           measured < limit ? "met" : "missed");
}

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

std::string row_mac(unsigned row)
{
    char text[32];
    snprintf(text, sizeof text, "02:1A:11:00:%02X:%02X", (row >> 8) & 0xff, row & 0xff);
    return text;
}

void seed_logging(q7_handle *q7, int log_level)
{
    set(q7, "dalLogCfg", 0, "TshLogToConsole", "1");
    set(q7, "dalLogCfg", 0, "TshLogToFile", "0");
    set(q7, "dalLogCfg", 0, "TshLogLevel", std::to_string(log_level));
}

void seed_devices(q7_handle *q7)
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
    char text[64];
    for (unsigned r = 0; r < kDevices; ++r) {
        set(q7, "Wexsignature", r, "DeviceMAC", row_mac(r));
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

double walk_ms(q7_handle *q7)
{
    const auto t0 = Clock::now();
    for (unsigned row = 0; row < kDevices; ++row)
        read_record(q7, row);
    return us_between(t0, Clock::now()) / 1000;
}

Daemon::Daemon(const std::string &path, const std::string &log, const std::string &launcher,
               const std::vector<std::string> &env)
    : log_(log)
{
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char *> argv;
    if (!launcher.empty())
        argv.push_back(const_cast<char *>(launcher.c_str()));
    argv.push_back(const_cast<char *>(path.c_str()));
    argv.push_back(nullptr);
    // The overrides first: the first entry of a name is the one a program reads.
    std::vector<char *> envp;
    for (const std::string &e : env)
        envp.push_back(const_cast<char *>(e.c_str()));
    for (char **e = environ; *e; ++e)
        envp.push_back(*e);
    envp.push_back(nullptr);
    const int rc = posix_spawnp(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        fail("cannot start the daemon " + std::string(argv[0]) + ": " + strerror(rc));
}

Daemon::~Daemon()
{
    const pid_t pid = pid_;
    if (pid > 0 && stop() < 0)
        fprintf(stderr, "bench: daemon %d killed, it did not stop on SIGUSR1\n", static_cast<int>(pid));
}

int Daemon::exited()
{
    int st = 0;
    if (pid_ > 0 && waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    return pid_ > 0 ? -1 : status_;
}

int Daemon::stop()
{
    if (pid_ <= 0)
        return status_;
    kill(pid_, SIGUSR1);
    // A fine poll: the stop itself is one of the figures.
    for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(100us))
        if (exited() >= 0)
            return status_;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
}

void Daemon::stop_in_order()
{
    const int status = stop();
    if (status != 0)
        fail("the daemon did not stop in order (status " + std::to_string(status) + "); see " + log_);
}

Probes::Probes(const std::vector<std::string> &commands, pid_t daemon)
{
    for (const std::string &c : commands) {
        std::vector<std::string> words;
        std::istringstream in(c);
        for (std::string w; in >> w;)
            words.push_back(w == "{pid}" ? std::to_string(daemon) : w);
        std::vector<char *> argv;
        for (std::string &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (argv.size() < 2 || posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            fail("cannot start the probe '" + c + "'");
        pids_.push_back(pid);
    }
    if (!pids_.empty())
        std::this_thread::sleep_for(500ms);
}

Probes::~Probes()
{
    for (pid_t pid : pids_)
        kill(pid, SIGINT);
    for (pid_t pid : pids_)
        waitpid(pid, nullptr, 0);
}

Receipt await(JournalFollower &journal, size_t &next, const std::function<bool(const Receipt &)> &pred,
              const std::string &what, std::chrono::milliseconds limit)
{
    auto r = journal.wait(next, pred, limit);
    if (!r)
        fail("the agent got no " + what + " within " + std::to_string(limit.count()) + " ms");
    return *r;
}

std::function<bool(const Receipt &)> is_call(const char *call)
{
    return [call](const Receipt &r) { return r.call == call; };
}

Receipt wait_ready(JournalFollower &journal, Daemon &daemon, const std::string &log)
{
    size_t next = journal.count();
    const auto end = Clock::now() + 30s;
    for (;;) {
        if (auto r = journal.wait(next, is_call("set_router_info"), 50ms))
            return *r;
        if (const int st = daemon.exited(); st >= 0)
            fail("the daemon ended with status " + std::to_string(st) + " before it was ready; see " + log);
        if (Clock::now() > end)
            fail("the daemon pushed no router info within 30 s of its start; see " + log);
    }
}

saproto::JsonPtr control_request(const char *call, const char *what, const std::string *value)
{
    saproto::JsonPtr req(cJSON_CreateObject());
    cJSON_AddNumberToObject(req.get(), "id", 1);
    cJSON_AddStringToObject(req.get(), "call", call);
    cJSON_AddStringToObject(req.get(), "what", what);
    if (value)
        cJSON_AddStringToObject(req.get(), "value", value->c_str());
    return req;
}

void agent_control(const std::string &socket, const cJSON *request)
{
    std::string err;
    saproto::JsonPtr req(cJSON_Duplicate(request, 1));
    saproto::JsonPtr reply = saproto::round_trip(socket, req.get(), 5000, err);
    if (!reply || saproto::get_int(reply.get(), "result").value_or(1) != 0) {
        const char *call = saproto::get_string(request, "call");
        fail(std::string("the agent refused ") + (call ? call : "a request") + ": " +
             (err.empty() ? saproto::print(reply.get()) : err));
    }
}

std::optional<std::pair<std::string, long long>> parse_stat(std::string_view line)
{
    // "tid (comm) state ppid ...": comm may hold blanks and parentheses, so
    // it ends at the last ')'. utime and stime are fields 14 and 15.
    const size_t open = line.find('('), close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    std::istringstream rest{std::string(line.substr(close + 1))};
    std::string field;
    long long utime = -1, stime = -1;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14 || i == 15) {
            char *end = nullptr;
            const long long v = strtoll(field.c_str(), &end, 10);
            if (*end != '\0' || v < 0)
                return std::nullopt;
            (i == 14 ? utime : stime) = v;
        }
    }
    if (utime < 0 || stime < 0)
        return std::nullopt;
    return std::make_pair(std::string(line.substr(open + 1, close - open - 1)), utime + stime);
}

std::optional<long long> status_value(std::string_view text, std::string_view key)
{
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(at, end - at);
        if (line.size() > key.size() && line.substr(0, key.size()) == key && line[key.size()] == ':') {
            const std::string value(line.substr(key.size() + 1));
            char *stop = nullptr;
            const long long v = strtoll(value.c_str(), &stop, 10);
            if (stop != value.c_str())
                return v;
            return std::nullopt;
        }
        at = end + 1;
    }
    return std::nullopt;
}

std::string read_text(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<ThreadStat> thread_stats(pid_t pid)
{
    std::vector<ThreadStat> out;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir.c_str()), closedir);
    if (!d)
        fail("cannot read " + dir + ": " + strerror(errno));
    while (const dirent *e = readdir(d.get())) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        const std::string task = dir + "/" + e->d_name;
        const auto stat = parse_stat(read_text(task + "/stat"));
        const std::string status = read_text(task + "/status");
        if (!stat)
            continue;  // ended while we looked
        ThreadStat t;
        t.tid = atoi(e->d_name);
        t.comm = stat->first;
        t.cpu_ticks = stat->second;
        t.switches = status_value(status, "voluntary_ctxt_switches").value_or(0) +
                     status_value(status, "nonvoluntary_ctxt_switches").value_or(0);
        out.push_back(t);
    }
    // Thread ids grow with creation (short of a wrap of the pid space).
    std::sort(out.begin(), out.end(), [](const ThreadStat &a, const ThreadStat &b) { return a.tid < b.tid; });
    for (size_t i = 0; i < out.size(); ++i)
        out[i].rank = static_cast<int>(i) + 1;
    return out;
}

std::vector<ThreadStat> thread_deltas(const std::vector<ThreadStat> &before, const std::vector<ThreadStat> &after)
{
    std::vector<ThreadStat> out;
    for (const ThreadStat &a : after) {
        ThreadStat d = a;
        const auto b = std::find_if(before.begin(), before.end(), [&](const ThreadStat &x) { return x.tid == a.tid; });
        if (b != before.end()) {
            d.cpu_ticks -= b->cpu_ticks;
            d.switches -= b->switches;
        }
        out.push_back(d);
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const ThreadStat &a, const ThreadStat &b) { return a.cpu_ticks > b.cpu_ticks; });
    return out;
}

double ms_per_tick()
{
    return 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void print_threads(const std::vector<ThreadStat> &delta, double tick_ms)
{
    for (const ThreadStat &t : delta)
        printf("  thread #%-2d tid %-7d %-16s cpu %6.0f ms  switches %7lld\n", t.rank, t.tid, t.comm.c_str(),
               static_cast<double>(t.cpu_ticks) * tick_ms, t.switches);
}

std::map<std::string, Resident> smaps_groups(std::string_view smaps, std::string_view exe)
{
    std::map<std::string, Resident> out;
    Resident *current = nullptr;
    unsigned long long exe_end = 0;  // end of the executable's last mapping seen
    std::istringstream in{std::string(smaps)};
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first.empty())
            continue;
        if (first.back() == ':') {
            long long kb = 0;
            if (!current || !(words >> kb))
                continue;
            if (first == "Rss:")
                current->rss += kb;
            else if (first == "Private_Clean:" || first == "Private_Dirty:")
                current->private_kb += kb;
            continue;
        }
        // A mapping: "start-end perms offset dev inode [path]".
        const size_t dash = first.find('-');
        if (dash == std::string::npos)
            continue;
        const unsigned long long start = strtoull(first.c_str(), nullptr, 16);
        const unsigned long long end = strtoull(first.c_str() + dash + 1, nullptr, 16);
        std::string perms, offset, dev, inode, path;
        words >> perms >> offset >> dev >> inode;
        std::getline(words >> std::ws, path);
        std::string group = path;
        const size_t slash = path.rfind('/');
        const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        if (!exe.empty() && base == exe) {
            exe_end = end;
        } else if (path.empty()) {
            group = start == exe_end ? std::string(exe) + " bss" : "[anon]";
        }
        if (!path.empty() && path[0] == '/')
            group = base;
        current = &out[group];
    }
    return out;
}

int parse_args(int argc, char **argv, const char *prog, const std::vector<IntFlag> &ints,
               const std::vector<TextFlag> &texts, std::vector<std::string> &pos,
               const std::function<int(FILE *, int)> &usage)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h")
            return usage(stdout, 0);
        const auto i_flag = std::find_if(ints.begin(), ints.end(), [&](const IntFlag &f) { return a == f.name; });
        const auto t_flag = std::find_if(texts.begin(), texts.end(), [&](const TextFlag &f) { return a == f.name; });
        if (i_flag == ints.end() && t_flag == texts.end()) {
            pos.push_back(a);
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "%s: %s wants a value\n", prog, a.c_str());
            return usage(stderr, 2);
        }
        const char *value = argv[++i];
        if (t_flag != texts.end()) {
            if (t_flag->one)
                *t_flag->one = value;
            if (t_flag->many)
                t_flag->many->push_back(value);
            continue;
        }
        char *end = nullptr;
        const long v = strtol(value, &end, 10);
        if (*value == '\0' || *end != '\0' || v < i_flag->min || v > 1000000) {
            fprintf(stderr, "%s: %s wants a number of at least %d\n", prog, i_flag->name, i_flag->min);
            return usage(stderr, 2);
        }
        *i_flag->value = static_cast<int>(v);
    }
    return -1;
}

int bench_main(int argc, char **argv, const char *prog, std::vector<IntFlag> ints, std::vector<TextFlag> texts,
               const Help &help, CommonOptions &o, LabBase &lab, const std::function<void()> &run)
{
    const auto usage = [&](FILE *to, int status) {
        fputs(help.text, to);
        fprintf(to,
                "  --log-level N     the daemon's TshLogLevel (default 5)\n"
                "  --launcher PROG   runs DAEMON through PROG (an emulator such as qemu-arm)\n"
                "  --probe COMMAND   runs COMMAND (words split at blanks, {pid} the daemon's pid)\n"
                "                    while %s run, then ends it with SIGINT; repeatable\n",
                help.measured);
        return status;
    };
    signal(SIGPIPE, SIG_IGN);
    ints.push_back({"--log-level", &o.log_level, 0});
    texts.push_back({"--launcher", &o.launcher});
    texts.push_back({"--probe", nullptr, &o.probes});
    std::vector<std::string> pos;
    const int st = parse_args(argc, argv, prog, ints, texts, pos, usage);
    if (st >= 0)
        return st;
    if (pos.size() != 2)
        return usage(stderr, 2);
    o.daemon = pos[0];
    o.log = pos[1];
    lab.agent_socket = saproto::socket_from_env();
    try {
        lab.q7 = open_q7();
        run();
        return 0;
    } catch (const std::exception &e) {
        fprintf(stderr, "%s: %s\n", prog, e.what());
        return 1;
    }
}

}  // namespace bench
