/*
 * agent_state.cpp - the agent's state document and the checks of every JSON
 * text it receives (agent_state.h). Called only from the agent's event loop.
 */
#include "agent_state.h"

#include <cstring>
#include <functional>
#include <string_view>

namespace saagent {

using saproto::get_int;
using saproto::get_string;

namespace {

constexpr const char *kDefaultState = R"({
  "protection": false,
  "va_running": false,
  "version_info": {"version": "5.1.2.33", "build": "2024.06.1", "patch_level": 7},
  "status_report": {"agent": {"version": {"release": "5.1.2", "patch": "33"}},
                    "va": {"scheduled": {"enabled": true, "allowed": true}}},
  "devices": [],
  "router_info": null,
  "device_info": {},
  "online": {},
  "removed_satellites": []
})";

JsonPtr parse(const char *text, std::string &err)
{
    JsonPtr j(text ? cJSON_Parse(text) : nullptr);
    if (!j)
        err = text ? "not a JSON text" : "no text";
    return j;
}

// Runs check on every item: the object itself, or each element of an array
// (which must be objects). An empty object is no item when allow_empty.
bool each_item(const cJSON *j, bool allow_empty, std::string &err,
               const std::function<bool(const cJSON *, std::string &)> &check)
{
    if (cJSON_IsObject(j)) {
        if (!j->child && allow_empty)
            return true;
        return check(j, err);
    }
    if (!cJSON_IsArray(j)) {
        err = "not an object or an array of objects";
        return false;
    }
    int i = 0;
    for (const cJSON *it = j->child; it; it = it->next, i++) {
        if (!cJSON_IsObject(it) || !check(it, err)) {
            err = "item " + std::to_string(i) + ": " + (cJSON_IsObject(it) ? err : "not an object");
            return false;
        }
    }
    return true;
}

bool need_string(const cJSON *o, const char *name, std::string &err, bool optional = false)
{
    if (get_string(o, name))
        return true;
    if (optional && !cJSON_GetObjectItemCaseSensitive(o, name))
        return true;
    err = std::string("member ") + name + (cJSON_GetObjectItemCaseSensitive(o, name) ? " is not a string" : " missing");
    return false;
}

bool need_flag(const cJSON *o, const char *name, std::string &err, bool optional = false)
{
    if (optional && !cJSON_GetObjectItemCaseSensitive(o, name))
        return true;
    auto v = get_int(o, name);
    if (v && (*v == 0 || *v == 1))
        return true;
    err = std::string("member ") + name + " must be 0 or 1";
    return false;
}

bool need_bool(const cJSON *o, const char *name, std::string &err)
{
    if (cJSON_IsBool(cJSON_GetObjectItemCaseSensitive(o, name)))
        return true;
    err = std::string("member ") + name + " missing or not a boolean";
    return false;
}

bool need_mac(const cJSON *o, std::string &err)
{
    if (!need_string(o, "mac", err))
        return false;
    if (saproto::normalize_mac(get_string(o, "mac")))
        return true;
    err = std::string("member mac is not a MAC address: ") + get_string(o, "mac");
    return false;
}

bool need_one_of(const cJSON *o, const char *name, std::initializer_list<const char *> values, std::string &err)
{
    if (!need_string(o, name, err))
        return false;
    for (const char *v : values)
        if (strcmp(get_string(o, name), v) == 0)
            return true;
    err = std::string("member ") + name + " has an unknown value: " + get_string(o, name);
    return false;
}

const cJSON *need_object(const cJSON *o, const char *name, std::string &err)
{
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(o, name);
    if (!cJSON_IsObject(m))
        err = std::string("member ") + name + " missing or not an object";
    return cJSON_IsObject(m) ? m : nullptr;
}

JsonPtr checked(const char *text, std::string &err, const std::function<bool(const cJSON *, std::string &)> &check)
{
    JsonPtr j = parse(text, err);
    return j && check(j.get(), err) ? std::move(j) : nullptr;
}

bool check_version(const cJSON *j, std::string &err)
{
    if (!cJSON_IsObject(j)) {
        err = "not an object";
        return false;
    }
    const cJSON *last = j->child;
    while (last && last->next)
        last = last->next;
    // The daemon reads patch_level as the text up to the closing brace.
    if (!need_string(j, "version", err))
        return false;
    if (!last || strcmp(last->string, "patch_level") != 0 || !cJSON_IsNumber(last)) {
        err = "the last member must be the number patch_level";
        return false;
    }
    return true;
}

bool check_report(const cJSON *j, std::string &err)
{
    const cJSON *agent = need_object(j, "agent", err);
    const cJSON *version = agent ? need_object(agent, "version", err) : nullptr;
    const cJSON *va = version ? need_object(j, "va", err) : nullptr;
    const cJSON *sched = va ? need_object(va, "scheduled", err) : nullptr;
    return sched && need_string(version, "release", err) && need_string(version, "patch", err) &&
           need_bool(sched, "enabled", err) && need_bool(sched, "allowed", err);
}

