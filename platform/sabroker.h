/*
 * sabroker.h - the security-agent broker library (libsabroker.so).
 *
 * The library talks to the agent process over a Unix socket: $SA_AGENT_SOCKET,
 * default /tmp/sa-agent.sock, read by sa_broker_init.
 *
 * Results: every int function returns 0 on success and non-zero on failure,
 * except sa_broker_va_status (below). A call fails at once when the library
 * is not initialised or the agent is unreachable, and fails when the agent
 * refuses it or does not answer within the call timeout: 5000 ms, or
 * $SA_CALL_TIMEOUT_MS read by sa_broker_init. The timeout bounds the whole
 * call, its wait behind other callers included: k callers stuck on a frozen
 * agent all fail within about one timeout.
 *
 * Ownership: texts passed in stay the caller's; the library copies what it
 * needs before it returns. Texts handed out through a char ** are malloc'ed
 * and the caller releases them with free(); on failure *out is set to NULL.
 * A success may hand out no text (*out NULL) or an empty one ("").
 *
 * Lifecycle:
 *  - sa_broker_init fails while the agent is unreachable or refuses; called
 *    again while initialised it returns 0 (non-zero while the link to the
 *    agent is down and being re-established).
 *  - sa_broker_uninit is harmless after a refused init and when repeated.
 *    It makes calls in flight on other threads and an init still connecting
 *    fail at once, waits for every running callback to return (except the
 *    one it is called from) and no callback runs after it has returned, also
 *    when another thread's uninit is still stopping. Subscriptions end with it.
 *  - After a lost link the library reconnects by itself with back-off and
 *    renews the subscriptions, retrying one the agent refuses with back-off
 *    (each refusal is logged on standard error). SA_BROKER_AGENT_STARTED then
 *    reaches its subscriber: from the agent when the agent restarted, from
 *    the library when only the link was lost. Either way at least once.
 *
 * Callbacks run on a pool of library threads, 3 or $SA_BROKER_CALLBACK_THREADS
 * (read by sa_broker_init; 1 delivers one at a time in arrival order). They
 * are started in arrival order but may run at the same time, events of one
 * number included. Each gets the event's NUL-terminated JSON text (valid for
 * the duration of the call) and the arg given to sa_broker_subscribe. A
 * callback may call any function of this header, sa_broker_uninit included;
 * one that does must not hold a lock that other callbacks wait for.
 *
 * All functions may be called from several threads at once. The library
 * never raises SIGPIPE.
 */
#ifndef SABROKER_H
#define SABROKER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Event numbers for sa_broker_subscribe. */
#define SA_BROKER_DEVICES_CHANGED 3   /* {"type_of_change": "new"|"updated"|"removed", "did": str} */
#define SA_BROKER_AGENT_STARTED 4     /* {"event": "started", "version": str} */
#define SA_BROKER_VA_STATUS_CHANGED 5 /* {"status": str, "type": str, "reason": str, "result": str} */

typedef void (*sa_broker_event_cb)(const char *event_json, void *arg);

int sa_broker_init(void);
void sa_broker_uninit(void);

/* Subscribes cb to one event number; a second subscription to the same event
 * replaces the first. flags is reserved (0). The agent may refuse. */
int sa_broker_subscribe(int event, sa_broker_event_cb cb, void *arg, int flags);

/* Protection on and off. */
int sa_broker_enable(void);
int sa_broker_disable(void);

/* 1 while a vulnerability-assessment scan runs; 0 when none runs or the agent
 * could not be asked. reserved: NULL. */
int sa_broker_va_status(void *reserved);

/* {"version": str, ..., "patch_level": number} - patch_level is the last member. */
int sa_broker_get_version_info(char **out);
/* {"agent": {"version": {"release": str, "patch": str}},
 *  "va": {"scheduled": {"enabled": bool, "allowed": bool}}} */
int sa_broker_get_status_report(char **out);
/* filter: a JSON array, "[]" for all devices, or DIDs / MAC texts to select.
 * out: a JSON array of {"did", "display_name", "device_type", "manufacturer",
 * "os", "ds_version", "traffic_blocked", "mac_list": [{"mac", "ip"}]}. */
int sa_broker_get_devices(const char *filter, char **out);

/* {"name", "model", ["serial_number", "firmware_version",]
 *  "interfaces": [{"name", "type": "wan"|"lan"}, ...]} */
int sa_broker_set_router_info(const char *json);
/* One object or an array of {"uuid", "display_name", ["traffic_blocked": 0|1]}. */
int sa_broker_set_device_info(const char *json);
/* One object, an array, or {} for none, of
 * {"mac", "ip", "interface", "dhcp_hostname", "is_online": 0|1}. */
int sa_broker_set_device_online_status(const char *json);
/* {"mac": str}, or an array of them. */
int sa_broker_remove_satellite(const char *json);

#ifdef __cplusplus
}
#endif

#endif /* SABROKER_H */
