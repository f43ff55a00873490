/*
 * q7lib.cpp - the Q7 client library (libq7lib.so).
 *
 * Storage: one server hash per (table, row), key "q7:d:TABLE:ROW", field ->
 * canonical text; an absent field reads as its schema default. The schema
 * lives in the server (key "q7:schema") and is cached per handle; all
 * validation happens here against that cache.
 *
 * A set is one server-side script that compares with the old value, writes
 * and appends the change, value included, to one bounded stream (see
 * q7changes.h), so that notification happens only on change and in commit
 * order. Each handle keeps two connections: the command connection (any
 * caller thread, one mutex per round trip) and the subscriber connection,
 * owned by the handle's callback thread, which reads the stream on from the
 * last entry it saw, filters by the subscribed tables and runs the callback.
 * The stream is the only delivery path: a subscriber that was away reads
 * what it missed, and where that is gone (the server came back empty, or the
 * bound trimmed past it) it compares values and reports every field that
 * differs from what it last delivered. The subscriber connection is opened by
 * the first q7_subscribe: a handle that only reads and writes is not woken by
 * every change on the server.
 */
#pragma GCC visibility push(default)
#include "q7host.h"
#include "q7lib.h"
#pragma GCC visibility pop

#include "q7changes.h"
#include "q7schema.h"

#include <hiredis/hiredis.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <map>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char *kSchemaKey = "q7:schema";
constexpr int kDefaultTimeoutMs = 2000;
constexpr const char *kReadBatch = "64";  // stream entries per read: replies stay small

// KEYS[1] row hash, KEYS[2] the change stream; ARGV: field, new value,
// default, stream bound, "TABLE\tROW\tFIELD" and, for a guarded set, the
// guard's field, value and default (-1: it did not hold). Absent counts as
// the default, so writing the default to an unwritten field changes nothing
// and notifies nobody. A new stream starts at id EPOCH-0, EPOCH the time in
// microseconds: taken for milliseconds it lies far ahead of the clock, so
// the server numbers every later entry EPOCH-(SEQ+1).
constexpr const char *kSetScript =
    "if ARGV[6] and (redis.call('HGET', KEYS[1], ARGV[6]) or ARGV[8]) ~= ARGV[7] then return -1 end\n"
    "local old = redis.call('HGET', KEYS[1], ARGV[1]) or ARGV[3]\n"
    "if old == ARGV[2] then return 0 end\n"
    "redis.call('HSET', KEYS[1], ARGV[1], ARGV[2])\n"
    "local id = '*'\n"
    "if redis.call('EXISTS', KEYS[2]) == 0 then\n"
    "  local t = redis.call('TIME')\n"
    "  id = t[1] .. string.format('%06d', t[2]) .. '-0'\n"
    "end\n"
    "redis.call('XADD', KEYS[2], 'MAXLEN', '~', ARGV[4], id, 'n', ARGV[5], 'v', ARGV[2])\n"
    "return 1\n";