bool check_device(const cJSON *d, std::string &err)
{
    for (const char *m : {"display_name", "device_type", "manufacturer", "os", "ds_version"})
        if (!need_string(d, m, err, true))
            return false;
    if (!need_string(d, "did", err))
        return false;
    if (cJSON_GetObjectItemCaseSensitive(d, "traffic_blocked") && !get_int(d, "traffic_blocked")) {
        err = "member traffic_blocked is not an integer";
        return false;
    }
    const cJSON *macs = cJSON_GetObjectItemCaseSensitive(d, "mac_list");
    if (!cJSON_IsArray(macs)) {
        err = "member mac_list missing or not an array";
        return false;
    }
    return each_item(macs, false, err, [](const cJSON *m, std::string &e) {
        return need_mac(m, e) && need_string(m, "ip", e, true);
    });
}

bool check_devices(const cJSON *j, std::string &err)
{
    if (!cJSON_IsArray(j)) {
        err = "not an array";
        return false;
    }
    return each_item(j, false, err, check_device);
}

cJSON *member(cJSON *doc, const char *name) { return cJSON_GetObjectItemCaseSensitive(doc, name); }

// Sets obj[name] = value, replacing what was there.
void put(cJSON *obj, const char *name, cJSON *value)
{
    if (cJSON_GetObjectItemCaseSensitive(obj, name))
        cJSON_ReplaceItemInObjectCaseSensitive(obj, name, value);
    else
        cJSON_AddItemToObject(obj, name, value);
}

// A member of a state or seed file; strings stand for raw texts.
bool member_ok(const cJSON *m, std::string &why)
{
    std::string_view n = m->string;
    if (n == "protection" || n == "va_running")
        return cJSON_IsBool(m);
    if (n == "version_info")
        return cJSON_IsString(m) || check_version(m, why);
    if (n == "status_report")
        return cJSON_IsString(m) || check_report(m, why);
    if (n == "devices")
        return cJSON_IsString(m) || check_devices(m, why);
    if (n == "router_info")
        return cJSON_IsNull(m) || cJSON_IsObject(m);
    if (n == "device_info" || n == "online")
        return cJSON_IsObject(m);
    if (n == "removed_satellites")
        return cJSON_IsArray(m);
    why = "unknown member";
    return false;
}

} // namespace

JsonPtr default_state()
{
    return JsonPtr(cJSON_Parse(kDefaultState));
}

bool merge_state(cJSON *doc, const char *text, std::string &err)
{
    JsonPtr in = parse(text, err);
    if (!in || !cJSON_IsObject(in.get())) {
        err = in ? "not a JSON object" : err;
        return false;
    }
    for (const cJSON *m = in->child; m; m = m->next) {
        std::string why;
        if (!member_ok(m, why)) {
            err = std::string("member ") + m->string + ": " + (why.empty() ? "wrong type" : why);
            return false;
        }
    }
    for (const cJSON *m = in->child; m; m = m->next)
        put(doc, m->string, cJSON_Duplicate(m, true));
    return true;
}

std::string state_text(const cJSON *doc, const char *name)
{
    const cJSON *m = cJSON_GetObjectItemCaseSensitive(doc, name);
    return cJSON_IsString(m) ? std::string(m->valuestring) : saproto::print(m);
}

JsonPtr check_router_info(const char *text, std::string &err)
{
    return checked(text, err, [](const cJSON *j, std::string &e) {
        if (!cJSON_IsObject(j)) {
            e = "not an object";
            return false;
        }
        if (!need_string(j, "name", e) || !need_string(j, "model", e))
            return false;
        // Serial number and firmware version come together or not at all.
        bool sn = cJSON_GetObjectItemCaseSensitive(j, "serial_number");
        bool fw = cJSON_GetObjectItemCaseSensitive(j, "firmware_version");
        if (sn != fw) {
            e = "serial_number and firmware_version must come together";
            return false;
        }
        if ((sn && !need_string(j, "serial_number", e)) || (fw && !need_string(j, "firmware_version", e)))
            return false;
        const cJSON *ifs = cJSON_GetObjectItemCaseSensitive(j, "interfaces");
        if (!cJSON_IsArray(ifs) || !ifs->child) {
            e = "member interfaces missing or not a non-empty array";
            return false;
        }
        return each_item(ifs, false, e, [](const cJSON *i, std::string &e2) {
            return need_string(i, "name", e2) && need_one_of(i, "type", {"wan", "lan"}, e2);
        });
    });
}

JsonPtr check_device_info(const char *text, std::string &err)
{
    return checked(text, err, [](const cJSON *j, std::string &e) {
        return each_item(j, false, e, [](const cJSON *d, std::string &e2) {
            if (!need_string(d, "uuid", e2) || !need_string(d, "display_name", e2))
                return false;
            if (!*get_string(d, "uuid")) {
                e2 = "member uuid is empty";
                return false;
            }
            return need_flag(d, "traffic_blocked", e2, true);
        });
    });
}

