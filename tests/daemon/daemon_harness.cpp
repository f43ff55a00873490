// daemon_harness.cpp - the lab, the daemon's process and its log lines.
#include "daemon_harness.h"
#include "process_util.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <sstream>

#include "wait_until.h"

namespace tshtest {

bool in_order(const std::string &text, const std::vector<std::string> &parts)
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

std::vector<std::string> log_lines(const std::string &text)
{
    // Date, time, program[pid], <level>, module:line: text; after a text
    // written without a line end, the log line is a line of its own.
    static const std::regex logged(R"(\d{4}-\d\d-\d\d [\d:.]+ \S+\[\d+\] (<\w+> )([^:\s]+):\d+(: .*)$)");
    static const std::regex line_no("(Line ?: ?)\\d+");
    std::vector<std::string> out;
    std::istringstream in(text);
    std::smatch m;
    for (std::string l; std::getline(in, l);) {
        if (!std::regex_search(l, m, logged)) {
            out.push_back(l);
            continue;
        }
        if (m.position(0) > 0)
            out.push_back(m.prefix());
        out.push_back(std::regex_replace(m.str(1) + m.str(2) + m.str(3), line_no, "$1N"));
    }
    return out;
}

::testing::AssertionResult no_failures(const std::string &text, const std::vector<std::string> &expected)
{
    auto r = ::testing::AssertionSuccess();
    for (const std::string &l : log_lines(text)) {
        const bool failure = l.find("Fail") != std::string::npos || l.find("fail") != std::string::npos ||
                             l.find("Can not") != std::string::npos || l.find("Error: ") != std::string::npos;
        if (failure && std::none_of(expected.begin(), expected.end(),
                                    [&](const std::string &e) { return l.find(e) != std::string::npos; }))
            r = ::testing::AssertionFailure() << "failure line: " << l;
    }
    return r;
}

namespace {

// Success, or a failure that shows the lines wanted and the log.
::testing::AssertionResult verdict(bool ok, const std::vector<std::string> &lines, const std::vector<std::string> &log)
{
    if (ok)
        return ::testing::AssertionSuccess();
    auto r = ::testing::AssertionFailure() << "not so in the log:\n";
    for (const std::string &l : lines)
        r << "  want: " << l << "\n";
    for (const std::string &l : log)
        r << "  " << l << "\n";
    return r;
}

} // namespace

::testing::AssertionResult lines_in_order(const std::string &text, const std::vector<std::string> &lines)
{
    const std::vector<std::string> log = log_lines(text);
    auto at = log.begin();
    for (const std::string &want : lines) {
        at = std::find(at, log.end(), want);
        if (at == log.end())
            return verdict(false, lines, log);
        ++at;
    }
    return verdict(true, lines, log);
}

::testing::AssertionResult lines_together(const std::string &text, const std::vector<std::string> &lines, bool at_end)
{
    const std::vector<std::string> log = log_lines(text);
    return verdict(at_end ? log.size() >= lines.size() && std::equal(lines.begin(), lines.end(), log.end() - lines.size())
                          : std::search(log.begin(), log.end(), lines.begin(), lines.end()) != log.end(),
                   lines, log);
}

void Lab::SetUp()
{
    the_lab_ = this;
    dir_ = std::make_unique<TempDir>();
    // The shared schema plus a field named after a device field with a
    // suffix, so the dispatcher's prefix rule can be seen on a real table.
    const std::string q7 = agenttest::setting("TSH_SOURCE_DIR") + "/host/q7/";
    std::string schema = read_file(q7 + "schema.json");
    const size_t fields = schema.find("\"fields\": {", schema.find("\"Wexsignature\""));
    ASSERT_NE(fields, std::string::npos);
    schema.insert(fields + 11, "\"" + std::string(PREFIXED_FIELD) + R"(": {"kind": "ascii", "width": 16, "default": ""},)");
    write_file(dir_->file("schema.json"), schema);
    ASSERT_EQ(run_process({q7 + "q7-server", "start", "--dir", dir_->path(), "--schema", dir_->file("schema.json")}), 0);
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
    // Its data is thrown away: no need to wait for an orderly server stop.
    if (dir_ && q7_pid() > 0)
        ::kill(q7_pid(), SIGKILL);
    dir_.reset();
}

std::string Lab::get(const char *table, const char *field, unsigned row)
{
    char buf[256] = "";
    return q7_get_text(q7_, table, row, field, buf, sizeof buf) == Q7_OK ? buf : "<unreadable>";
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
        const cJSON *a = cJSON_GetObjectItemCaseSensitive(e.get(), "arg");
        if (text_of(e.get(), "call") == call && (!accepted_only || int_of(e.get(), "result") == 0))
            args.push_back(cJSON_IsString(a) ? a->valuestring : "");
    }
    return args;
}

