/*
 * q7_test_util.h - helpers for the Q7 tests: handle ownership, waiting with
 * a deadline, a notification recorder, direct server access for resetting
 * rows, and a private server started through $Q7_SERVER.
 */
#pragma once

#include "q7lib.h"

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "process_util.h"
#include "wait_until.h"
#include <vector>

extern char **environ;

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

struct Change {
    std::string table;
    unsigned row;
    std::string field;
    bool operator==(const Change &) const = default;
};

inline std::ostream &operator<<(std::ostream &o, const Change &c)
{
    return o << c.table << "." << c.row << "." << c.field;
}

// Collects notifications delivered to a handle's callback. While held, a
// callback records its change and then waits for release(): the handle's
// callback thread is held off.
class Recorder {
public:
    static void cb(const char *table, unsigned row, const char *field, void *ctx)
    {
        auto *r = static_cast<Recorder *>(ctx);
        std::unique_lock lk(r->mu_);
        r->seen_.push_back({table, row, field});
        r->cv_.notify_all();
        r->cv_.wait(lk, [&] { return !r->held_; });
    }
    void hold()
    {
        std::lock_guard lk(mu_);
        held_ = true;
    }
    void release()
    {
        std::lock_guard lk(mu_);
        held_ = false;
        cv_.notify_all();
    }
    void attach(q7_handle *h) { ASSERT_EQ(q7_subscribe_cb(h, cb, this), Q7_OK); }
    // Waits for a notification equal to c; returns everything seen up to and
    // including it, and forgets that much.
    std::vector<Change> until(const Change &c)
    {
        std::unique_lock lk(mu_);
        std::vector<Change> out;
        bool found = cv_.wait_for(lk, std::chrono::seconds(10), [&] {
            for (size_t i = 0; i < seen_.size(); i++)
                if (seen_[i] == c) {
                    out.assign(seen_.begin(), seen_.begin() + i + 1);
                    seen_.erase(seen_.begin(), seen_.begin() + i + 1);
                    return true;
                }
            return false;
        });
        EXPECT_TRUE(found) << "no notification " << c;
        return out;
    }
    std::vector<Change> all()
    {
        std::lock_guard lk(mu_);
        return seen_;
    }
    size_t count()
    {
        std::lock_guard lk(mu_);
        return seen_.size();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Change> seen_;
    bool held_ = false;
};

// Direct server access, to put rows back into their never-written state.
inline void reset_rows(const std::string &table, unsigned first, unsigned count)
{
    redisContext *c = redisConnectUnix(env("Q7_SOCKET").c_str());
    ASSERT_TRUE(c && !c->err);
    for (unsigned r = first; r < first + count; r++) {
        std::string key = "q7:d:" + table + ":" + std::to_string(r);
        const char *argv[] = {"DEL", key.c_str()};
        freeReplyObject(redisCommandArgv(c, 2, argv, nullptr));
    }
    redisFree(c);
}

// A Q7 server of the test's own, in a fresh directory, with AOF on unless
// told otherwise.
class PrivateServer {
public:
    PrivateServer()
    {
        char tmpl[] = "/tmp/q7test.XXXXXX";
        dir_ = mkdtemp(tmpl);
        socket_ = dir_ + "/q7.sock";
    }
    ~PrivateServer()
    {
        run_process({env("Q7_SERVER"), "stop", "--dir", dir_});
        run_process({"/bin/rm", "-rf", dir_});
    }
    bool start(const std::string &schema = "", bool aof = true)
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
        std::ifstream in(dir_ + "/redis.pid");
        pid_t pid = 0;
        in >> pid;
        ASSERT_GT(pid, 0);
        kill(pid, sig);  // a killed server may still be going away when start runs
    }
    const std::string &socket() const { return socket_; }
    const std::string &dir() const { return dir_; }

private:
    std::string dir_, socket_;
};

}  // namespace q7test
