// tsh_agent.cpp - the broker library's start-up and retry loop (main thread at
// start-up, the Q7 callback thread when the alive state returns to "UP"),
// the watched-field table, the handlers bound to it (Q7 callback thread) and
// the agent event callbacks (broker library thread). What is read out of
// the agent's texts is in tsh_agent_reports.cpp.
#include "tsh_agent.h"

#include <atomic>
#include <climits>
#include <pthread.h>
#include <sys/prctl.h>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string_view>

#include "q7dynlog.h"
#include "sabroker.h"
#include "tsh_daemon.h"
#include "tsh_dal.h"
#include "tsh_get_dalfld.h"
#include "tsh_hooks.h"
#include "tsh_json.h"
#include "tsh_log.h"
#include "tsh_queue.h"
#include "tsh_sot.h"

namespace {
constexpr const char TSH_MODULE[] = "tsh_agent";

// Length of one retry-delay second: a test build runs the schedule of 2 s
// steps in milliseconds.
long retry_unit_ms()
{
    static const long unit = test_knob(Knob::RetryUnitMs, 1000L);
    return unit;
}

// Serialises a start of the broker library with the teardown's release of
// it (main thread, Q7 callback thread): a start that ends after the stop
// began is undone, so after the teardown the library is released.
std::mutex agent_life_lock;

// Times the agent check wrote SAAliveState "DOWN" (written by the check
// thread, read by the Q7 callback thread and the retry loop).
std::atomic<unsigned> downs_written{0};
// That count when the retry loop last started the library (main thread at
// start-up, then the Q7 callback thread).
std::atomic<unsigned> downs_at_start{0};
// Q7 callback thread only: the count of "DOWN" writes that the last restart
// by _SAAliveState outlived, or 0.
unsigned stale_downs = 0;

void set_enum(const char *table, const char *field, const char *value)
{
    log_q7_error(q7_set_enum(dal_get_handle(), table, 0, field, value));
}

void mark_init_status_false()
{
    set_enum(T_TELVA_RA_EVENT, "saBrokerInitStatusEvent", "false");
    TSH_LOG(TSH_INFO, "Setting saBrokerInitStatusEvent as false \n");
}

const char *text_or_empty(const char *s)
{
    return s ? s : "";
}

// Period of the agent check.
long check_period_ms()
{
    static const long period = test_knob(Knob::CheckPeriodMs, 300 * 1000L);
    return period;
}

// Protection as the agent accepted it, and when.
void record_protection(const char *status)
{
    log_q7_error(q7_set_enum(dal_get_handle(), T_TELVA_STATUS, 0, "protectionStatus", status));
    // A signed 32-bit time, as the stored field holds it: it ends in 2038.
    const int32_t now = static_cast<int32_t>(std::time(nullptr));
    log_q7_error(q7_set_int(dal_get_handle(), T_TELVA_DEBUG, 0, "lastEventSink", now));
}

// The switch carried to the agent, and recorded once the agent took it.
void carry_protection(const char *call, int (*fn)(), const char *status)
{
    TSH_LOG(TSH_INFO, "%s() called\n", call);
    if (fn() == 0)
        record_protection(status);
    else
        TSH_LOG(TSH_INFO, "%s is failed\n", call);
}

// Guarded by va_lock: two scan events never interleave their writes
// (agent callback threads).
std::mutex va_lock;

// Serialises runs of orlix_connected_handler (Q7 callback thread).
pthread_mutex_t mutex_all_cb = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

int timeSleep(int count, int factor)
{
    long long product = static_cast<long long>(count) * factor;
    if (product > 60)
        return 60;
    return product < 0 ? 0 : static_cast<int>(product);
}

int telva_init()
{
    TSH_LOG(TSH_INFO, "Initing telva subscriptions\n");
    if (tsh_shutting_down())
        return 1;
    test_point(TestPoint::AgentStart);
    if (sa_broker_init() != 0)
        return 1;
    {
        std::lock_guard<std::mutex> g(agent_life_lock);
        if (tsh_shutting_down()) {
            sa_broker_uninit();
            return 1;
        }
    }
    set_enum(T_TELVA_RA_EVENT, "saBrokerInitStatusEvent", "true");
    TSH_LOG(TSH_INFO, "saBrokerInitStatusEvent is set as true\n");
    TSH_LOG(TSH_INFO, "Telva init successfull\n");

    if (sa_broker_subscribe(SA_BROKER_DEVICES_CHANGED, _typeOfChange, nullptr, 0) != 0) {
        sa_broker_uninit();
        if (tsh_shutting_down())
            return 1;
        mark_init_status_false();
        TSH_LOG(TSH_ERROR, "Failed to subscribe to Devices list Update\n");
        return 1;
    }
    TSH_LOG(TSH_INFO, "Subscribe to Devices list updated and the type of change(new/ updated / removed)\n");

    if (get_saagent_status_report() == 0)
        TSH_LOG(TSH_INFO, "[status_report]:(%s) sa_broker_get_status_report: A brief report showing the SAAgent status \n",
                "telva_init");
    else
        TSH_LOG(TSH_ERROR, "[status_report]:(%s) Failed to get the SAAgent status report \n", "telva_init");

    if (sa_broker_subscribe(SA_BROKER_AGENT_STARTED, saAgentStarted, nullptr, 0) != 0) {
        sa_broker_uninit();
        TSH_LOG(TSH_ERROR, "Failed to subscribe to SA agent started\n");
        return 1;
    }
    TSH_LOG(TSH_INFO, "Subscribe to SA agent started\n");

    if (sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, _va_scan, nullptr, 0) != 0) {
        if (tsh_shutting_down())
            return 1;
        set_enum(T_TELVA_RA_EVENT, "saVAScanEvent", "false");
        TSH_LOG(TSH_INFO, "Setting saVAScanEvent as false \n");
        TSH_LOG(TSH_ERROR, "Failed to subscribe to SA_BROKER_VA_STATUS \n");
        return 0;
    }
    TSH_LOG(TSH_INFO, "Subscribe to VA Scan updated(new/updated/removed)\n");
    return 0;
}

