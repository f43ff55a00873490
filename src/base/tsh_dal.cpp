// tsh_dal.cpp - the Q7 connection (opened on the main thread at start-up,
// closed in the teardown), the set of watched fields and the dispatcher that
// runs on the Q7 client library's one callback thread.
#include "tsh_dal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "sortedset.h"
#include "tsh_daemon.h"
#include "tsh_log.h"
#include "tsh_queue.h"

namespace {
constexpr const char TSH_MODULE[] = "tsh_dal";

// Written on the main thread (dal_init, dal_destroy in the teardown); read
// by every thread. The teardown closes the handle only after the threads
// that use it have stopped or been told to return.
std::atomic<q7_handle *> dal_handle{nullptr};
// Thread-safe set (its own lock): filled on the main thread, searched on the
// Q7 callback thread, emptied by dal_destroy after the callback thread ended.
sortedSet *dal_subscriptions = nullptr;

void make_key(char (&key)[64], const char *table, const char *field)
{
    std::snprintf(key, sizeof key, "%s.%s", table ? table : "", field ? field : "");
}
}  // namespace

const char *const tsh_names[10] = {
    "OrlixCfg", "TelvaStatus", "TelvaCfg", "TelvaDebug", "do_protection_on",
    "do_protection_off", "Wexsignature", "DeviceIdList", "General", "TelvaRAEvent",
};

int WexIndex = 0;

int dal_key_compare(const void *a, const void *b)
{
    return std::strcmp(static_cast<const dal_subscription *>(a)->key,
                       static_cast<const dal_subscription *>(b)->key);
}

int dal_init()
{
    dal_subscriptions = sortedSet_init(32, dal_key_compare);
    if (!dal_subscriptions) {
        std::fputs("Couldn't init jump table!", stderr);
        return -1;
    }
    q7_handle *h = q7_init();
    if (!h) {
        std::fputs("Couldn't init q7!", stderr);
        return -2;
    }
    dal_handle = h;
    q7_subscribe_cb(h, dal_change_dispatch, nullptr);
    return 0;
}

q7_handle *dal_get_handle()
{
    return dal_handle.load();
}

void dal_destroy()
{
    if (q7_handle *h = dal_handle.exchange(nullptr))
        q7_destroy(h);
    if (dal_subscriptions) {
        while (sortedSet_len(dal_subscriptions) > 0)
            sortedSet_rem(dal_subscriptions, sortedSet_first(dal_subscriptions));
        sortedSet_destroy(dal_subscriptions);
        dal_subscriptions = nullptr;
    }
}

const char *error_message(int code)
{
    static const char *const texts[] = {
        "No Error", "Connection Timeout", "Q7_SHUTDOWN ERROR", "Q7_NOSUCH_ITEM ERROR",
        "Q7_TOO_LONG ERROR", "Not a Valid Input", "Q7_WRONG_TYPE ERROR", "Q7_ENCODING ERROR",
        "Q7_ERROR", "Q7 Unknown Error",
    };
    if (code < 0 || code >= static_cast<int>(std::size(texts)))
        return "Unknown";
    return texts[code];
}

void print_err(int code)
{
    if (code != 0)
        log_printf(TSH_INFO, "tsh_get_dalfld", __LINE__, "Error: %s\n", error_message(code));
}

void log_q7_error(int code)
{
    if (code != 0)
        log_printf(TSH_ERROR, "tsh_agent", __LINE__, "%s\n", q7_error_string(code));
}

int dal_call_on_change(const char *table, const char *field, dal_handler handler, void *context)
{
    auto *e = static_cast<dal_subscription *>(std::calloc(1, sizeof(dal_subscription)));
    if (!e)
        return 1;
    make_key(e->key, table, field);
    e->handler = handler;
    e->context = context;
    // In the set before the table's notifications are asked for.
    sortedSet_add(dal_subscriptions, e);
    q7_subscribe(dal_get_handle(), table, 1);
    return 0;
}

void dal_change_dispatch(const char *table, unsigned int row, const char *field, void * /*unused*/)
{
    if (tsh_shutting_down() || !table || !field)
        return;
    const int index = static_cast<int>(row);
    WexIndex = index;
    const std::string_view f(field);
    if (f == "TshConfigurationApply" || f == "TshLogToFile" || f == "TshLogToConsole")
        TSH_LOG(TSH_INFO, "[DAL_TSH] - Change notification on table: %s for field: %s\n", table, field);

    dal_subscription probe{};
    make_key(probe.key, table, field);
    auto *e = static_cast<dal_subscription *>(sortedSet_find(dal_subscriptions, &probe));
    if (e && e->handler)
        e->handler(e->context);

    if (device_field_class(field) < 0)
        return;
    TSH_LOG(TSH_INFO, "(TelvaSoT) - Change notification for !!%s!!\n", field);
    TSH_LOG(TSH_INFO, "(TelvaSoT) -  Updated Index at %d  \n\n", index);
    uint8_t flag = 0;
    if (q7_get_bool(dal_get_handle(), "Wexsignature", row, "WEXSignatureUpdateStatus", &flag) != Q7_OK)
        flag = 0;
    TSH_LOG(TSH_INFO, "(TelvaSoT) - WEXSignatureUpdateStatus at index %d = %d \n", index, flag);
    if (flag == 1 && QueueChange(field, index) < 0)
        TSH_LOG(TSH_INFO, "(TelvaSoT) - Queue is full. No element inserted in Queue\n");
}
