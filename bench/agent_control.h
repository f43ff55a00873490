/*
 * agent_control.h - requests to the agent's control interface (what
 * agentctl sends): staging what the agent reports, reading its state.
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
// The agent's state (what `agentctl state` prints); null when the agent
// does not answer within `timeout_ms` or refuses.
saproto::JsonPtr agent_state(const std::string &socket, int timeout_ms = 5000);

}  // namespace bench

#endif
