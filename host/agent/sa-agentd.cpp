/*
 * sa-agentd.cpp - the security agent stand-in: a single-threaded daemon that
 * serves broker calls and agentctl's control calls on a Unix socket, keeps
 * the agent's state (agent_state.h), pushes events to subscribed clients,
 * journals every broker call and injects failures and delays on request.
 *
 * Everything runs on the main thread's poll loop; delayed replies wait in a
 * timer list, so a "hung" call never stops the agent serving others.
 */
#include "agent_state.h"
#include "proto.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using saproto::get_int;
using saproto::get_string;
using saproto::JsonPtr;
using saproto::UniqueFd;

constexpr size_t kMaxOutput = 16u << 20;   // a client that stops reading is dropped
constexpr size_t kJournalKeep = 10000;      // entries kept for agentctl journal
constexpr int kEventStarted = 4;
constexpr const char *kInjections[] = {"fail", "notext", "emptytext"};

volatile sig_atomic_t g_stop = 0;           // set by the signal handler, read by the loop

void on_signal(int) { g_stop = 1; }

struct Options {
    std::string socket = saproto::socket_from_env();
    std::string state, seed, journal, pidfile, log;
    bool foreground = false;
    bool replace = false;
};

void usage(FILE *to)
{
    fprintf(to,
            "usage: sa-agentd [--socket PATH] [--state FILE] [--seed FILE] [--journal FILE]\n"
            "                 [--foreground] [--pidfile FILE] [--log FILE] [--replace]\n"
            "The security agent stand-in. Serves broker calls on a Unix socket\n"
            "(default $SA_AGENT_SOCKET or %s).\n"
            "  --state FILE    load the state from FILE at start, write it on every change\n"
            "  --seed FILE     initial state when the state file does not exist\n"
            "  --journal FILE  append every broker call with its result as a JSON line\n"
            "  --foreground    stay in the foreground (default: detach once listening)\n"
            "  --pidfile FILE  write the process id to FILE\n"
            "  --log FILE      log lines go to FILE (default: standard error, unless\n"
            "                  detached from a terminal)\n"
            "  --replace       stop an agent that already listens on the socket first\n",
            saproto::kDefaultSocket);
}

