// soak_check.cpp - Q7's device rows and protection state against the agent's.
#include "soak_check.h"

#include "proto.h"

#include <cctype>
#include <map>

namespace bench {

namespace {

struct Field {
    const char *table, *name;
    std::string DeviceRow::*member;
};
const Field kFields[] = {
    {"Wexsignature", "DeviceMAC", &DeviceRow::mac},     {"Wexsignature", "Devicestate", &DeviceRow::state},
    {"Wexsignature", "AllowOrBlock", &DeviceRow::block}, {"DeviceIdList", "DeviceUUID", &DeviceRow::uuid},
    {"DeviceIdList", "DisplayNameCustom", &DeviceRow::name},
};

std::string quoted(const std::string &s)
{
    return "'" + s + "'";
}

std::string upper(std::string s)
{
    for (char &c : s)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return s;
}

// A member as the lines show it: its JSON text, "none" when it is absent.
std::string shown(const cJSON *obj, const char *name)
{
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, name);
    return v ? saproto::print(v) : "none";
}

// A flag member that holds `want` (a number; true and false count as 1 and 0).
bool holds(const cJSON *obj, const char *name, int want)
{
    const cJSON *v = cJSON_GetObjectItemCaseSensitive(obj, name);
    if (cJSON_IsBool(v))
        return cJSON_IsTrue(v) == (want == 1);
    return cJSON_IsNumber(v) && v->valuedouble == want;
}

}  // namespace

std::optional<Q7View> read_q7_view(q7_handle *q7, unsigned devices)
{
    Q7View view;
    char text[1024];
    for (unsigned row = 0; row < devices; ++row) {
        DeviceRow &r = view.rows.emplace_back();
        for (const Field &f : kFields) {
            if (q7_get_text(q7, f.table, row, f.name, text, sizeof text) != Q7_OK)
                return std::nullopt;
            r.*f.member = text;
        }
    }
    if (q7_get_text(q7, "TelvaStatus", 0, "protectionStatus", text, sizeof text) != Q7_OK)
        return std::nullopt;
    view.protection = text;
    return view;
}

std::string view_text(const Q7View &view)
{
    std::string out;
    for (const Field &f : kFields)
        for (size_t row = 0; row < view.rows.size(); ++row)
            out += std::string(f.table) + "." + std::to_string(row) + "." + f.name + "=" + view.rows[row].*f.member +
                   "\n";
    return out + "TelvaStatus.protectionStatus=" + view.protection + "\n";
}

std::string Agreement::summary() const
{
    const auto of = [](unsigned n, unsigned all) { return std::to_string(n) + "/" + std::to_string(all); };
    return "agree: names " + of(names, names_of) + ", blocks " + of(blocks, blocks_of) + ", online " +
           of(online, online_of) + ", protection " + (protection ? "yes" : "no") + "; mismatches " +
           std::to_string(mismatches.size());
}

Agreement compare(const Q7View &q7, const cJSON *agent)
{
    Agreement a;
    const cJSON *info = cJSON_GetObjectItemCaseSensitive(agent, "device_info");
    std::map<std::string, const cJSON *> online;  // by MAC in capitals
    const cJSON *listed = cJSON_GetObjectItemCaseSensitive(agent, "online");
    for (const cJSON *e = listed ? listed->child : nullptr; e; e = e->next)
        online[upper(e->string)] = e;
    for (unsigned row = 0; row < q7.rows.size(); ++row) {
        const DeviceRow &r = q7.rows[row];
        const std::string mac = upper(r.mac), at = "row " + std::to_string(row);
        const bool by_name = r.compared & kName, by_block = r.compared & kBlock, by_state = r.compared & kOnline;
        a.names_of += by_name, a.blocks_of += by_block, a.online_of += by_state;
        if (!r.compared)
            continue;
        if (r.uuid.empty() || mac.empty()) {
            a.mismatches.push_back(at + ": no UUID or MAC in Q7 (uuid " + quoted(r.uuid) + ", mac " + quoted(mac) + ")");
            continue;
        }
        const std::string by_uuid = at + " uuid " + r.uuid + ": ", by_mac = at + " mac " + mac + ": ";
        const int blocked = r.block == "block" ? 1 : 0, is_online = r.state == "DOWN" ? 0 : 1;
        const cJSON *dev = cJSON_GetObjectItemCaseSensitive(info, r.uuid.c_str());
        const char *name = saproto::get_string(dev, "display_name");
        if ((by_name || by_block) && !dev) {
            a.mismatches.push_back(by_uuid + "not in the agent's device_info");
        } else {
            if (by_name && name && r.name == name)
                ++a.names;
            else if (by_name)
                a.mismatches.push_back(by_uuid + "display name Q7 " + quoted(r.name) + ", agent " +
                                       shown(dev, "display_name"));
            if (by_block && holds(dev, "traffic_blocked", blocked))
                ++a.blocks;
            else if (by_block)
                a.mismatches.push_back(by_uuid + "traffic_blocked Q7 " + std::to_string(blocked) + " (" +
                                       quoted(r.block) + "), agent " + shown(dev, "traffic_blocked"));
        }
        if (!by_state)
            continue;
        const auto seen = online.find(mac);
        if (seen == online.end())
            a.mismatches.push_back(by_mac + "not in the agent's online list");
        else if (holds(seen->second, "is_online", is_online))
            ++a.online;
        else
            a.mismatches.push_back(by_mac + "is_online Q7 " + std::to_string(is_online) + " (" + quoted(r.state) +
                                   "), agent " + shown(seen->second, "is_online"));
    }
    const cJSON *protection = cJSON_GetObjectItemCaseSensitive(agent, "protection");
    a.protection = cJSON_IsBool(protection) && cJSON_IsTrue(protection) == (q7.protection == "true");
    if (!a.protection)
        a.mismatches.push_back("protection: Q7 protectionStatus " + quoted(q7.protection) + ", agent " +
                               shown(agent, "protection"));
    return a;
}

}  // namespace bench
