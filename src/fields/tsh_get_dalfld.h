// tsh_get_dalfld.h - what the daemon reads out of Q7 for the agent: the
// router's system information and its push, and the per-device record.
#ifndef TSH_GET_DALFLD_H
#define TSH_GET_DALFLD_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>

// The router as "General" describes it. The MAC is only ever logged.
struct SystemInfo {
    char DeviceModel[64];
    char DeviceName[64];
    char serialNo[16];
    char MacAddr[32];
    char wan_ifname[16];
    char lan_ifname[16];
    char fw_version[64];
};

// Guarded by tv_lock (held for a whole push); filled and read by pushes from
// the main thread, the agent callback thread and the Q7 callback thread.
extern SystemInfo tv;
extern std::mutex tv_lock;

// Capacities handed to the reads; only ever set to their constant values.
extern std::atomic<int32_t> DeviceModelsize, DeviceNamesize, FSNsize, wan_ifname_size, lan_ifname_size;
extern std::atomic<int32_t> DeviceUUIDsize, DisplayNameCustomsize, DeviceStatesize, DeviceDHCPHostNamesize,
    AllowOrBlocksize, DeviceCategorysize;

// Trigger codes of pushRouterInfo.
enum RouterInfoTrigger { RI_STARTUP = 0, RI_AGENT_STARTED = 2, RI_DEVICE_NAME = 3 };

int get_general_string(const char *field, char *buf, size_t size);
int get_general_ascii(const char *field, char *buf, size_t size);
int get_DeviceModel(char *buf, size_t size);
int get_DeviceName(char *buf, size_t size);
int get_wan_ifname(char *buf, size_t size);
int get_lan_ifname(char *buf, size_t size);
int get_FSN(char *buf, size_t size);
int getFwVersion(char *buf, size_t size);
int get_DefaultMAC(char *text);  // text: 32 bytes
int getRouterProtectionStatus();
int getSaServiceStatus();
char *lowercase_string(char *text);
// Fills tv; the caller holds tv_lock.
int get_q7_info();
// 0 or the agent's code; 1 no push needed; -2 system information
// unreadable; -1 the JSON could not be built.
int pushRouterInfo(int trigger);

// One client device, from "Wexsignature" and "General".
struct SoTDeviceInfo {
    char mac[32];
    char lan_ifname[16];
    char state[16];
    char ip[16];
    char dhcp_hostname[64];
    char allow_or_block[16];
    char category[32];
};

// Its identity, from "DeviceIdList".
struct SoTDeviceId {
    char uuid[64];
    char display_name[64];
};

// The last of the device's own fields read, in the order they are read:
// REC_ALL when all were. The router's lan_ifname does not count.
enum RecordProgress {
    REC_NONE = 0, REC_MAC, REC_UUID, REC_DISPLAY_NAME, REC_STATE, REC_IP, REC_DHCP_HOSTNAME,
    REC_ALLOW_OR_BLOCK, REC_CATEGORY, REC_ALL = REC_CATEGORY
};

int get_wexsig_enum(const char *field, char *buf, size_t size, int index);
int get_wexsig_ascii(const char *field, char *buf, size_t size, int index);
int get_deviceid_ascii(const char *field, char *buf, size_t size, int index);
int get_deviceid_string(const char *field, char *buf, size_t size, int index);
int get_WexDeviceMAC(char *text, int index);  // text: 32 bytes
int get_WexDeviceip(char *text, int index);   // text: 16 bytes
int get_DeviceUUID(char *buf, size_t size, int index);
int get_DisplayNameCustom(char *buf, size_t size, int index);
int get_Devicestate(char *buf, size_t size, int index);
int get_DeviceDHCPHostName(char *buf, size_t size, int index);
int get_AllowOrBlock(char *buf, size_t size, int index);
int get_DeviceCategory(char *buf, size_t size, int index);
int get_DeviceConnectionInterface(char *buf, size_t size, int index);
// Fills both structures; the Q7 code, 0 when every read succeeded.
// progress (may be NULL) receives how far the reads got.
int get_TelvaSoT_info(SoTDeviceInfo *info, SoTDeviceId *id, int32_t index, RecordProgress *progress = nullptr);

#endif
