/*
 * sabroker.cpp - libsabroker.so: the sa_broker_* API (sabroker.h) over the
 * agent's line protocol (proto.h).
 *
 * Each successful sa_broker_init creates one Session with its threads:
 *  - the link thread owns the socket's reading side: it connects, greets the
 *    agent ("init"), matches replies to waiting calls, queues events, and
 *    after a lost link reconnects with back-off and renews the subscriptions,
 *    retrying a refused renewal with back-off;
 *  - a pool of callback threads ($SA_BROKER_CALLBACK_THREADS, default 3) runs
 *    the subscribers' callbacks from the event queue, several at once.
 * Calls are made on the caller's thread under one deadline covering the wait
 * for its turn to send, the send and the wait for the reply. A send cut off
 * part-way resets the link, so no torn request runs into the next one; replies
 * are matched by id, so a late reply to a call that gave up is dropped.
 * sa_broker_uninit closes the session (waking every waiter; shutting the
 * socket down ends the link thread's poll), then joins the threads, detaching the caller's own when a
 * callback calls it.
 */
#include "sabroker.h"

#include "proto.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cxxabi.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#define SABROKER_API extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;
using saproto::JsonPtr;
using saproto::UniqueFd;
using Text = std::optional<std::string>;   // a reply's text; none when the agent sent none

constexpr int kDefaultTimeoutMs = 5000;
constexpr int kDefaultCallbackThreads = 3;
constexpr int kBackoffFirstMs = 20;
constexpr int kBackoffMaxMs = 2000;

// Set on the library's callback threads: an uninit there must not wait for
// a stop that may be joining this very thread.
thread_local bool t_callback_thread = false;

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

int ms_until(Clock::time_point t)
{
    auto ms = std::chrono::duration_cast<Ms>(t - Clock::now()).count();
    return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms + 1, 1 << 30));
}

// Connects without blocking: a listener whose backlog is full (a frozen
// agent) answers at once with busy set, instead of holding the link thread.
UniqueFd connect_now(const std::string &path, bool &busy)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    busy = false;
    if (path.size() >= sizeof addr.sun_path)
        return {};
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd)
        return {};
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        busy = errno == EAGAIN || errno == EWOULDBLOCK;
        return {};
    }
    return fd;
}

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

Session::Session(std::string socket, int timeout_ms, int callback_threads)
    : socket_(std::move(socket)), timeout_ms_(timeout_ms), callback_threads_(callback_threads)
{
}

bool Session::start()
{
    auto self = shared_from_this();
    try {
        link_thread_ = std::thread([self] { self->link_main(); });
        for (int i = 0; i < callback_threads_; i++)
            callback_pool_.emplace_back([self] { self->callback_main(); });
    } catch (...) {
        stop();
        throw;
    }
    std::unique_lock lk(mu_);
    cv_.wait_until(lk, Clock::now() + Ms(timeout_ms_), [&] { return closed_ || link_ != Link::connecting; });
    return !closed_ && link_ == Link::up;
}

void Session::abort()
{
    std::lock_guard lk(mu_);
    closed_ = true;
    if (fd_ >= 0)
        shutdown(fd_, SHUT_RDWR);
    cv_.notify_all();
    events_cv_.notify_all();
    send_cv_.notify_all();
}

void Session::stop()
{
    abort();
    if (link_thread_.joinable())
        link_thread_.join();
    // From inside a callback: that thread ends once the callback returns;
    // it keeps the session alive through its own reference.
    for (auto &t : callback_pool_) {
        if (!t.joinable())
            continue;
        if (t.get_id() == std::this_thread::get_id())
            t.detach();
        else
            t.join();
    }
}

std::string Session::request(uint64_t id, const char *name, const char *arg, int event)
{
    JsonPtr req(cJSON_CreateObject());
    if (!req)
        return {};
    cJSON_AddNumberToObject(req.get(), "id", static_cast<double>(id));
    cJSON_AddStringToObject(req.get(), "call", name);
    if (arg)
        cJSON_AddStringToObject(req.get(), "arg", arg);
    if (event)
        cJSON_AddNumberToObject(req.get(), "event", event);
    std::string line = saproto::print(req.get());
    return line.empty() ? line : line + "\n";
}