void logf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void logf(const char *fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    fprintf(stderr, "sa-agentd: %s\n", buf);
    fflush(stderr);
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

struct Client {
    uint64_t id;
    UniqueFd fd;
    saproto::LineReader in;
    std::string out;
    std::set<int> subs;
    bool follow = false;
    bool announce_start = false;    // greeted by a library that knew an earlier agent
};

struct Reply {
    int result = 0;
    std::optional<std::string> text;    // none: the reply carries no text member
    std::string error;
    bool then_started = false;          // event 4 follows the reply
};

// The agent: one instance, owned and used by the main thread only, no locks.
class Agent {
  public:
    explicit Agent(Options o) : opt_(std::move(o)) {}
    bool setup();
    int run();

  private:
    bool load_state();
    void save_state();
    bool open_listener();
    void close_all();
    void accept_clients();
    bool read_client(Client &c);
    void handle(Client &c, const std::string &line);
    Reply broker_call(Client &c, const std::string &call, const cJSON *req);
    Reply control_call(Client &c, const std::string &call, const cJSON *req);
    bool injected(const std::string &kind, const std::string &key);
    std::string agent_version() const;
    std::string started_text() const;
    void new_instance();
    int hang_ms(const std::string &key) const;
    void journal(uint64_t client, const std::string &call, const cJSON *req, const Reply &r);
    int push_event(int event, const std::string &text);
    static std::string event_line(int event, const std::string &text);
    void queue(Client &c, const std::string &line);
    void restart(int down_ms);

    Options opt_;
    JsonPtr state_;
    UniqueFd listener_;
    std::map<uint64_t, std::unique_ptr<Client>> clients_;
    uint64_t next_client_ = 1;
    std::multimap<Clock::time_point, std::pair<uint64_t, std::string>> delayed_;
    // agentctl's injections by kind ("fail", "notext", "emptytext"):
    // call -> calls left, -1 for all.
    std::map<std::string, std::map<std::string, long long>> inject_;
    std::map<std::string, int> hang_;         // call -> reply delay in ms
    std::deque<std::string> journal_;
    uint64_t journal_seq_ = 0;
    std::unique_ptr<FILE, int (*)(FILE *)> journal_file_{nullptr, fclose};
    bool stop_ = false;
    int restart_down_ms_ = -1;                // a restart asked for by agentctl
    std::string instance_;                    // new at every (re)start, told in the greeting
    unsigned starts_ = 0;
    Clock::time_point reopen_at_{};           // when a restart's pause ends
};

bool Agent::load_state()
{
    state_ = saagent::default_state();
    std::string text, err;
    const std::string &from = !opt_.state.empty() && access(opt_.state.c_str(), F_OK) == 0 ? opt_.state : opt_.seed;
    if (from.empty())
        return true;
    if (!read_file(from, text)) {
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
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (opt_.socket.size() >= sizeof addr.sun_path) {
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
    memcpy(addr.sun_path, opt_.socket.c_str(), opt_.socket.size() + 1);
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

std::string Agent::event_line(int event, const std::string &text)
{
    JsonPtr msg(cJSON_CreateObject());
    cJSON_AddNumberToObject(msg.get(), "event", event);
    cJSON_AddStringToObject(msg.get(), "text", text.c_str());
    return saproto::print(msg.get());
}

int Agent::push_event(int event, const std::string &text)
{
    std::string line = event_line(event, text);
    int n = 0;
    for (auto &[id, c] : clients_)
        if (c->subs.count(event)) {
            queue(*c, line);
            n++;
        }
    return n;
}

// Whether the injection of kind applies to this call of key, counting it down.
bool Agent::injected(const std::string &kind, const std::string &key)
{
    auto &counts = inject_[kind];
    auto it = counts.find(key);
    if (it == counts.end())
        return false;
    if (it->second > 0 && --it->second == 0)
        counts.erase(it);
    return true;
}

std::string Agent::agent_version() const
{
    JsonPtr version(cJSON_Parse(saagent::state_text(state_.get(), "version_info").c_str()));
    const char *v = get_string(version.get(), "version");
    return v ? v : "";
}

std::string Agent::started_text() const
{
    JsonPtr ev(cJSON_CreateObject());
    cJSON_AddStringToObject(ev.get(), "event", "started");
    cJSON_AddStringToObject(ev.get(), "version", agent_version().c_str());
    return saproto::print(ev.get());
}

int Agent::hang_ms(const std::string &key) const
{
    auto it = hang_.find(key);
    return it == hang_.end() ? 0 : it->second;
}

void Agent::journal(uint64_t client, const std::string &call, const cJSON *req, const Reply &r)
{
    JsonPtr e(cJSON_CreateObject());
    cJSON_AddNumberToObject(e.get(), "seq", static_cast<double>(++journal_seq_));
    cJSON_AddNumberToObject(e.get(), "time", static_cast<double>(time(nullptr)));
    cJSON_AddNumberToObject(e.get(), "client", static_cast<double>(client));
    cJSON_AddStringToObject(e.get(), "call", call.c_str());
    if (const char *arg = get_string(req, "arg"))
        cJSON_AddStringToObject(e.get(), "arg", arg);
    if (auto ev = get_int(req, "event"))
        cJSON_AddNumberToObject(e.get(), "event", static_cast<double>(*ev));
    cJSON_AddNumberToObject(e.get(), "result", r.result);
    if (!r.error.empty())
        cJSON_AddStringToObject(e.get(), "error", r.error.c_str());
    std::string line = saproto::print(e.get());
    journal_.push_back(line);
    if (journal_.size() > kJournalKeep)
        journal_.pop_front();
    if (journal_file_) {
        fprintf(journal_file_.get(), "%s\n", line.c_str());
        fflush(journal_file_.get());
    }
    std::string pushed = "{\"journal\":" + line + "}";
    for (auto &[id, c] : clients_)
        if (c->follow)
            queue(*c, pushed);
}

Reply Agent::broker_call(Client &c, const std::string &call, const cJSON *req)
{
    Reply r;
    const char *arg = get_string(req, "arg");
    auto refuse = [&r](std::string why) {
        r.result = 1;
        r.error = std::move(why);
        return r;
    };
    std::string err;
    if (call == "subscribe") {
        auto ev = get_int(req, "event");
        if (!ev)
            return refuse("no event number");
        std::string key = "subscribe:" + std::to_string(*ev);
        if (injected("fail", key) || injected("fail", "subscribe"))
            return refuse("injected failure");
        if (*ev < 3 || *ev > 5)
            return refuse("unknown event " + std::to_string(*ev));
        c.subs.insert(static_cast<int>(*ev));
        // A restarted agent announces itself to its subscribers of old as
        // they come back.
        r.then_started = *ev == kEventStarted && c.announce_start;
        c.announce_start = c.announce_start && !r.then_started;
        return r;
    }
    if (injected("fail", call))
        return refuse("injected failure");
    cJSON *doc = state_.get();
    if (call == "init") {
        // arg: the instance this library greeted last, if any.
        c.announce_start = arg && *arg && instance_ != arg;
        JsonPtr hello(cJSON_CreateObject());
        cJSON_AddStringToObject(hello.get(), "version", agent_version().c_str());
        cJSON_AddStringToObject(hello.get(), "instance", instance_.c_str());
        if (c.announce_start)
            cJSON_AddBoolToObject(hello.get(), "restarted", true);
        r.text = saproto::print(hello.get());
    } else if (call == "enable" || call == "disable") {
        cJSON_ReplaceItemInObjectCaseSensitive(doc, "protection", cJSON_CreateBool(call == "enable"));
        save_state();
    } else if (call == "va_status") {
        r.text = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(doc, "va_running")) ? "1" : "0";
    } else if (call == "get_version_info") {
        r.text = saagent::state_text(doc, "version_info");
    } else if (call == "get_status_report") {
        r.text = saagent::state_text(doc, "status_report");
    } else if (call == "get_devices") {
        JsonPtr filter = saagent::check_filter(arg, err);
        if (!filter)
            return refuse(err);
        r.text = saagent::select_devices(doc, filter.get());
    } else {
        using Check = JsonPtr (*)(const char *, std::string &);
        using Apply = void (*)(cJSON *, const cJSON *);
        static const std::map<std::string, std::pair<Check, Apply>> setters = {
            {"set_router_info", {saagent::check_router_info, nullptr}},
            {"set_device_info", {saagent::check_device_info, saagent::apply_device_info}},
            {"set_device_online_status", {saagent::check_online_status, saagent::apply_online_status}},
            {"remove_satellite", {saagent::check_satellites, saagent::apply_satellites}},
        };
        auto it = setters.find(call);
        if (it == setters.end())
            return refuse("unknown call " + call);
        JsonPtr in = it->second.first(arg, err);
        if (!in)
            return refuse(err);
        if (it->second.second)
            it->second.second(doc, in.get());
        else
            cJSON_ReplaceItemInObjectCaseSensitive(doc, "router_info", in.release());
        save_state();
    }
    if (saproto::is_text_call(call)) {
        if (injected("notext", call))
            r.text.reset();
        else if (injected("emptytext", call))
            r.text = "";
    }
    return r;
}

Reply Agent::control_call(Client &c, const std::string &call, const cJSON *req)
{
    Reply r;
    auto refuse = [&r](std::string why) {
        r.result = 1;
        r.error = std::move(why);
        return r;
    };
    const char *what = get_string(req, "what");
    const char *value = get_string(req, "value");
    bool raw = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(req, "raw"));
    std::string err;
    cJSON *doc = state_.get();
    if (call == "ctl.state") {
        JsonPtr out(cJSON_Duplicate(doc, true));
        cJSON *rt = cJSON_AddObjectToObject(out.get(), "runtime");
        cJSON *cl = cJSON_AddArrayToObject(rt, "clients");
        for (auto &[id, cli] : clients_) {
            cJSON *o = cJSON_CreateObject();
            cJSON_AddNumberToObject(o, "id", static_cast<double>(id));
            cJSON *subs = cJSON_AddArrayToObject(o, "subscriptions");
            for (int ev : cli->subs)
                cJSON_AddItemToArray(subs, cJSON_CreateNumber(ev));
            cJSON_AddItemToArray(cl, o);
        }
        for (const char *kind : kInjections) {
            cJSON *f = cJSON_AddObjectToObject(rt, kind);
            for (auto &[k, n] : inject_[kind])
                cJSON_AddNumberToObject(f, k.c_str(), static_cast<double>(n));
        }
        cJSON *h = cJSON_AddObjectToObject(rt, "hang");
        for (auto &[k, ms] : hang_)
            cJSON_AddNumberToObject(h, k.c_str(), ms);
        char *t = cJSON_Print(out.get());
        r.text = t ? t : "";
        cJSON_free(t);
    } else if (call == "ctl.set") {
        std::string w = what ? what : "";
        if (!value)
            return refuse("no value");
        if (w == "va-running") {
            std::string v = value;
            if (v != "0" && v != "1" && v != "true" && v != "false")
                return refuse("va-running takes 1, 0, true or false");
            cJSON_ReplaceItemInObjectCaseSensitive(doc, "va_running", cJSON_CreateBool(v == "1" || v == "true"));
        } else {
            static const std::map<std::string, const char *> members = {
                {"version", "version_info"}, {"status-report", "status_report"}, {"devices", "devices"}};
            auto m = members.find(w);
            if (m == members.end())
                return refuse("unknown setting '" + w + "' (version, status-report, devices, va-running)");
            JsonPtr v = raw ? JsonPtr(cJSON_CreateString(value)) : saagent::check_setting(w, value, err);
            if (!v)
                return refuse(w + ": " + err);
            cJSON_ReplaceItemInObjectCaseSensitive(doc, m->second, v.release());
        }
        save_state();
    } else if (call == "ctl.emit") {
        static const std::map<std::string, int> kinds = {{"devices-changed", 3}, {"started", 4}, {"va-scan", 5}};
        auto k = kinds.find(what ? what : "");
        if (k == kinds.end())
            return refuse("unknown event '" + std::string(what ? what : "") + "' (devices-changed, started, va-scan)");
        std::string text;
        if (value) {
            if (!raw && !saagent::check_event(k->second, value, err))
                return refuse(k->first + ": " + err);
            text = value;
        } else if (k->second == 3) {
            const cJSON *devs = cJSON_GetObjectItemCaseSensitive(doc, "devices");
            const char *did = cJSON_IsArray(devs) && devs->child ? get_string(devs->child, "did") : nullptr;
            text = std::string(R"({"type_of_change":"updated","did":")") + (did ? did : "") + "\"}";
        } else if (k->second == kEventStarted) {
            text = started_text();
        } else {
            text = R"({"status":"started","type":"network"})";
        }
        r.text = std::to_string(push_event(k->second, text));
    } else if (call == "ctl.fail" || call == "ctl.notext" || call == "ctl.emptytext" || call == "ctl.hang") {
        std::string name = what ? what : "";
        if (call == "ctl.fail" || call == "ctl.hang" ? !saproto::is_injectable_call(name)
                                                     : !saproto::is_text_call(name))
            return refuse("unknown call '" + name + "' for " + call.substr(4));
        auto n = get_int(req, "count");
        if (!n || *n < -1 || *n > INT_MAX)
            return refuse("bad count");
        if (call != "ctl.hang") {
            auto &counts = inject_[call.substr(4)];
            if (*n == 0)
                counts.erase(name);
            else
                counts[name] = *n;
        } else if (*n <= 0) {
            hang_.erase(name);
        } else {
            hang_[name] = static_cast<int>(*n);
        }
    } else if (call == "ctl.journal") {
        if (cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(req, "clear"))) {
            journal_.clear();
            if (journal_file_ && !freopen(opt_.journal.c_str(), "w", journal_file_.get())) {
                journal_file_.release();
                return refuse("cannot truncate journal " + opt_.journal + ": " + strerror(errno));
            }
        } else {
            r.text.emplace();
            for (auto &l : journal_)
                *r.text += l + "\n";
        }
        c.follow = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(req, "follow"));
    } else if (call == "ctl.restart") {
        auto ms = get_int(req, "count");
        restart_down_ms_ = ms && *ms > 0 && *ms < INT_MAX ? static_cast<int>(*ms) : 0;
    } else if (call == "ctl.stop") {
        stop_ = true;
    } else {
        return refuse("unknown call " + call);
    }
    return r;
}

