/*
 * q7lib.cpp - the Q7 client library (libq7lib.so).
 *
 * Storage: one server hash per (table, row), key "q7:d:TABLE:ROW", field ->
 * canonical text; an absent field reads as its schema default. The schema
 * lives in the server (key "q7:schema") and is cached per handle; all
 * validation happens here against that cache.
 *
 * A set is one server-side script that compares with the old value, writes
 * and publishes "TABLE\tROW\tFIELD" on the one channel "q7:notify", so that
 * notification happens only on change and in commit order. Each handle keeps
 * two connections: the command connection (any caller thread, one mutex per
 * round trip) and the subscriber connection, owned by the handle's callback
 * thread, which filters by the subscribed tables and runs the callback. The
 * subscriber connection is opened by the first q7_subscribe: a handle that
 * only reads and writes is not woken by every change on the server.
 */
#pragma GCC visibility push(default)
#include "q7host.h"
#include "q7lib.h"
#pragma GCC visibility pop

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
#include <set>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char *kSchemaKey = "q7:schema";
constexpr const char *kChannel = "q7:notify";
constexpr int kDefaultTimeoutMs = 2000;

// KEYS[1] row hash; ARGV: field, new value, default, channel, message and,
// for a guarded set, the guard's field, value and default (-1: it did not
// hold). Absent counts as the default, so writing the default to an
// unwritten field changes nothing and notifies nobody.
constexpr const char *kSetScript =
    "if ARGV[6] and (redis.call('HGET', KEYS[1], ARGV[6]) or ARGV[8]) ~= ARGV[7] then return -1 end\n"
    "local old = redis.call('HGET', KEYS[1], ARGV[1]) or ARGV[3]\n"
    "if old == ARGV[2] then return 0 end\n"
    "redis.call('HSET', KEYS[1], ARGV[1], ARGV[2])\n"
    "redis.call('PUBLISH', ARGV[4], ARGV[5])\n"
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