// Subscribe requests for events, each recorded for its reply; mu_ held.
std::string Session::renewals(const std::vector<int> &events)
{
    std::string lines;
    for (int ev : events) {
        uint64_t id = next_id_++;
        renewing_[id] = ev;
        lines += request(id, "subscribe", nullptr, ev);
    }
    return lines;
}

// Waits until fd takes more bytes; false at the deadline or when the link
// is shut down.
bool Session::wait_writable(int fd, Clock::time_point deadline)
{
    pollfd p{fd, POLLOUT, 0};
    for (;;) {
        int r = poll(&p, 1, ms_until(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        return r > 0 && (p.revents & POLLOUT) && !(p.revents & (POLLHUP | POLLERR));
    }
}

// Writes whole lines on connection conn before the deadline. A line cut
// off part-way resets the link: the agent would read it joined to the next.
bool Session::send_line(const std::string &line, Clock::time_point deadline, uint64_t conn)
{
    if (line.empty())
        return false;
    int fd;
    {
        std::unique_lock lk(mu_);
        if (!send_cv_.wait_until(lk, deadline, [&] { return !sending_ || closed_; }) || closed_ ||
            fd_ < 0 || conn_ != conn)
            return false;
        sending_ = true;
        fd = fd_;
    }
    struct Turn {
        Session *s;
        ~Turn()
        {
            std::lock_guard lk(s->mu_);
            s->sending_ = false;
            s->send_cv_.notify_all();
        }
    } turn{this};
    size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = send(fd, line.data() + sent, line.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_writable(fd, deadline))
            continue;
        else
            break;
    }
    if (sent == line.size())
        return true;
    if (sent > 0)
        shutdown(fd, SHUT_RDWR);   // fd_ stays open during our turn
    return false;
}

int Session::call(const char *name, const char *arg, Text *text, int sub_event, Subscriber sub)
{
    const auto deadline = Clock::now() + Ms(timeout_ms_);
    Pending p;
    p.sub_event = sub_event;
    p.sub = sub;
    uint64_t id, conn;
    {
        std::lock_guard lk(mu_);
        if (closed_ || link_ != Link::up)
            return -1;
        id = next_id_++;
        conn = conn_;
        pending_[id] = &p;
    }
    // Takes the entry out again however the call ends (a cancelled caller
    // thread included), before p goes away.
    struct Unregister {
        Session *s;
        uint64_t id;
        ~Unregister()
        {
            std::lock_guard lk(s->mu_);
            s->pending_.erase(id);
        }
    } unregister{this, id};

    if (!send_line(request(id, name, arg, sub_event), deadline, conn))
        return -1;
    std::unique_lock lk(mu_);
    cv_.wait_until(lk, deadline, [&] { return p.done || closed_; });
    if (!p.done || closed_)
        return -1;
    if (text)
        *text = std::move(p.text);
    return p.result;
}

void Session::link_main()
{
    pthread_setname_np(pthread_self(), "sa-link");
    const auto init_by = Clock::now() + Ms(timeout_ms_);
    int backoff_ms = kBackoffFirstMs;
    for (;;) {
        bool greeted = false, busy = false;
        if (UniqueFd fd = connect_now(socket_, busy))
            serve(std::move(fd), greeted);
        std::unique_lock lk(mu_);
        if (closed_)
            return;
        if (!ever_up_ && !(busy && Clock::now() < init_by)) {
            // The first connection decides sa_broker_init; only an agent
            // too busy to take it is tried again within init's time.
            link_ = Link::refused;
            cv_.notify_all();
            return;
        }
        if (ever_up_)
            link_ = Link::down;
        if (greeted)
            backoff_ms = kBackoffFirstMs;
        cv_.wait_for(lk, Ms(backoff_ms), [&] { return closed_; });
        if (closed_)
            return;
        backoff_ms = std::min(backoff_ms * 2, kBackoffMaxMs);
    }
}

// Runs one connection until it drops, stalls or the session closes. The
// greeting and a line begun by the agent each have the call timeout to
// complete; subscriptions carried over a reconnect go with the greeting.
void Session::serve(UniqueFd fd, bool &greeted)
{
    const auto greet_by = Clock::now() + Ms(timeout_ms_);
    std::string greeting;
    uint64_t conn;
    {
        std::lock_guard lk(mu_);
        if (closed_)
            return;
        fd_ = fd.get();
        conn = ++conn_;
        hello_id_ = next_id_++;
        greeting = request(hello_id_, "init", agent_instance_.empty() ? nullptr : agent_instance_.c_str(), 0);
        std::vector<int> events;
        for (auto &[ev, sub] : subs_)
            events.push_back(ev);
        greeting += renewals(events);
    }
    bool hangup = !send_line(greeting, greet_by, conn);
    saproto::LineReader reader;
    std::string line;
    char buf[8192];
    auto line_by = Clock::time_point::max();
    while (!hangup) {
        auto wake_at = greeted ? line_by : std::min(greet_by, line_by);
        std::string retries;
        {
            std::lock_guard lk(mu_);
            if (closed_)
                break;
            std::vector<int> due;
            for (auto it = refused_.begin(); it != refused_.end(); ++it) {
                if (it->second.at <= Clock::now())
                    due.push_back(it->first);
                else
                    wake_at = std::min(wake_at, it->second.at);
            }
            retries = renewals(due);
            for (int ev : due)
                refused_[ev].at = Clock::time_point::max();   // rescheduled by its reply
        }
        if (!retries.empty() && !send_line(retries, Clock::now() + Ms(timeout_ms_), conn))
            break;
        if (wake_at <= Clock::now())
            break;   // no greeting, or a line left unfinished: the link is reset
        pollfd p{fd.get(), POLLIN, 0};
        int r = poll(&p, 1, wake_at == Clock::time_point::max() ? -1 : ms_until(wake_at));
        if (r < 0 && errno != EINTR)
            break;
        if (r <= 0)
            continue;
        ssize_t n = recv(fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0 || !reader.feed(buf, static_cast<size_t>(n)))
            break;
        while (!hangup && reader.next(line))
            on_line(line, greeted, hangup);
        line_by = reader.partial() ? Clock::now() + Ms(timeout_ms_) : Clock::time_point::max();
    }
    std::unique_lock lk(mu_);
    send_cv_.wait(lk, [&] { return !sending_; });   // a writer's turn ends by its deadline
    fd_ = -1;
    fd.reset();
    if (link_ == Link::up)
        link_ = Link::down;
    renewing_.clear();
    refused_.clear();
    // Calls waiting on this connection will get no reply.
    for (auto &[id, p] : pending_) {
        p->done = true;
        p->result = -1;
    }
    cv_.notify_all();
}

void Session::on_line(const std::string &line, bool &greeted, bool &hangup)
{
    JsonPtr msg(cJSON_Parse(line.c_str()));
    if (!msg)
        return;
    auto id = saproto::get_int(msg.get(), "id");
    auto result = saproto::get_int(msg.get(), "result");
    const char *text = saproto::get_string(msg.get(), "text");
    std::lock_guard lk(mu_);
    if (!id) {
        auto ev = saproto::get_int(msg.get(), "event");
        if (ev && text && subs_.count(static_cast<int>(*ev))) {
            events_.emplace_back(static_cast<int>(*ev), text);
            events_cv_.notify_one();
        }
        return;
    }
    int res = result ? static_cast<int>(*result) : -1;
    if (static_cast<uint64_t>(*id) == hello_id_) {
        if (res != 0) {
            hangup = true;
            return;
        }
        greeted = true;
        JsonPtr hello(text ? cJSON_Parse(text) : nullptr);
        const char *v = saproto::get_string(hello.get(), "version");
        const char *instance = saproto::get_string(hello.get(), "instance");
        agent_instance_ = instance ? instance : "";
        bool reconnected = ever_up_;
        ever_up_ = true;
        link_ = Link::up;
        // An agent that restarted since the last greeting raises the event
        // itself once the subscription is renewed; otherwise the library
        // tells the subscriber that the link came back.
        bool agent_tells = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(hello.get(), "restarted"));
        if (reconnected && !agent_tells && subs_.count(SA_BROKER_AGENT_STARTED)) {
            JsonPtr ev(cJSON_CreateObject());
            cJSON_AddStringToObject(ev.get(), "event", "started");
            cJSON_AddStringToObject(ev.get(), "version", v ? v : "");
            events_.emplace_back(SA_BROKER_AGENT_STARTED, saproto::print(ev.get()));
            events_cv_.notify_one();
        }
        cv_.notify_all();
        return;
    }
    if (auto r = renewing_.find(static_cast<uint64_t>(*id)); r != renewing_.end()) {
        int ev = r->second;
        renewing_.erase(r);
        if (res == 0) {
            refused_.erase(ev);
            return;
        }
        Renewal &again = refused_[ev];
        fprintf(stderr, "sabroker: the agent refused the renewed subscription to event %d; retrying in %d ms\n",
                ev, again.backoff_ms);
        again.at = Clock::now() + Ms(again.backoff_ms);
        again.backoff_ms = std::min(again.backoff_ms * 2, kBackoffMaxMs);
        return;
    }
    auto it = pending_.find(static_cast<uint64_t>(*id));
    if (it == pending_.end())
        return;     // a late reply to a call that timed out
    Pending &p = *it->second;
    p.done = true;
    p.result = res;
    if (text)
        p.text = text;
    // Installed here, before the next line is read, so that an event right
    // behind the reply is not missed.
    if (res == 0 && p.sub_event) {
        subs_[p.sub_event] = p.sub;
        refused_.erase(p.sub_event);
    }
    cv_.notify_all();
}

