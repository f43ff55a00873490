// tsh_get_dalfld.cpp - Q7 readers for the router's system information and
// its push to the agent, and the device record. The readers take no lock:
// every buffer is the caller's, except tv, which is read under tv_lock.
#include "tsh_get_dalfld.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "q7lib.h"
#include "sabroker.h"
#include "tsh_dal.h"
#include "tsh_json.h"
#include "tsh_log.h"

namespace {
constexpr const char TSH_MODULE[] = "tsh_get_dalfld";

// Six bytes as "0A:1B:..", from a buffer that is all zero when the read
// failed.
void format_mac(const uint8_t (&b)[6], char *text, size_t size)
{
    std::snprintf(text, size, "%02X:%02X:%02X:%02X:%02X:%02X", unsigned{b[0]}, unsigned{b[1]}, unsigned{b[2]},
                  unsigned{b[3]}, unsigned{b[4]}, unsigned{b[5]});
}

int read_mac(const char *table, unsigned row, const char *field, char *text)
{
    uint8_t b[6] = {};
    const int rc = q7_get_mac(dal_get_handle(), table, row, field, b);
    if (rc != Q7_OK)
        std::memset(b, 0, sizeof b);
    format_mac(b, text, 32);
    return rc;
}

// Takes the capacity global's value as the read's size.
size_t sized(std::atomic<int32_t> &global, int32_t value)
{
    global.store(value, std::memory_order_relaxed);
    return static_cast<size_t>(global.load(std::memory_order_relaxed));
}

// A string member added to obj; false when memory ran out.
bool add_string(cJSON *obj, const char *name, const char *value)
{
    cJSON *s = cJSON_CreateString(value);
    if (!s)
        return false;
    if (!cJSON_AddItemToObject(obj, name, s)) {
        cJSON_Delete(s);
        return false;
    }
    return true;
}

cJSON *interface_object(const char *name, const char *type)
{
    JsonObject o(cJSON_CreateObject());
    if (!o || !add_string(o.get(), "name", name) || !add_string(o.get(), "type", type))
        return nullptr;
    return o.release();
}

// The router-information object; NULL when memory ran out.
JsonObject router_info_json(const char *model, bool protection)
{
    JsonObject o(cJSON_CreateObject());
    if (!o || !add_string(o.get(), "name", tv.DeviceName) || !add_string(o.get(), "model", model))
        return nullptr;
    if (protection &&
        (!add_string(o.get(), "serial_number", tv.serialNo) || !add_string(o.get(), "firmware_version", tv.fw_version)))
        return nullptr;
    cJSON *ifs = cJSON_CreateArray();
    if (!ifs)
        return nullptr;
    if (!cJSON_AddItemToObject(o.get(), "interfaces", ifs)) {
        cJSON_Delete(ifs);
        return nullptr;
    }
    for (const auto &[name, type] : {std::pair{tv.wan_ifname, "wan"}, std::pair{tv.lan_ifname, "lan"}}) {
        cJSON *i = interface_object(name, type);
        if (!i)
            return nullptr;
        if (!cJSON_AddItemToArray(ifs, i)) {
            cJSON_Delete(i);
            return nullptr;
        }
    }
    return o;
}

// One enum of row 0 into a cleared 12-byte buffer; its error logged.
void read_switch(const char *table, const char *field, char (&buf)[12])
{
    std::memset(buf, 0, sizeof buf);
    print_err(q7_get_enum(dal_get_handle(), table, 0, field, buf, sizeof buf));
}
}  // namespace

SystemInfo tv;
std::mutex tv_lock;

std::atomic<int32_t> DeviceModelsize{0}, DeviceNamesize{0}, FSNsize{0}, wan_ifname_size{0}, lan_ifname_size{0};
std::atomic<int32_t> DeviceUUIDsize{0}, DisplayNameCustomsize{0}, DeviceStatesize{0}, DeviceDHCPHostNamesize{0},
    AllowOrBlocksize{0}, DeviceCategorysize{0};

int get_general_string(const char *field, char *buf, size_t size)
{
    return q7_get_string(dal_get_handle(), T_GENERAL, 0, field, buf, size);
}

int get_general_ascii(const char *field, char *buf, size_t size)
{
    return q7_get_ascii(dal_get_handle(), T_GENERAL, 0, field, buf, size);
}

int get_DeviceModel(char *buf, size_t size) { return get_general_string("DeviceModel", buf, size); }
int get_DeviceName(char *buf, size_t size) { return get_general_string("DeviceName", buf, size); }
int get_wan_ifname(char *buf, size_t size) { return get_general_string("wan_ifname", buf, size); }
int get_lan_ifname(char *buf, size_t size) { return get_general_string("lan_ifname", buf, size); }
int get_FSN(char *buf, size_t size) { return get_general_ascii("FSN", buf, size); }
int getFwVersion(char *buf, size_t size) { return get_general_ascii("FwRevision", buf, size); }