int SARetryLogic()
{
    for (int count = 0;; ++count) {
        const int delay = timeSleep(count, 2);
        if (!sleep_unless_shutdown(delay * retry_unit_ms()))
            return 1;
        TSH_LOG(TSH_INFO, "try count %d, timesleep %d\n", count, delay);
        if (telva_init() == 0) {
            downs_at_start = downs_written.load();
            TSH_LOG(TSH_INFO, "Initialize SA broker library successfully\n");
            set_enum(T_TELVA_CFG, "action", "none");
            set_enum(T_TELVA_CFG, "SAService", "UP");
            return 0;
        }
        sa_broker_uninit();
        // A try cut short by the stop says nothing about the agent.
        if (tsh_shutting_down())
            return 1;
        mark_init_status_false();
        TSH_LOG(TSH_ERROR, "Failed to initialize SA broker library\n");
        set_enum(T_TELVA_CFG, "SAService", "DOWN");
        TSH_LOG(TSH_ERROR, "Trying again\n");
        if (count == INT_MAX - 1)
            count = 29;  // the delay stays at its cap; the counter must not overflow
    }
}

void _SAAliveState(void *)
{
    if (tsh_shutting_down())
        return;
    TSH_LOG(TSH_INFO, "_SAAliveState is changed\n");
    char state[8] = {};
    log_q7_error(q7_get_enum(dal_get_handle(), T_TELVA_CFG, 0, "SAAliveState", state, sizeof state));
    if (std::string_view(state) == "UP") {
        stale_downs = 0;
        const unsigned before = downs_written;
        // While the agent was down its started event found the service
        // DOWN and pushed nothing: the router information goes now.
        if (SARetryLogic() == 0) {
            // A "DOWN" the check wrote while the loop retried is older than
            // this start; its notification comes after the loop.
            if (downs_at_start != before)
                stale_downs = downs_at_start;
            TSH_LOG(TSH_INFO, "[DAL_TSH] : Sending router info to SA cloud at SA state toggle\n");
            pushRouterInfo(RI_AGENT_STARTED);
        }
        return;
    }
    if (stale_downs != 0 && downs_written == stale_downs)
        return;
    set_enum(T_TELVA_CFG, "SAService", "DOWN");
    TSH_LOG(TSH_INFO, "!! SAAliveState is DOWN !!\n");
}

void agent_release()
{
    std::lock_guard<std::mutex> g(agent_life_lock);
    sa_broker_uninit();
}

void _Devicestate(void *)
{
    TSH_LOG(TSH_INFO, "_Devicestate changed\n");
}

void _trafficBlock(void *)
{
    TSH_LOG(TSH_INFO, "_trafficBlock changed\n");
}