bool Lab::agent_holds_a_call()
{
    saproto::JsonPtr s = agent_state();
    return int_of(cJSON_GetObjectItemCaseSensitive(s.get(), "runtime"), "held") > 0;
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
    agent_->kill_hard();
    ASSERT_TRUE(agent_->start());
    // Every table back to its defaults; the schema stays.
    ASSERT_EQ(redis({"EVAL", "for _, k in ipairs(redis.call('KEYS', 'q7:d:*')) do redis.call('DEL', k) end", "0"}), 0);
    // Console logging of everything, to be read.
    ASSERT_EQ(set("dalLogCfg", "TshLogLevel", "7"), Q7_OK);
    ASSERT_EQ(set("dalLogCfg", "TshLogToConsole", "1"), Q7_OK);
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
    // The shell execs env, env execs the daemon: one process, the daemon's pid.
    const std::string out = close_stdout_ ? " >&-" : " >" + dir_.file("stdout");
    std::vector<std::string> argv = {"sh", "-c", "exec \"$@\" </dev/null 2>" + dir_.file("stderr") + out, "sh", "env"};
    argv.insert(argv.end(), env_.begin(), env_.end());
    // The emulator of a cross build (empty natively), then the program.
    std::istringstream launcher(agenttest::setting("SA_AGENT_LAUNCHER"));
    for (std::string w; launcher >> w;)
        argv.push_back(w);
    argv.push_back(agenttest::setting("TSH_BIN_DIR") + "/TeSvcHdlr");
    argv.insert(argv.end(), args_.begin(), args_.end());
    pid_ = spawn_process(argv);
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
            return at != std::string::npos && (e.find("Exiting func : pushRouterInfo", at) != std::string::npos ||
                                               e.find("returning with code", at) != std::string::npos ||
                                               e.find("could not be built", at) != std::string::npos);
        },
        limit);
}

bool Daemon::reap(int options)
{
    if (pid_ <= 0 || status_)
        return true;
    int st = 0;
    if (waitpid(pid_, &st, options) != pid_)
        return false;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return true;
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

void settle(Lab &lab, const Daemon &d)
{
    const std::string line = "[DAL_TSH] - Change notification on table: dalLogCfg for field: TshLogToFile";
    const int seen = count_of(d.err(), line);
    const std::string was = lab.get("dalLogCfg", "TshLogToFile");
    ASSERT_EQ(lab.set("dalLogCfg", "TshLogToFile", was == "1" ? "0" : "1"), Q7_OK);
    ASSERT_EQ(lab.set("dalLogCfg", "TshLogToFile", was), Q7_OK);
    ASSERT_TRUE(d.wait_err(line, seen + 2)) << d.err();
}

void expect_orderly_stop(Daemon &d)
{
    d.signal(SIGUSR1);
    // The stop must not wait for a sleep, a retry or an agent call to end.
    EXPECT_EQ(d.wait_exit(2s), std::optional<int>(0)) << d.err();
    EXPECT_FALSE(path_exists(PID_FILE));
    EXPECT_TRUE(in_order(d.err(), {"sig_usr1 handler.", "Bye Bye....."})) << d.err();
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
