// tsh_agent.h - agent start-up with retries, the watched-field table and the
// handlers bound to it, and the agent event callbacks.
#ifndef TSH_AGENT_H
#define TSH_AGENT_H

#include <cstddef>

int timeSleep(int count, int factor);
int telva_init();
// 0 once the broker library is started; non-zero when a stop was asked for.
int SARetryLogic();
int tv_subscribe();
// The teardown's release of the broker library: a start in flight on
// another thread does not outlive it.
void agent_release();

void _SAAliveState(void *ctx);
void _Devicestate(void *ctx);
void _trafficBlock(void *ctx);
void _displayName(void *ctx);
void logcfg_change_handler(void *ctx);
void devname_change_handler(void *ctx);
// The device sync worker's thread; returns once the stop came.
void *TelvaSoTHandler(void *arg);

void _action(void *ctx);
void Enable_Action();
void Disable_Action();
void orlix_connected_handler(void *ctx);

void _typeOfChange(const char *event, void *arg);
void saAgentStarted(const char *event, void *arg);
void _va_scan(const char *event, void *arg);
void update_scan_status_from_raw_response(const char *event);

// Non-zero when the agent's version was not fetched (the agent is gone).
int get_saaVersionInfo();
// The agent check thread: every period, the version and SAAliveState.
void *threadproc(void *arg);
int set_module_version_detail(const char *field, const char *version);
// 0 when the report was fetched and parsed.
int get_saagent_status_report();
// The agent's texts as the daemon reads them (no agent or Q7 call): the
// version and patch level bounded to their buffers, and the report's lines.
void scan_version_info(const char *text, char *version, size_t vsize, char *patch, size_t psize);
int log_status_report(const char *text);

#endif
