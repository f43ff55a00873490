// q7_seed.cpp - the benches' Q7 handle, their checked writes, the tables
// they seed and the walk of the device records.
#include "q7_seed.h"

#include <cstdio>

namespace bench {

Q7Ptr open_q7()
{
    Q7Ptr h(q7_init());
    if (!h)
        fail("cannot reach the Q7 server at $Q7_SOCKET");
    return h;
}

void q7_check(int rc, const char *op, const char *table, unsigned row, const char *field)
{
    if (rc != Q7_OK)
        fail(std::string("q7: ") + op + " " + table + "." + std::to_string(row) + "." + field + ": " +
             q7_error_string(rc) + " (" + std::to_string(rc) + ")");
}

void set(q7_handle *q7, const char *table, unsigned row, const char *field, const std::string &value)
{
    q7_check(q7_set_text(q7, table, row, field, value.c_str()), "set", table, row, field);
}

std::string row_mac(unsigned row)
{
    char text[32];
    snprintf(text, sizeof text, "02:1A:11:00:%02X:%02X", (row >> 8) & 0xff, row & 0xff);
    return text;
}

void seed_logging(q7_handle *q7, int log_level)
{
    set(q7, "dalLogCfg", 0, "TshLogToConsole", "1");
    set(q7, "dalLogCfg", 0, "TshLogToFile", "0");
    set(q7, "dalLogCfg", 0, "TshLogLevel", std::to_string(log_level));
}

void seed_devices(q7_handle *q7)
{
    const char *general[][2] = {{"DeviceName", "BenchRouter"}, {"DeviceModel", "Model-X1"},
                                {"FSN", "X1A2B3C4D5E6"},      {"DefaultMAC", "02:1A:11:00:00:00"},
                                {"FwRevision", "1.4.2"},      {"wan_ifname", "eth0"},
                                {"lan_ifname", "br-lan"}};
    for (auto &f : general)
        set(q7, "General", 0, f[0], f[1]);
    set(q7, "featureSwitch", 0, "rp", "enable");
    set(q7, "TelvaCfg", 0, "SAService", "DOWN");
    set(q7, "TelvaCfg", 0, "action", "none");
    char text[64];
    for (unsigned r = 0; r < kDevices; ++r) {
        set(q7, "Wexsignature", r, "DeviceMAC", row_mac(r));
        snprintf(text, sizeof text, "192.168.%u.%u", 1 + r / 200, 10 + r % 200);
        set(q7, "Wexsignature", r, "DeviceIP", text);
        set(q7, "Wexsignature", r, "Devicestate", "UP");
        set(q7, "Wexsignature", r, "DeviceDHCPHostname", "host-" + std::to_string(r));
        set(q7, "Wexsignature", r, "AllowOrBlock", "allow");
        set(q7, "Wexsignature", r, "DeviceCategory", "phone");
        set(q7, "Wexsignature", r, "WEXSignatureUpdateStatus", "1");
        snprintf(text, sizeof text, "5b2d9a4e-0000-4000-8000-%012u", r);
        set(q7, "DeviceIdList", r, "DeviceUUID", text);
        set(q7, "DeviceIdList", r, "DisplayNameCustom", "device-" + std::to_string(r));
    }
}

void read_record(q7_handle *q7, unsigned row)
{
    uint8_t mac[6], ip[4];
    char text[64];
    int rc = q7_get_mac(q7, "Wexsignature", row, "DeviceMAC", mac);
    rc |= q7_get_ascii(q7, "DeviceIdList", row, "DeviceUUID", text, 64);
    rc |= q7_get_string(q7, "DeviceIdList", row, "DisplayNameCustom", text, 64);
    rc |= q7_get_enum(q7, "Wexsignature", row, "Devicestate", text, 16);
    rc |= q7_get_ipv4(q7, "Wexsignature", row, "DeviceIP", ip);
    rc |= q7_get_string(q7, "Wexsignature", row, "DeviceDHCPHostname", text, 64);
    rc |= q7_get_enum(q7, "Wexsignature", row, "AllowOrBlock", text, 16);
    rc |= q7_get_ascii(q7, "Wexsignature", row, "DeviceCategory", text, 32);
    rc |= q7_get_string(q7, "General", 0, "lan_ifname", text, 16);
    q7_check(rc, "read record", "Wexsignature", row, "*");
}

double walk_ms(q7_handle *q7)
{
    const auto t0 = Clock::now();
    for (unsigned row = 0; row < kDevices; ++row)
        read_record(q7, row);
    return us_between(t0, Clock::now()) / 1000;
}

}  // namespace bench