struct ReplyFree {
    void operator()(redisReply *r) const { freeReplyObject(r); }
};
struct CtxFree {
    void operator()(redisContext *c) const { redisFree(c); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyFree>;
using CtxPtr = std::unique_ptr<redisContext, CtxFree>;

struct Fd {
    int fd = -1;
    Fd() = default;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Reconnect pacing: 50 ms doubling to 1 s; calls fail fast meanwhile.
struct Backoff {
    Clock::time_point next{};
    milliseconds step{0};
    milliseconds remaining() const
    {
        return std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(next - Clock::now()));
    }
    void failed()
    {
        step = step.count() == 0 ? milliseconds(50) : std::min(step * 2, milliseconds(1000));
        next = Clock::now() + step;
    }
    void reset() { *this = Backoff{}; }
};

// A lock that gives up at a deadline. (std::timed_mutex waits through
// pthread_mutex_clocklock, which the thread sanitizer does not see.)
class TimedLock {
public:
    template <class Duration>
    bool try_lock_for(Duration d)
    {
        std::unique_lock lk(mu_);
        if (!cv_.wait_for(lk, d, [&] { return !busy_; }))
            return false;
        busy_ = true;
        return true;
    }
    void unlock()
    {
        {
            std::lock_guard lk(mu_);
            busy_ = false;
        }
        cv_.notify_one();
    }

private:
    std::mutex mu_;  // guards busy_
    std::condition_variable cv_;
    bool busy_ = false;
};

int env_timeout_ms()
{
    const char *s = getenv("Q7_TIMEOUT_MS");
    char *end = nullptr;
    long v = s ? strtol(s, &end, 10) : 0;
    return s && *end == '\0' && v > 0 && v <= 600000 ? static_cast<int>(v) : kDefaultTimeoutMs;
}

CtxPtr connect_unix(const std::string &path, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    CtxPtr c(redisConnectUnixWithTimeout(path.c_str(), tv));
    if (!c || c->err || redisSetTimeout(c.get(), tv) != REDIS_OK)
        return nullptr;
    return c;
}

// A request as counted bytes: outside text is never a format. It points
// into the texts it was made from, which must outlive it.
class Argv {
public:
    template <class Args>
    explicit Argv(const Args &args)
    {
        for (std::string_view a : args) {
            ptr_.push_back(a.data());
            len_.push_back(a.size());
        }
    }
    Argv(std::initializer_list<std::string_view> args) : Argv(std::vector<std::string_view>(args)) {}
    int count() const { return static_cast<int>(ptr_.size()); }
    // hiredis takes the array as non-const but only reads it.
    const char **argv() const { return const_cast<const char **>(ptr_.data()); }
    const size_t *len() const { return len_.data(); }

private:
    std::vector<const char *> ptr_;
    std::vector<size_t> len_;
};

ReplyPtr command(redisContext *c, const Argv &a)
{
    return ReplyPtr(static_cast<redisReply *>(redisCommandArgv(c, a.count(), a.argv(), a.len())));
}

// The handle and value of the change whose callback runs on this thread,
// for q7_change_value.
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

bool is_error(const ReplyPtr &r, const char *prefix = "")
{
    return r->type == REDIS_REPLY_ERROR && strncmp(r->str, prefix, strlen(prefix)) == 0;
}

void ignore_sigpipe()
{
    struct sigaction old {};
    if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
        struct sigaction ign {};
        ign.sa_handler = SIG_IGN;
        sigemptyset(&ign.sa_mask);
        sigaction(SIGPIPE, &ign, nullptr);
    }
}

int copy_out(const std::string &s, char *buf, size_t size)
{
    size_t n = std::min(s.size(), size - 1);
    memcpy(buf, s.data(), n);
    buf[n] = '\0';
    return Q7_OK;
}

}  // namespace

struct q7_handle {
    std::string socket;
    int timeout_ms = kDefaultTimeoutMs;
    std::string script_sha;  // set once in q7_init, read-only after

    // Written by q7_destroy, read by every call and the callback thread.
    std::atomic<bool> closing{false};
    // Calls inside the API right now; q7_destroy waits for it to drain.
    std::atomic<int> inflight{0};
    // Set by q7_destroy when it runs on the callback thread; same thread reads it.
    bool self_destroy = false;

    // cmd_mu guards cmd and cmd_backoff; taken by every caller thread, once
    // per round trip, with a deadline so a frozen server queues nobody for ever.
    TimedLock cmd_mu;
    CtxPtr cmd;
    Backoff cmd_backoff;

    // schema_mu guards the pointer (swapped after a reconnect); any thread
    // copies it and then reads the immutable schema without the lock.
    std::mutex schema_mu;
    q7::SchemaPtr schema;

    // sub_mu guards watched, cb, cb_ctx, handed and handed_pos: caller
    // threads write them, the callback thread reads them for each change.
    std::mutex sub_mu;
    std::map<std::string, q7::Delivered, std::less<>> watched;
    q7_change_cb cb = nullptr;
    void *cb_ctx = nullptr;
    CtxPtr handed;  // the first subscriber connection, for the callback thread
    q7::StreamPos handed_pos;  // where it starts reading

    // first_mu serialises the subscriptions of new tables; subscribed is set
    // once the callback thread has a connection to take (read by any thread).
    std::mutex first_mu;
    std::atomic<bool> subscribed{false};

    // Owned by the callback thread.
    CtxPtr sub;
    bool reading = false;  // a read of the stream awaits its reply on sub
    q7::StreamPos pos;     // the last entry read (or the snapshot's)
    Backoff sub_backoff;
    Fd wake_rd, wake_wr;
    std::thread thread;

    q7::SchemaPtr current_schema()
    {
        std::lock_guard lk(schema_mu);
        return schema;
    }