void Agent::handle(Client &c, const std::string &line)
{
    JsonPtr req(cJSON_Parse(line.c_str()));
    auto id = get_int(req.get(), "id");
    const char *call = get_string(req.get(), "call");
    Reply r;
    std::string name = call ? call : "";
    if (!req || !id || !call) {
        r.result = 1;
        r.error = "bad request: not a JSON object with id and call";
    } else if (name.rfind("ctl.", 0) == 0) {
        r = control_call(c, name, req.get());
    } else if (saproto::is_broker_call(name)) {
        r = broker_call(c, name, req.get());
        journal(c.id, name, req.get(), r);
    } else {
        r.result = 1;
        r.error = "unknown call '" + name + "'";
    }
    if (r.result != 0)
        logf("%s refused: %s", name.empty() ? "request" : name.c_str(), r.error.c_str());

    JsonPtr reply(cJSON_CreateObject());
    cJSON_AddNumberToObject(reply.get(), "id", id ? static_cast<double>(*id) : 0);
    cJSON_AddNumberToObject(reply.get(), "result", r.result);
    if (r.text)
        cJSON_AddStringToObject(reply.get(), "text", r.text->c_str());
    if (!r.error.empty())
        cJSON_AddStringToObject(reply.get(), "error", r.error.c_str());
    std::string out = saproto::print(reply.get());
    // Behind its reply, delayed with it: the library knows the subscription first.
    if (r.then_started) {
        logf("client %llu: agent started, told to its renewed subscription",
             static_cast<unsigned long long>(c.id));
        out += "\n" + event_line(kEventStarted, started_text());
    }
    std::string key = name;
    if (auto ev = get_int(req.get(), "event"); ev && name == "subscribe")
        key = hang_ms(name + ":" + std::to_string(*ev)) ? name + ":" + std::to_string(*ev) : name;
    if (int ms = hang_ms(key); ms > 0)
        delayed_.emplace(Clock::now() + std::chrono::milliseconds(ms), std::make_pair(c.id, out));
    else
        queue(c, out);
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

bool parse_options(int argc, char **argv, Options &o, int &exit_code)
{
    static const std::pair<const char *, std::string Options::*> with_value[] = {
        {"--socket", &Options::socket}, {"--state", &Options::state},     {"--seed", &Options::seed},
        {"--journal", &Options::journal}, {"--pidfile", &Options::pidfile}, {"--log", &Options::log},
    };
    exit_code = 2;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            exit_code = 0;
            return false;
        }
        if (a == "--foreground" || a == "--replace") {
            (a == "--foreground" ? o.foreground : o.replace) = true;
            continue;
        }
        bool known = false;
        for (auto &[name, field] : with_value) {
            if (a != name)
                continue;
            if (i + 1 >= argc) {
                fprintf(stderr, "sa-agentd: %s needs a value\n", name);
                return false;
            }
            o.*field = argv[++i];
            known = true;
        }
        if (!known) {
            fprintf(stderr, "sa-agentd: unknown option %s (see --help)\n", a.c_str());
            return false;
        }
    }
    return true;
}

