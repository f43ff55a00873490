// daemon_harness.cpp - processes, Q7 fields and log waits of the daemon's
// end-to-end tests.
#include "daemon_harness.h"
#include "process_util.h"

#include <cjson/cJSON.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "wait_until.h"

extern char **environ;

namespace tshtest {

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream(path) << text;
}

bool path_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool in_order(const std::string &text, std::initializer_list<std::string> parts)
{
    size_t at = 0;
    for (const std::string &p : parts) {
        at = text.find(p, at);
        if (at == std::string::npos)
            return false;
        at += p.size();
    }
    return true;
}

int count_of(const std::string &text, const std::string &part)
{
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

namespace {

std::string normalise(std::string_view l)
{
    const size_t level = l.find("] <");
    const size_t text = level == std::string_view::npos ? level : l.find("> ", level);
    const size_t colon = text == std::string_view::npos ? text : l.find(':', text + 2);
    const size_t after = colon == std::string_view::npos ? colon : l.find(": ", colon + 1);
    // Logged lines begin with the date; the rest is kept whole.
    if (l.size() < 24 || l[4] != '-' || l[10] != ' ' || after == std::string_view::npos)
        return std::string(l);
    std::string out = std::string(l.substr(level + 2, text + 2 - level - 2)) +
                      std::string(l.substr(text + 2, colon - text - 2)) + std::string(l.substr(after));
    // Some texts carry their own source line: "Line:586" becomes "Line:N".
    for (size_t at = out.find("Line:"); at != std::string::npos; at = out.find("Line:", at + 1)) {
        size_t end = at + 5;
        while (end < out.size() && std::isdigit(static_cast<unsigned char>(out[end])))
            ++end;
        if (end > at + 5)
            out.replace(at + 5, end - at - 5, "N");
    }
    return out;
}

} // namespace

std::vector<std::string> log_lines(const std::string &text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(normalise(l));
    return out;
}

::testing::AssertionResult lines_in_order(const std::string &text, std::initializer_list<std::string> lines)
{
    const std::vector<std::string> log = log_lines(text);
    auto at = log.begin();
    for (const std::string &want : lines) {
        at = std::find(at, log.end(), want);
        if (at == log.end()) {
            auto r = ::testing::AssertionFailure() << "no line \"" << want << "\" in order in:\n";
            for (const std::string &l : log)
                r << "  " << l << "\n";
            return r;
        }
        ++at;
    }
    return ::testing::AssertionSuccess();
}

namespace {

// The emulator of a cross build (empty natively), then the program.
std::vector<std::string> program_argv(const std::string &path)
{
    std::vector<std::string> argv;
    std::istringstream launcher(agenttest::setting("SA_AGENT_LAUNCHER"));
    for (std::string w; launcher >> w;)
        argv.push_back(w);
    argv.push_back(path);
    return argv;
}

// The shared schema plus one field named after a device field with a
// suffix, so the dispatcher's prefix rule can be seen on a real table.
bool write_test_schema(const std::string &from, const std::string &to)
{
    using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;
    JsonPtr doc(cJSON_Parse(read_file(from).c_str()), cJSON_Delete);
    cJSON *fields = cJSON_GetObjectItemCaseSensitive(
        cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(doc.get(), "tables"), "Wexsignature"),
        "fields");
    if (!fields)
        return false;
    cJSON *f = cJSON_CreateObject();
    cJSON_AddStringToObject(f, "kind", "ascii");
    cJSON_AddNumberToObject(f, "width", 16);
    cJSON_AddStringToObject(f, "default", "");
    cJSON_AddItemToObject(fields, PREFIXED_FIELD, f);
    char *text = cJSON_PrintUnformatted(doc.get());
    if (!text)
        return false;
    write_file(to, text);
    cJSON_free(text);
    return true;
}

Lab *the_lab = nullptr;

} // namespace

Lab &Lab::get()
{
    return *the_lab;
}

