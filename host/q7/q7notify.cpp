/*
 * q7notify.cpp - subscriptions and a handle's callback thread ("q7-notify"):
 * the subscriber connection, reading the change stream on from the last
 * entry seen, the comparison that stands in for entries no longer there,
 * and delivery to the callback. q7_subscribe's caller runs watch and
 * q7_destroy's caller wakes and waits; everything else runs on the callback
 * thread, which alone owns the subscriber connection. Entries and snapshots
 * are parsed in q7changes.cpp.
 */
#include "q7handle.h"

#include <poll.h>
#include <pthread.h>

#include <cerrno>
#include <vector>

using q7::Argv;
using q7::Backoff;
using q7::CtxPtr;
using q7::ReplyPtr;
using q7::command;
using std::chrono::milliseconds;

namespace {

constexpr const char *kReadBatch = "64";  // stream entries per read: replies stay small

// The handle and value of the change whose callback runs on this thread,
// for q7_change_value. Thread-local: each callback thread sets its own.
thread_local const q7_handle *t_delivering = nullptr;
thread_local const char *t_value = nullptr;

struct Delivering {
    Delivering(const q7_handle *h, const char *value)
    {
        t_delivering = h;
        t_value = value;
    }
    ~Delivering()
    {
        t_delivering = nullptr;
        t_value = nullptr;
    }
    Delivering(const Delivering &) = delete;
    Delivering &operator=(const Delivering &) = delete;
};

}  // namespace

// A newly subscribed table: what it holds now counts as delivered. The
// first subscription opens the callback thread's connection and fixes
// where it starts reading, so that no change after the return is missed;
// without a server the table is kept and taken once the thread connects.
int q7_handle::watch(const char *table)
{
    std::lock_guard first(first_mu);
    q7::Snapshot snap;
    const auto args = q7::snapshot_request(*current_schema(), {table}, snap);
    const Argv request(args);
    ReplyPtr r;
    CtxPtr c;
    int rc = Q7_OK;
    if (!subscribed) {
        Backoff once;
        c = open_connection(once, request, r);
    } else {
        rc = roundtrip(request, r);
    }
    if (rc == Q7_OK)
        rc = !r ? Q7_TIMEOUT : q7::read_snapshot(r.get(), snap) ? Q7_OK : Q7_ERROR;
    std::lock_guard lk(sub_mu);
    q7::Delivered &d = watched[table];
    std::vector<q7::Change> none;
    if (rc == Q7_OK)
        d.take(snap.tables.at(0), false, none);
    if (!subscribed) {
        handed = std::move(c);
        handed_pos = rc == Q7_OK ? snap.pos : q7::StreamPos{};
        subscribed = true;
        wake();
    }
    return rc;
}

// Callback thread: the fields of every watched table that differ from
// what was last delivered are delivered (with report), and reading goes
// on after the snapshot. False when the connection failed.
bool q7_handle::resync(bool report)
{
    std::vector<std::string> names;
    {
        std::lock_guard lk(sub_mu);
        for (const auto &w : watched)
            names.push_back(w.first);
    }
    q7::Snapshot snap;
    const auto args = q7::snapshot_request(*current_schema(), names, snap);
    ReplyPtr r = command(sub.get(), Argv(args));
    if (!r || !q7::read_snapshot(r.get(), snap))
        return false;
    pos = snap.pos;
    std::vector<q7::Change> changed;
    {
        std::lock_guard lk(sub_mu);
        for (const auto &t : snap.tables)
            if (auto it = watched.find(t.name); it != watched.end())
                it->second.take(t, report, changed);
    }
    for (size_t i = 0; i < changed.size() && !closing; i++)
        deliver(changed[i]);
    return true;
}

// Callback thread: takes the connection of the first subscription, or
// opens one and reads on from the last entry only while that entry is
// still there (else the server came back empty or the bound trimmed past
// it, and only comparing values tells what changed).
bool q7_handle::attach()
{
    const bool after_first = subscribed;  // once set, the first connection has been handed
    {
        std::lock_guard lk(sub_mu);
        sub = std::move(handed);
        if (sub)
            pos = handed_pos;
    }
    if (sub)
        return pos.known || resync(false);
    if (!after_first)
        return false;
    const std::string at = pos.text(), from = pos.empty ? "-" : at, to = pos.empty ? "+" : at;
    ReplyPtr r;
    sub = open_connection(sub_backoff, {"XRANGE", q7::kStream, from, to, "COUNT", "1"}, r);
    if (!sub)
        return false;
    bool there = pos.known && r->type == REDIS_REPLY_ARRAY && r->elements > 0;
    return there || resync(pos.known);
}