void _displayName(void *)
{
    TSH_LOG(TSH_INFO, "_displayName changed\n");
}

void logcfg_change_handler(void *)
{
    if (tsh_shutting_down())
        return;
    set_log_level(1, "Tsh", __exec_binary_name);
    log_q7_error(q7_set_bool(dal_get_handle(), "dalLogCfg", 0, "TshConfigurationApply", 0));
}

int tv_subscribe()
{
    test_point(TestPoint::Subscriptions);
    struct Binding {
        const char *table;
        const char *field;
        dal_handler handler;
    };
    const Binding bindings[] = {
        {T_ORLIX_CFG, "orlix_connected", orlix_connected_handler},
        {T_TELVA_CFG, "action", _action},
        {T_TELVA_CFG, "SAAliveState", _SAAliveState},
        {T_DEVICE_ID_LIST, "DisplayNameCustom", _displayName},
        {T_WEXSIGNATURE, "AllowOrBlock", _trafficBlock},
        {T_WEXSIGNATURE, "Devicestate", _Devicestate},
        {"dalLogCfg", "TshConfigurationApply", logcfg_change_handler},
        {T_GENERAL, "DeviceName", devname_change_handler},
    };
    for (const Binding &b : bindings)
        dal_call_on_change(b.table, b.field, b.handler, nullptr);
    return 0;
}

void _typeOfChange(const char *event, void *)
{
    if (tsh_shutting_down())
        return;
    TSH_LOG(TSH_INFO, "_typeOfChange callback function\n");
    TSH_LOG(TSH_INFO, "_typeOfChange Event is ###%s###\n", text_or_empty(event));
    MutexHold hold(mutex_SoTResp);
    if (hold.error() == 0)
        TSH_LOG(TSH_INFO, "=====!!_typeOfChange LOCKed Process..!!=====\n");
    else
        TSH_LOG(TSH_ERROR, "Can not Lock Process\n");
    if (processSotEvent(event) == 0)
        TSH_LOG(TSH_INFO, "_typeOfChange Event is processed successfully\n");
    else
        TSH_LOG(TSH_INFO, "Failed to processed _typeOfChange Event\n");
    if (hold.error() != 0)
        return;
    if (const int rc = hold.unlock())
        TSH_LOG(TSH_ERROR, "TSH : Mutex fail while unlocking. ERROR = %d", rc);
    else
        TSH_LOG(TSH_INFO, "=====!!_typeOfChange UnLOCK Done..!!=====\n");
}

void devname_change_handler(void *)
{
    if (tsh_shutting_down())
        return;
    if (pushRouterInfo(RI_DEVICE_NAME) != 0)
        TSH_LOG(TSH_ERROR, "[DAL_TSH] : pushRouterInfo function failed at devname change\n");
    else
        TSH_LOG(TSH_INFO, "[DAL_TSH] : pushRouterInfo function executed successful at devname change\n");
}

void saAgentStarted(const char *, void *)
{
    if (tsh_shutting_down())
        return;
    TSH_LOG(TSH_INFO, "(saagent_started) - Entered into saAgentStarted callback function\n");
    TSH_LOG(TSH_INFO, "[DAL_TSH] : Sending router info to SA cloud at SA state toggle\n");
    pushRouterInfo(RI_AGENT_STARTED);
    if (saagent_started() == 0)
        TSH_LOG(TSH_INFO, "(saagent_started) - saagent_started() is successfully called\n");
    else
        TSH_LOG(TSH_ERROR, "(saagent_started) - Failed to call saagent_started()\n");
    // The online list carries no names, blocks or offline states: what the
    // agent refused meanwhile goes again, after that list.
    if (const int n = RequeueRefused())
        TSH_LOG(TSH_INFO, "(saagent_started) - %d refused device changes queued again\n", n);
}

