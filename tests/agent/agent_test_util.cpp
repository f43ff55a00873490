// agent_test_util.cpp - processes, files and control requests of the agent tests.
#include "agent_test_util.h"
#include "process_util.h"

#include <fcntl.h>

#include <filesystem>
#include <sstream>

namespace agenttest {

std::string setting(const char *name)
{
    const std::string n = name;
    return getenv(name) ? getenv(name)
         : n == "TSH_BIN_DIR" ? AGENT_TEST_BIN_DIR
         : n == "TSH_SOURCE_DIR" ? AGENT_TEST_SOURCE_DIR
         : n == "SA_AGENT_LAUNCHER" ? AGENT_TEST_LAUNCHER : "";
}

TempDir::TempDir() : path_(std::filesystem::temp_directory_path() / "sa-agent-test-XXXXXX")
{
    if (!mkdtemp(path_.data()))
        abort();
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

static std::vector<std::string> tool_argv(const char *tool, const std::vector<std::string> &args)
{
    std::vector<std::string> argv;
    std::istringstream launcher(setting("SA_AGENT_LAUNCHER"));
    for (std::string w; launcher >> w;)
        argv.push_back(w);
    argv.push_back(setting("TSH_BIN_DIR") + "/" + tool);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

bool PrivateAgent::start()
{
    std::vector<std::string> args = {"--foreground", "--socket", socket_, "--log", dir_.file("agent.log")};
    args.insert(args.end(), extra_.begin(), extra_.end());
    pid_ = spawn_process(tool_argv("sa-agentd", args));
    std::string err;
    return pid_ > 0 && wait_until([&] { return bool(saproto::connect_unix(socket_, err)); });
}

void PrivateAgent::end(int sig)
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, sig);
    if (frozen_)
        freeze(false);  // only then: a stray SIGCONT would upset a leak check's stopping of threads
    wait_exit(pid_);
    pid_ = -1;
    unlink(socket_.c_str());  // left behind by SIGKILL
}

int run_tool(const char *tool, const std::vector<std::string> &args, std::string *out)
{
    TempDir tmp;
    int fd = open(tmp.file("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = fd < 0 ? -1 : spawn_process(tool_argv(tool, args), fd);
    close(fd);
    const int rc = pid < 0 ? -1 : wait_exit(pid);
    std::ostringstream ss;
    ss << std::ifstream(tmp.file("out")).rdbuf();
    if (out)
        *out = ss.str();
    return rc;
}

int agentctl(const std::string &socket, const std::vector<std::string> &args, std::string *out)
{
    std::vector<std::string> all = {"--socket", socket};
    all.insert(all.end(), args.begin(), args.end());
    return run_tool("agentctl", all, out);
}

saproto::JsonPtr control(const std::string &socket, const char *request_json)
{
    saproto::JsonPtr req(cJSON_Parse(request_json));  // the tests' own, well-formed
    cJSON_AddNumberToObject(req.get(), "id", 1);
    std::string err;
    return saproto::round_trip(socket, req.get(), 10000, err);
}

saproto::JsonPtr agent_state(const std::string &socket)
{
    const auto reply = control(socket, R"({"call":"ctl.state"})");
    const char *text = saproto::get_string(reply.get(), "text");
    return saproto::JsonPtr(text ? cJSON_Parse(text) : nullptr);
}

} // namespace agenttest