JsonPtr check_online_status(const char *text, std::string &err)
{
    return checked(text, err, [](const cJSON *j, std::string &e) {
        return each_item(j, true, e, [](const cJSON *d, std::string &e2) {
            return need_mac(d, e2) && need_string(d, "ip", e2) && need_string(d, "interface", e2) &&
                   need_string(d, "dhcp_hostname", e2) && need_flag(d, "is_online", e2);
        });
    });
}

JsonPtr check_satellites(const char *text, std::string &err)
{
    return checked(text, err, [](const cJSON *j, std::string &e) { return each_item(j, false, e, need_mac); });
}

JsonPtr check_filter(const char *text, std::string &err)
{
    return checked(text, err, [](const cJSON *j, std::string &e) {
        if (!cJSON_IsArray(j)) {
            e = "the filter is not an array";
            return false;
        }
        for (const cJSON *it = j->child; it; it = it->next)
            if (!cJSON_IsString(it)) {
                e = "the filter holds a non-string";
                return false;
            }
        return true;
    });
}

JsonPtr check_setting(const std::string &what, const char *text, std::string &err)
{
    if (what == "version")
        return checked(text, err, check_version);
    if (what == "status-report")
        return checked(text, err, check_report);
    if (what == "devices")
        return checked(text, err, check_devices);
    err = "unknown setting " + what;
    return nullptr;
}

JsonPtr check_event(int event, const char *text, std::string &err)
{
    return checked(text, err, [event](const cJSON *j, std::string &e) {
        if (!cJSON_IsObject(j)) {
            e = "not an object";
            return false;
        }
        switch (event) {
        case 3:
            return need_one_of(j, "type_of_change", {"new", "updated", "removed"}, e) && need_string(j, "did", e);
        case 4:
            return need_one_of(j, "event", {"started"}, e) && need_string(j, "version", e);
        default:
            return need_string(j, "status", e) && need_string(j, "type", e, true) &&
                   need_string(j, "reason", e, true) && need_string(j, "result", e, true);
        }
    });
}

void apply_device_info(cJSON *doc, const cJSON *items)
{
    std::string ignored;
    each_item(items, false, ignored, [doc](const cJSON *d, std::string &) {
        cJSON *all = member(doc, "device_info");
        const char *uuid = get_string(d, "uuid");
        cJSON *dev = cJSON_GetObjectItemCaseSensitive(all, uuid);
        if (!dev) {
            dev = cJSON_AddObjectToObject(all, uuid);
            cJSON_AddStringToObject(dev, "display_name", "");
            cJSON_AddNumberToObject(dev, "traffic_blocked", -1);
        }
        // A traffic-block update carries an empty name: it keeps the old one.
        if (*get_string(d, "display_name"))
            put(dev, "display_name", cJSON_CreateString(get_string(d, "display_name")));
        if (auto tb = get_int(d, "traffic_blocked"))
            put(dev, "traffic_blocked", cJSON_CreateNumber(static_cast<double>(*tb)));
        return true;
    });
}

void apply_online_status(cJSON *doc, const cJSON *items)
{
    std::string ignored;
    each_item(items, true, ignored, [doc](const cJSON *d, std::string &) {
        cJSON *entry = cJSON_Duplicate(d, true);
        cJSON_DeleteItemFromObjectCaseSensitive(entry, "mac");
        put(member(doc, "online"), saproto::normalize_mac(get_string(d, "mac"))->c_str(), entry);
        return true;
    });
}

void apply_satellites(cJSON *doc, const cJSON *items)
{
    std::string ignored;
    each_item(items, false, ignored, [doc](const cJSON *d, std::string &) {
        std::string mac = *saproto::normalize_mac(get_string(d, "mac"));
        cJSON *list = member(doc, "removed_satellites");
        for (const cJSON *it = list->child; it; it = it->next)
            if (cJSON_IsString(it) && mac == it->valuestring)
                return true;
        cJSON_AddItemToArray(list, cJSON_CreateString(mac.c_str()));
        return true;
    });
}

std::string select_devices(const cJSON *doc, const cJSON *filter)
{
    const cJSON *devices = cJSON_GetObjectItemCaseSensitive(doc, "devices");
    if (!filter->child || cJSON_IsString(devices))
        return state_text(doc, "devices");
    auto wanted = [filter](const char *id) {
        auto mac = saproto::normalize_mac(id);
        for (const cJSON *f = filter->child; f; f = f->next) {
            auto fmac = saproto::normalize_mac(f->valuestring);
            if (strcmp(f->valuestring, id) == 0 || (mac && fmac && *mac == *fmac))
                return true;
        }
        return false;
    };
    JsonPtr out(cJSON_CreateArray());
    for (const cJSON *d = devices->child; d; d = d->next) {
        bool hit = wanted(get_string(d, "did"));
        for (const cJSON *m = cJSON_GetObjectItemCaseSensitive(d, "mac_list")->child; m && !hit; m = m->next)
            hit = wanted(get_string(m, "mac"));
        if (hit)
            cJSON_AddItemToArray(out.get(), cJSON_Duplicate(d, true));
    }
    return saproto::print(out.get());
}

} // namespace saagent
