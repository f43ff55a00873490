/*
 * q7handle.h - what a q7_handle holds, and which of libq7lib's files does
 * what with it: q7conn.cpp the command connection and its round trip,
 * q7notify.cpp the subscriber connection and the callback thread, q7lib.cpp
 * the public calls over both. Each member says which lock guards it and
 * which threads touch it. Not part of the public API.
 */
#ifndef Q7HANDLE_H
#define Q7HANDLE_H

// Declared hidden before the exported calls name it: its members are not API.
struct __attribute__((visibility("hidden"))) q7_handle;

// The public calls are the library's only exported symbols.
#pragma GCC visibility push(default)
#include "q7host.h"
#include "q7lib.h"
#pragma GCC visibility pop

#include "q7changes.h"
#include "q7conn.h"
#include "q7schema.h"

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace q7 {
constexpr int kDefaultTimeoutMs = 2000;
}

struct q7_handle {
    std::string socket;
    int timeout_ms = q7::kDefaultTimeoutMs;
    std::string script_sha;  // set once in q7_init, read-only after

    // Written by q7_destroy, read by every call and the callback thread.
    std::atomic<bool> closing{false};
    // Calls inside the API right now; q7_destroy waits for it to drain.
    std::atomic<int> inflight{0};
    // Set by q7_destroy when it runs on the callback thread; same thread reads it.
    bool self_destroy = false;

    // cmd_mu guards cmd and cmd_backoff; taken by every caller thread, once
    // per round trip, with a deadline so a frozen server queues nobody for ever.
    q7::TimedLock cmd_mu;
    q7::CtxPtr cmd;
    q7::Backoff cmd_backoff;

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
    q7::CtxPtr handed;         // the first subscriber connection, for the callback thread
    q7::StreamPos handed_pos;  // where it starts reading

    // first_mu serialises the subscriptions of new tables; subscribed is set
    // once the callback thread has a connection to take (read by any thread).
    std::mutex first_mu;
    std::atomic<bool> subscribed{false};

    // Owned by the callback thread.
    q7::CtxPtr sub;
    bool reading = false;  // a read of the stream awaits its reply on sub
    q7::StreamPos pos;     // the last entry read (or the snapshot's)
    q7::Backoff sub_backoff;
    q7::Fd wake_rd, wake_wr;
    std::thread thread;

    q7::SchemaPtr current_schema()
    {
        std::lock_guard lk(schema_mu);
        return schema;
    }

    // q7conn.cpp: connections and the round trip.
    q7::CtxPtr open_connection(q7::Backoff &pace, const q7::Argv &first, q7::ReplyPtr &r);
    int connect_cmd();
    int roundtrip(const q7::Argv &args, q7::ReplyPtr &reply);

    // q7notify.cpp: subscriptions and the callback thread.
    int watch(const char *table);
    bool resync(bool report);
    bool attach();
    void wake();
    void drain_wake();
    void deliver(const q7::Change &c);
    bool request_changes();
    bool deliver_batch(const redisReply *r);
    bool read_changes();
    void loop();
    void wait_idle();
    void run() noexcept;
};

#endif
