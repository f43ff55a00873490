// agent_test_util.h - helpers of the agent, daemon and bench tests: a private
// sa-agentd, tool runs and control requests. The tools are found in
// $TSH_BIN_DIR, behind $SA_AGENT_LAUNCHER (a cross build's emulator); both
// default to the build's own.
#pragma once

#include "proto.h"
#include "wait_until.h"

#include <signal.h>

#include <string>
#include <vector>

namespace agenttest {

std::string setting(const char *name);  // $name, or the build's own value of it

// A temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// An sa-agentd of the test's own, in the foreground on dir/agent.sock.
class PrivateAgent {
  public:
    explicit PrivateAgent(std::vector<std::string> extra_args = {}) : extra_(std::move(extra_args)) {}
    ~PrivateAgent() { stop(); }
    bool start();                       // true once the socket answers
    void kill_hard() { end(SIGKILL); }  // as a crash
    void freeze(bool on) { frozen_ = on, ::kill(pid_, on ? SIGSTOP : SIGCONT); }  // reads and answers nothing
    void stop() { end(SIGTERM); }
    const std::string &socket() const { return socket_; }
    const TempDir &dir() const { return dir_; }

  private:
    void end(int sig);
    TempDir dir_;
    std::string socket_ = dir_.file("agent.sock");
    std::vector<std::string> extra_;
    pid_t pid_ = -1;
    bool frozen_ = false;
};

// Runs a tool to its end: its exit status; its standard output and error in out.
int run_tool(const char *tool, const std::vector<std::string> &args, std::string *out = nullptr);
int agentctl(const std::string &socket, const std::vector<std::string> &args, std::string *out = nullptr);
// One control request ({"call": ...}) to the agent: the reply; the agent's state.
saproto::JsonPtr control(const std::string &socket, const char *request_json);
saproto::JsonPtr agent_state(const std::string &socket);

} // namespace agenttest
