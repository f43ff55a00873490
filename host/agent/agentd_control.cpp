/*
 * agentd_control.cpp - agentctl's verbs ("ctl." calls): show the state, set
 * what the agent hands out, raise events, inject failures and delays, read
 * or follow the journal, restart and stop. Main thread only.
 */
#include "agent_state.h"
#include "agentd.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>

namespace saagent {

using saproto::get_int;
using saproto::get_string;

namespace {
constexpr const char *kInjections[] = {"fail", "notext", "emptytext"};
} // namespace

Reply Agent::control_call(Client &c, const std::string &call, const cJSON *req)
{
    Reply r;
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
        // Replies held back by a hang: a caller is waiting in its call now.
        cJSON_AddNumberToObject(rt, "held", static_cast<double>(delayed_.size()));
        char *t = cJSON_Print(out.get());
        r.text = t ? t : "";
        cJSON_free(t);
    } else if (call == "ctl.set") {
        std::string w = what ? what : "";
        if (!value)
            return Reply::refused("no value");
        if (w == "va-running") {
            std::string v = value;
            if (v != "0" && v != "1" && v != "true" && v != "false")
                return Reply::refused("va-running takes 1, 0, true or false");
            cJSON_ReplaceItemInObjectCaseSensitive(doc, "va_running", cJSON_CreateBool(v == "1" || v == "true"));
        } else {
            static const std::map<std::string, const char *> members = {
                {"version", "version_info"}, {"status-report", "status_report"}, {"devices", "devices"}};
            auto m = members.find(w);
            if (m == members.end())
                return Reply::refused("unknown setting '" + w + "' (version, status-report, devices, va-running)");
            JsonPtr v = raw ? JsonPtr(cJSON_CreateString(value)) : saagent::check_setting(w, value, err);
            if (!v)
                return Reply::refused(w + ": " + err);
            cJSON_ReplaceItemInObjectCaseSensitive(doc, m->second, v.release());
        }
        save_state();
    } else if (call == "ctl.emit") {
        static const std::map<std::string, int> kinds = {{"devices-changed", 3}, {"started", 4}, {"va-scan", 5}};
        auto k = kinds.find(what ? what : "");
        if (k == kinds.end())
            return Reply::refused("unknown event '" + std::string(what ? what : "") + "' (devices-changed, started, va-scan)");
        std::string text;
        if (value) {
            if (!raw && !saagent::check_event(k->second, value, err))
                return Reply::refused(k->first + ": " + err);
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
            return Reply::refused("unknown call '" + name + "' for " + call.substr(4));
        auto n = get_int(req, "count");
        if (!n || *n < -1 || *n > INT_MAX)
            return Reply::refused("bad count");
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
                return Reply::refused("cannot truncate journal " + opt_.journal + ": " + strerror(errno));
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
        return Reply::refused("unknown call " + call);
    }
    return r;
}

} // namespace saagent
