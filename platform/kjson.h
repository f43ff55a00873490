/*
 * kjson.h - the JSON utility library: record structures exchanged with the
 * security agent and their conversion to and from JSON.
 *
 * cjson_create_json_file turns plain records of a numbered kind into the
 * members of a JSON object (one record) or the objects of a JSON array
 * (several). cjson_parse_and_fetch fills the discovered-device table from the
 * agent's device list.
 *
 * The layouts below are a record format shared with C callers: every size and
 * offset is fixed and checked at compile time. Texts are NUL-terminated within
 * their width; integers are 32-bit signed, in host order.
 *
 * Both calls are reentrant: they keep no state between calls.
 */
#ifndef KJSON_H
#define KJSON_H

#include <stddef.h>
#include <stdint.h>

#include <cjson/cJSON.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Record kinds. */
enum {
    KJSON_KIND_DEVICE_INFO = 7,    /* deviceinfo    -> object */
    KJSON_KIND_DEVICE_ONLINE = 8,  /* deviceonline  -> object, or array of objects */
    KJSON_KIND_SATELLITE_MAC = 10, /* SatelliteMac  -> object */
    KJSON_KIND_DISCOVERED = 16     /* agent text    -> DiscoveredDevice table */
};

/* Bounds of the discovered-device table. */
enum {
    KJSON_MAX_DEVICES = 256, /* records in the table */
    KJSON_MAX_MACS = 256     /* mac_list entries per record */
};

/* Results of cjson_create_json_file. */
enum {
    KJSON_OK = 0,
    KJSON_EINVAL = 1,   /* NULL target, NULL records with count > 0, count < 0, unknown kind */
    KJSON_EMISMATCH = 2, /* count 1 needs an object, count > 1 an array */
    KJSON_ENOMEM = 3    /* memory ran out while building */
};

/* traffic_blocked of a deviceinfo that does not carry a block setting. */
#define KJSON_TRAFFIC_BLOCKED_UNSET (-1)

/* Kind 7. JSON: {"uuid", "display_name", "traffic_blocked"}; -1 omits the last. */
typedef struct deviceinfo {
    char uuid[64];
    char display_name[64];
    int32_t traffic_blocked; /* 1 blocked, 0 not blocked, -1 not set */
} deviceinfo;

/* Kind 8. JSON: {"mac", "ip", "interface", "dhcp_hostname", "is_online"}. */
typedef struct __attribute__((packed)) deviceonline {
    char mac[18];
    char ip[16];
    char interface[32];
    char dhcp_hostname[64];
    int32_t is_online; /* 1 online, 0 offline */
} deviceonline;

/* Kind 10. JSON: {"mac"}. */
typedef struct SatelliteMac {
    char mac[18];
} SatelliteMac;

/* One MAC address of a discovered device. JSON: {"mac", "ip"}. */
typedef struct DeviceAddress {
    char mac[18];
    char ip[16];
} DeviceAddress;

/*
 * One discovered device. JSON: {"did", "display_name", "device_type",
 * "manufacturer", "os", "ds_version", "traffic_blocked", "mac_list": [...]}.
 */
typedef struct __attribute__((packed)) DiscoveredDevice {
    DeviceAddress mac_list[KJSON_MAX_MACS];
    char did[65];
    char display_name[33];
    char device_type[33];
    char manufacturer[33];
    char os[33];
    char ds_version[33];
    int32_t traffic_blocked;
    int32_t mac_count; /* used entries of mac_list, 0..KJSON_MAX_MACS */
} DiscoveredDevice;

#ifdef __cplusplus
#define KJSON_LAYOUT(cond, what) static_assert(cond, what)
#else
#define KJSON_LAYOUT(cond, what) _Static_assert(cond, what)
#endif

KJSON_LAYOUT(sizeof(deviceinfo) == 132, "deviceinfo size");
KJSON_LAYOUT(offsetof(deviceinfo, uuid) == 0, "deviceinfo.uuid");
KJSON_LAYOUT(offsetof(deviceinfo, display_name) == 64, "deviceinfo.display_name");
KJSON_LAYOUT(offsetof(deviceinfo, traffic_blocked) == 128, "deviceinfo.traffic_blocked");

