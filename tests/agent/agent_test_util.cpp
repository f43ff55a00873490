/*
 * agent_test_util.cpp - processes, files and waits for the agent tests.
 */
#include "agent_test_util.h"
#include "process_util.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace agenttest {

std::string setting(const char *name)
{
    if (const char *v = getenv(name))
        return v;
    std::string n = name;
    if (n == "TSH_BIN_DIR")
        return AGENT_TEST_BIN_DIR;
    if (n == "TSH_SOURCE_DIR")
        return AGENT_TEST_SOURCE_DIR;
    if (n == "SA_AGENT_LAUNCHER")
        return AGENT_TEST_LAUNCHER;
    return "";
}

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/sa-agent-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        abort();
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

namespace {

std::vector<std::string> tool_argv(const char *tool)
{
    std::vector<std::string> argv;
    std::istringstream launcher(setting("SA_AGENT_LAUNCHER"));
    for (std::string w; launcher >> w;)
        argv.push_back(w);
    argv.push_back(setting("TSH_BIN_DIR") + "/" + tool);
    return argv;
}

} // namespace

PrivateAgent::PrivateAgent(std::vector<std::string> extra_args)
    : socket_(dir_.file("agent.sock")), extra_(std::move(extra_args))
{
}

PrivateAgent::~PrivateAgent() { stop(); }

bool PrivateAgent::start()
{
    auto args = tool_argv("sa-agentd");
    for (const char *a : {"--foreground", "--socket", socket_.c_str(), "--log"})
        args.push_back(a);
    args.push_back(dir_.file("agent.log"));
    args.insert(args.end(), extra_.begin(), extra_.end());
    pid_ = spawn_process(args, -1);
    std::string err;
    return pid_ > 0 && wait_until([&] { return bool(saproto::connect_unix(socket_, err)); });
}

void PrivateAgent::end(int sig)
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, sig);
    if (frozen_)
        freeze(false);          // only then: a stray SIGCONT would upset a leak check's stopping of threads
    wait_exit(pid_);
    pid_ = -1;
    unlink(socket_.c_str());    // left behind by SIGKILL
}

int agentctl(const std::string &socket, const std::vector<std::string> &args, std::string *out)
{
    std::vector<std::string> all = {"--socket", socket};
    all.insert(all.end(), args.begin(), args.end());
    return run_tool("agentctl", all, out);
}

int run_tool(const char *tool, const std::vector<std::string> &args, std::string *out)
{
    auto argv = tool_argv(tool);
    argv.insert(argv.end(), args.begin(), args.end());
    TempDir tmp;
    std::string path = tmp.file("out");
    FILE *f = fopen(path.c_str(), "w");
    if (!f)
        return -1;
    pid_t pid = spawn_process(argv, fileno(f));
    fclose(f);
    if (pid < 0)
        return -1;
    int rc = wait_exit(pid);
    if (out) {
        std::ifstream in(path);
        std::ostringstream ss;
        ss << in.rdbuf();
        *out = ss.str();
    }
    return rc;
}

saproto::JsonPtr control(const std::string &socket, const char *request_json)
{
    saproto::JsonPtr req(cJSON_Parse(request_json));
    if (!req)
        return nullptr;
    cJSON_AddNumberToObject(req.get(), "id", 1);
    std::string err;
    return saproto::round_trip(socket, req.get(), 10000, err);
}

saproto::JsonPtr agent_state(const std::string &socket)
{
    auto reply = control(socket, R"({"call":"ctl.state"})");
    const char *text = saproto::get_string(reply.get(), "text");
    return saproto::JsonPtr(text ? cJSON_Parse(text) : nullptr);
}

} // namespace agenttest