int get_DefaultMAC(char *text)
{
    return read_mac(T_GENERAL, 0, "DefaultMAC", text);
}

char *lowercase_string(char *text)
{
    for (char *p = text; p && *p; ++p)
        if (*p >= 'A' && *p <= 'Z')
            *p = static_cast<char>(*p + 32);
    return text;
}

int getRouterProtectionStatus()
{
    char buf[12];
    read_switch("featureSwitch", "rp", buf);
    return std::string_view(lowercase_string(buf)) == "enable";
}

int getSaServiceStatus()
{
    char buf[12];
    read_switch(T_TELVA_CFG, "SAService", buf);
    return std::string_view(buf) == "UP";
}

int get_q7_info()
{
    print_err(getFwVersion(tv.fw_version, sizeof tv.fw_version));
    TSH_LOG(TSH_NOTICE, "[DAL_TSH] : fw_version is %s\n", tv.fw_version);
    print_err(get_DeviceModel(tv.DeviceModel, sized(DeviceModelsize, 64)));
    TSH_LOG(TSH_NOTICE, "DeviceModel %s\n", tv.DeviceModel);
    print_err(get_DeviceName(tv.DeviceName, sized(DeviceNamesize, 64)));
    TSH_LOG(TSH_NOTICE, "DeviceName %s\n", tv.DeviceName);
    print_err(get_FSN(tv.serialNo, sized(FSNsize, 16)));
    TSH_LOG(TSH_NOTICE, "[DAL_TSH] : FSN is %s\n", tv.serialNo);
    print_err(get_DefaultMAC(tv.MacAddr));
    TSH_LOG(TSH_NOTICE, "DefaultMAC %s\n\n", tv.MacAddr);
    print_err(get_wan_ifname(tv.wan_ifname, sized(wan_ifname_size, 16)));
    const int rc = get_lan_ifname(tv.lan_ifname, sized(lan_ifname_size, 16));
    print_err(rc);
    TSH_LOG(TSH_INFO,
            "DeviceName : %s, DeviceModel : %s, serialNo : %s, MacAddr : %s, wan_ifname : %s, lan_ifname : %s, "
            "fw_version : %s \n",
            tv.DeviceName, tv.DeviceModel, tv.serialNo, tv.MacAddr, tv.wan_ifname, tv.lan_ifname, tv.fw_version);
    return rc;
}

int pushRouterInfo(int trigger)
{
    TSH_LOG(TSH_INFO, "[DAL_TSH] : Line : %d : Entering Function : %s\n", __LINE__, "pushRouterInfo");
    // Read, build and send as one: pushes from different threads never see
    // each other's half-read record, and the agent is left with the last
    // one read.
    std::lock_guard<std::mutex> g(tv_lock);
    if (get_q7_info() != 0) {
        TSH_LOG(TSH_ERROR, "[DAL_TSH] : Failed to get system info from DAL tables, returning with code %d\n", -2);
        return -2;
    }
    char model[64] = {};
    std::snprintf(model, sizeof model, "%s", tv.DeviceModel);
    lowercase_string(model);
    TSH_LOG(TSH_INFO, "[DAL_TSH] : Model name in lowercase %s\n", model);

    const int protection = getRouterProtectionStatus();
    if (trigger == RI_STARTUP || trigger == RI_AGENT_STARTED) {
        const int service = getSaServiceStatus();
        if (!(protection == 1 && service == 1)) {
            TSH_LOG(TSH_NOTICE, "[DAL_TSH] : Router Protection state is %d and SA Service state is %d \n",
                    protection, service);
            TSH_LOG(TSH_NOTICE, "[DAL_TSH] : No need to push router info to SA, returning with code %d\n", 1);
            return 1;
        }
    }
    JsonObject info;
    JsonText text;
    {
        JsonBuilding scope;
        info = router_info_json(model, protection == 1);
        text.reset(info ? cJSON_Print(info.get()) : nullptr);
    }
    if (!text) {
        TSH_LOG(TSH_ERROR, "[DAL_TSH] : Router info json could not be built, nothing pushed\n");
        return -1;
    }
    TSH_LOG(TSH_INFO, "[DAL_TSH] : Router info json to be pushed : %s \n", text.get());
    const int result = sa_broker_set_router_info(text.get());
    if (result != 0)
        TSH_LOG(TSH_ERROR, "[DAL_TSH] : sa_broker_set_router_info() failed \n");
    TSH_LOG(TSH_INFO, "[DAL_TSH] : Exiting func : %s with code %d \n", "pushRouterInfo", result);
    return result;
}

int get_wexsig_enum(const char *field, char *buf, size_t size, int index)
{
    return q7_get_enum(dal_get_handle(), T_WEXSIGNATURE, static_cast<unsigned>(index), field, buf, size);
}

int get_wexsig_ascii(const char *field, char *buf, size_t size, int index)
{
    return q7_get_ascii(dal_get_handle(), T_WEXSIGNATURE, static_cast<unsigned>(index), field, buf, size);
}

