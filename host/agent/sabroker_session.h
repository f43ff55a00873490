/*
 * sabroker_session.h - inside libsabroker.so: one Session per successful
 * sa_broker_init, with its link thread (sabroker_link.cpp: connect, greet,
 * match replies, queue events, reconnect and renew subscriptions) and its
 * callback pool and calls (sabroker_session.cpp). The API on top is
 * sabroker.cpp. Nothing here is exported.
 */
#ifndef SABROKER_SESSION_H
#define SABROKER_SESSION_H

#include "sabroker.h"

#include "proto.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace sabroker {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using saproto::JsonPtr;
using saproto::UniqueFd;
using Text = std::optional<std::string>;   // a reply's text; none when the agent sent none

constexpr int kBackoffFirstMs = 20;
constexpr int kBackoffMaxMs = 2000;

// Set on the library's callback threads: an uninit there must not wait for
// a stop that may be joining this very thread.
extern thread_local bool t_callback_thread;

struct Subscriber {
    sa_broker_event_cb cb = nullptr;
    void *arg = nullptr;
};

// One call waiting for its reply; lives on the caller's stack.
struct Pending {
    bool done = false;
    int result = -1;
    Text text;
    int sub_event = 0;      // a subscribe call: installed by the link thread on success
    Subscriber sub;
};

// A renewed subscription the agent refused: asked again at `at`.
struct Renewal {
    Clock::time_point at;
    int backoff_ms = kBackoffFirstMs;
};

// Milliseconds from now until t for poll: 0 when past, rounded up.
int ms_until(Clock::time_point t);

// One initialised library's link to the agent: its calls (any API thread),
// its link thread and its callback threads share it under mu_.
class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(std::string socket, int timeout_ms, int callback_threads);

    // Connects and greets; true when the agent accepted.
    bool start();
    // Closes the session and ends its threads.
    void stop();
    void abort();
    bool link_up()
    {
        std::lock_guard lk(mu_);
        return link_ == Link::up;
    }
    // One request/reply; fills text on success.
    int call(const char *name, const char *arg, Text *text, int sub_event = 0, Subscriber sub = {});

  private:
    enum class Link { connecting, up, down, refused };

    void link_main();
    void serve(UniqueFd fd, bool &greeted);
    void on_line(const std::string &line, bool &greeted, bool &hangup);
    bool send_line(const std::string &line, Clock::time_point deadline, uint64_t conn);
    bool wait_writable(int fd, Clock::time_point deadline);
    std::string request(uint64_t id, const char *name, const char *arg, int event);
    std::string renewals(const std::vector<int> &events);
    void callback_main();

    const std::string socket_;
    const int timeout_ms_;
    const int callback_threads_;

    std::mutex mu_;                   // guards all below; every thread of the session and its callers
    std::condition_variable cv_;      // calls and start wait here
    std::condition_variable events_cv_;   // callback threads wait here
    std::condition_variable send_cv_;     // writers wait here for their turn
    bool closed_ = false;
    bool sending_ = false;            // one writer at a time, each within its deadline
    Link link_ = Link::connecting;
    bool ever_up_ = false;
    int fd_ = -1;                     // closed only by the link thread, while no one is sending
    uint64_t conn_ = 0;               // counts connections: a call sends only on the one it began on
    uint64_t next_id_ = 1;
    uint64_t hello_id_ = 0;
    std::string agent_instance_;      // of the last greeting, told to the agent on a reconnect
    std::map<uint64_t, Pending *> pending_;
    std::map<int, Subscriber> subs_;
    std::map<uint64_t, int> renewing_;    // renewal requests in flight: id -> event
    std::map<int, Renewal> refused_;      // refused renewals waiting for their retry
    std::deque<std::pair<int, std::string>> events_;
    std::thread link_thread_;
    std::vector<std::thread> callback_pool_;
};

} // namespace sabroker

#endif
