/*
 * wexlib.cpp - the device-information library: finds a device's row in
 * "Wexsignature" by its MAC and writes the agent's DID there, over a Q7
 * connection of its own.
 *
 * The rows' MACs are read once into an index, kept current through the
 * library's own subscription to the table: a change of a row's MAC marks
 * the row, and the next lookup reads the marked rows again. A hit is
 * written with the row's MAC as the write's guard, one round trip; a stale
 * hit re-reads all rows once. A miss costs no Q7 call while the last full
 * read is under a second old, so an import of many unknown MACs reads the
 * table about once; an older one reads all rows again, which bounds what a
 * notification lost to a reconnect can hide.
 */
#include "wexlib.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <optional>

#include "q7host.h"

#define WEX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr const char *table_name = "Wexsignature";
constexpr const char *mac_field = "DeviceMAC";
constexpr const char *did_field = "DeviceDID";

using Mac = std::array<uint8_t, 6>;
constexpr Mac unused_row_mac{}; // the schema default of DeviceMAC

using Clock = std::chrono::steady_clock;
// How long a full read answers for a MAC that is not in it.
constexpr Clock::duration miss_trust = std::chrono::seconds(1);

struct State {
    q7_handle *q7 = nullptr;
    std::array<Mac, WEX_DEVICE_ROWS> macs{};
    bool macs_valid = false;
    Clock::time_point read_at{};  // of the last full read
};

// Guarded by state_lock; touched by every thread that calls the library.
State state;
std::mutex state_lock;

// Rows whose MAC changed since they were read, one bit each: set on the
// library's Q7 callback thread, taken by lookups. Atomic, so that the
// callback never waits for the lock (wex_uninit holds it while it joins
// that thread).
std::array<std::atomic<uint32_t>, WEX_DEVICE_ROWS / 32> changed_rows{};

void on_change(const char * /*table*/, unsigned int row, const char *field, void * /*ctx*/)
{
    if (row < WEX_DEVICE_ROWS && field && std::strcmp(field, mac_field) == 0)
        changed_rows[row / 32].fetch_or(1u << (row % 32));
}

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// "hh:hh:hh:hh:hh:hh", either case, nothing before or after.
std::optional<Mac> parse_mac(const char *text)
{
    constexpr size_t len = 17;
    if (strnlen(text, len + 1) != len)
        return std::nullopt;
    Mac mac{};
    for (size_t i = 0; i < mac.size(); ++i) {
        const char *p = text + 3 * i;
        int hi = hex_digit(p[0]);
        int lo = hex_digit(p[1]);
        if (hi < 0 || lo < 0 || (i + 1 < mac.size() && p[2] != ':'))
            return std::nullopt;
        mac[i] = static_cast<uint8_t>(hi << 4 | lo);
    }
    return mac;
}

bool read_row_mac(unsigned int row, Mac &mac)
{
    return q7_get_mac(state.q7, table_name, row, mac_field, mac.data()) == Q7_OK;
}

bool refresh_macs()
{
    state.macs_valid = false;
    // Cleared first: a change during the reads is read again.
    for (std::atomic<uint32_t> &bits : changed_rows)
        bits.store(0);
    for (unsigned int row = 0; row < WEX_DEVICE_ROWS; ++row)
        if (!read_row_mac(row, state.macs[row]))
            return false;
    state.macs_valid = true;
    state.read_at = Clock::now();
    return true;
}

bool refresh_changed_rows()
{
    for (size_t w = 0; w < changed_rows.size(); ++w)
        for (uint32_t bits = changed_rows[w].exchange(0); bits; bits &= bits - 1) {
            const auto row = static_cast<unsigned int>(w * 32 + __builtin_ctz(bits));
            if (!read_row_mac(row, state.macs[row])) {
                state.macs_valid = false;
                return false;
            }
        }
    return true;
}

// Lowest cached row holding `mac`, or -1.
int cached_row(const Mac &mac)
{
    for (unsigned int row = 0; row < WEX_DEVICE_ROWS; ++row)
        if (state.macs[row] == mac)
            return static_cast<int>(row);
    return -1;
}

// Writes the DID at the lowest row holding `mac` as the index has it, the
// index read again in full (once) when the row no longer holds it or when
// it misses and its full read is too old to answer for a miss.
// The guard is the caller's text: Q7 compares it in canonical form.
int write_did(const Mac &mac, const char *mac_text, const char *did)
{
    bool fresh = !state.macs_valid;
    if (fresh ? !refresh_macs() : !refresh_changed_rows())
        return WEX_ERR_Q7;
    for (;;) {
        const int row = cached_row(mac);
        if (row >= 0) {
            int held = 0;
            if (q7_set_text_if(state.q7, table_name, static_cast<unsigned int>(row), did_field, did, mac_field,
                               mac_text, &held) != Q7_OK)
                return WEX_ERR_Q7;
            if (held)
                return WEX_OK;
        } else if (Clock::now() - state.read_at < miss_trust) {
            return WEX_ERR_NO_DEVICE;
        }
        if (fresh)
            return WEX_ERR_NO_DEVICE;  // not there, or moved while being looked up
        if (!refresh_macs())
            return WEX_ERR_Q7;
        fresh = true;
    }
}

int update_did(const char *mac_text, const char *value, int value_width)
{
    std::optional<Mac> mac = parse_mac(mac_text);
    if (!mac)
        return WEX_ERR_BAD_MAC;
    if (*mac == unused_row_mac)
        return WEX_ERR_NO_DEVICE;

    char did[WEX_DID_WIDTH];
    size_t limit = std::min(static_cast<size_t>(value_width) - 1, sizeof did - 1);
    size_t n = strnlen(value, limit);
    std::memcpy(did, value, n);
    did[n] = '\0';

    std::lock_guard<std::mutex> hold(state_lock);
    if (!state.q7)
        return WEX_ERR_NOT_INIT;
    return write_did(*mac, mac_text, did);
}

} // namespace

// No exception leaves through the C interface (a failing lock throws).
WEX_EXPORT int wex_init(void)
{
    try {
        std::lock_guard<std::mutex> hold(state_lock);
        if (state.q7)
            return WEX_OK;
        q7_handle *h = q7_init();
        if (!h)
            return WEX_ERR_Q7;
        // Before the first full read, so no change after it is missed. A
        // subscription that times out is made once the handle reconnects.
        q7_subscribe_cb(h, on_change, nullptr);
        q7_subscribe(h, table_name, 1);
        state.q7 = h;
        return WEX_OK;
    } catch (...) {
        return WEX_ERR_Q7;
    }
}

WEX_EXPORT void wex_uninit(void)
{
    try {
        std::lock_guard<std::mutex> hold(state_lock);
        if (state.q7)
            q7_destroy(state.q7);
        state = State{};
    } catch (...) {
    }
}

WEX_EXPORT int wex_update_table_field(const char *mac, int key_field, const char *value, int value_width,
                                      int value_field)
{
    if (!mac || !value || value_width < 1)
        return WEX_ERR_ARG;
    if (key_field != WEX_FIELD_DEVICE_MAC || value_field != WEX_FIELD_DEVICE_DID)
        return WEX_ERR_FIELD;
    try {
        return update_did(mac, value, value_width);
    } catch (...) {
        return WEX_ERR_Q7;
    }
}