void Session::callback_main()
{
    pthread_setname_np(pthread_self(), "sa-events");
    t_callback_thread = true;
    std::unique_lock lk(mu_);
    for (;;) {
        events_cv_.wait(lk, [&] { return closed_ || !events_.empty(); });
        if (closed_)
            return;
        auto [ev, text] = std::move(events_.front());
        events_.pop_front();
        auto it = subs_.find(ev);
        if (it == subs_.end())
            continue;
        Subscriber sub = it->second;
        lk.unlock();
        sub.cb(text.c_str(), sub.arg);
        lk.lock();
    }
}

// Process-wide library state. life_mu serialises init against uninit; mu
// guards the rest and is held only for short swaps. Touched by every thread
// that calls the API.
struct Library {
    std::mutex life_mu;
    std::mutex mu;
    std::condition_variable stopped;     // stopping fell to 0
    std::shared_ptr<Session> session;
    std::shared_ptr<Session> starting;   // an init in progress, for uninit to abort
    // Counts uninits, so that an init that began before one gives up even
    // when the uninit came before the init had published `starting`.
    uint64_t uninits = 0;
    int stopping = 0;                    // sessions being stopped by uninits
};

// Never destroyed: a detached callback thread may still use it at exit.
Library &lib()
{
    static Library *l = new Library;
    return *l;
}