bool Lab::start_q7()
{
    const std::string server = agenttest::setting("TSH_SOURCE_DIR") + "/host/q7/q7-server";
    return run_process({server, "start", "--dir", dir_->path(), "--schema", dir_->file("schema.json")}) == 0;
}

pid_t Lab::q7_pid() const
{
    return std::atoi(read_file(dir_->file("redis.pid")).c_str());
}

bool Lab::restart_q7()
{
    const pid_t pid = q7_pid();
    if (pid <= 0 || ::kill(pid, SIGKILL) != 0)
        return false;
    wait_until([&] { return ::kill(pid, 0) != 0; });
    return start_q7();
}

bool Lab::restart_agent()
{
    agent_->kill_hard();
    return agent_->start();
}

void Lab::SetUp()
{
    the_lab = this;
    dir_ = std::make_unique<TempDir>();
    const std::string schema = dir_->file("schema.json");
    ASSERT_TRUE(write_test_schema(agenttest::setting("TSH_SOURCE_DIR") + "/host/q7/schema.json", schema));
    ASSERT_TRUE(start_q7());
    setenv("Q7_SOCKET", dir_->file("q7.sock").c_str(), 1);
    agent_ = std::make_unique<agenttest::PrivateAgent>();
    ASSERT_TRUE(agent_->start());
    setenv("SA_AGENT_SOCKET", agent_->socket().c_str(), 1);
    // Retry delays of 2 s steps pass in 40 ms steps.
    setenv("TSH_TEST_RETRY_UNIT_MS", "20", 1);
    q7_ = q7_init();
    ASSERT_NE(q7_, nullptr);
}

void Lab::TearDown()
{
    if (q7_)
        q7_destroy(q7_);
    q7_ = nullptr;
    agent_.reset();
    if (dir_) {
        // Its data is thrown away: no need to wait for an orderly server stop.
        const pid_t server = std::atoi(read_file(dir_->file("redis.pid")).c_str());
        if (server <= 0 || ::kill(server, SIGKILL) != 0)
            run_process({agenttest::setting("TSH_SOURCE_DIR") + "/host/q7/q7-server", "stop", "--dir", dir_->path()});
    }
    dir_.reset();
}

std::string Lab::get(const char *table, const char *field, unsigned row)
{
    char buf[256] = "";
    if (q7_get_text(q7_, table, row, field, buf, sizeof buf) != Q7_OK)
        return "<unreadable>";
    return buf;
}

int Lab::set(const char *table, const char *field, const std::string &value, unsigned row)
{
    return q7_set_text(q7_, table, row, field, value.c_str());
}

const std::string &Lab::agent_socket() const
{
    return agent_->socket();
}

int Lab::agentctl(const std::vector<std::string> &args, std::string *out)
{
    return agenttest::agentctl(agent_->socket(), args, out);
}

int Lab::redis(const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"redis-cli", "-s", dir_->file("q7.sock")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv);
}

std::vector<std::string> Lab::journal(const std::string &call, bool accepted_only)
{
    std::string out;
    std::vector<std::string> args;
    if (agentctl({"journal"}, &out) != 0)
        return args;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        saproto::JsonPtr e(cJSON_Parse(line.c_str()));
        const cJSON *c = cJSON_GetObjectItemCaseSensitive(e.get(), "call");
        const cJSON *r = cJSON_GetObjectItemCaseSensitive(e.get(), "result");
        const cJSON *a = cJSON_GetObjectItemCaseSensitive(e.get(), "arg");
        if (!cJSON_IsString(c) || call != c->valuestring)
            continue;
        if (accepted_only && !(cJSON_IsNumber(r) && r->valueint == 0))
            continue;
        args.push_back(cJSON_IsString(a) ? a->valuestring : "");
    }
    return args;
}

int Lab::calls(const std::string &call)
{
    return static_cast<int>(journal(call, false).size());
}

saproto::JsonPtr Lab::agent_state()
{
    return agenttest::agent_state(agent_->socket());
}

