// tsh_sot.cpp - what the agent is told about client devices: the per-field
// steps run by the device sync worker, the online-state and satellite sends
// shared with the resync, and the resync itself (main thread at start-up,
// the agent callback thread when the agent starts).
#include "tsh_sot.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

#include "sabroker.h"
#include "tsh_daemon.h"
#include "tsh_json.h"
#include "tsh_log.h"
#include "tsh_queue.h"
#include "wexlib.h"

pthread_mutex_t mutex_TelvaSoT = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t mutex_SoTResp = PTHREAD_MUTEX_INITIALIZER;

namespace {
constexpr const char TSH_MODULE[] = "tsh_sot";
constexpr int MAX_DEVICES = 256;
constexpr useconds_t RETRY_PAUSE_US = 2000;

// The last import's records, reserved once for the life of the process.
// Guarded by import_lock; touched by the agent callback thread (device-list
// events) and the Q7 callback thread (cloud agent connected).
std::mutex import_lock;
DiscoveredDevice discovered_devices[KJSON_MAX_DEVICES];

enum SatelliteResult { SAT_REMOVED, SAT_REFUSED, SAT_NOT_SATELLITE };

// Two attempts, a pause after each refusal; 0 once one was accepted.
// ok_format is one of the fixed success lines, some of which show the text.
int send_twice(int (*call)(const char *), const char *text, const char *attempt_line, const char *retry_line,
               const char *ok_format)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        TSH_LOG(TSH_INFO, "%s", attempt_line);
        if (call(text) == 0) {
            TSH_LOG(TSH_INFO, ok_format, text);
            return 0;
        }
        TSH_LOG(TSH_ERROR, "%s", retry_line);
        usleep(RETRY_PAUSE_US);
    }
    return 1;
}

// `count` records of `kind` in a new object (count 0 or 1) or array;
// NULL when memory ran out.
JsonObject records_json(int kind, const void *records, int count)
{
    JsonBuilding scope;
    JsonObject o(count > 1 ? cJSON_CreateArray() : cJSON_CreateObject());
    if (o && cjson_create_json_file(o.get(), kind, records, count) != KJSON_OK)
        o.reset();
    if (!o)
        TSH_LOG(TSH_ERROR, "json of kind %d could not be built\n", kind);
    return o;
}

JsonText print(const JsonObject &o)
{
    if (!o)
        return nullptr;
    JsonBuilding scope;
    JsonText text(cJSON_PrintUnformatted(o.get()));
    if (!text)
        TSH_LOG(TSH_ERROR, "json text could not be built\n");
    return text;
}

void copy_text(char *to, size_t size, const char *from)
{
    std::snprintf(to, size, "%s", from ? from : "");
}

SatelliteResult satellite_removal(const char *mac, const char *category)
{
    TSH_LOG(TSH_INFO, "For Remove Satellite: DeviceMac: %s, DeviceCategory: %s\n", mac, category);
    SatelliteMac sat{};
    copy_text(sat.mac, sizeof sat.mac, mac);
    JsonObject obj = records_json(KJSON_KIND_SATELLITE_MAC, &sat, 1);
    SatelliteResult result = SAT_REFUSED;
    if (obj) {
        JsonText text = print(obj);
        if (text)
            TSH_LOG(TSH_INFO, "!satelliteMAC :%s!\n", text.get());
        if (std::string_view(category) != "satellite") {
            TSH_LOG(TSH_INFO, "DeviceCategory is not satellite. DeviceCategory:%s\n", category);
            result = SAT_NOT_SATELLITE;
        } else if (text && send_twice(sa_broker_remove_satellite, text.get(),
                                      "Telva SOT for sa_broker_remove_satellite()\n",
                                      "Failed to called sa_broker_remove_satellite()! Re-trying ..\n",
                                      "Successfully called sa_broker_remove_satellite() function\n") == 0) {
            result = SAT_REMOVED;
        }
    }
    TSH_LOG(TSH_ERROR, "Deleting satelliteMac cjson\n");
    return result;
}

