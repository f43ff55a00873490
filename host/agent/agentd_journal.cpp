/*
 * agentd_journal.cpp - what sa-agentd tells others unasked: the journal of
 * broker calls (kept in memory, appended to --journal, pushed to followers)
 * and the events pushed to subscribed connections. Main thread only.
 */
#include "agent_state.h"
#include "agentd.h"

#include <ctime>

namespace saagent {

using saproto::get_int;
using saproto::get_string;

namespace {
constexpr size_t kJournalKeep = 10000;      // entries kept for agentctl journal
} // namespace

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

std::string Agent::agent_version() const
{
    JsonPtr version(cJSON_Parse(saagent::state_text(state_.get(), "version_info").c_str()));
    const char *v = get_string(version.get(), "version");
    return v ? v : "";
}

std::string Agent::started_text() const
{
    return saproto::started_text(agent_version().c_str());
}

} // namespace saagent