void Lab::device(unsigned row, const std::string &mac, const std::string &uuid, const std::string &state)
{
    ASSERT_EQ(set("Wexsignature", "DeviceMAC", mac, row), Q7_OK) << row;
    ASSERT_EQ(set("DeviceIdList", "DeviceUUID", uuid, row), Q7_OK) << row;
    ASSERT_EQ(set("Wexsignature", "Devicestate", state, row), Q7_OK) << row;
    ASSERT_EQ(set("Wexsignature", "WEXSignatureUpdateStatus", "1", row), Q7_OK) << row;
}

void Lab::reset()
{
    for (const char *call : {"init", "subscribe", "subscribe:3", "subscribe:4", "subscribe:5", "set_router_info",
                             "set_device_info", "set_device_online_status", "remove_satellite", "enable", "disable",
                             "get_version_info", "get_status_report", "get_devices", "va_status"}) {
        ASSERT_EQ(agentctl({"fail", call, "off"}), 0) << call;
        ASSERT_EQ(agentctl({"hang", call, "0"}), 0) << call;
    }
    // What the agent hands out, back to a plain agent's.
    ASSERT_EQ(agentctl({"set", "version", R"({"version": "5.1.2.33", "build": "2024.06.1", "patch_level": 7})"}), 0);
    ASSERT_EQ(agentctl({"set", "status-report",
                        R"({"agent": {"version": {"release": "5.1.2", "patch": "33"}}, )"
                        R"("va": {"scheduled": {"enabled": true, "allowed": true}}})"}),
              0);
    ASSERT_EQ(agentctl({"set", "devices", "[]"}), 0);
    ASSERT_EQ(agentctl({"set", "va-running", "0"}), 0);
    ASSERT_EQ(agentctl({"journal", "--clear"}), 0);
    // Every table back to its defaults; the schema stays.
    ASSERT_EQ(redis({"EVAL", "for _, k in ipairs(redis.call('KEYS', 'q7:d:*')) do redis.call('DEL', k) end", "0"}), 0);
    struct Value {
        const char *table, *field, *value;
    };
    const Value values[] = {
        {"dalLogCfg", "TshLogLevel", "7"},
        {"dalLogCfg", "TshLogToConsole", "1"},
        {"dalLogCfg", "TshLogToFile", "0"},
        {"dalLogCfg", "TshLogFileName", ""},
        {"dalLogCfg", "TshConfigurationApply", "0"},
        {"TelvaCfg", "SAAliveState", "DOWN"},
        {"TelvaCfg", "SAService", "DOWN"},
        {"TelvaCfg", "action", "none"},
        {"TelvaRAEvent", "saBrokerInitStatusEvent", "false"},
        {"TelvaRAEvent", "saVAScanEvent", "false"},
        {"TelvaStatus", "protectionStatus", "false"},
    };
    for (const Value &v : values)
        ASSERT_EQ(set(v.table, v.field, v.value), Q7_OK) << v.table << "." << v.field;
}

Daemon::Daemon(std::vector<std::string> env, std::vector<std::string> args)
    : env_(std::move(env)), args_(std::move(args))
{
}

Daemon::~Daemon()
{
    if (running()) {
        signal(SIGUSR1);
        if (!wait_exit(5s)) {
            signal(SIGKILL);
            wait_exit(5s);
        }
    }
    const std::string e = err();
    for (const char *report : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                               "runtime error:"})
        EXPECT_EQ(e.find(report), std::string::npos) << "daemon " << pid_ << " stderr:\n" << e;
}

