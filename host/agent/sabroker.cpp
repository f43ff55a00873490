/*
 * sabroker.cpp - libsabroker.so: the sa_broker_* API (sabroker.h) over the
 * agent's line protocol (proto.h).
 *
 * Each successful sa_broker_init creates one Session with two threads:
 *  - the link thread owns the socket's reading side: it connects, greets the
 *    agent ("init"), matches replies to waiting calls, queues events, and
 *    after a lost link reconnects with back-off, subscribes again and queues
 *    SA_BROKER_AGENT_STARTED;
 *  - the callback thread runs the subscribers' callbacks from the queue.
 * Calls are made on the caller's thread: they send their request and wait
 * for the reply, the session's close or their deadline, whichever is first.
 * sa_broker_uninit closes the session (waking every waiter), then joins both
 * threads, or detaches the callback thread when it is the caller.
 */
#include "sabroker.h"

#include "proto.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cxxabi.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#define SABROKER_API extern "C" __attribute__((visibility("default")))

namespace {

using Clock = std::chrono::steady_clock;
using saproto::JsonPtr;
using saproto::UniqueFd;

constexpr int kDefaultTimeoutMs = 5000;
constexpr int kBackoffFirstMs = 20;
constexpr int kBackoffMaxMs = 2000;

struct Subscriber {
    sa_broker_event_cb cb = nullptr;
    void *arg = nullptr;
};

// One call waiting for its reply; lives on the caller's stack.
struct Pending {
    bool done = false;
    int result = -1;
    std::string text;
    int sub_event = 0;      // a subscribe call: installed by the link thread on success
    Subscriber sub;
};

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(std::string socket, int timeout_ms) : socket_(std::move(socket)), timeout_ms_(timeout_ms) {}

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
    int call(const char *name, const char *arg, std::string *text, int sub_event = 0, Subscriber sub = {});

  private:
    enum class Link { connecting, up, down, refused };

    void link_main();
    void serve(UniqueFd fd, bool &greeted);
    void on_line(const std::string &line, bool &greeted, bool &hangup);
    void drop_link();
    bool send_line(const std::string &line);
    std::string request(uint64_t id, const char *name, const char *arg, int event);
    void callback_main();

    const std::string socket_;
    const int timeout_ms_;

    std::mutex send_mu_;              // serialises writers; taken before mu_; caller threads and link thread
    std::mutex mu_;                   // guards all below; every thread of the session and its callers
    std::condition_variable cv_;
    bool closed_ = false;
    Link link_ = Link::connecting;
    bool ever_up_ = false;
    int fd_ = -1;                     // closed only by the link thread, with send_mu_ and mu_ held
    uint64_t next_id_ = 1;
    uint64_t hello_id_ = 0;
    std::string agent_version_;
    std::map<uint64_t, Pending *> pending_;
    std::map<int, Subscriber> subs_;
    std::deque<std::pair<int, std::string>> events_;
    std::thread link_thread_, callback_thread_;
};

bool Session::start()
{
    auto self = shared_from_this();
    link_thread_ = std::thread([self] { self->link_main(); });
    try {
        callback_thread_ = std::thread([self] { self->callback_main(); });
    } catch (...) {
        stop();
        throw;
    }
    std::unique_lock lk(mu_);
    cv_.wait_until(lk, Clock::now() + std::chrono::milliseconds(timeout_ms_),
                   [&] { return closed_ || link_ != Link::connecting; });
    return !closed_ && link_ == Link::up;
}

void Session::abort()
{
    std::lock_guard lk(mu_);
    closed_ = true;
    if (fd_ >= 0)
        shutdown(fd_, SHUT_RDWR);
    cv_.notify_all();
}

