// agent_control.cpp - requests to the agent's control interface.
#include "agent_control.h"

#include "bench_figures.h"

namespace bench {

saproto::JsonPtr control_request(const char *call, const char *what, const std::string *value)
{
    saproto::JsonPtr req(cJSON_CreateObject());
    cJSON_AddNumberToObject(req.get(), "id", 1);
    cJSON_AddStringToObject(req.get(), "call", call);
    cJSON_AddStringToObject(req.get(), "what", what);
    if (value)
        cJSON_AddStringToObject(req.get(), "value", value->c_str());
    return req;
}

void agent_control(const std::string &socket, const cJSON *request)
{
    std::string err;
    saproto::JsonPtr req(cJSON_Duplicate(request, 1));
    saproto::JsonPtr reply = saproto::round_trip(socket, req.get(), 5000, err);
    if (!reply || saproto::get_int(reply.get(), "result").value_or(1) != 0) {
        const char *call = saproto::get_string(request, "call");
        fail(std::string("the agent refused ") + (call ? call : "a request") + ": " +
             (err.empty() ? saproto::print(reply.get()) : err));
    }
}

saproto::JsonPtr agent_state(const std::string &socket, int timeout_ms)
{
    std::string err;
    saproto::JsonPtr req(cJSON_CreateObject());
    cJSON_AddNumberToObject(req.get(), "id", 1);
    cJSON_AddStringToObject(req.get(), "call", "ctl.state");
    saproto::JsonPtr reply = saproto::round_trip(socket, req.get(), timeout_ms, err);
    const char *text = saproto::get_string(reply.get(), "text");
    if (!reply || saproto::get_int(reply.get(), "result").value_or(1) != 0 || !text)
        return nullptr;
    saproto::JsonPtr state(cJSON_Parse(text));
    return cJSON_IsObject(state.get()) ? std::move(state) : nullptr;
}

}  // namespace bench