// Arguments go as counted bytes: outside text is never a format.
ReplyPtr command(redisContext *c, std::initializer_list<std::string_view> args)
{
    const char *argv[12];
    size_t len[12];
    int n = 0;
    for (auto a : args) {
        argv[n] = a.data();
        len[n++] = a.size();
    }
    return ReplyPtr(static_cast<redisReply *>(redisCommandArgv(c, n, argv, len)));
}

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

    // sub_mu guards tables, cb, cb_ctx and handed: caller threads write
    // them, the callback thread reads them for each notification.
    std::mutex sub_mu;
    std::set<std::string, std::less<>> tables;
    q7_change_cb cb = nullptr;
    void *cb_ctx = nullptr;
    CtxPtr handed;  // the first subscriber connection, for the callback thread

    // first_mu serialises the first subscriptions; subscribed is set once
    // the callback thread has a connection to take (read by any thread).
    std::mutex first_mu;
    std::atomic<bool> subscribed{false};

    // Owned by the callback thread.
    CtxPtr sub;
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
    CtxPtr open_connection(Backoff &pace, std::string_view verb, std::string_view arg, ReplyPtr &r)
    {
        if (pace.remaining().count() > 0)
            return nullptr;
        CtxPtr c = connect_unix(socket, timeout_ms);
        r = c ? command(c.get(), {verb, arg}) : nullptr;
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
        CtxPtr c = open_connection(cmd_backoff, "GET", kSchemaKey, r);
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
    // both requests this library sends are safe to repeat.
    int roundtrip(std::initializer_list<std::string_view> args, ReplyPtr &reply)
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

    // A connection subscribed to the channel, or nothing (pace: failed).
    CtxPtr open_subscriber(Backoff &pace)
    {
        ReplyPtr r;
        CtxPtr c = open_connection(pace, "SUBSCRIBE", kChannel, r);
        if (c && r->type != REDIS_REPLY_ARRAY) {
            pace.failed();
            c.reset();
        }
        return c;
    }

    // Callback thread. The first connection is opened by q7_subscribe, so
    // that the changes after its return are delivered; a lost one is
    // replaced here.
    bool subscribe_channel()
    {
        // Read first: once it is set, the first connection has been handed.
        const bool after_first = subscribed;
        {
            std::lock_guard lk(sub_mu);
            sub = std::move(handed);
        }
        if (!sub && after_first)
            sub = open_subscriber(sub_backoff);
        return sub != nullptr;
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

    void deliver(const redisReply *m)
    {
        if (m->type != REDIS_REPLY_ARRAY || m->elements != 3 || m->element[2]->type != REDIS_REPLY_STRING)
            return;
        std::string_view msg(m->element[2]->str, m->element[2]->len);
        size_t t1 = msg.find('\t'), t2 = msg.rfind('\t');
        if (t1 == std::string_view::npos || t1 == t2)
            return;
        std::string table(msg.substr(0, t1)), row(msg.substr(t1 + 1, t2 - t1 - 1)), field(msg.substr(t2 + 1));
        q7_change_cb fn;
        void *ctx;
        {
            std::lock_guard lk(sub_mu);
            if (!cb || !tables.count(table))
                return;
            fn = cb;
            ctx = cb_ctx;
        }
        if (closing)
            return;
        try {
            fn(table.c_str(), static_cast<unsigned>(strtoul(row.c_str(), nullptr, 10)), field.c_str(), ctx);
        } catch (...) {
            // A callback that throws must not end delivery.
        }
    }

    // Reads what arrived on the subscriber connection; false when it broke.
    bool read_notifications()
    {
        if (redisBufferRead(sub.get()) != REDIS_OK)
            return false;
        for (;;) {
            void *r = nullptr;
            if (redisReaderGetReply(sub->reader, &r) != REDIS_OK)
                return false;
            if (!r)
                return true;
            ReplyPtr reply(static_cast<redisReply *>(r));
            deliver(reply.get());
            if (closing)
                return true;
        }
    }

    void loop()
    {
        while (!closing) {
            if (!sub && !subscribe_channel()) {
                // Until the first q7_subscribe, only a wake-up ends the wait.
                pollfd w{wake_rd.fd, POLLIN, 0};
                poll(&w, 1, subscribed ? static_cast<int>(sub_backoff.remaining().count()) : -1);
                drain_wake();
                continue;
            }
            pollfd p[2] = {{sub->fd, POLLIN, 0}, {wake_rd.fd, POLLIN, 0}};
            if (poll(p, 2, -1) < 0)
                continue;
            if (p[1].revents) {
                drain_wake();
                continue;
            }
            if (p[0].revents && !read_notifications())
                sub.reset();  // changes until the next SUBSCRIBE are lost
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
            int rc = guard ? h->roundtrip({verb, script, "1", t.key, field, value, t.f->def, kChannel, msg,
                                           guard->field, guard_value, g.f->def},
                                          r)
                           : h->roundtrip({verb, script, "1", t.key, field, value, t.f->def, kChannel, msg}, r);
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
        // Subscribed before the first q7_subscribe returns: no write after
        // it is missed. When the server cannot be reached the callback
        // thread keeps trying, as after a lost connection.
        int rc = Q7_OK;
        if (on && !h->subscribed) {
            std::lock_guard first(h->first_mu);
            if (!h->subscribed) {
                Backoff once;
                if (CtxPtr c = h->open_subscriber(once)) {
                    std::lock_guard lk(h->sub_mu);
                    h->handed = std::move(c);
                } else {
                    rc = Q7_TIMEOUT;
                }
                h->subscribed = true;
                h->wake();
            }
        }
        std::lock_guard lk(h->sub_mu);
        if (on)
            h->tables.emplace(table);
        else if (auto it = h->tables.find(std::string_view(table)); it != h->tables.end())
            h->tables.erase(it);
        return rc;
    } catch (...) {
        return Q7_ERROR;
    }
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