int get_deviceid_ascii(const char *field, char *buf, size_t size, int index)
{
    return q7_get_ascii(dal_get_handle(), T_DEVICE_ID_LIST, static_cast<unsigned>(index), field, buf, size);
}

int get_deviceid_string(const char *field, char *buf, size_t size, int index)
{
    return q7_get_string(dal_get_handle(), T_DEVICE_ID_LIST, static_cast<unsigned>(index), field, buf, size);
}

int get_WexDeviceMAC(char *text, int index)
{
    return read_mac(T_WEXSIGNATURE, static_cast<unsigned>(index), "DeviceMAC", text);
}

int get_WexDeviceip(char *text, int index)
{
    uint8_t b[4] = {};
    const int rc = q7_get_ipv4(dal_get_handle(), T_WEXSIGNATURE, static_cast<unsigned>(index), "DeviceIP", b);
    if (rc != Q7_OK)
        std::memset(b, 0, sizeof b);
    std::snprintf(text, 16, "%u.%u.%u.%u", unsigned{b[0]}, unsigned{b[1]}, unsigned{b[2]}, unsigned{b[3]});
    return rc;
}

int get_DeviceUUID(char *buf, size_t size, int index) { return get_deviceid_ascii("DeviceUUID", buf, size, index); }
int get_DisplayNameCustom(char *buf, size_t size, int index)
{
    return get_deviceid_string("DisplayNameCustom", buf, size, index);
}
int get_Devicestate(char *buf, size_t size, int index) { return get_wexsig_enum("Devicestate", buf, size, index); }
int get_DeviceDHCPHostName(char *buf, size_t size, int index)
{
    return q7_get_string(dal_get_handle(), T_WEXSIGNATURE, static_cast<unsigned>(index), "DeviceDHCPHostname", buf,
                         size);
}
int get_AllowOrBlock(char *buf, size_t size, int index) { return get_wexsig_enum("AllowOrBlock", buf, size, index); }
int get_DeviceCategory(char *buf, size_t size, int index)
{
    return get_wexsig_ascii("DeviceCategory", buf, size, index);
}
int get_DeviceConnectionInterface(char *buf, size_t size, int index)
{
    return get_wexsig_ascii("DeviceConnectionInterface", buf, size, index);
}

int get_TelvaSoT_info(SoTDeviceInfo *info, SoTDeviceId *id, int32_t index, RecordProgress *progress)
{
    TSH_LOG(TSH_INFO, "!ndex is %d\n", index);
    if (progress)
        *progress = REC_NONE;
    // Steps in the order of RecordProgress; the first failure ends the
    // gathering with its code.
    const auto steps = {
        +[](SoTDeviceInfo *i, SoTDeviceId *, int x) { return get_WexDeviceMAC(i->mac, x); },
        +[](SoTDeviceInfo *, SoTDeviceId *d, int x) { return get_DeviceUUID(d->uuid, sized(DeviceUUIDsize, 64), x); },
        +[](SoTDeviceInfo *, SoTDeviceId *d, int x) {
            return get_DisplayNameCustom(d->display_name, sized(DisplayNameCustomsize, 64), x);
        },
        +[](SoTDeviceInfo *i, SoTDeviceId *, int x) { return get_Devicestate(i->state, sized(DeviceStatesize, 16), x); },
        +[](SoTDeviceInfo *i, SoTDeviceId *, int x) { return get_WexDeviceip(i->ip, x); },
        +[](SoTDeviceInfo *i, SoTDeviceId *, int x) {
            return get_DeviceDHCPHostName(i->dhcp_hostname, sized(DeviceDHCPHostNamesize, 64), x);
        },
        +[](SoTDeviceInfo *i, SoTDeviceId *, int x) {
            return get_AllowOrBlock(i->allow_or_block, sized(AllowOrBlocksize, 16), x);
        },
        +[](SoTDeviceInfo *i, SoTDeviceId *, int x) {
            return get_DeviceCategory(i->category, sized(DeviceCategorysize, 32), x);
        },
    };
    int done = REC_NONE;
    for (auto step : steps) {
        if (const int rc = step(info, id, index)) {
            print_err(rc);
            return rc;
        }
        ++done;
        if (progress)
            *progress = static_cast<RecordProgress>(done);
    }
    const int rc = get_lan_ifname(info->lan_ifname, sized(lan_ifname_size, 16));
    print_err(rc);
    TSH_LOG(TSH_INFO,
            "(TelvaSoT) - MacAddr : %s, \n\tDeviceUUID : %s, \n\tDevLanIfname : %s, \t  \n\tDisplayNameCustoms : %s, "
            "\n\tDeviceState : %s, ip : %s, \n\tDeviceDHCPHostName : %s  \t  \n\tAllowOrBlock : %s , "
            "\n\tDeviceCategory : %s\n\n",
            info->mac, id->uuid, info->lan_ifname, id->display_name, info->state, info->ip, info->dhcp_hostname,
            info->allow_or_block, info->category);
    return rc;
}