    // Connects and sends the connection's first request; on failure the
    // next attempt waits for the back-off.
    CtxPtr open_connection(Backoff &pace, const Argv &first, ReplyPtr &r)
    {
        if (pace.remaining().count() > 0)
            return nullptr;
        CtxPtr c = connect_unix(socket, timeout_ms);
        r = c ? command(c.get(), first) : nullptr;
        if (!r) {
            pace.failed();
            return nullptr;
        }
        pace.reset();
        return c;
    }

    // With cmd_mu held. Reads the schema again on every new connection: the
    // server may have been restarted with another one.
    int connect_cmd()
    {
        ReplyPtr r;
        CtxPtr c = open_connection(cmd_backoff, {"GET", kSchemaKey}, r);
        if (!c)
            return Q7_TIMEOUT;
        if (r->type == REDIS_REPLY_STRING) {
            if (auto s = q7::parse_schema({r->str, r->len}, nullptr)) {
                std::lock_guard lk(schema_mu);
                schema = std::move(s);
            }
        }
        cmd = std::move(c);
        return Q7_OK;
    }

    // One request and its reply. A connection that the server closed (it
    // was restarted) is replaced and the request sent once more at once;
    // every request this library sends is safe to repeat.
    int roundtrip(const Argv &args, ReplyPtr &reply)
    {
        std::unique_lock lk(cmd_mu, std::defer_lock);
        if (!lk.try_lock_for(milliseconds(timeout_ms)))
            return Q7_TIMEOUT;
        if (closing)
            return Q7_SHUTDOWN;
        for (int attempt = 0; attempt < 2; attempt++) {
            bool fresh = !cmd;
            if (fresh) {
                if (int rc = connect_cmd())
                    return rc;
            }
            reply = command(cmd.get(), args);
            if (reply)
                return Q7_OK;
            int e = errno;
            bool dropped = cmd->err == REDIS_ERR_EOF || (cmd->err == REDIS_ERR_IO && (e == EPIPE || e == ECONNRESET));
            cmd.reset();
            if (fresh || !dropped) {
                cmd_backoff.failed();
                return Q7_TIMEOUT;
            }
        }
        return Q7_TIMEOUT;
    }

    // A newly subscribed table: what it holds now counts as delivered. The
    // first subscription opens the callback thread's connection and fixes
    // where it starts reading, so that no change after the return is missed;
    // without a server the table is kept and taken once the thread connects.
    int watch(const char *table)
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
    bool resync(bool report)
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
    bool attach()
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

    void wake()
    {
        char c = 1;
        while (write(wake_wr.fd, &c, 1) < 0 && errno == EINTR) {
        }
    }

    void drain_wake()
    {
        char buf[16];
        while (read(wake_rd.fd, buf, sizeof buf) > 0) {
        }
    }

    void deliver(const q7::Change &c)
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
    bool request_changes()
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
    bool deliver_batch(const redisReply *r)
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
    bool read_changes()
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

    void loop()
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

    void wait_idle()
    {
        while (inflight.load() > 0)
            std::this_thread::sleep_for(milliseconds(1));
    }

    void run() noexcept
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
};

