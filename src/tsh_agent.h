// tsh_agent.h - agent start-up with retries, the watched-field table and the
// handlers bound to it, and the agent event callbacks.
#ifndef TSH_AGENT_H
#define TSH_AGENT_H

int timeSleep(int count, int factor);
int telva_init();
// 0 once the agent library is started; non-zero when a stop was asked for.
int SARetryLogic();
int tv_subscribe();

void _SAAliveState(void *ctx);
void _Devicestate(void *ctx);
void _trafficBlock(void *ctx);
void _displayName(void *ctx);
void logcfg_change_handler(void *ctx);
void devname_change_handler(void *ctx);
// The device sync worker's thread; returns once the stop came.
void *TelvaSoTHandler(void *arg);

void _typeOfChange(const char *event, void *arg);
void saAgentStarted(const char *event, void *arg);
void _va_scan(const char *event, void *arg);

#endif
