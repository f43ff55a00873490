/*
 * proto.h - the wire protocol between the agent (sa-agentd), its broker
 * library and agentctl, and the small RAII helpers all three share.
 *
 * One JSON object per line over a Unix stream socket:
 *   request  {"id": N, "call": NAME, ["arg": TEXT], ["event": N], ...}
 *   reply    {"id": N, "result": 0|non-zero, ["text": TEXT], ["error": TEXT]}
 *   event    {"event": N, "text": TEXT}            (pushed by the agent)
 *   journal  {"journal": ENTRY}                    (pushed to followers)
 * Broker calls carry the sa_broker_* name without its prefix; control calls
 * of agentctl start with "ctl.". JSON texts travel as strings, verbatim.
 * A reply without "text" is a success with no text; "text": "" is an empty one.
 * The greeting: "init" carries as "arg" the "instance" of the agent the
 * library greeted last, if any; its reply text is {"version", "instance",
 * ["restarted": true]}. "restarted" (the agent is not that instance) means
 * the agent itself raises event 4 to the connection right behind the reply
 * to its next subscription to event 4.
 */
#ifndef SA_AGENT_PROTO_H
#define SA_AGENT_PROTO_H

#include <cjson/cJSON.h>
#include <sys/un.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace saproto {

constexpr const char *kDefaultSocket = "/tmp/sa-agent.sock";
// A line longer than this is a broken or hostile peer: the connection drops.
constexpr size_t kMaxLine = 4u << 20;

struct JsonDeleter {
    void operator()(cJSON *j) const { cJSON_Delete(j); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    int release() { int f = fd_; fd_ = -1; return f; }
    void reset(int fd = -1);
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

// The broker calls the agent knows, as named by agentctl fail/hang.
bool is_broker_call(std::string_view name);
// Accepts broker call names and "subscribe:N".
bool is_injectable_call(std::string_view name);
// The broker calls that hand out a text (agentctl notext/emptytext).
bool is_text_call(std::string_view name);
// Lists the names for help texts, separated by blanks.
const char *broker_call_names();

// $SA_AGENT_SOCKET or the default path.
std::string socket_from_env();
// Fills addr for path; false (errno ENAMETOOLONG) when it does not fit.
bool unix_address(const std::string &path, sockaddr_un &addr);
// Connects to a Unix stream socket; on failure returns an invalid fd, says
// why in err and leaves errno as the failing call set it. A nonblocking
// socket fails at once with EAGAIN on a listener whose backlog is full.
UniqueFd connect_unix(const std::string &path, std::string &err, bool nonblocking = false);
// Writes all of s; false on error (never raises SIGPIPE).
bool send_all(int fd, std::string_view s);

// Splits a byte stream into lines.
class LineReader {
  public:
    // false when a line grew past kMaxLine.
    bool feed(const char *data, size_t n);
    bool next(std::string &line);
    // true while a line has begun but not ended.
    bool partial() const { return start_ < buf_.size(); }

  private:
    std::string buf_;
    size_t start_ = 0;
};

// cJSON_PrintUnformatted into a std::string ("" when out of memory).
std::string print(const cJSON *j);
// Member lookups that are case-sensitive and type-checked.
const char *get_string(const cJSON *obj, const char *name);
std::optional<long long> get_int(const cJSON *obj, const char *name);
// "aa-bb-cc-dd-ee-ff" and "AA:BB:..." both give "AA:BB:CC:DD:EE:FF".
std::optional<std::string> normalize_mac(const char *text);

// The text of event 4 (the agent started), naming the agent's version.
std::string started_text(const char *version);
// The whole content of a file; false with errno set when it cannot be read.
bool read_file(const std::string &path, std::string &out);

// Waits up to timeout_ms for the reply (a line with an "id") on fd, passing
// over pushed lines. Returns the reply object, or null with err set.
JsonPtr read_reply(int fd, const std::string &socket, int timeout_ms, std::string &err);
// One request/reply round trip on a fresh connection (agentctl, tests).
// Returns the reply object, or null with err set.
JsonPtr round_trip(const std::string &socket, cJSON *request, int timeout_ms, std::string &err);

} // namespace saproto

#endif