KJSON_LAYOUT(sizeof(deviceonline) == 134, "deviceonline size");
KJSON_LAYOUT(offsetof(deviceonline, mac) == 0, "deviceonline.mac");
KJSON_LAYOUT(offsetof(deviceonline, ip) == 18, "deviceonline.ip");
KJSON_LAYOUT(offsetof(deviceonline, interface) == 34, "deviceonline.interface");
KJSON_LAYOUT(offsetof(deviceonline, dhcp_hostname) == 66, "deviceonline.dhcp_hostname");
KJSON_LAYOUT(offsetof(deviceonline, is_online) == 130, "deviceonline.is_online");

KJSON_LAYOUT(sizeof(SatelliteMac) == 18, "SatelliteMac size");

KJSON_LAYOUT(sizeof(DeviceAddress) == 34, "DeviceAddress size");
KJSON_LAYOUT(offsetof(DeviceAddress, ip) == 18, "DeviceAddress.ip");

KJSON_LAYOUT(sizeof(DiscoveredDevice) == 8942, "DiscoveredDevice size");
KJSON_LAYOUT(offsetof(DiscoveredDevice, did) == 8704, "DiscoveredDevice.did");
KJSON_LAYOUT(offsetof(DiscoveredDevice, display_name) == 8769, "DiscoveredDevice.display_name");
KJSON_LAYOUT(offsetof(DiscoveredDevice, device_type) == 8802, "DiscoveredDevice.device_type");
KJSON_LAYOUT(offsetof(DiscoveredDevice, manufacturer) == 8835, "DiscoveredDevice.manufacturer");
KJSON_LAYOUT(offsetof(DiscoveredDevice, os) == 8868, "DiscoveredDevice.os");
KJSON_LAYOUT(offsetof(DiscoveredDevice, ds_version) == 8901, "DiscoveredDevice.ds_version");
KJSON_LAYOUT(offsetof(DiscoveredDevice, traffic_blocked) == 8934, "DiscoveredDevice.traffic_blocked");
KJSON_LAYOUT(offsetof(DiscoveredDevice, mac_count) == 8938, "DiscoveredDevice.mac_count");

#undef KJSON_LAYOUT

/*
 * Adds `count` consecutive records of `kind` (7, 8 or 10) to `target`.
 * count 1: `target` is an object and receives the record's members.
 * count > 1: `target` is an array and receives one object per record, in
 * order. count 0: nothing is added. Texts are read up to their width even
 * when not terminated.
 * Returns KJSON_OK, or one of the codes above; on failure `target` is left
 * as it was (records are built apart and attached only when complete).
 */
int cjson_create_json_file(cJSON *target, int kind, const void *records, int count);

/*
 * Fills `table` (KJSON_MAX_DEVICES records) from the front with the devices
 * of the agent's text, a JSON array of device objects; `kind` must be
 * KJSON_KIND_DISCOVERED. Returns the number of records filled: 0 for NULL
 * arguments, a wrong kind, or text that is not a JSON array.
 * Each filled record is cleared first; members of a wrong type are left zero;
 * texts are cut to their width and terminated; array elements that are not
 * objects are skipped. Records beyond those filled are not written.
 */
int cjson_parse_and_fetch(const char *text, int kind, DiscoveredDevice *table);

/*
 * cjson_parse_and_fetch that also reports what the bounds cut off:
 * *devices_dropped = device objects beyond KJSON_MAX_DEVICES,
 * *macs_dropped = MAC objects beyond KJSON_MAX_MACS, summed over the filled
 * devices. Either pointer may be NULL; both are set to 0 first.
 */
int cjson_parse_and_fetch_ex(const char *text, int kind, DiscoveredDevice *table,
                             int *devices_dropped, int *macs_dropped);

#ifdef __cplusplus
}
#endif

#endif /* KJSON_H */
