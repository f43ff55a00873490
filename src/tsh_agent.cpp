// tsh_agent.cpp - the agent library's start-up and retry loop (main thread at
// start-up, the Q7 callback thread when the alive state returns to "UP"),
// the watched-field table, the handlers bound to it (Q7 callback thread) and
// the agent event callbacks (agent library thread).
#include "tsh_agent.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "q7dynlog.h"
#include "sabroker.h"
#include "tsh_dal.h"
#include "tsh_get_dalfld.h"
#include "tsh_log.h"
#include "tsh_main.h"
#include "tsh_queue.h"
#include "tsh_sot.h"

namespace {
constexpr const char TSH_MODULE[] = "tsh_agent";

// Length of one retry-delay second. Tests shorten it through the
// environment so that a schedule of 2 s steps runs in milliseconds.
long retry_unit_ms()
{
    static const long unit = [] {
        const char *v = std::getenv("TSH_TEST_RETRY_UNIT_MS");
        long n = v ? std::strtol(v, nullptr, 10) : 0;
        return n > 0 ? n : 1000L;
    }();
    return unit;
}

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
    if (tsh_shutting_down() || sa_broker_init() != 0)
        return 1;
    set_enum(T_TELVA_RA_EVENT, "saBrokerInitStatusEvent", "true");
    TSH_LOG(TSH_INFO, "saBrokerInitStatusEvent is set as true\n");
    TSH_LOG(TSH_INFO, "Telva init successfull\n");

    if (sa_broker_subscribe(SA_BROKER_DEVICES_CHANGED, _typeOfChange, nullptr, 0) != 0) {
        sa_broker_uninit();
        mark_init_status_false();
        TSH_LOG(TSH_ERROR, "Failed to subscribe to Devices list Update\n");
        return 1;
    }
    TSH_LOG(TSH_INFO, "Subscribe to Devices list updated and the type of change(new/ updated / removed)\n");

    if (sa_broker_subscribe(SA_BROKER_AGENT_STARTED, saAgentStarted, nullptr, 0) != 0) {
        sa_broker_uninit();
        TSH_LOG(TSH_ERROR, "Failed to subscribe to SA agent started\n");
        return 1;
    }
    TSH_LOG(TSH_INFO, "Subscribe to SA agent started\n");

    if (sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, _va_scan, nullptr, 0) != 0) {
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
            TSH_LOG(TSH_INFO, "Initialize SA broker library successfully\n");
            set_enum(T_TELVA_CFG, "action", "none");
            set_enum(T_TELVA_CFG, "SAService", "UP");
            return 0;
        }
        sa_broker_uninit();
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
        // While the agent was down its started event found the service
        // DOWN and pushed nothing: the router information goes now.
        if (SARetryLogic() == 0) {
            TSH_LOG(TSH_INFO, "[DAL_TSH] : Sending router info to SA cloud at SA state toggle\n");
            pushRouterInfo(RI_AGENT_STARTED);
        }
        return;
    }
    set_enum(T_TELVA_CFG, "SAService", "DOWN");
    TSH_LOG(TSH_INFO, "!! SAAliveState is DOWN !!\n");
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
    struct Binding {
        const char *table;
        const char *field;
        dal_handler handler;
    };
    // Handlers of fields whose work is not built yet are bound as it lands;
    // until then those fields still reach the device decision of the
    // dispatcher through their tables' subscriptions.
    const Binding bindings[] = {
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
    if (get_TelvaSoT_info(&info, &id, index, &progress) != 0)
        TSH_LOG(TSH_ERROR, "(TelvaSoT) - Failed to get TelvaSoT info\n");

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
    TSH_LOG(TSH_INFO, "%s:event :%s", "_va_scan", text_or_empty(event));
}
