/*
 * q7conn.h - the pieces of a server connection that libq7lib's files share:
 * owners of hiredis replies, contexts and file descriptors, reconnect
 * pacing, a lock with a deadline, and requests as counted bytes. Nothing
 * here is shared between threads by itself; the owner of each object says
 * which lock guards it. Not part of the public API.
 */
#ifndef Q7CONN_H
#define Q7CONN_H

#include <hiredis/hiredis.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace q7 {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

// A connection to the socket at path, every read and write bounded by ms;
// null when it cannot be had.
CtxPtr connect_unix(const std::string &path, int ms);
// One request and its reply; null when the connection failed.
ReplyPtr command(redisContext *c, const Argv &a);
// An error reply whose text starts with prefix.
bool is_error(const ReplyPtr &r, const char *prefix = "");

}  // namespace q7

#endif
