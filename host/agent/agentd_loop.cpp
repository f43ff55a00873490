/*
 * agentd_loop.cpp - sa-agentd's poll loop: the listening socket, client
 * connections read and written, hung replies sent when they fall due, the
 * state file (loaded at start and restart, written on every change) and
 * agentctl's in-process restart. Main thread only.
 */
#include "agent_state.h"
#include "agentd.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace saagent {

using saproto::UniqueFd;

namespace {
constexpr size_t kMaxOutput = 16u << 20;   // a client that stops reading is dropped
} // namespace

bool Agent::load_state()
{
    state_ = saagent::default_state();
    std::string text, err;
    const std::string &from = !opt_.state.empty() && access(opt_.state.c_str(), F_OK) == 0 ? opt_.state : opt_.seed;
    if (from.empty())
        return true;
    if (!saproto::read_file(from, text)) {
        logf("cannot read %s: %s", from.c_str(), strerror(errno));
        return false;
    }
    if (!saagent::merge_state(state_.get(), text.c_str(), err)) {
        logf("%s: %s", from.c_str(), err.c_str());
        return false;
    }
    return true;
}

void Agent::save_state()
{
    if (opt_.state.empty())
        return;
    char *text = cJSON_Print(state_.get());
    if (!text) {
        logf("state %s not written: out of memory", opt_.state.c_str());
        return;
    }
    std::string tmp = opt_.state + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    bool ok = f && fputs(text, f) >= 0 && fputc('\n', f) != EOF;
    ok = f && fclose(f) == 0 && ok;
    cJSON_free(text);
    if (!ok || rename(tmp.c_str(), opt_.state.c_str()) != 0)
        logf("cannot write state %s: %s", opt_.state.c_str(), strerror(errno));
}

bool Agent::open_listener()
{
    sockaddr_un addr;
    if (!saproto::unix_address(opt_.socket, addr)) {
        logf("socket path too long: %s", opt_.socket.c_str());
        return false;
    }
    std::string err;
    if (opt_.replace && saproto::connect_unix(opt_.socket, err)) {
        JsonPtr stop(cJSON_Parse(R"({"id":1,"call":"ctl.stop"})"));
        saproto::round_trip(opt_.socket, stop.get(), 2000, err);
        // The old agent removes its socket file as it goes.
        for (int i = 0; i < 100 && access(opt_.socket.c_str(), F_OK) == 0; i++)
            usleep(20000);
    }
    if (saproto::connect_unix(opt_.socket, err)) {
        logf("another agent already listens on %s", opt_.socket.c_str());
        return false;
    }
    unlink(opt_.socket.c_str());
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd || bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(fd.get(), 64) != 0) {
        logf("cannot listen on %s: %s", opt_.socket.c_str(), strerror(errno));
        return false;
    }
    chmod(opt_.socket.c_str(), 0660);
    listener_ = std::move(fd);
    return true;
}

bool Agent::setup()
{
    if (!opt_.journal.empty()) {
        journal_file_.reset(fopen(opt_.journal.c_str(), "a"));
        if (!journal_file_) {
            logf("cannot open journal %s: %s", opt_.journal.c_str(), strerror(errno));
            return false;
        }
    }
    new_instance();
    return load_state() && open_listener();
}

// Tells a reconnecting library whether this is the agent it knew.
void Agent::new_instance()
{
    instance_ = std::to_string(getpid()) + "-" +
                std::to_string(std::chrono::system_clock::now().time_since_epoch().count()) + "-" +
                std::to_string(++starts_);
}

void Agent::close_all()
{
    clients_.clear();
    delayed_.clear();
    if (listener_) {
        listener_.reset();
        unlink(opt_.socket.c_str());
    }
}

