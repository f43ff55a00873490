/*
 * proto.cpp - socket, line and JSON helpers of the agent protocol (proto.h).
 * Stateless; safe from any thread.
 */
#include "proto.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace saproto {

UniqueFd &UniqueFd::operator=(UniqueFd &&o) noexcept
{
    if (this != &o)
        reset(o.release());
    return *this;
}

void UniqueFd::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

namespace {
constexpr std::string_view kCalls[] = {
    "init", "subscribe", "enable", "disable", "va_status", "get_version_info",
    "get_status_report", "get_devices", "set_router_info", "set_device_info",
    "set_device_online_status", "remove_satellite",
};
} // namespace

bool is_broker_call(std::string_view name)
{
    for (auto c : kCalls)
        if (c == name)
            return true;
    return false;
}

bool is_injectable_call(std::string_view name)
{
    constexpr std::string_view sub = "subscribe:";
    if (name.substr(0, sub.size()) != sub)
        return is_broker_call(name);
    std::string_view num = name.substr(sub.size());
    if (num.empty() || num.size() > 4)
        return false;
    for (char ch : num)
        if (!isdigit(static_cast<unsigned char>(ch)))
            return false;
    return true;
}

bool is_text_call(std::string_view name)
{
    return name == "get_version_info" || name == "get_status_report" || name == "get_devices";
}

const char *broker_call_names()
{
    return "init subscribe subscribe:N enable disable va_status get_version_info get_status_report "
           "get_devices set_router_info set_device_info set_device_online_status remove_satellite";
}

std::string socket_from_env()
{
    const char *s = getenv("SA_AGENT_SOCKET");
    return s && *s ? s : kDefaultSocket;
}

bool unix_address(const std::string &path, sockaddr_un &addr)
{
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

UniqueFd connect_unix(const std::string &path, std::string &err, bool nonblocking)
{
    sockaddr_un addr;
    if (!unix_address(path, addr)) {
        err = "socket path too long: " + path;
        errno = ENAMETOOLONG;
        return {};
    }
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0));
    if (!fd) {
        int e = errno;
        err = std::string("socket: ") + strerror(e);
        errno = e;
        return {};
    }
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int e = errno;
        err = "connect " + path + ": " + strerror(e);
        fd.reset();
        errno = e;
        return {};
    }
    return fd;
}

bool send_all(int fd, std::string_view s)
{
    while (!s.empty()) {
        ssize_t n = send(fd, s.data(), s.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        s.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

bool LineReader::feed(const char *data, size_t n)
{
    if (start_ > 0 && start_ == buf_.size()) {
        buf_.clear();
        start_ = 0;
    }
    buf_.append(data, n);
    return buf_.size() - start_ <= kMaxLine || buf_.find('\n', start_) != std::string::npos;
}

bool LineReader::next(std::string &line)
{
    size_t nl = buf_.find('\n', start_);
    if (nl == std::string::npos) {
        buf_.erase(0, start_);
        start_ = 0;
        return false;
    }
    line.assign(buf_, start_, nl - start_);
    start_ = nl + 1;
    return true;
}

std::string print(const cJSON *j)
{
    char *t = cJSON_PrintUnformatted(j);
    if (!t)
        return {};
    std::string s(t);
    cJSON_free(t);
    return s;
}

const char *get_string(const cJSON *obj, const char *name)
{
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(obj, name);
    return cJSON_IsString(m) ? m->valuestring : nullptr;
}

std::optional<long long> get_int(const cJSON *obj, const char *name)
{
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (!cJSON_IsNumber(m) || m->valuedouble != static_cast<double>(static_cast<long long>(m->valuedouble)))
        return std::nullopt;
    return static_cast<long long>(m->valuedouble);
}

std::optional<std::string> normalize_mac(const char *text)
{
    if (!text || strlen(text) != 17)
        return std::nullopt;
    std::string mac(text);
    for (size_t i = 0; i < mac.size(); i++) {
        unsigned char c = static_cast<unsigned char>(mac[i]);
        if (i % 3 == 2) {
            if (c != ':' && c != '-')
                return std::nullopt;
            mac[i] = ':';
        } else if (!isxdigit(c)) {
            return std::nullopt;
        } else {
            mac[i] = static_cast<char>(toupper(c));
        }
    }
    return mac;
}

std::string started_text(const char *version)
{
    JsonPtr ev(cJSON_CreateObject());
    cJSON_AddStringToObject(ev.get(), "event", "started");
    cJSON_AddStringToObject(ev.get(), "version", version ? version : "");
    return print(ev.get());
}

bool read_file(const std::string &path, std::string &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return !in.bad();
}

JsonPtr read_reply(int fd, const std::string &socket, int timeout_ms, std::string &err)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    LineReader reader;
    std::string line;
    char buf[4096];
    for (;;) {
        while (reader.next(line)) {
            JsonPtr reply(cJSON_Parse(line.c_str()));
            if (get_int(reply.get(), "id"))
                return reply;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        int r = left.count() > 0 ? poll(&p, 1, static_cast<int>(left.count())) : 0;
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            err = "no answer from the agent on " + socket;
            return nullptr;
        }
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            err = "the agent on " + socket + " closed the connection";
            return nullptr;
        }
        if (!reader.feed(buf, static_cast<size_t>(n))) {
            err = "reply line too long";
            return nullptr;
        }
    }
}

JsonPtr round_trip(const std::string &socket, cJSON *request, int timeout_ms, std::string &err)
{
    UniqueFd fd = connect_unix(socket, err);
    if (!fd)
        return nullptr;
    if (!send_all(fd.get(), print(request) + "\n")) {
        err = "send to " + socket + ": " + strerror(errno);
        return nullptr;
    }
    return read_reply(fd.get(), socket, timeout_ms, err);
}

} // namespace saproto