namespace {

// Counts a call in flight; false when the handle is NULL or closing.
class Call {
public:
    explicit Call(q7_handle *h) : h_(h)
    {
        if (!h_)
            return;
        h_->inflight.fetch_add(1);
        if (h_->closing.load()) {
            h_->inflight.fetch_sub(1);
            h_ = nullptr;
        }
    }
    ~Call()
    {
        if (h_)
            h_->inflight.fetch_sub(1);
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
    explicit operator bool() const { return h_ != nullptr; }

private:
    q7_handle *h_;
};

constexpr int kAnyKind = -1;

struct Target {
    q7::SchemaPtr schema;  // keeps f alive
    const q7::Field *f = nullptr;
    char key[96];
};

int resolve(q7_handle *h, const char *table, unsigned row, const char *field, int kind, Target &t)
{
    if (!table || !field)
        return Q7_INVALID;
    t.schema = h->current_schema();
    auto ti = t.schema->tables.find(std::string_view(table));
    if (ti == t.schema->tables.end() || row >= ti->second.rows)
        return Q7_NOSUCH_ITEM;
    auto fi = ti->second.fields.find(std::string_view(field));
    if (fi == ti->second.fields.end())
        return Q7_NOSUCH_ITEM;
    t.f = &fi->second;
    if (kind != kAnyKind && t.f->kind != kind)
        return Q7_WRONG_TYPE;
    // Schema names are at most 63 characters, so the key always fits.
    snprintf(t.key, sizeof t.key, "q7:d:%s:%u", table, row);
    return Q7_OK;
}

// Runs op on the resolved field with the call counted and no exception
// escaping to the C caller.
template <class Op>
int on_field(q7_handle *h, const char *table, unsigned row, const char *field, int kind, Op op) noexcept
{
    Call call(h);
    if (!call)
        return Q7_SHUTDOWN;
    try {
        Target t;
        int rc = resolve(h, table, row, field, kind, t);
        return rc ? rc : op(t);
    } catch (...) {
        return Q7_ERROR;
    }
}

int get_value(q7_handle *h, const char *table, unsigned row, const char *field, int kind, std::string &out)
{
    return on_field(h, table, row, field, kind, [&](const Target &t) -> int {
        ReplyPtr r;
        if (int rc = h->roundtrip({"HGET", t.key, field}, r))
            return rc;
        if (r->type == REDIS_REPLY_NIL) {
            out = t.f->def;
            return Q7_OK;
        }
        // Hand out only what fits the field, whoever wrote it.
        if (r->type != REDIS_REPLY_STRING || q7::canonical(*t.f, {r->str, r->len}, out) != Q7_OK)
            return Q7_ERROR;
        return Q7_OK;
    });
}

// The field and value a guarded set needs its row to hold.
struct Guard {
    const char *field;
    const char *value;
    int *held;
};

int set_value(q7_handle *h, const char *table, unsigned row, const char *field, int kind, const char *text,
              const Guard *guard = nullptr)
{
    return on_field(h, table, row, field, kind, [&](const Target &t) -> int {
        std::string value, guard_value;
        if (!text)
            return Q7_INVALID;
        if (int rc = q7::canonical(*t.f, text, value))
            return rc;
        Target g;
        if (guard) {
            if (!guard->value || !guard->held)
                return Q7_INVALID;
            if (int rc = resolve(h, table, row, guard->field, kAnyKind, g))
                return rc;
            if (int rc = q7::canonical(*g.f, guard->value, guard_value))
                return rc;
        }
        char msg[160];
        snprintf(msg, sizeof msg, "%s\t%u\t%s", table, row, field);
        auto run = [&](std::string_view verb, std::string_view script) {
            ReplyPtr r;
            int rc = guard ? h->roundtrip({verb, script, "2", t.key, q7::kStream, field, value, t.f->def,
                                           q7::kStreamBound, msg, guard->field, guard_value, g.f->def},
                                          r)
                           : h->roundtrip({verb, script, "2", t.key, q7::kStream, field, value, t.f->def,
                                           q7::kStreamBound, msg},
                                          r);
            if (rc == Q7_OK && is_error(r, "NOSCRIPT"))
                return -1;
            if (rc == Q7_OK && (is_error(r) || r->type != REDIS_REPLY_INTEGER))
                return static_cast<int>(Q7_ERROR);
            if (rc == Q7_OK && guard)
                *guard->held = r->integer != -1;
            return rc;
        };
        int rc = run("EVALSHA", h->script_sha);
        // The server forgets scripts when it restarts.
        return rc == -1 ? run("EVAL", kSetScript) : rc;
    });
}

int get_text(q7_handle *h, const char *table, unsigned row, const char *field, int kind, char *buf, size_t size)
{
    std::string v;
    if (!h)
        return Q7_SHUTDOWN;
    if (!buf || size == 0)
        return Q7_INVALID;
    int rc = get_value(h, table, row, field, kind, v);
    return rc ? rc : copy_out(v, buf, size);
}

// Typed getters: the canonical text is known to parse.
template <class Parse>
int get_parsed(q7_handle *h, const char *table, unsigned row, const char *field, q7_kind kind, void *out,
               Parse parse)
{
    std::string v;
    if (!h)
        return Q7_SHUTDOWN;
    if (!out)
        return Q7_INVALID;
    int rc = get_value(h, table, row, field, kind, v);
    if (rc == Q7_OK)
        parse(v);
    return rc;
}

int set_bytes(q7_handle *h, const char *table, unsigned row, const char *field, q7_kind kind, const uint8_t *b)
{
    if (!h)
        return Q7_SHUTDOWN;
    if (!b)
        return Q7_INVALID;
    std::string text = kind == Q7_KIND_MAC ? q7::format_mac(b) : q7::format_ipv4(b);
    return set_value(h, table, row, field, kind, text.c_str());
}

}  // namespace

extern "C" {

q7_handle *q7_init(void)
{
    try {
        ignore_sigpipe();
        auto h = std::make_unique<q7_handle>();
        const char *sock = getenv("Q7_SOCKET");
        h->socket = sock && *sock ? sock : "/tmp/q7.sock";
        h->timeout_ms = env_timeout_ms();
        ReplyPtr r;
        if (h->roundtrip({"SCRIPT", "LOAD", kSetScript}, r) || r->type != REDIS_REPLY_STRING || !h->current_schema())
            return nullptr;
        h->script_sha.assign(r->str, r->len);
        int p[2];
        if (pipe(p) != 0)
            return nullptr;
        h->wake_rd.fd = p[0];
        h->wake_wr.fd = p[1];
        for (int fd : p)
            fcntl(fd, F_SETFD, FD_CLOEXEC);
        fcntl(p[0], F_SETFL, O_NONBLOCK);
        h->thread = std::thread([p = h.get()] { p->run(); });
        return h.release();
    } catch (...) {
        return nullptr;
    }
}

void q7_destroy(q7_handle *h)
{
    if (!h || h->closing.exchange(true))
        return;
    if (std::this_thread::get_id() == h->thread.get_id()) {
        h->self_destroy = true;  // the callback thread frees it on return
        return;
    }
    h->wake();
    h->thread.join();
    h->wait_idle();
    delete h;
}

int q7_subscribe_cb(q7_handle *h, q7_change_cb cb, void *ctx)
{
    Call call(h);
    if (!call)
        return Q7_SHUTDOWN;
    std::lock_guard lk(h->sub_mu);
    h->cb = cb;
    h->cb_ctx = ctx;
    return Q7_OK;
}

int q7_subscribe(q7_handle *h, const char *table, int on)
{
    Call call(h);
    if (!call)
        return Q7_SHUTDOWN;
    if (!table)
        return Q7_INVALID;
    auto s = h->current_schema();
    if (!s->tables.count(std::string_view(table)))
        return Q7_NOSUCH_ITEM;
    try {
        if (on) {
            {
                std::lock_guard lk(h->sub_mu);
                if (h->watched.count(std::string_view(table)))
                    return Q7_OK;
            }
            return h->watch(table);
        }
        std::lock_guard lk(h->sub_mu);
        if (auto it = h->watched.find(std::string_view(table)); it != h->watched.end())
            h->watched.erase(it);
        return Q7_OK;
    } catch (...) {
        return Q7_ERROR;
    }
}

const char *q7_change_value(const q7_handle *h)
{
    return h && h == t_delivering ? t_value : nullptr;
}

int q7_get_enum(q7_handle *h, const char *table, unsigned int row, const char *field, char *buf, size_t size)
{
    return get_text(h, table, row, field, Q7_KIND_ENUM, buf, size);
}

int q7_get_ascii(q7_handle *h, const char *table, unsigned int row, const char *field, char *buf, size_t size)
{
    return get_text(h, table, row, field, Q7_KIND_ASCII, buf, size);
}

int q7_get_string(q7_handle *h, const char *table, unsigned int row, const char *field, char *buf, size_t size)
{
    return get_text(h, table, row, field, Q7_KIND_STRING, buf, size);
}

int q7_get_text(q7_handle *h, const char *table, unsigned int row, const char *field, char *buf, size_t size)
{
    return get_text(h, table, row, field, kAnyKind, buf, size);
}

int q7_get_int(q7_handle *h, const char *table, unsigned int row, const char *field, int32_t *value)
{
    return get_parsed(h, table, row, field, Q7_KIND_INT, value,
                      [&](const std::string &v) { *value = static_cast<int32_t>(strtol(v.c_str(), nullptr, 10)); });
}

int q7_get_uint(q7_handle *h, const char *table, unsigned int row, const char *field, uint32_t *value)
{
    return get_parsed(h, table, row, field, Q7_KIND_UINT, value,
                      [&](const std::string &v) { *value = static_cast<uint32_t>(strtoul(v.c_str(), nullptr, 10)); });
}

int q7_get_bool(q7_handle *h, const char *table, unsigned int row, const char *field, uint8_t *value)
{
    return get_parsed(h, table, row, field, Q7_KIND_BOOL, value, [&](const std::string &v) { *value = v == "1"; });
}

int q7_get_mac(q7_handle *h, const char *table, unsigned int row, const char *field, uint8_t mac[6])
{
    return get_parsed(h, table, row, field, Q7_KIND_MAC, mac, [&](const std::string &v) { q7::parse_mac(v, mac); });
}

int q7_get_ipv4(q7_handle *h, const char *table, unsigned int row, const char *field, uint8_t ip[4])
{
    return get_parsed(h, table, row, field, Q7_KIND_IPV4, ip, [&](const std::string &v) { q7::parse_ipv4(v, ip); });
}

int q7_set_enum(q7_handle *h, const char *table, unsigned int row, const char *field, const char *value)
{
    return set_value(h, table, row, field, Q7_KIND_ENUM, value);
}

int q7_set_ascii(q7_handle *h, const char *table, unsigned int row, const char *field, const char *value)
{
    return set_value(h, table, row, field, Q7_KIND_ASCII, value);
}

int q7_set_string(q7_handle *h, const char *table, unsigned int row, const char *field, const char *value)
{
    return set_value(h, table, row, field, Q7_KIND_STRING, value);
}

int q7_set_text(q7_handle *h, const char *table, unsigned int row, const char *field, const char *value)
{
    return set_value(h, table, row, field, kAnyKind, value);
}

int q7_set_int(q7_handle *h, const char *table, unsigned int row, const char *field, int32_t value)
{
    return set_value(h, table, row, field, Q7_KIND_INT, std::to_string(value).c_str());
}

int q7_set_uint(q7_handle *h, const char *table, unsigned int row, const char *field, uint32_t value)
{
    return set_value(h, table, row, field, Q7_KIND_UINT, std::to_string(value).c_str());
}

int q7_set_bool(q7_handle *h, const char *table, unsigned int row, const char *field, int value)
{
    // Anything but 0 and 1 is refused rather than guessed.
    return set_value(h, table, row, field, Q7_KIND_BOOL, value == 0 ? "0" : value == 1 ? "1" : "");
}

int q7_set_mac(q7_handle *h, const char *table, unsigned int row, const char *field, const uint8_t mac[6])
{
    return set_bytes(h, table, row, field, Q7_KIND_MAC, mac);
}

int q7_set_ipv4(q7_handle *h, const char *table, unsigned int row, const char *field, const uint8_t ip[4])
{
    return set_bytes(h, table, row, field, Q7_KIND_IPV4, ip);
}

int q7_set_text_if(q7_handle *h, const char *table, unsigned int row, const char *field, const char *value,
                   const char *guard_field, const char *guard_value, int *held)
{
    const Guard guard{guard_field, guard_value, held};
    return set_value(h, table, row, field, kAnyKind, value, &guard);
}

int q7_field_kind(q7_handle *h, const char *table, const char *field, q7_kind *kind)
{
    return on_field(h, table, 0, field, kAnyKind, [&](const Target &t) -> int {
        if (!kind)
            return Q7_INVALID;
        *kind = t.f->kind;
        return Q7_OK;
    });
}

int q7_table_rows(q7_handle *h, const char *table, unsigned int *rows)
{
    Call call(h);
    if (!call)
        return Q7_SHUTDOWN;
    if (!table || !rows)
        return Q7_INVALID;
    auto s = h->current_schema();
    auto it = s->tables.find(std::string_view(table));
    if (it == s->tables.end())
        return Q7_NOSUCH_ITEM;
    *rows = it->second.rows;
    return Q7_OK;
}

int q7_schema_text(q7_handle *h, char **json)
{
    Call call(h);
    if (!call)
        return Q7_SHUTDOWN;
    if (!json)
        return Q7_INVALID;
    auto s = h->current_schema();
    *json = static_cast<char *>(malloc(s->json.size() + 1));
    if (!*json)
        return Q7_ERROR;
    memcpy(*json, s->json.c_str(), s->json.size() + 1);
    return Q7_OK;
}

const char *q7_error_string(int code)
{
    static constexpr const char *kTexts[] = {
        "ok",
        "server unreachable or timed out",
        "handle closed",
        "no such table, field or row",
        "text too long for the field",
        "invalid input",
        "wrong kind for the field",
        "malformed MAC or IPv4 text",
        "server error",
    };
    return code >= 0 && code <= Q7_ERROR ? kTexts[code] : "unknown error";
}

}  // extern "C"