// Like a process restart: every connection drops, the state comes back from
// the state file (or the seed). Injected failures and delays stay: they are
// the lab's settings, not the agent's.
void Agent::restart(int down_ms)
{
    logf("restarting%s", down_ms > 0 ? " after a pause" : "");
    close_all();
    new_instance();
    if (!load_state())
        logf("restart keeps the defaults");
    reopen_at_ = Clock::now() + std::chrono::milliseconds(down_ms);
}

void Agent::queue(Client &c, const std::string &line)
{
    c.out += line;
    c.out += '\n';
}

void Agent::accept_clients()
{
    for (;;) {
        int fd = accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        auto c = std::make_unique<Client>();
        c->id = next_client_++;
        c->fd.reset(fd);
        clients_.emplace(c->id, std::move(c));
    }
}

// false when the client is gone.
bool Agent::read_client(Client &c)
{
    char buf[16384];
    for (;;) {
        ssize_t n = recv(c.fd.get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK;
        if (n == 0)
            return false;
        if (!c.in.feed(buf, static_cast<size_t>(n))) {
            logf("client %llu dropped: request line too long", static_cast<unsigned long long>(c.id));
            return false;
        }
        std::string line;
        while (c.in.next(line) && restart_down_ms_ < 0 && !stop_)
            if (!line.empty())
                handle(c, line);
        if (restart_down_ms_ >= 0 || stop_)
            return true;
    }
}

int Agent::run()
{
    while (!stop_ && !g_stop) {
        auto now = Clock::now();
        if (!listener_ && now >= reopen_at_) {
            if (!open_listener())
                return 1;
            logf("listening on %s", opt_.socket.c_str());
        }
        while (!delayed_.empty() && delayed_.begin()->first <= now) {
            auto [cid, line] = delayed_.begin()->second;
            delayed_.erase(delayed_.begin());
            if (auto it = clients_.find(cid); it != clients_.end())
                queue(*it->second, line);
        }
        std::vector<pollfd> fds;
        std::vector<uint64_t> ids;
        if (listener_)
            fds.push_back({listener_.get(), POLLIN, 0});
        for (auto &[id, c] : clients_) {
            fds.push_back({c->fd.get(), static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
            ids.push_back(id);
        }
        int timeout = 250;
        auto until = [&](Clock::time_point t) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count() + 1;
            timeout = std::max(0, std::min<int>(timeout, static_cast<int>(ms)));
        };
        if (!delayed_.empty())
            until(delayed_.begin()->first);
        if (!listener_)
            until(reopen_at_);
        if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            logf("poll: %s", strerror(errno));
            return 1;
        }
        size_t base = listener_ ? 1 : 0;
        if (listener_ && (fds[0].revents & POLLIN))
            accept_clients();
        for (size_t i = 0; i < ids.size(); i++) {
            auto it = clients_.find(ids[i]);
            if (it == clients_.end())
                continue;
            Client &c = *it->second;
            short ev = fds[base + i].revents;
            bool alive = !(ev & (POLLIN | POLLHUP | POLLERR)) || read_client(c);
            if (alive && !c.out.empty()) {
                ssize_t n = send(c.fd.get(), c.out.data(), c.out.size(), MSG_NOSIGNAL);
                if (n > 0)
                    c.out.erase(0, static_cast<size_t>(n));
                else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                    alive = false;
                if (c.out.size() > kMaxOutput) {
                    logf("client %llu dropped: it does not read", static_cast<unsigned long long>(c.id));
                    alive = false;
                }
            }
            if (!alive)
                clients_.erase(it);
            if (restart_down_ms_ >= 0 || stop_)
                break;
        }
        if (restart_down_ms_ >= 0 || stop_) {
            // The requester's reply goes out before the connections drop.
            for (auto &[id, c] : clients_)
                saproto::send_all(c->fd.get(), c->out);
            if (restart_down_ms_ >= 0)
                restart(restart_down_ms_);
            restart_down_ms_ = -1;
        }
    }
    logf("stopping");
    close_all();
    return 0;
}

} // namespace saagent