namespace {
// One queue entry, from the read of its device's record to its removal.
void handle_entry(const QueueEntry &entry)
{
    char field[64] = {};
    std::snprintf(field, sizeof field, "%s", entry.field);
    const int index = entry.index;
    TSH_LOG(TSH_INFO, "(TelvaSoT) - Initiate TelvaSoT for device at fld : %s index : %d\n", field, index);
    SoTDeviceInfo info{};
    SoTDeviceId id{};
    RecordProgress progress = REC_NONE;
    // Q7 out of reach (a server restarting): the record is read again until
    // it answers. A change not sent for that would reach the agent only at
    // its next start, as if the agent had refused it.
    for (;;) {
        progress = REC_NONE;
        const int rc = get_TelvaSoT_info(&info, &id, index, &progress);
        if (rc == 0)
            break;
        TSH_LOG(TSH_ERROR, "(TelvaSoT) - Failed to get TelvaSoT info\n");
        if (rc != Q7_TIMEOUT || !sleep_unless_shutdown(1000))
            break;
        TSH_LOG(TSH_NOTICE, "(TelvaSoT) - Q7 out of reach, reading the record of index %d again\n", index);
    }

    MutexHold hold(mutex_TelvaSoT);
    if (hold.error() != 0) {
        TSH_LOG(TSH_ERROR, "(TelvaSoT) - Mutex Lock fail!  ERROR = %d", hold.error());
        return;  // still queued: tried again on a later pass
    }
    TSH_LOG(TSH_INFO, "(TelvaSoT) - !! Locked Process !!\n");
    const int failed = do_TelvaSoT(&info, &id, field, index, progress);
    // A stop cuts the agent calls short: that is no answer of the agent's.
    if (!tsh_shutting_down()) {
        log_q7_error(q7_set_bool(dal_get_handle(), T_DEVICE_ID_LIST, static_cast<unsigned>(index),
                                 "TelvaSoTResponseStatus", failed ? 0 : 1));
        NoteRefused(field, index, failed != 0);
        if (failed)
            TSH_LOG(TSH_INFO, "(TelvaSoT) - TelvaSoTResponseStatus setted as false at index : %d\n", index);
        else
            TSH_LOG(TSH_INFO, "(TelvaSoT) - TelvaSoTResponseStatus setted as true at index : %d\n", index);
    }
    if (Dequeue() == 0)
        TSH_LOG(TSH_INFO, "(TelvaSoT) - Queue is Empty. No element removed from the Queue\n");
    if (const int rc = hold.unlock())
        TSH_LOG(TSH_INFO, "(WEX-Sync) -  Mutex fail while unlocking... ERROR = %d", rc);
    else
        TSH_LOG(TSH_INFO, "(TelvaSoT) - !! UnLOCK Done.!!\n");
}
}  // namespace

void *TelvaSoTHandler(void *)
{
    // Waits on the queue instead of polling it: an idle worker costs
    // nothing, and an entry is taken at once. After each entry the worker
    // still pauses its 2000 us.
    pthread_setname_np(pthread_self(), "tsh-sot");
    // The default 50 us of timer slack made each 2000 us pause end some
    // 65 us late, which a burst of 256 changes pays 256 times.
    prctl(PR_SET_TIMERSLACK, 1UL);
    try {
        while (!tsh_shutting_down()) {
            QueueEntry entry;
            if (!PeekHeadBegin(&entry)) {
                if (!WaitQueueEntry())
                    break;
                continue;
            }
            handle_entry(entry);
            QueuePause(2000);
        }
    } catch (...) {
        TSH_LOG(TSH_ERROR, "(TelvaSoT) - device sync worker ended by an unexpected error\n");
    }
    return nullptr;
}

void _va_scan(const char *event, void *)
{
    if (tsh_shutting_down())
        return;
    std::lock_guard<std::mutex> g(va_lock);
    TSH_LOG(TSH_INFO, "%s:event :%s", "_va_scan", text_or_empty(event));
    if (sa_broker_va_status(nullptr) == 0) {
        TSH_LOG(TSH_INFO, "No Scans are being run \n");
        return;
    }
    TSH_LOG(TSH_INFO, "VA scan is being run\n");
    update_scan_status_from_raw_response(event);
}

void Enable_Action()
{
    carry_protection("sa_broker_enable", sa_broker_enable, "true");
}

void Disable_Action()
{
    carry_protection("sa_broker_disable", sa_broker_disable, "false");
}

void _action(void *)
{
    if (tsh_shutting_down())
        return;
    char value[32] = {};
    log_q7_error(q7_get_enum(dal_get_handle(), T_TELVA_CFG, 0, "action", value, sizeof value));
    // Consumed before it is carried out: a request is acted on once.
    set_enum(T_TELVA_CFG, "action", "none");
    const std::string_view v(value);
    if (v == tsh_names[N_PROTECTION_ON]) {
        TSH_LOG(TSH_INFO, "action is :%s\n", value);
        Enable_Action();
    } else if (v == tsh_names[N_PROTECTION_OFF]) {
        TSH_LOG(TSH_INFO, "action is :%s\n", value);
        Disable_Action();
    }
}

