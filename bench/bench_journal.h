/*
 * bench_journal.h - the agent's call journal as the device benchmark sees
 * it: every broker call the agent handles, stamped with the moment its
 * journal line reached the bench. That moment stands for "the agent got it".
 */
#ifndef TSH_BENCH_JOURNAL_H
#define TSH_BENCH_JOURNAL_H

#include "bench_figures.h"
#include "proto.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace bench {

struct Receipt {
    Clock::time_point at;
    std::string call;  // broker call without its sa_broker_ prefix
    long long result = -1;
    std::string name;  // set_device_info: the display name it carried
    int devices = 0;   // set_device_online_status: entries in its list
};

// One line of the agent's follow stream: a pushed journal entry, or nothing
// (replies, events, lines that are not JSON).
std::optional<Receipt> parse_journal_line(std::string_view line, Clock::time_point at);

// Follows the journal over its own connection; a reader thread stamps and
// keeps every entry pushed after start() returned.
class JournalFollower {
  public:
    JournalFollower() = default;
    JournalFollower(const JournalFollower &) = delete;
    JournalFollower &operator=(const JournalFollower &) = delete;
    ~JournalFollower();

    // Connects, clears the agent's journal and follows it; false with err set when the agent cannot
    // be reached or refuses.
    bool start(const std::string &socket, std::string &err);
    // Entries received so far; a position for wait().
    size_t count() const;
    // The first entry from position `next` on that satisfies pred, waiting
    // up to limit; next moves past it. Nothing when the deadline passes or
    // the agent went away.
    std::optional<Receipt> wait(size_t &next, const std::function<bool(const Receipt &)> &pred,
                                std::chrono::milliseconds limit);

  private:
    void read_loop(saproto::LineReader reader) noexcept;

    saproto::UniqueFd fd_;
    std::thread reader_;
    // got_ and ended_ are guarded by lock_; written by the reader thread,
    // read by the caller's thread.
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<Receipt> got_;
    bool ended_ = false;
};

// The first journal entry from `next` on that satisfies pred; fails after
// `limit`.
Receipt await(JournalFollower &journal, size_t &next, const std::function<bool(const Receipt &)> &pred,
              const std::string &what, std::chrono::milliseconds limit = std::chrono::seconds(10));
std::function<bool(const Receipt &)> is_call(const char *call);

}  // namespace bench

#endif