void Session::stop()
{
    abort();
    if (link_thread_.joinable())
        link_thread_.join();
    if (!callback_thread_.joinable())
        return;
    // From inside a callback: the callback thread ends once the callback
    // returns; it keeps the session alive through its own reference.
    if (callback_thread_.get_id() == std::this_thread::get_id())
        callback_thread_.detach();
    else
        callback_thread_.join();
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

bool Session::send_line(const std::string &line)
{
    if (line.empty())
        return false;
    std::lock_guard sl(send_mu_);
    int fd;
    {
        std::lock_guard lk(mu_);
        if (closed_ || fd_ < 0)
            return false;
        fd = fd_;
    }
    return saproto::send_all(fd, line);
}

int Session::call(const char *name, const char *arg, std::string *text, int sub_event, Subscriber sub)
{
    Pending p;
    p.sub_event = sub_event;
    p.sub = sub;
    uint64_t id;
    {
        std::lock_guard lk(mu_);
        if (closed_ || link_ != Link::up)
            return -1;
        id = next_id_++;
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

    if (!send_line(request(id, name, arg, sub_event)))
        return -1;
    std::unique_lock lk(mu_);
    cv_.wait_until(lk, Clock::now() + std::chrono::milliseconds(timeout_ms_), [&] { return p.done || closed_; });
    if (!p.done || closed_)
        return -1;
    if (text)
        *text = std::move(p.text);
    return p.result;
}

void Session::link_main()
{
    pthread_setname_np(pthread_self(), "sa-link");
    int backoff_ms = kBackoffFirstMs;
    for (;;) {
        std::string err;
        UniqueFd fd = saproto::connect_unix(socket_, err);
        bool greeted = false;
        if (fd)
            serve(std::move(fd), greeted);
        std::unique_lock lk(mu_);
        if (closed_)
            return;
        if (!ever_up_) {
            // The first connection decides sa_broker_init: no retry here.
            link_ = Link::refused;
            cv_.notify_all();
            return;
        }
        link_ = Link::down;
        if (greeted)
            backoff_ms = kBackoffFirstMs;
        cv_.wait_for(lk, std::chrono::milliseconds(backoff_ms), [&] { return closed_; });
        if (closed_)
            return;
        backoff_ms = std::min(backoff_ms * 2, kBackoffMaxMs);
    }
}

// Runs one connection until it drops or the session closes.
void Session::serve(UniqueFd fd, bool &greeted)
{
    timeval tv{timeout_ms_ / 1000, (timeout_ms_ % 1000) * 1000};
    setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::string greeting;
    {
        std::lock_guard sl(send_mu_);
        std::lock_guard lk(mu_);
        if (closed_)
            return;
        fd_ = fd.get();
        hello_id_ = next_id_++;
        greeting = request(hello_id_, "init", nullptr, 0);
        // Subscriptions carry over a reconnect; their replies are not awaited.
        for (auto &[ev, sub] : subs_)
            greeting += request(next_id_++, "subscribe", nullptr, ev);
    }
    bool hangup = !send_line(greeting);
    saproto::LineReader reader;
    std::string line;
    char buf[8192];
    while (!hangup) {
        ssize_t n = recv(fd.get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || !reader.feed(buf, static_cast<size_t>(n)))
            break;
        while (!hangup && reader.next(line))
            on_line(line, greeted, hangup);
    }
    std::lock_guard sl(send_mu_);
    std::lock_guard lk(mu_);
    fd_ = -1;
    fd.reset();
    if (link_ == Link::up)
        link_ = Link::down;
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
            cv_.notify_all();
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
        agent_version_ = v ? v : "";
        bool restarted = ever_up_;
        ever_up_ = true;
        link_ = Link::up;
        if (restarted && subs_.count(SA_BROKER_AGENT_STARTED)) {
            JsonPtr ev(cJSON_CreateObject());
            cJSON_AddStringToObject(ev.get(), "event", "started");
            cJSON_AddStringToObject(ev.get(), "version", agent_version_.c_str());
            events_.emplace_back(SA_BROKER_AGENT_STARTED, saproto::print(ev.get()));
        }
        cv_.notify_all();
        return;
    }
    auto it = pending_.find(static_cast<uint64_t>(*id));
    if (it == pending_.end())
        return;     // a late reply to a call that timed out
    Pending &p = *it->second;
    p.done = true;
    p.result = res;
    p.text = text ? text : "";
    // Installed here, before the next line is read, so that an event right
    // behind the reply is not missed.
    if (res == 0 && p.sub_event)
        subs_[p.sub_event] = p.sub;
    cv_.notify_all();
}

void Session::callback_main()
{
    pthread_setname_np(pthread_self(), "sa-events");
    std::unique_lock lk(mu_);
    for (;;) {
        cv_.wait(lk, [&] { return closed_ || !events_.empty(); });
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
// guards the two pointers and is held only for short swaps. Touched by every
// thread that calls the API.
struct Library {
    std::mutex life_mu;
    std::mutex mu;
    std::shared_ptr<Session> session;
    std::shared_ptr<Session> starting;   // an init in progress, for uninit to abort
    // Counts uninits, so that an init that began before one gives up even
    // when the uninit came before the init had published `starting`.
    uint64_t uninits = 0;
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

int timeout_from_env()
{
    const char *t = getenv("SA_CALL_TIMEOUT_MS");
    if (!t || !*t)
        return kDefaultTimeoutMs;
    char *end = nullptr;
    long v = strtol(t, &end, 10);
    return (*end || v <= 0 || v > 3600000) ? kDefaultTimeoutMs : static_cast<int>(v);
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

int simple_call(const char *name, const char *arg = nullptr, std::string *text = nullptr)
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
    std::string text;
    int r = simple_call(name, arg, &text);
    if (r != 0)
        return r;
    *out = strdup(text.c_str());
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
        auto s = std::make_shared<Session>(saproto::socket_from_env(), timeout_from_env());
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
        }
        if (s)
            s->stop();
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
    std::string text;
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
