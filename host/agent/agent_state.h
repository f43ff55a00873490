/*
 * agent_state.h - what sa-agentd knows, as one JSON document, with the
 * checks of every JSON text that reaches the agent (broker calls, agentctl
 * set and emit) and the defaults of a fresh agent.
 *
 * Document members:
 *   protection bool, va_running bool,
 *   version_info object | string, status_report object | string,
 *   devices array | string       (a string is a raw text handed out verbatim),
 *   router_info object | null,
 *   device_info {UUID: {"display_name": str, "traffic_blocked": -1|0|1}},
 *   online {MAC: {"ip", "interface", "dhcp_hostname", "is_online"}},
 *   removed_satellites [MAC, ...]
 * Single-threaded: owned by the agent's event loop.
 */
#ifndef SA_AGENT_STATE_H
#define SA_AGENT_STATE_H

#include "proto.h"

#include <string>

namespace saagent {

using saproto::JsonPtr;

// A fresh agent's document.
JsonPtr default_state();
// Merges a state or seed text into doc; false with err naming the member.
bool merge_state(cJSON *doc, const char *text, std::string &err);

// The handed-out text of version_info, status_report or devices.
std::string state_text(const cJSON *doc, const char *member);

// Checks of texts the agent receives. Each returns the parsed text, or null
// with err saying what is wrong.
JsonPtr check_router_info(const char *text, std::string &err);
JsonPtr check_device_info(const char *text, std::string &err);
JsonPtr check_online_status(const char *text, std::string &err);
JsonPtr check_satellites(const char *text, std::string &err);
JsonPtr check_filter(const char *text, std::string &err);
// agentctl set: what is "version", "status-report" or "devices".
JsonPtr check_setting(const std::string &what, const char *text, std::string &err);
// agentctl emit: event 3, 4 or 5.
JsonPtr check_event(int event, const char *text, std::string &err);

// Applies an accepted broker text to the document.
void apply_device_info(cJSON *doc, const cJSON *items);
void apply_online_status(cJSON *doc, const cJSON *items);
void apply_satellites(cJSON *doc, const cJSON *items);
// The devices matching a filter (all for an empty one), as a JSON text.
std::string select_devices(const cJSON *doc, const cJSON *filter);

} // namespace saagent

#endif