// A device-info update (name or block setting); 0 when accepted.
int send_device_info(const deviceinfo &rec, const char *shown, const char *what)
{
    JsonObject obj = records_json(KJSON_KIND_DEVICE_INFO, &rec, 1);
    JsonText text = print(obj);
    int rc = 1;
    if (text) {
        TSH_LOG(TSH_INFO, shown, text.get());
        char attempt[96], retry[128];
        std::snprintf(attempt, sizeof attempt, "Telva SOT for sa_broker_set_device_info(%s)\n", what);
        std::snprintf(retry, sizeof retry, "Failed to called sa_broker_set_device_info(%s)! Re-trying ..\n", what);
        rc = send_twice(sa_broker_set_device_info, text.get(), attempt, retry,
                        "Successfully called sa_broker_set_device_info() to set up device information %s\n");
    }
    return rc;
}

// The record was read far enough for a step; otherwise the step fails
// without sending what was not read.
bool read_up_to(RecordProgress progress, RecordProgress needed, const char *step, int index)
{
    if (progress >= needed)
        return true;
    TSH_LOG(TSH_ERROR, "(TelvaSoT) - Device record of index %d not read, no %s sent\n", index, step);
    return false;
}

// A device-info step ends before sending when the record was not read far
// enough (1) or the device has no UUID to address (0); else -1.
int device_step_ends(const SoTDeviceId *id, RecordProgress progress, RecordProgress needed, const char *step,
                     const char *field, int index)
{
    if (!read_up_to(progress, needed, step, index))
        return 1;
    if (id->uuid[0])
        return -1;
    TSH_LOG(TSH_ERROR, "No TelvaSoT due to NULL DeviceUUID for %s\n", field);
    return 0;
}

int state_step(SoTDeviceInfo *info, RecordProgress progress, int index)
{
    if (!read_up_to(progress, REC_ALL, "online state", index))
        return 1;
    const int rc = DevState(info);
    if (rc == 0)
        TSH_LOG(TSH_INFO, "DeviceState() is successfully called\n");
    else
        TSH_LOG(TSH_ERROR, "Failed to call DeviceState()\n");
    return rc;
}

int display_name_step(const SoTDeviceId *id, RecordProgress progress, int index)
{
    TSH_LOG(TSH_INFO, "DeviceUUID : %s, display_name : %s\n", id->uuid, id->display_name);
    if (const int rc = device_step_ends(id, progress, REC_DISPLAY_NAME, "display name", "displayname", index); rc >= 0)
        return rc;
    deviceinfo rec{};
    copy_text(rec.display_name, sizeof rec.display_name, id->display_name);
    copy_text(rec.uuid, sizeof rec.uuid, id->uuid);
    rec.traffic_blocked = KJSON_TRAFFIC_BLOCKED_UNSET;
    const int rc = send_device_info(rec, "!DisplayName :%s!\n", "DisplayName");
    TSH_LOG(TSH_ERROR, "Deleting display_name cjson\n");
    return rc;
}

int block_step(const SoTDeviceInfo *info, const SoTDeviceId *id, RecordProgress progress, int index)
{
    TSH_LOG(TSH_INFO, "DeviceUUID : %s, AllowOrBlock : %s\n", id->uuid, info->allow_or_block);
    if (const int rc = device_step_ends(id, progress, REC_ALLOW_OR_BLOCK, "block setting", "AllowOrBlock", index); rc >= 0)
        return rc;
    deviceinfo rec{};
    rec.traffic_blocked = std::string_view(info->allow_or_block) == "block" ? 1 : 0;
    TSH_LOG(TSH_INFO, "deviceinfo.traffic_blocked: %d\n", rec.traffic_blocked);
    copy_text(rec.uuid, sizeof rec.uuid, id->uuid);
    const int rc = send_device_info(rec, "!traffic_blocked :%s!\n", "trafficBlocked");
    TSH_LOG(TSH_ERROR, "Deleting traffic_blocked cjson\n");
    return rc;
}

int category_step(const SoTDeviceInfo *info, RecordProgress progress, int index)
{
    TSH_LOG(TSH_INFO, "DeviceCategory %s\n", info->category);
    TSH_LOG(TSH_INFO, "DeviceMAC %s\n", info->mac);
    if (!read_up_to(progress, REC_CATEGORY, "satellite removal", index))
        return 1;
    const SatelliteResult r = satellite_removal(info->mac, info->category);
    if (r == SAT_REMOVED)
        TSH_LOG(TSH_INFO, "remove_satellite() is successfully called\n");
    else
        TSH_LOG(TSH_ERROR, "Failed to call remove_satellite()\n");
    return r == SAT_REFUSED;
}

