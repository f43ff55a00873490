/*
 * kjson.cpp - records to JSON (cjson_create_json_file) and the agent's
 * discovered-device list to records (cjson_parse_and_fetch).
 *
 * Each record kind is described once, as a table of members (JSON name,
 * offset, width, type); building walks that table. Nothing here keeps state
 * between calls, so every thread may call in at once.
 */
#include "kjson.h"

#include <cstring>
#include <memory>
#include <span>

#define KJSON_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

JsonPtr adopt(cJSON *item) { return JsonPtr(item, cJSON_Delete); }

enum class MemberType {
    Text,        // char[width], possibly unterminated
    Int,         // int32
    OptionalInt  // int32, member omitted when KJSON_TRAFFIC_BLOCKED_UNSET
};

struct Member {
    const char *name;
    size_t offset;
    size_t width;
    MemberType type;
};

struct Kind {
    int id;
    size_t record_size;
    std::span<const Member> members;
};

#define TEXT(S, F) Member{#F, offsetof(S, F), sizeof(S::F), MemberType::Text}
#define INT(S, F, T) Member{#F, offsetof(S, F), sizeof(int32_t), MemberType::T}

constexpr Member device_info_members[] = {
    TEXT(deviceinfo, uuid),
    TEXT(deviceinfo, display_name),
    INT(deviceinfo, traffic_blocked, OptionalInt),
};
constexpr Member device_online_members[] = {
    TEXT(deviceonline, mac),
    TEXT(deviceonline, ip),
    TEXT(deviceonline, interface),
    TEXT(deviceonline, dhcp_hostname),
    INT(deviceonline, is_online, Int),
};
constexpr Member satellite_mac_members[] = {
    TEXT(SatelliteMac, mac),
};
constexpr Member device_address_members[] = {
    TEXT(DeviceAddress, mac),
    TEXT(DeviceAddress, ip),
};
constexpr Member discovered_members[] = {
    TEXT(DiscoveredDevice, did),
    TEXT(DiscoveredDevice, display_name),
    TEXT(DiscoveredDevice, device_type),
    TEXT(DiscoveredDevice, manufacturer),
    TEXT(DiscoveredDevice, os),
    TEXT(DiscoveredDevice, ds_version),
    INT(DiscoveredDevice, traffic_blocked, Int),
};

#undef TEXT
#undef INT

// Widest text member of a record kind; record_object copies texts through a
// buffer of this size plus the terminator.
constexpr size_t max_record_text = 64;

constexpr bool texts_fit(std::span<const Member> members)
{
    for (const Member &m : members)
        if (m.type == MemberType::Text && m.width > max_record_text)
            return false;
    return true;
}
static_assert(texts_fit(device_info_members) && texts_fit(device_online_members) &&
              texts_fit(satellite_mac_members));

constexpr Kind kinds[] = {
    {KJSON_KIND_DEVICE_INFO, sizeof(deviceinfo), device_info_members},
    {KJSON_KIND_DEVICE_ONLINE, sizeof(deviceonline), device_online_members},
    {KJSON_KIND_SATELLITE_MAC, sizeof(SatelliteMac), satellite_mac_members},
};

const Kind *find_kind(int id)
{
    for (const Kind &k : kinds)
        if (k.id == id)
            return &k;
    return nullptr;
}

int32_t read_int(const char *field)
{
    int32_t v;
    std::memcpy(&v, field, sizeof v); // packed records: the member may be unaligned
    return v;
}

// One object holding the members of the record at `rec`; NULL when memory
// runs out.
JsonPtr record_object(const Kind &kind, const char *rec)
{
    JsonPtr obj = adopt(cJSON_CreateObject());
    if (!obj)
        return obj;
    for (const Member &m : kind.members) {
        const char *field = rec + m.offset;
        cJSON *item = nullptr;
        if (m.type == MemberType::Text) {
            char text[max_record_text + 1];
            size_t n = strnlen(field, m.width);
            std::memcpy(text, field, n);
            text[n] = '\0';
            item = cJSON_CreateString(text);
        } else {
            int32_t v = read_int(field);
            if (m.type == MemberType::OptionalInt && v == KJSON_TRAFFIC_BLOCKED_UNSET)
                continue;
            item = cJSON_CreateNumber(v);
        }
        if (!item || !cJSON_AddItemToObject(obj.get(), m.name, item)) {
            cJSON_Delete(item);
            return adopt(nullptr);
        }
    }
    return obj;
}