bool write_pidfile(const std::string &path)
{
    if (path.empty())
        return true;
    FILE *f = fopen(path.c_str(), "w");
    bool ok = f && fprintf(f, "%ld\n", static_cast<long>(getpid())) > 0;
    ok = f && fclose(f) == 0 && ok;
    if (!ok)
        logf("cannot write pid file %s: %s", path.c_str(), strerror(errno));
    return ok;
}

// Detaches once the socket listens, so that a caller may connect as soon as
// sa-agentd returns. The parent exits 0 only when the child is ready.
bool detach(const Options &o)
{
    int ready[2];
    if (pipe(ready) != 0) {
        logf("pipe: %s", strerror(errno));
        return false;
    }
    pid_t pid = fork();
    if (pid < 0) {
        logf("fork: %s", strerror(errno));
        return false;
    }
    if (pid > 0) {
        close(ready[1]);
        char b = 0;
        ssize_t n;
        do
            n = read(ready[0], &b, 1);
        while (n < 0 && errno == EINTR);
        _exit(n == 1 ? 0 : 1);
    }
    close(ready[0]);
    setsid();
    if (!write_pidfile(o.pidfile))
        _exit(1);
    int null = open("/dev/null", O_RDWR);
    dup2(null, STDIN_FILENO);
    dup2(null, STDOUT_FILENO);
    // A terminal is left behind; a file or pipe the caller chose is kept.
    if (o.log.empty() && isatty(STDERR_FILENO))
        dup2(null, STDERR_FILENO);
    if (null > STDERR_FILENO)
        close(null);
    char b = 1;
    ssize_t w = write(ready[1], &b, 1);
    close(ready[1]);
    return w == 1;
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    int code = 0;
    if (!parse_options(argc, argv, opt, code))
        return code;
    if (!opt.log.empty() && !freopen(opt.log.c_str(), "a", stderr)) {
        fprintf(stdout, "sa-agentd: cannot open log %s: %s\n", opt.log.c_str(), strerror(errno));
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    try {
        Agent agent(opt);
        if (!agent.setup())
            return 1;
        if (opt.foreground ? !write_pidfile(opt.pidfile) : !detach(opt))
            return 1;
        logf("listening on %s", opt.socket.c_str());
        int rc = agent.run();
        if (!opt.pidfile.empty())
            unlink(opt.pidfile.c_str());
        return rc;
    } catch (const std::exception &e) {
        logf("fatal: %s", e.what());
        return 1;
    }
}