// The online list sent to the agent, and what came of it; 0 when accepted.
// `prefix` starts the line that announces the call.
int send_online(const deviceonline *list, int count, const char *prefix, const char *done)
{
    JsonObject obj = records_json(KJSON_KIND_DEVICE_ONLINE, list, count);
    TSH_LOG(TSH_INFO, "%sDEVICE_STATE wex api implementation\n", prefix);
    const int rc = telva_sot_status_for_devices(obj.get());
    if (rc != 0)
        TSH_LOG(TSH_ERROR, "Failed to call DeviceState()\n");
    else
        TSH_LOG(TSH_INFO, "%s", done);
    TSH_LOG(TSH_INFO, "Deleting device_online_status cjson\n");
    return rc;
}

// An online-list entry from a device record.
void fill_online(deviceonline &d, const SoTDeviceInfo &info)
{
    copy_text(d.mac, sizeof d.mac, info.mac);
    copy_text(d.ip, sizeof d.ip, info.ip);
    copy_text(d.dhcp_hostname, sizeof d.dhcp_hostname, info.dhcp_hostname);
    // The router's interface name: 16 bytes at most, the rest stays zero.
    copy_text(d.interface, sizeof info.lan_ifname, info.lan_ifname);
}
}  // namespace

int remove_satellite(const char *mac, const char *category)
{
    return satellite_removal(mac ? mac : "", category ? category : "") == SAT_REMOVED ? 0 : 1;
}

int telva_sot_status_for_devices(cJSON *object)
{
    if (!object)
        return 1;
    JsonText text = [object] {
        JsonBuilding scope;
        return JsonText(cJSON_PrintUnformatted(object));
    }();
    if (!text) {
        TSH_LOG(TSH_ERROR, "dev_online_status json could not be built, nothing sent\n");
        return 1;
    }
    TSH_LOG(TSH_INFO, "!dev_online_status :%s!\n", text.get());
    const int rc = send_twice(sa_broker_set_device_online_status, text.get(),
                              "Telva SOT for sa_broker_set_device_online_status\n",
                              "Failed to called sa_broker_set_device_online_status! Re-trying ..\n",
                              "sa_broker_set_device_online_status function in order to set deviceonline status %s\n");
    if (rc != 0)
        TSH_LOG(TSH_ERROR, "sa_broker_set_device_online_status still failed after the last attempt\n");
    return rc;
}

int DevState(SoTDeviceInfo *info)
{
    TSH_LOG(TSH_INFO, "DeviceState: DeviceMac: %s, DeviceState: %s\n", info->mac, info->state);
    deviceonline d{};
    bool satellite_refused = false;
    if (std::string_view(info->state) == "DOWN") {
        d.is_online = 0;
        TSH_LOG(TSH_INFO, "deviceonline.is_online: %d\n", d.is_online);
    } else {
        d.is_online = 1;
        TSH_LOG(TSH_INFO, "deviceonline.is_online: %d\n", d.is_online);
        const SatelliteResult r = satellite_removal(info->mac, info->category);
        if (r == SAT_REMOVED)
            TSH_LOG(TSH_INFO, "remove_satellite() is successfully called\n");
        else
            TSH_LOG(TSH_ERROR, "Failed to call remove_satellite()\n");
        satellite_refused = r == SAT_REFUSED;
    }
    fill_online(d, *info);
    TSH_LOG(TSH_INFO, "deviceonline.interface: %s\n", d.interface);
    const int rc = send_online(&d, 1, "", "DeviceState() is successfully called\n");
    return rc != 0 || satellite_refused ? 1 : 0;
}

