// q7_test_util.h - helpers of the Q7 tests: handle ownership, a recorder of
// notifications and direct server access.
#pragma once

#include "q7host.h"
#include "q7lib.h"

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process_util.h"
#include "wait_until.h"

namespace q7test {

struct HandleFree {
    void operator()(q7_handle *h) const { q7_destroy(h); }
};
using Handle = std::unique_ptr<q7_handle, HandleFree>;

inline std::string env(const char *name)
{
    const char *v = getenv(name);
    return v ? v : "";
}

// One notification; value is what q7_change_value gave for it.
struct Change {
    std::string table;
    unsigned row;
    std::string field, value;
    bool operator==(const Change &) const = default;
};

inline std::ostream &operator<<(std::ostream &o, const Change &c)
{
    return o << c.table << "." << c.row << "." << c.field << "=" << c.value;
}

// Records a handle's notifications and the threads they came on. While held,
// a callback records its change, then waits for release().
class Recorder {
public:
    void attach(q7_handle *h)
    {
        h_ = h;
        ASSERT_EQ(q7_subscribe_cb(h, cb, this), Q7_OK);
    }
    void hold(bool on = true)
    {
        std::lock_guard lk(mu_);
        held_ = on;
        cv_.notify_all();
    }
    void release() { hold(false); }
    // Waits until n notifications came; all of them.
    std::vector<Change> wait(size_t n)
    {
        std::unique_lock lk(mu_);
        EXPECT_TRUE(cv_.wait_for(lk, std::chrono::seconds(10), [&] { return seen_.size() >= n; }))
            << "only " << seen_.size() << " of " << n << " notifications";
        return seen_;
    }
    std::vector<std::thread::id> threads()
    {
        std::lock_guard lk(mu_);
        return threads_;
    }

private:
    static void cb(const char *table, unsigned row, const char *field, void *ctx)
    {
        auto *r = static_cast<Recorder *>(ctx);
        const char *v = q7_change_value(r->h_);
        std::unique_lock lk(r->mu_);
        r->seen_.push_back({table, row, field, v ? v : "(none)"});
        r->threads_.push_back(std::this_thread::get_id());
        r->cv_.notify_all();
        r->cv_.wait(lk, [&] { return !r->held_; });
    }
    q7_handle *h_ = nullptr;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Change> seen_;
    std::vector<std::thread::id> threads_;
    bool held_ = false;
};

// One command straight to the server, past the library.
inline void raw_command(const std::string &socket, const char *command)
{
    redisContext *c = redisConnectUnix(socket.c_str());
    ASSERT_TRUE(c && !c->err);
    freeReplyObject(redisCommand(c, command));
    redisFree(c);
}

}  // namespace q7test
