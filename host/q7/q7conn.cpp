/*
 * q7conn.cpp - a handle's command connection: connecting (reading the
 * schema again on each new connection), reconnect back-off, and the round
 * trip bounded by the call timeout. Any caller thread runs these, one at a
 * time per handle under cmd_mu; the callback thread uses open_connection
 * for its own connection.
 */
#include "q7handle.h"

#include <cerrno>
#include <cstring>
#include <sys/time.h>

using q7::Argv;
using q7::Backoff;
using q7::CtxPtr;
using q7::ReplyPtr;
using q7::command;
using q7::connect_unix;
using std::chrono::milliseconds;

namespace {

constexpr const char *kSchemaKey = "q7:schema";

}  // namespace

namespace q7 {

CtxPtr connect_unix(const std::string &path, int ms)
{
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    CtxPtr c(redisConnectUnixWithTimeout(path.c_str(), tv));
    if (!c || c->err || redisSetTimeout(c.get(), tv) != REDIS_OK)
        return nullptr;
    return c;
}

ReplyPtr command(redisContext *c, const Argv &a)
{
    return ReplyPtr(static_cast<redisReply *>(redisCommandArgv(c, a.count(), a.argv(), a.len())));
}

bool is_error(const ReplyPtr &r, const char *prefix)
{
    return r->type == REDIS_REPLY_ERROR && strncmp(r->str, prefix, strlen(prefix)) == 0;
}

}  // namespace q7

// Connects and sends the connection's first request; on failure the
// next attempt waits for the back-off.
CtxPtr q7_handle::open_connection(Backoff &pace, const Argv &first, ReplyPtr &r)
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
int q7_handle::connect_cmd()
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
int q7_handle::roundtrip(const Argv &args, ReplyPtr &reply)
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