// Moves every child of `from` to the end of `to`. Cannot fail, so the
// caller's target is never left half-filled.
void move_children(cJSON *from, cJSON *to)
{
    while (cJSON *item = cJSON_DetachItemFromArray(from, 0))
        cJSON_AddItemToArray(to, item); // keeps an object member's name
}

// Copies `src` into dst[width] cut to width - 1 bytes, never in the middle of
// a UTF-8 sequence, and terminated.
void copy_text(char *dst, size_t width, const char *src)
{
    size_t n = strnlen(src, width);
    if (n >= width) {
        n = width - 1;
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// Fills the members of `members` found in `obj` with the right type; the
// record is already zero, so a missing or mistyped member stays zero.
void fill_members(char *rec, std::span<const Member> members, const cJSON *obj)
{
    for (const Member &m : members) {
        const cJSON *item = cJSON_GetObjectItemCaseSensitive(obj, m.name);
        if (m.type == MemberType::Text && cJSON_IsString(item))
            copy_text(rec + m.offset, m.width, item->valuestring);
        else if (m.type != MemberType::Text && cJSON_IsNumber(item))
            std::memcpy(rec + m.offset, &item->valueint, sizeof(int32_t)); // cJSON clamps to int
    }
}

// Fills one record from one device object; returns the MAC objects cut off
// by the bound.
int fill_device(DiscoveredDevice *dev, const cJSON *obj)
{
    std::memset(static_cast<void *>(dev), 0, sizeof *dev);
    fill_members(reinterpret_cast<char *>(dev), discovered_members, obj);

    const cJSON *list = cJSON_GetObjectItemCaseSensitive(obj, "mac_list");
    if (!cJSON_IsArray(list))
        return 0;
    int used = 0;
    int dropped = 0;
    const cJSON *entry = nullptr;
    cJSON_ArrayForEach(entry, list) {
        if (!cJSON_IsObject(entry))
            continue;
        if (used == KJSON_MAX_MACS) {
            ++dropped;
            continue;
        }
        fill_members(reinterpret_cast<char *>(&dev->mac_list[used]), device_address_members, entry);
        ++used;
    }
    dev->mac_count = used;
    return dropped;
}

} // namespace

KJSON_EXPORT int cjson_create_json_file(cJSON *target, int kind_id, const void *records, int count)
{
    const Kind *kind = find_kind(kind_id);
    if (!target || !kind || count < 0 || (count > 0 && !records))
        return KJSON_EINVAL;
    if (count == 0)
        return KJSON_OK;
    if (count == 1 ? !cJSON_IsObject(target) : !cJSON_IsArray(target))
        return KJSON_EMISMATCH;

    const char *rec = static_cast<const char *>(records);
    if (count == 1) {
        JsonPtr obj = record_object(*kind, rec);
        if (!obj)
            return KJSON_ENOMEM;
        move_children(obj.get(), target);
        return KJSON_OK;
    }
    JsonPtr list = adopt(cJSON_CreateArray());
    if (!list)
        return KJSON_ENOMEM;
    for (int i = 0; i < count; ++i) {
        JsonPtr obj = record_object(*kind, rec + static_cast<size_t>(i) * kind->record_size);
        if (!obj || !cJSON_AddItemToArray(list.get(), obj.get()))
            return KJSON_ENOMEM;
        obj.release(); // now owned by list
    }
    move_children(list.get(), target);
    return KJSON_OK;
}

KJSON_EXPORT int cjson_parse_and_fetch_ex(const char *text, int kind, DiscoveredDevice *table,
                                          int *devices_dropped, int *macs_dropped)
{
    int dev_drop = 0;
    int mac_drop = 0;
    int filled = 0;
    JsonPtr root = adopt(text && table && kind == KJSON_KIND_DISCOVERED ? cJSON_Parse(text) : nullptr);
    if (cJSON_IsArray(root.get())) {
        const cJSON *obj = nullptr;
        cJSON_ArrayForEach(obj, root.get()) {
            if (!cJSON_IsObject(obj))
                continue;
            if (filled == KJSON_MAX_DEVICES) {
                ++dev_drop;
                continue;
            }
            mac_drop += fill_device(&table[filled], obj);
            ++filled;
        }
    }
    if (devices_dropped)
        *devices_dropped = dev_drop;
    if (macs_dropped)
        *macs_dropped = mac_drop;
    return filled;
}

KJSON_EXPORT int cjson_parse_and_fetch(const char *text, int kind, DiscoveredDevice *table)
{
    return cjson_parse_and_fetch_ex(text, kind, table, nullptr, nullptr);
}
