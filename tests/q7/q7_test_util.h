// q7_test_util.h - helpers of the Q7 tests: handle ownership, a recorder of
// notifications, direct server access and a private server.
#pragma once

#include "q7host.h"
#include "q7lib.h"

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <signal.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
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

// Records the notifications of a handle, and the threads they came on. While
// held, a callback records its change and then waits for release().
class Recorder {
public:
    void attach(q7_handle *h)
    {
        h_ = h;
        ASSERT_EQ(q7_subscribe_cb(h, cb, this), Q7_OK);
    }
    void hold() { set_held(true); }
    void release() { set_held(false); }
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
    void set_held(bool on)
    {
        std::lock_guard lk(mu_);
        held_ = on;
        cv_.notify_all();
    }
    q7_handle *h_ = nullptr;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Change> seen_;
    std::vector<std::thread::id> threads_;
    bool held_ = false;
};

// One command straight to the server at socket, bypassing the library.
inline void raw_command(const std::string &socket, const char *command)
{
    redisContext *c = redisConnectUnix(socket.c_str());
    ASSERT_TRUE(c && !c->err);
    freeReplyObject(redisCommand(c, command));
    redisFree(c);
}

// A Q7 server of the test's own in a fresh directory.
class PrivateServer {
public:
    PrivateServer() : dir_(mkdtemp(tmpl_)), socket_(dir_ + "/q7.sock") {}
    ~PrivateServer()
    {
        run_process({env("Q7_SERVER"), "stop", "--dir", dir_});
        run_process({"/bin/rm", "-rf", dir_});
    }
    bool start(bool aof = true, const std::string &schema = "")
    {
        std::vector<std::string> a = {env("Q7_SERVER"), "start", "--dir", dir_};
        if (aof)
            a.push_back("--aof");
        if (!schema.empty())
            a.insert(a.end(), {"--schema", schema});
        return run_process(a) == 0;
    }
    void signal(int sig)
    {
        pid_t pid = 0;
        std::ifstream(dir_ + "/redis.pid") >> pid;
        ASSERT_GT(pid, 0);
        kill(pid, sig);
    }
    const std::string &socket() const { return socket_; }
    const std::string &dir() const { return dir_; }

private:
    char tmpl_[32] = "/tmp/q7test.XXXXXX";
    std::string dir_, socket_;
};

}  // namespace q7test
