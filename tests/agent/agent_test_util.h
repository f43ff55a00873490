/*
 * agent_test_util.h - helpers of the agent tests: a private sa-agentd per
 * test, agentctl runs, control requests and deadline waits.
 * The tools are found in $TSH_BIN_DIR; $SA_AGENT_LAUNCHER (the emulator of
 * a cross build) is put in front of them. Both default to the build's own.
 */
#ifndef AGENT_TEST_UTIL_H
#define AGENT_TEST_UTIL_H

#include "proto.h"

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

#include "wait_until.h"
#include <vector>

namespace agenttest {

// $name, or the build's own value of it.
std::string setting(const char *name);

// Polls pred until it holds or the deadline passes.

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
    explicit PrivateAgent(std::vector<std::string> extra_args = {});
    ~PrivateAgent();
    bool start();           // true once the socket answers
    void kill_hard() { end(SIGKILL); }   // as a crash
    void freeze(bool on)    // reads and answers nothing
    {
        ::kill(pid_, on ? SIGSTOP : SIGCONT);
        frozen_ = on;
    }
    void stop() { end(SIGTERM); }
    const std::string &socket() const { return socket_; }
    const TempDir &dir() const { return dir_; }

  private:
    void end(int sig);

    TempDir dir_;
    std::string socket_;
    std::vector<std::string> extra_;
    pid_t pid_ = -1;
    bool frozen_ = false;
};

// Runs a tool of $TSH_BIN_DIR to its end; returns its exit status, its
// standard output and error in out.
int run_tool(const char *tool, const std::vector<std::string> &args, std::string *out = nullptr);
// Runs agentctl on socket with args; returns its exit status, output in out.
int agentctl(const std::string &socket, const std::vector<std::string> &args, std::string *out = nullptr);

// One control request ({"call": call, ...members}) to the agent on socket.
saproto::JsonPtr control(const std::string &socket, const char *request_json);
// The agent's state document (ctl.state).
saproto::JsonPtr agent_state(const std::string &socket);

} // namespace agenttest

#endif
