/*
 * sabroker_session.cpp - a Session's life (start, abort, stop), its calls
 * and the callback pool.
 *
 * Calls run on the caller's thread under one deadline covering the wait for
 * its turn to send, the send and the wait for the reply. A send cut off
 * part-way resets the link, so no torn request runs into the next one;
 * replies are matched by id (on the link thread), so a late reply to a call
 * that gave up is dropped. The pool's threads ($SA_BROKER_CALLBACK_THREADS,
 * named sa-events) run the subscribers' callbacks from the event queue,
 * several at once. Stopping wakes every waiter (shutting the socket down
 * ends the link thread's poll), then joins the threads, detaching the
 * caller's own when a callback stops the session.
 */
#include "sabroker_session.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace sabroker {

thread_local bool t_callback_thread = false;

int ms_until(Clock::time_point t)
{
    auto ms = std::chrono::duration_cast<Ms>(t - Clock::now()).count();
    return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms + 1, 1 << 30));
}

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

} // namespace sabroker
