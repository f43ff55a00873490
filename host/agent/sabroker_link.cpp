/*
 * sabroker_link.cpp - a Session's link thread (sa-link), the only reader of
 * the socket: it connects without blocking, greets the agent ("init") with
 * the subscriptions carried over, matches replies to waiting calls, queues
 * events for the callback pool, and after a lost link reconnects with
 * back-off (20 ms doubling to 2 s), retrying a refused renewal likewise.
 * Shares the Session's state with calls and callbacks under its mu_.
 */
#include "sabroker_session.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace sabroker {

namespace {

// Connects without blocking: a listener whose backlog is full (a frozen
// agent) answers at once with busy set, instead of holding the link thread.
UniqueFd connect_now(const std::string &path, bool &busy)
{
    std::string err;
    UniqueFd fd = saproto::connect_unix(path, err, true);
    busy = !fd && (errno == EAGAIN || errno == EWOULDBLOCK);
    return fd;
}

} // namespace

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
            events_.emplace_back(SA_BROKER_AGENT_STARTED, saproto::started_text(v));
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

} // namespace sabroker