void q7_handle::wake()
{
    char c = 1;
    while (write(wake_wr.fd, &c, 1) < 0 && errno == EINTR) {
    }
}

void q7_handle::drain_wake()
{
    char buf[16];
    while (read(wake_rd.fd, buf, sizeof buf) > 0) {
    }
}

void q7_handle::deliver(const q7::Change &c)
{
    q7_change_cb fn;
    void *ctx;
    {
        std::lock_guard lk(sub_mu);
        auto it = watched.find(c.table);
        if (it == watched.end())
            return;
        it->second.remember(c.row, c.field, c.value);
        if (!cb)
            return;
        fn = cb;
        ctx = cb_ctx;
    }
    if (closing)
        return;
    Delivering now(this, c.value.c_str());
    try {
        fn(c.table.c_str(), c.row, c.field.c_str(), ctx);
    } catch (...) {
        // A callback that throws must not end delivery.
    }
}

// Asks for the entries after pos, waiting on the server until one comes.
bool q7_handle::request_changes()
{
    const std::string from = pos.text();
    const Argv a{"XREAD", "COUNT", kReadBatch, "BLOCK", "0", "STREAMS", q7::kStream, from};
    int done = 0;
    if (redisAppendCommandArgv(sub.get(), a.count(), a.argv(), a.len()) != REDIS_OK)
        return false;
    while (!done) {
        if (redisBufferWrite(sub.get(), &done) != REDIS_OK)
            return false;
    }
    reading = true;
    return true;
}

// XREAD's reply: [[stream, [entry...]]]. An entry that does not follow
// on means a gap; the comparison then stands for the whole batch. Else
// the next read is asked for before the callbacks run, so that a change
// written meanwhile costs no round trip of its own.
bool q7_handle::deliver_batch(const redisReply *r)
{
    if (r->type != REDIS_REPLY_ARRAY || r->elements != 1 || r->element[0]->type != REDIS_REPLY_ARRAY ||
        r->element[0]->elements != 2 || r->element[0]->element[1]->type != REDIS_REPLY_ARRAY)
        return false;
    const redisReply *entries = r->element[0]->element[1];
    std::vector<q7::Change> changes;
    q7::StreamPos end = pos;
    for (size_t i = 0; i < entries->elements; i++) {
        q7::StreamPos id;
        q7::Change c;
        bool has_change = false;
        if (!q7::parse_entry(entries->element[i], id, c, has_change))
            return false;
        if (!end.followed_by(id))
            return resync(true);
        end = id;
        if (has_change)
            changes.push_back(std::move(c));
    }
    pos = end;
    const bool asked = request_changes();
    for (size_t i = 0; i < changes.size() && !closing; i++)
        deliver(changes[i]);
    return asked;
}

// Reads what arrived on the subscriber connection; false when it broke.
bool q7_handle::read_changes()
{
    if (redisBufferRead(sub.get()) != REDIS_OK)
        return false;
    void *r = nullptr;
    if (redisReaderGetReply(sub->reader, &r) != REDIS_OK)
        return false;
    if (!r)
        return true;  // the rest is still on its way
    ReplyPtr reply(static_cast<redisReply *>(r));
    reading = false;
    return deliver_batch(reply.get());
}

void q7_handle::loop()
{
    while (!closing) {
        if (!sub && !attach()) {
            // Until the first q7_subscribe, only a wake-up ends the wait.
            if (sub)
                sub_backoff.failed();
            sub.reset();
            pollfd w{wake_rd.fd, POLLIN, 0};
            poll(&w, 1, subscribed ? static_cast<int>(sub_backoff.remaining().count()) : -1);
            drain_wake();
            continue;
        }
        if (closing)
            break;
        if (!reading && !request_changes()) {
            sub.reset();
            continue;
        }
        pollfd p[2] = {{sub->fd, POLLIN, 0}, {wake_rd.fd, POLLIN, 0}};
        if (poll(p, 2, -1) < 0)
            continue;
        if (p[1].revents) {
            drain_wake();
            continue;
        }
        if (p[0].revents && !read_changes()) {
            sub.reset();  // read on from pos once connected again
            reading = false;
        }
    }
}

void q7_handle::wait_idle()
{
    while (inflight.load() > 0)
        std::this_thread::sleep_for(milliseconds(1));
}

void q7_handle::run() noexcept
{
    pthread_setname_np(pthread_self(), "q7-notify");
    try {
        loop();
    } catch (...) {
    }
    if (self_destroy) {
        wait_idle();
        thread.detach();
        delete this;
    }
}

extern "C" const char *q7_change_value(const q7_handle *h)
{
    return h && h == t_delivering ? t_value : nullptr;
}