std::shared_ptr<Session> current()
{
    std::lock_guard lk(lib().mu);
    return lib().session;
}

// A positive number of the environment up to max, or fallback.
int env_number(const char *name, int fallback, long max)
{
    const char *t = getenv(name);
    if (!t || !*t)
        return fallback;
    char *end = nullptr;
    long v = strtol(t, &end, 10);
    return (*end || v <= 0 || v > max) ? fallback : static_cast<int>(v);
}

// Runs f; no exception leaves the C API, but a thread cancellation's unwind
// must go on through.
template <class F>
int guarded(F f)
{
    try {
        return f();
    } catch (abi::__forced_unwind &) {
        throw;
    } catch (...) {
        return -1;
    }
}

int simple_call(const char *name, const char *arg = nullptr, Text *text = nullptr)
{
    return guarded([&] {
        auto s = current();
        return s ? (s->call(name, arg, text) == 0 ? 0 : 1) : -1;
    });
}

int text_call(const char *name, const char *arg, char **out)
{
    if (!out)
        return -1;
    *out = nullptr;
    Text text;
    int r = simple_call(name, arg, &text);
    if (r != 0 || !text)
        return r;
    *out = strdup(text->c_str());
    return *out ? 0 : -1;
}

int json_call(const char *name, const char *json)
{
    return json ? simple_call(name, json) : -1;
}

} // namespace

