// bench_journal.cpp - parsing the agent's follow stream and the reader
// thread that timestamps each pushed journal entry on arrival.
#include "bench_journal.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace bench {

namespace {

constexpr int kReplyTimeoutMs = 5000;

// The entries a device-info or online-status text holds: a single object
// counts one, an array its items.
int entries_of(const cJSON *arg)
{
    return cJSON_IsArray(arg) ? cJSON_GetArraySize(arg) : cJSON_IsObject(arg) ? 1 : 0;
}

}  // namespace

std::optional<Receipt> parse_journal_line(std::string_view line, Clock::time_point at)
{
    saproto::JsonPtr msg(cJSON_ParseWithLength(line.data(), line.size()));
    const cJSON *entry = cJSON_GetObjectItemCaseSensitive(msg.get(), "journal");
    const char *call = saproto::get_string(entry, "call");
    if (!call)
        return std::nullopt;
    Receipt r;
    r.at = at;
    r.call = call;
    r.result = saproto::get_int(entry, "result").value_or(-1);
    const char *text = saproto::get_string(entry, "arg");
    saproto::JsonPtr arg(text ? cJSON_Parse(text) : nullptr);
    if (r.call == "set_device_info") {
        const char *name = saproto::get_string(arg.get(), "display_name");
        r.name = name ? name : "";
    } else if (r.call == "set_device_online_status") {
        r.devices = entries_of(arg.get());
    }
    return r;
}

JournalFollower::~JournalFollower()
{
    if (fd_)
        shutdown(fd_.get(), SHUT_RDWR);  // ends the reader's recv
    if (reader_.joinable())
        reader_.join();
}

bool JournalFollower::start(const std::string &socket, std::string &err)
{
    fd_ = saproto::connect_unix(socket, err);
    if (!fd_)
        return false;
    // Cleared as it is followed: the reply would otherwise carry all the
    // entries the agent keeps, a line past the protocol's bound once the
    // benches have made some ten thousand calls. Only later entries count.
    if (!saproto::send_all(fd_.get(), "{\"id\":1,\"call\":\"ctl.journal\",\"clear\":true,\"follow\":true}\n")) {
        err = "send to " + socket + ": " + strerror(errno);
        return false;
    }
    // The reply comes before any pushed entry; what follows it in the same
    // read belongs to the reader.
    saproto::LineReader reader;
    std::string line;
    char buf[8192];
    for (;;) {
        while (reader.next(line)) {
            saproto::JsonPtr reply(cJSON_Parse(line.c_str()));
            if (!saproto::get_int(reply.get(), "id"))
                continue;
            if (saproto::get_int(reply.get(), "result").value_or(1) != 0) {
                err = "agent on " + socket + " refused to let the journal be followed";
                return false;
            }
            reader_ = std::thread(&JournalFollower::read_loop, this, std::move(reader));
            return true;
        }
        pollfd p{fd_.get(), POLLIN, 0};
        const int n = poll(&p, 1, kReplyTimeoutMs);
        const ssize_t got = n > 0 ? recv(fd_.get(), buf, sizeof buf, 0) : -1;
        if (got <= 0 || !reader.feed(buf, static_cast<size_t>(got))) {
            err = "no reply from the agent on " + socket + " to the journal request";
            return false;
        }
    }
}

void JournalFollower::read_loop(saproto::LineReader reader) noexcept
{
    try {
        std::string line;
        char buf[65536];
        for (;;) {
            // Lines read with the reply first, then one read at a time. One
            // stamp per read: those lines arrived together.
            const auto now = Clock::now();
            std::vector<Receipt> fresh;
            while (reader.next(line))
                if (auto r = parse_journal_line(line, now))
                    fresh.push_back(std::move(*r));
            if (!fresh.empty()) {
                std::lock_guard<std::mutex> g(lock_);
                for (Receipt &r : fresh)
                    got_.push_back(std::move(r));
                changed_.notify_all();
            }
            ssize_t n;
            do
                n = recv(fd_.get(), buf, sizeof buf, 0);
            while (n < 0 && errno == EINTR);
            if (n <= 0 || !reader.feed(buf, static_cast<size_t>(n)))
                break;
        }
    } catch (...) {
        // Out of memory: the follower ends as if the agent had gone.
    }
    std::lock_guard<std::mutex> g(lock_);
    ended_ = true;
    changed_.notify_all();
}

size_t JournalFollower::count() const
{
    std::lock_guard<std::mutex> g(lock_);
    return got_.size();
}

std::optional<Receipt> JournalFollower::wait(size_t &next, const std::function<bool(const Receipt &)> &pred,
                                             std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
        for (; next < got_.size(); ++next)
            if (pred(got_[next]))
                return got_[next++];
        if (ended_ || changed_.wait_until(g, deadline) == std::cv_status::timeout)
            if (next == got_.size())
                return std::nullopt;
    }
}

Receipt await(JournalFollower &journal, size_t &next, const std::function<bool(const Receipt &)> &pred,
              const std::string &what, std::chrono::milliseconds limit)
{
    auto r = journal.wait(next, pred, limit);
    if (!r)
        fail("the agent got no " + what + " within " + std::to_string(limit.count()) + " ms");
    return *r;
}

std::function<bool(const Receipt &)> is_call(const char *call)
{
    return [call](const Receipt &r) { return r.call == call; };
}

}  // namespace bench