bool Daemon::start()
{
    std::vector<std::string> argv = program_argv(agenttest::setting("TSH_BIN_DIR") + "/TeSvcHdlr");
    argv.insert(argv.end(), args_.begin(), args_.end());
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string &mine : env_)
            replaced = replaced || mine.compare(0, name.size(), name) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), env_.begin(), env_.end());

    std::vector<char *> cargv, cenv;
    for (auto &a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto &e : env)
        cenv.push_back(e.data());
    cenv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (close_stdout_)
        posix_spawn_file_actions_addclose(&fa, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, dir_.file("stdout").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, dir_.file("stderr").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int rc = posix_spawnp(&pid_, cargv[0], &fa, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        pid_ = -1;
    return pid_ > 0;
}

bool Daemon::wait_err(const std::string &text, int times, std::chrono::milliseconds limit) const
{
    return wait_until([&] { return count_of(err(), text) >= times; }, limit);
}

bool Daemon::wait_out(const std::string &text, int times, std::chrono::milliseconds limit) const
{
    return wait_until([&] { return count_of(out(), text) >= times; }, limit);
}

bool Daemon::wait_ready(std::chrono::milliseconds limit) const
{
    // The router-information push of the last stage has given its result.
    return wait_until(
        [&] {
            const std::string e = err();
            const size_t at = e.find("Sending router info to SA cloud at router reboot");
            if (at == std::string::npos)
                return false;
            const std::string rest = e.substr(at);
            return rest.find("Exiting func : pushRouterInfo") != std::string::npos ||
                   rest.find("returning with code") != std::string::npos ||
                   rest.find("could not be built") != std::string::npos;
        },
        limit);
}

void Daemon::signal(int sig) const
{
    if (pid_ > 0)
        ::kill(pid_, sig);
}

bool Daemon::reap(int options)
{
    if (pid_ <= 0 || status_)
        return true;
    int st = 0;
    pid_t r = waitpid(pid_, &st, options);
    if (r != pid_)
        return false;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return true;
}

bool Daemon::running()
{
    return pid_ > 0 && !reap(WNOHANG);
}

std::optional<int> Daemon::wait_exit(std::chrono::milliseconds limit)
{
    if (!status_)
        wait_until([&] { return reap(WNOHANG); }, limit);
    return status_;
}

std::string text_of(const cJSON *j, const char *name)
{
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(j, name);
    return cJSON_IsString(m) ? m->valuestring : "<absent>";
}

int int_of(const cJSON *j, const char *name)
{
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(j, name);
    return cJSON_IsNumber(m) ? m->valueint : -99;
}

saproto::JsonPtr parse(const std::string &text)
{
    return saproto::JsonPtr(cJSON_Parse(text.c_str()));
}

void settle(Lab &lab, const Daemon &d)
{
    const std::string line = "[DAL_TSH] - Change notification on table: dalLogCfg for field: TshLogToFile";
    const int seen = count_of(d.err(), line);
    const std::string was = lab.get("dalLogCfg", "TshLogToFile");
    ASSERT_EQ(lab.set("dalLogCfg", "TshLogToFile", was == "1" ? "0" : "1"), Q7_OK);
    ASSERT_EQ(lab.set("dalLogCfg", "TshLogToFile", was), Q7_OK);
    ASSERT_TRUE(d.wait_err(line, seen + 2)) << d.err();
}

void expect_orderly_stop(Daemon &d, bool info_shown)
{
    d.signal(SIGUSR1);
    // The stop must not wait for a sleep, a retry or an agent call to end.
    EXPECT_EQ(d.wait_exit(2s), std::optional<int>(0)) << d.err();
    EXPECT_FALSE(path_exists(PID_FILE));
    if (info_shown)
        EXPECT_TRUE(in_order(d.err(), {"sig_usr1 handler.", "Bye Bye....."})) << d.err();
    else
        EXPECT_NE(d.err().find("Bye Bye....."), std::string::npos) << d.err();
}

void DaemonTest::SetUp()
{
    // A leftover of a killed run goes; a running daemon is not ours to remove.
    const pid_t owner = std::atoi(read_file(PID_FILE).c_str());
    ASSERT_FALSE(owner > 0 && ::kill(owner, 0) == 0) << "another TeSvcHdlr runs, pid " << owner;
    unlink(PID_FILE);
    ASSERT_NO_FATAL_FAILURE(lab.reset());
}

// gtest owns and runs it once per test process.
::testing::Environment *const lab_environment = ::testing::AddGlobalTestEnvironment(new Lab);

} // namespace tshtest