SABROKER_API int sa_broker_init(void)
{
    return guarded([] {
        Library &l = lib();
        uint64_t gen;
        {
            std::lock_guard lk(l.mu);
            gen = l.uninits;
        }
        std::lock_guard life(l.life_mu);
        if (auto s = current())
            return s->link_up() ? 0 : -1;
        auto s = std::make_shared<Session>(saproto::socket_from_env(),
                                           env_number("SA_CALL_TIMEOUT_MS", kDefaultTimeoutMs, 3600000),
                                           env_number("SA_BROKER_CALLBACK_THREADS", kDefaultCallbackThreads, 64));
        {
            std::lock_guard lk(l.mu);
            if (l.uninits != gen)
                return -1;  // an uninit came while this init waited for its turn
            l.starting = s;
        }
        bool ok = false;
        try {
            ok = s->start();
        } catch (...) {
            std::lock_guard lk(l.mu);
            l.starting.reset();
            throw;
        }
        {
            std::lock_guard lk(l.mu);
            l.starting.reset();
            if (ok)
                l.session = s;
        }
        if (ok)
            return 0;
        s->stop();
        return -1;
    });
}

SABROKER_API void sa_broker_uninit(void)
{
    guarded([] {
        Library &l = lib();
        {
            std::lock_guard lk(l.mu);
            ++l.uninits;
            if (l.starting)
                l.starting->abort();
        }
        std::shared_ptr<Session> s;
        {
            std::lock_guard life(l.life_mu);
            std::lock_guard lk(l.mu);
            s = std::move(l.session);
            if (s)
                ++l.stopping;
        }
        if (s) {
            struct Done {
                Library &l;
                ~Done()
                {
                    std::lock_guard lk(l.mu);
                    if (--l.stopping == 0)
                        l.stopped.notify_all();
                }
            } done{l};
            s->stop();
        }
        // An uninit racing another returns only once that one's callbacks
        // are done too; a callback cannot wait, its own thread may be
        // the one being joined.
        if (!t_callback_thread) {
            std::unique_lock lk(l.mu);
            l.stopped.wait(lk, [&] { return l.stopping == 0; });
        }
        return 0;
    });
}

SABROKER_API int sa_broker_subscribe(int event, sa_broker_event_cb cb, void *arg, int flags)
{
    (void)flags;
    if (!cb || event <= 0)
        return -1;
    return guarded([&] {
        auto s = current();
        return s ? (s->call("subscribe", nullptr, nullptr, event, Subscriber{cb, arg}) == 0 ? 0 : 1) : -1;
    });
}

SABROKER_API int sa_broker_enable(void) { return simple_call("enable"); }
SABROKER_API int sa_broker_disable(void) { return simple_call("disable"); }

SABROKER_API int sa_broker_va_status(void *reserved)
{
    (void)reserved;
    Text text;
    return simple_call("va_status", nullptr, &text) == 0 && text == "1" ? 1 : 0;
}

SABROKER_API int sa_broker_get_version_info(char **out) { return text_call("get_version_info", nullptr, out); }
SABROKER_API int sa_broker_get_status_report(char **out) { return text_call("get_status_report", nullptr, out); }

SABROKER_API int sa_broker_get_devices(const char *filter, char **out)
{
    return text_call("get_devices", filter ? filter : "[]", out);
}

SABROKER_API int sa_broker_set_router_info(const char *json) { return json_call("set_router_info", json); }
SABROKER_API int sa_broker_set_device_info(const char *json) { return json_call("set_device_info", json); }

SABROKER_API int sa_broker_set_device_online_status(const char *json)
{
    return json_call("set_device_online_status", json);
}

SABROKER_API int sa_broker_remove_satellite(const char *json) { return json_call("remove_satellite", json); }
