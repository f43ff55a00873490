/*
 * agent_control.h - requests to the agent's control interface (what
 * agentctl sends), for the benches that stage what the agent reports.
 */
#ifndef TSH_BENCH_AGENT_CONTROL_H
#define TSH_BENCH_AGENT_CONTROL_H

#include "proto.h"

#include <string>

namespace bench {

// A control request to the agent ("ctl.set", "ctl.emit"...) about `what`.
saproto::JsonPtr control_request(const char *call, const char *what, const std::string *value = nullptr);
// One control request to the agent; fails unless its result is 0.
void agent_control(const std::string &socket, const cJSON *request);

}  // namespace bench

#endif
