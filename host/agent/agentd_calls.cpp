/*
 * agentd_calls.cpp - one request of a connection: the broker calls served
 * on the agent's state, the failures and empty texts agentctl injected, and
 * the reply, sent at once or held back while its call hangs. Main thread only.
 */
#include "agent_state.h"
#include "agentd.h"

#include <map>
#include <utility>

namespace saagent {

using saproto::get_int;
using saproto::get_string;

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

int Agent::hang_ms(const std::string &key) const
{
    auto it = hang_.find(key);
    return it == hang_.end() ? 0 : it->second;
}

Reply Agent::broker_call(Client &c, const std::string &call, const cJSON *req)
{
    Reply r;
    const char *arg = get_string(req, "arg");
    std::string err;
    if (call == "subscribe") {
        auto ev = get_int(req, "event");
        if (!ev)
            return Reply::refused("no event number");
        std::string key = "subscribe:" + std::to_string(*ev);
        if (injected("fail", key) || injected("fail", "subscribe"))
            return Reply::refused("injected failure");
        if (*ev < 3 || *ev > 5)
            return Reply::refused("unknown event " + std::to_string(*ev));
        c.subs.insert(static_cast<int>(*ev));
        // A restarted agent announces itself to its subscribers of old as
        // they come back.
        r.then_started = *ev == kEventStarted && c.announce_start;
        c.announce_start = c.announce_start && !r.then_started;
        return r;
    }
    if (injected("fail", call))
        return Reply::refused("injected failure");
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
            return Reply::refused(err);
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
            return Reply::refused("unknown call " + call);
        JsonPtr in = it->second.first(arg, err);
        if (!in)
            return Reply::refused(err);
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

} // namespace saagent