int do_TelvaSoT(SoTDeviceInfo *info, SoTDeviceId *id, const char *field, int index, RecordProgress progress)
{
    TSH_LOG(TSH_INFO, "do_TelvaSoT fld: %s index: %d\n", field ? field : "", index);
    switch (device_field_class(field)) {
    case FIELD_SIGNATURE:
        TSH_LOG(TSH_INFO, "\nDeviceMac : %s\n DeviceCategory %s\n, !! index: %d !!", info->mac, info->category, index);
        return state_step(info, progress, index);
    case FIELD_DISPLAY_NAME:
        return display_name_step(id, progress, index);
    case FIELD_BLOCK:
        return block_step(info, id, progress, index);
    case FIELD_STATE:
        return state_step(info, progress, index);
    case FIELD_CATEGORY:
        return category_step(info, progress, index);
    default:
        return 0;
    }
}

int saagent_started()
{
    TSH_LOG(TSH_INFO, "(saagent_started) - Entering into saagent_started!!!\n");
    // The run's own list, off the caller's stack (a broker library thread).
    std::unique_ptr<deviceonline[]> online(new (std::nothrow) deviceonline[MAX_DEVICES]());
    if (!online) {
        TSH_LOG(TSH_ERROR, "(saagent_started) - No memory for the online list, nothing sent\n");
        return 1;
    }
    SoTDeviceInfo info{};
    SoTDeviceId id{};
    int count = 0;

    // Walk and send as one step against the worker's updates: the list sent
    // is never older than an update the worker sent before it.
    MutexHold hold(mutex_TelvaSoT);
    if (hold.error() != 0) {
        TSH_LOG(TSH_ERROR, "(TelvaSoT) - Mutex Lock fail!  ERROR = %d", hold.error());
        return 1;
    }
    for (int index = 0; index < MAX_DEVICES; ++index) {
        if (tsh_shutting_down())
            return 1;
        if (get_TelvaSoT_info(&info, &id, index) != 0) {
            TSH_LOG(TSH_ERROR, "(saagent_started) - Failed to get TelvaSoT info\n");
            return 1;
        }
        if (std::string_view(info.state) != "UP")
            continue;
        deviceonline &d = online[count];
        d.is_online = 1;
        TSH_LOG(TSH_INFO, "(saagent_started) - deviceonline.is_online: %d\n", d.is_online);
        if (remove_satellite(info.mac, info.category) == 0)
            TSH_LOG(TSH_INFO, "(saagent_started) - remove_satellite() is successfully called\n");
        else
            TSH_LOG(TSH_ERROR, "(saagent_started) - Failed to call remove_satellite()\n");
        fill_online(d, info);
        TSH_LOG(TSH_INFO, "(saagent_started) - deviceonline.interface: %s\n", d.interface);
        ++count;
    }
    TSH_LOG(TSH_INFO, "(saagent_started) - Total number of UP DEVICE: %d\n", count);
    const int rc = send_online(online.get(), count, "(saagent_started) - ",
                               "Telva SOT for Online devices is successfully done\n");
    return rc != 0 ? 1 : 0;
}

