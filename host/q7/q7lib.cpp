/*
 * q7lib.cpp - the public calls of the Q7 client library (libq7lib.so):
 * checking each call against the schema, the typed gets and sets, and a
 * handle's life. A call runs on its caller's thread; the round trip it makes
 * is in q7conn.cpp, subscriptions and delivery in q7notify.cpp.
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
#include "q7handle.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

using q7::ReplyPtr;
using q7::is_error;

namespace {

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

int env_timeout_ms()
{
    const char *s = getenv("Q7_TIMEOUT_MS");
    char *end = nullptr;
    long v = s ? strtol(s, &end, 10) : 0;
    return s && *end == '\0' && v > 0 && v <= 600000 ? static_cast<int>(v) : q7::kDefaultTimeoutMs;
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
