/*
 * agentd.h - the parts of sa-agentd its files share: the options, a client
 * connection, a reply, and the Agent that serves them all.
 *
 * Everything here belongs to the main thread (its poll loop); nothing is
 * locked. The signal handler only sets g_stop.
 */
#ifndef SA_AGENTD_H
#define SA_AGENTD_H

#include "proto.h"

#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace saagent {

using Clock = std::chrono::steady_clock;

constexpr int kEventStarted = 4;

// Set by the SIGTERM/SIGINT handler, read by the main thread's loop; no lock.
extern volatile sig_atomic_t g_stop;

// One log line "sa-agentd: ..." on standard error.
void logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

struct Options {
    std::string socket = saproto::socket_from_env();
    std::string state, seed, journal, pidfile, log;
    bool foreground = false;
    bool replace = false;
};

struct Client {
    uint64_t id;
    saproto::UniqueFd fd;
    saproto::LineReader in;
    std::string out;
    std::set<int> subs;
    bool follow = false;
    bool announce_start = false;    // greeted by a library that knew an earlier agent
};

struct Reply {
    int result = 0;
    std::optional<std::string> text;    // none: the reply carries no text member
    std::string error;
    bool then_started = false;          // event 4 follows the reply

    static Reply refused(std::string why) { return Reply{1, std::nullopt, std::move(why), false}; }
};

// The agent: one instance, owned and used by the main thread only, no locks.
class Agent {
  public:
    explicit Agent(Options o) : opt_(std::move(o)) {}
    bool setup();
    int run();

  private:
    // agentd_loop.cpp: connections, the poll loop, restarts
    bool load_state();
    void save_state();
    bool open_listener();
    void close_all();
    void accept_clients();
    bool read_client(Client &c);
    void new_instance();
    void restart(int down_ms);
    void queue(Client &c, const std::string &line);
    // agentd_calls.cpp: one request and its reply
    void handle(Client &c, const std::string &line);
    Reply broker_call(Client &c, const std::string &call, const cJSON *req);
    bool injected(const std::string &kind, const std::string &key);
    int hang_ms(const std::string &key) const;
    // agentd_control.cpp: agentctl's verbs
    Reply control_call(Client &c, const std::string &call, const cJSON *req);
    // agentd_journal.cpp: the journal and events
    void journal(uint64_t client, const std::string &call, const cJSON *req, const Reply &r);
    int push_event(int event, const std::string &text);
    static std::string event_line(int event, const std::string &text);
    std::string agent_version() const;
    std::string started_text() const;

    Options opt_;
    saproto::JsonPtr state_;
    saproto::UniqueFd listener_;
    std::map<uint64_t, std::unique_ptr<Client>> clients_;
    uint64_t next_client_ = 1;
    // Hung replies waiting for their time: due -> (client, reply lines).
    std::multimap<Clock::time_point, std::pair<uint64_t, std::string>> delayed_;
    // agentctl's injections by kind ("fail", "notext", "emptytext"):
    // call -> calls left, -1 for all.
    std::map<std::string, std::map<std::string, long long>> inject_;
    std::map<std::string, int> hang_;         // call -> reply delay in ms
    std::deque<std::string> journal_;
    uint64_t journal_seq_ = 0;
    std::unique_ptr<FILE, int (*)(FILE *)> journal_file_{nullptr, fclose};
    bool stop_ = false;
    int restart_down_ms_ = -1;                // a restart asked for by agentctl
    std::string instance_;                    // new at every (re)start, told in the greeting
    unsigned starts_ = 0;
    Clock::time_point reopen_at_{};           // when a restart's pause ends
};

} // namespace saagent

#endif