namespace {
// One device's MACs recorded against its DID.
void record_device(const DiscoveredDevice &dev, int i)
{
    TSH_LOG(TSH_INFO, "TSH-SOT: MULTI ONLINE STATUS INDEX:%d\n", i);
    TSH_LOG(TSH_INFO, "TSH-SOT: Multi On demand: Device DID: %s\n", dev.did);
    TSH_LOG(TSH_INFO, "TSH-SOT: Multi On demand: Manufacturer: %s\n", dev.manufacturer);
    TSH_LOG(TSH_INFO, "TSH-SOT: Multi On demand: Display Name: %s\n", dev.display_name);
    TSH_LOG(TSH_INFO, "TSH-SOT: Multi On demand: Device Type: %s\n", dev.device_type);
    TSH_LOG(TSH_INFO, "TSH-SOT: Multi On demand: Device OS: %s\n", dev.os);
    TSH_LOG(TSH_INFO, "TSH-SOT: Multi On demand: Device DS Version: %s\n", dev.ds_version);
    TSH_LOG(TSH_INFO, "TSH-SOT: Multi On demand:  traffic_blocked: %d\n", dev.traffic_blocked);
    TSH_LOG(TSH_INFO, "TSH-SOT: MULTI MACs TOTAL INDEX:%d\n", dev.mac_count);
    const int macs = dev.mac_count < 0 ? 0 : (dev.mac_count > KJSON_MAX_MACS ? KJSON_MAX_MACS : dev.mac_count);
    // A stop ends the import at the next MAC: a device may hold 256.
    for (int j = 0; j < macs && !tsh_shutting_down(); ++j) {
        const DeviceAddress &a = dev.mac_list[j];
        TSH_LOG(TSH_INFO, "TSH-SOT: Multi On demand: Device MAC: %.*s\n", int(sizeof a.mac), a.mac);
        TSH_LOG(TSH_INFO, "TSH-SOT: Multi On demand: Device IP: %.*s\n", int(sizeof a.ip), a.ip);
        char mac[sizeof a.mac] = {};
        char did[WEX_DID_WIDTH] = {};
        std::memcpy(mac, a.mac, sizeof mac - 1);
        std::memcpy(did, dev.did, sizeof did - 1);
        TSH_LOG(TSH_INFO, "TSH-SOT: wex_update_table_field MAC: %s\n, DID: %s\n", mac, did);
        const int rc = wex_update_table_field(mac, WEX_FIELD_DEVICE_MAC, did, WEX_DID_WIDTH, WEX_FIELD_DEVICE_DID);
        if (rc == 0)
            TSH_LOG(TSH_INFO, "(TelvaSoT) - wex_update_table_field is successfully Updated\n");
        else
            TSH_LOG(TSH_ERROR, "(TelvaSoT) - wex_update_table_field Update failed %d\n", rc);
    }
}
}  // namespace

int devices_discoveredList()
{
    TSH_LOG(TSH_INFO, "TSH-SOT: !! Getting devices list on demand !!\n");
    // One import at a time, whichever thread asked: the table is shared.
    std::lock_guard<std::mutex> g(import_lock);
    char *raw = nullptr;
    const int rc = sa_broker_get_devices("[]", &raw);
    AgentText text(raw);
    if (rc != 0) {
        TSH_LOG(TSH_INFO, "TSH-SOT: Failed to call sa_broker_get_devices()\n");
        return 1;
    }
    TSH_LOG(TSH_INFO, "TSH-SOT: and devices %s\n", text ? text.get() : "(none)");
    // The parse only counts and the text only feeds the fetch: both go
    // before the updates, one Q7 write per MAC, so the list is never held
    // three times over.
    JsonObject parsed(text ? cJSON_Parse(text.get()) : nullptr);
    const int count = parsed && cJSON_IsArray(parsed.get()) ? cJSON_GetArraySize(parsed.get()) : 0;
    parsed.reset();
    TSH_LOG(TSH_INFO, "TSH-SOT: devices_count : %d\n", count);
    if (count == 0) {
        TSH_LOG(TSH_INFO, "TSH-SOT: Deleting cJdevices\n");
        return 1;
    }
    std::memset(discovered_devices, 0, sizeof discovered_devices);
    int devices_dropped = 0, macs_dropped = 0;
    const int total = cjson_parse_and_fetch_ex(text.get(), KJSON_KIND_DISCOVERED, discovered_devices,
                                               &devices_dropped, &macs_dropped);
    text.reset();
    TSH_LOG(TSH_INFO, "TSH-SOT: MULTI ONLINE STATUS TOTAL INDEX:%d\n", total);
    if (devices_dropped > 0 || macs_dropped > 0)
        TSH_LOG(TSH_ERROR, "TSH-SOT: list beyond the table's bounds: %d devices and %d MACs dropped\n",
                devices_dropped, macs_dropped);
    for (int i = 0; i < total && i < KJSON_MAX_DEVICES; ++i) {
        if (tsh_shutting_down())
            break;
        record_device(discovered_devices[i], i);
    }
    return 0;
}

int processSotEvent(const char *event)
{
    TSH_LOG(TSH_INFO, "Sot Event ptr \n\n\t%s\n\n", event ? event : "(none)");
    if (devices_discoveredList() != 0) {
        TSH_LOG(TSH_ERROR, "Failed to Getting devices list on demand\n");
        return 1;
    }
    TSH_LOG(TSH_ERROR, "devices_discoveredList() is successfully called\n");
    return 0;
}