int get_saaVersionInfo()
{
    char *raw = nullptr;
    const int call = sa_broker_get_version_info(&raw);
    AgentText text(raw);
    if (call != 0) {
        // Cut short by the stop: no answer of the agent's to record.
        if (tsh_shutting_down())
            return call;
        set_enum(T_TELVA_RA_EVENT, "saBrokerVersionStatus", "false");
        TSH_LOG(TSH_INFO, "Failed to call sa_broker_get_version_info()\n");
        // The version was not fetched: the callers read that as the agent
        // being gone.
        return call;
    }
    int rc = q7_set_enum(dal_get_handle(), T_TELVA_RA_EVENT, 0, "saBrokerVersionStatus", "true");
    log_q7_error(rc);
    if (!text) {
        TSH_LOG(TSH_ERROR, "version_info is getting empty\n");
        return rc;
    }
    char version[128], patch[16];
    scan_version_info(text.get(), version, sizeof version, patch, sizeof patch);
    log_q7_error(q7_set_ascii(dal_get_handle(), T_TELVA_STATUS, 0, "saaVersion", version));
    rc = q7_set_ascii(dal_get_handle(), T_TELVA_STATUS, 0, "saaPatchLevel", patch);
    log_q7_error(rc);
    return rc;
}

void *threadproc(void *)
{
    pthread_setname_np(pthread_self(), "tsh-check");
    try {
        while (sleep_unless_shutdown(check_period_ms())) {
            if (get_saaVersionInfo() != 0) {
                if (tsh_shutting_down())
                    break;
                ++downs_written;
                set_enum(T_TELVA_CFG, "SAAliveState", "DOWN");
                TSH_LOG(TSH_INFO, "SAAgent alive state is DOWN\n");
            } else {
                set_enum(T_TELVA_CFG, "SAAliveState", "UP");
            }
        }
    } catch (...) {
        TSH_LOG(TSH_ERROR, "agent check ended by an unexpected error\n");
    }
    return nullptr;
}

int set_module_version_detail(const char *field, const char *version)
{
    TSH_LOG(TSH_INFO, "CSH:Entry Function:%s Line:%d input fieldname --:%s input version --:%s\n",
            "set_module_version_detail", __LINE__, text_or_empty(field), text_or_empty(version));
    test_point(TestPoint::ModuleVersion);
    return q7_set_string(dal_get_handle(), "DalModuleVersion", 0, field, version) != Q7_OK ? 1 : 0;
}

int get_saagent_status_report()
{
    TSH_LOG(TSH_INFO, "Function:%s Inside func \n", "get_saagent_status_report");
    char *raw = nullptr;
    const int call = sa_broker_get_status_report(&raw);
    AgentText text(raw);
    if (call != 0)
        return 1;
    if (!text) {
        TSH_LOG(TSH_INFO, "[status_report]: sa_broker_get_status_report\n");
        return 1;
    }
    return log_status_report(text.get());
}

void orlix_connected_handler(void *)
{
    if (tsh_shutting_down())
        return;
    uint32_t connected = 0;
    const int rc = q7_get_uint(dal_get_handle(), T_ORLIX_CFG, 0, "orlix_connected", &connected);
    log_q7_error(rc);
    if (rc != Q7_OK)
        connected = 0;  // unread: no refresh
    if (connected == 0) {
        TSH_LOG(TSH_INFO, "x_status : %d\n", static_cast<int>(connected));
        return;
    }
    MutexHold hold(mutex_all_cb);
    if (hold.error() != 0) {
        TSH_LOG(TSH_ERROR, "Can not Lock Process\n");
        return;
    }
    TSH_LOG(TSH_INFO, "=====LOCKed Process..=====\n");
    get_saaVersionInfo();
    TSH_LOG(TSH_INFO, "!! get_version_info() is called while connected is true !!\n");
    if (devices_discoveredList() != 0)
        TSH_LOG(TSH_INFO, "! Failed to call Ondemand device discovery !\n");
    else
        TSH_LOG(TSH_INFO, "! Ondemand called device discovery !\n");
    TSH_LOG(TSH_INFO, "=====UnLOCK Done..=====\n");
    if (const int err = hold.unlock())
        TSH_LOG(TSH_ERROR, "TSH : Mutex fail while unlocking. ERROR = %d", err);
    else
        TSH_LOG(TSH_INFO, "=====UnLOCK Done..=====\n");
}
