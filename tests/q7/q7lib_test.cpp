// q7lib_test.cpp - the client library against the shared fixture server:
// values, error codes and texts, notification rules, destroy.
#include "q7_test_util.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>

using namespace q7test;

namespace {

Handle open_handle()
{
    Handle h(q7_init());
    EXPECT_TRUE(h) << "no Q7 server at " << env("Q7_SOCKET");
    return h;
}

std::string text(q7_handle *h, const char *table, unsigned row, const char *field)
{
    char buf[256];
    int rc = q7_get_text(h, table, row, field, buf, sizeof buf);
    return rc ? "error " + std::to_string(rc) : buf;
}

void reset(const std::string &table, unsigned first, unsigned count)
{
    for (unsigned r = first; r < first + count; r++)
        raw_command(env("Q7_SOCKET"), ("DEL q7:d:" + table + ":" + std::to_string(r)).c_str());
}

}  // namespace

TEST(Q7Values, EveryKindRoundTripsReadsCanonicallyAndDefaultsWhenUnwritten)
{
    Handle h = open_handle();
    ASSERT_TRUE(h);
    q7_handle *p = h.get();
    char s[64] = "";
    int32_t i = 0;
    uint32_t u = 0;
    uint8_t b = 9, mac[6], ip[4];
    const uint8_t addr[4] = {192, 168, 1, 2}, want_mac[6] = {0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x5f};
    EXPECT_FALSE(q7_set_enum(p, "TelvaCfg", 0, "action", "do_protection_off") ||
                 q7_get_enum(p, "TelvaCfg", 0, "action", s, sizeof s) || strcmp(s, "do_protection_off"));
    EXPECT_FALSE(q7_set_ascii(p, "General", 0, "FSN", "X1-0042") ||
                 q7_get_ascii(p, "General", 0, "FSN", s, sizeof s) || strcmp(s, "X1-0042"));
    EXPECT_FALSE(q7_set_string(p, "General", 0, "DeviceName", "Wohnzimmer \xc3\xa4") ||
                 q7_get_string(p, "General", 0, "DeviceName", s, sizeof s) || strcmp(s, "Wohnzimmer \xc3\xa4"));
    EXPECT_FALSE(q7_set_int(p, "TelvaDebug", 0, "lastEventSink", INT32_MIN) ||
                 q7_get_int(p, "TelvaDebug", 0, "lastEventSink", &i) || i != INT32_MIN);
    EXPECT_FALSE(q7_set_uint(p, "OrlixCfg", 0, "orlix_connected", UINT32_MAX) ||
                 q7_get_uint(p, "OrlixCfg", 0, "orlix_connected", &u) || u != UINT32_MAX);
    EXPECT_FALSE(q7_set_bool(p, "Wexsignature", 255, "WEXSignatureUpdateStatus", 1) ||
                 q7_get_bool(p, "Wexsignature", 255, "WEXSignatureUpdateStatus", &b) || b != 1);
    EXPECT_FALSE(q7_set_ipv4(p, "Wexsignature", 3, "DeviceIP", addr) ||
                 q7_get_ipv4(p, "Wexsignature", 3, "DeviceIP", ip) || memcmp(ip, addr, 4));
    // Texts in: loose forms; texts out: one canonical form.
    const struct {
        const char *table;
        unsigned row;
        const char *field, *in, *out;
    } texts[] = {
        {"dalLogCfg", 0, "TshLogToFile", "true", "1"},
        {"Wexsignature", 3, "DeviceMAC", "0a:1b:2c:3d:4e:5f", "0A:1B:2C:3D:4E:5F"},
        {"Wexsignature", 3, "DeviceIP", "10.0.0.255", "10.0.0.255"},
        {"TelvaDebug", 0, "lastEventSink", "-17", "-17"},
        {"OrlixCfg", 0, "orlix_connected", "4294967295", "4294967295"},
    };
    for (const auto &t : texts) {
        ASSERT_EQ(q7_set_text(p, t.table, t.row, t.field, t.in), Q7_OK) << t.in;
        EXPECT_EQ(text(p, t.table, t.row, t.field), t.out);
    }
    EXPECT_FALSE(q7_get_mac(p, "Wexsignature", 3, "DeviceMAC", mac) || memcmp(mac, want_mac, 6));
    // Never written: the default. Texts are cut to the buffer, nothing written past it.
    reset("dalLogCfg", 0, 1);
    EXPECT_EQ(text(p, "dalLogCfg", 0, "TshLogLevel"), "5");
    memset(s, 'x', sizeof s);
    ASSERT_EQ(q7_get_string(p, "General", 0, "DeviceName", s, 4), Q7_OK);
    EXPECT_EQ(std::string(s, 5), std::string("Woh\0x", 5));
}

TEST(Q7Errors, EveryCode)
{
    Handle h = open_handle();
    ASSERT_TRUE(h);
    q7_handle *p = h.get();
    char s[16];
    int32_t i;
    uint8_t mac[6];
    const std::string sock = env("Q7_SOCKET");
    const std::pair<int, std::function<int()>> calls[] = {
        {Q7_SHUTDOWN, [&] { return q7_get_int(nullptr, "TelvaDebug", 0, "lastEventSink", &i); }},
        {Q7_NOSUCH_ITEM, [&] { return q7_get_enum(p, "NoSuchTable", 0, "action", s, sizeof s); }},
        {Q7_NOSUCH_ITEM, [&] { return q7_get_enum(p, "TelvaCfg", 0, "nosuch", s, sizeof s); }},
        {Q7_NOSUCH_ITEM, [&] { return q7_get_enum(p, "TelvaCfg", 1, "action", s, sizeof s); }},
        {Q7_NOSUCH_ITEM, [&] { return q7_subscribe(p, "NoSuchTable", 1); }},
        {Q7_OK, [&] { return q7_set_ascii(p, "General", 0, "FSN", "123456789012345"); }},  // width 16
        {Q7_TOO_LONG, [&] { return q7_set_ascii(p, "General", 0, "FSN", "1234567890123456"); }},
        {Q7_INVALID, [&] { return q7_get_int(p, "TelvaDebug", 0, "lastEventSink", nullptr); }},
        {Q7_INVALID, [&] { return q7_get_enum(p, "TelvaCfg", 0, "action", s, 0); }},
        {Q7_INVALID, [&] { return q7_set_enum(p, "TelvaCfg", 0, "action", nullptr); }},
        {Q7_INVALID, [&] { return q7_set_enum(p, "TelvaCfg", 0, "action", "None"); }},
        {Q7_INVALID, [&] { return q7_set_bool(p, "dalLogCfg", 0, "TshLogToFile", 2); }},
        {Q7_INVALID, [&] { return q7_set_ascii(p, "General", 0, "FSN", "tab\there"); }},
        {Q7_INVALID, [&] { return q7_set_string(p, "General", 0, "DeviceName", "bad \xc3("); }},
        {Q7_WRONG_TYPE, [&] { return q7_get_int(p, "TelvaCfg", 0, "action", &i); }},
        {Q7_WRONG_TYPE, [&] { return q7_get_mac(p, "Wexsignature", 0, "DeviceIP", mac); }},
        // The server refuses (the row key holds no hash), or holds a value the field cannot take.
        {Q7_ERROR, [&] { raw_command(sock, "SET q7:d:TelvaDebug:0 garbage");
                         return q7_set_int(p, "TelvaDebug", 0, "lastEventSink", 1); }},
        {Q7_ERROR, [&] { raw_command(sock, "HSET q7:d:TelvaCfg:0 action bogus");
                         return q7_get_enum(p, "TelvaCfg", 0, "action", s, sizeof s); }},
    };
    for (size_t n = 0; n < std::size(calls); n++)
        EXPECT_EQ(calls[n].second(), calls[n].first) << "row " << n;
    reset("TelvaDebug", 0, 1);
    reset("TelvaCfg", 0, 1);
    const struct {
        const char *table, *field;
        int code;
        std::vector<const char *> texts;
    } bad[] = {
        {"TelvaDebug", "lastEventSink", Q7_INVALID, {"12x", "", "2147483648", " 1"}},
        {"OrlixCfg", "orlix_connected", Q7_INVALID, {"-1", "4294967296"}},
        {"Wexsignature", "DeviceMAC", Q7_ENCODING, {"00:1A:2B:3C:4D", "00-1A-2B-3C-4D-5E", "00:1A:2B:3C:4D:5G", "00:1A:2B:3C:4D:5E:"}},
        {"Wexsignature", "DeviceIP", Q7_ENCODING, {"1.2.3", "1.2.3.256", "1.2.3.4.", "1..2.3"}},
    };
    for (const auto &b : bad)
        for (const char *t : b.texts)
            EXPECT_EQ(q7_set_text(p, b.table, 0, b.field, t), b.code) << b.field << "=" << t;
}

// Logged by the daemon and printed by q7ctl with the code.
TEST(Q7Errors, EveryCodeHasItsText)
{
    const std::pair<int, const char *> rows[] = {
        {Q7_OK, "ok"}, {Q7_TIMEOUT, "server unreachable or timed out"}, {Q7_SHUTDOWN, "handle closed"},
        {Q7_NOSUCH_ITEM, "no such table, field or row"}, {Q7_TOO_LONG, "text too long for the field"},
        {Q7_INVALID, "invalid input"}, {Q7_WRONG_TYPE, "wrong kind for the field"},
        {Q7_ENCODING, "malformed MAC or IPv4 text"}, {Q7_ERROR, "server error"},
        {Q7_ERROR + 1, "unknown error"}, {-1, "unknown error"},
    };
    for (const auto &[code, want] : rows)
        EXPECT_STREQ(q7_error_string(code), want) << code;
}

TEST(Q7Notify, OnlyChangesOfSubscribedTablesWithTheirValuesInCommitOrder)
{
    Recorder rec, own;  // outlive the handles that call them
    Handle w = open_handle(), r = open_handle();
    ASSERT_TRUE(w && r);
    reset("TelvaCfg", 0, 1);
    reset("TelvaStatus", 0, 1);
    reset("Wexsignature", 7, 1);
    rec.attach(r.get());
    own.attach(w.get());  // subscribes no table: sees nothing
    for (const char *t : {"TelvaCfg", "TelvaStatus", "Wexsignature"})
        ASSERT_EQ(q7_subscribe(r.get(), t, 1), Q7_OK);
    ASSERT_EQ(q7_subscribe(r.get(), "TelvaStatus", 0), Q7_OK);
    q7_handle *p = w.get();
    int held = -1;
    // Unchanged values (the default into an unwritten field, the same value
    // again), unsubscribed tables and writes whose guard fails notify nobody;
    // commit order puts anything wrongly notified before the next change.
    ASSERT_EQ(q7_set_enum(p, "TelvaCfg", 0, "action", "none"), Q7_OK);
    ASSERT_EQ(q7_set_enum(p, "TelvaCfg", 0, "SAService", "UP"), Q7_OK);
    ASSERT_EQ(q7_set_enum(p, "TelvaCfg", 0, "SAService", "UP"), Q7_OK);
    ASSERT_EQ(q7_set_int(p, "TelvaDebug", 0, "lastEventSink", 12345), Q7_OK);
    ASSERT_EQ(q7_set_enum(p, "TelvaStatus", 0, "protectionStatus", "true"), Q7_OK);
    ASSERT_EQ(q7_set_text(p, "Wexsignature", 7, "DeviceMAC", "02:00:00:00:00:07"), Q7_OK);
    // The guard compares canonical texts; an unwritten guard field holds its default.
    ASSERT_EQ(q7_set_text_if(p, "Wexsignature", 7, "DeviceDID", "d1", "DeviceMAC", "02:00:00:00:00:07", &held), Q7_OK);
    EXPECT_EQ(held, 1);
    ASSERT_EQ(q7_set_text_if(p, "Wexsignature", 7, "DeviceDID", "d2", "DeviceMAC", "02:00:00:00:00:08", &held), Q7_OK);
    EXPECT_EQ(held, 0);
    ASSERT_EQ(q7_set_text_if(p, "Wexsignature", 7, "DeviceDID", "d3", "DeviceIP", "0.0.0.0", &held), Q7_OK);
    EXPECT_EQ(held, 1);
    EXPECT_EQ(q7_set_text_if(p, "Wexsignature", 7, "DeviceDID", "x", "NoSuchField", "1", &held), Q7_NOSUCH_ITEM);
    EXPECT_EQ(q7_set_text_if(p, "Wexsignature", 7, "DeviceDID", "x", "DeviceMAC", "not a mac", &held), Q7_ENCODING);
    ASSERT_EQ(q7_set_enum(p, "TelvaCfg", 0, "action", "do_protection_on"), Q7_OK);
    ASSERT_EQ(q7_set_enum(p, "TelvaCfg", 0, "action", "none"), Q7_OK);
    const std::vector<Change> want = {
        {"TelvaCfg", 0, "SAService", "UP"}, {"Wexsignature", 7, "DeviceMAC", "02:00:00:00:00:07"},
        {"Wexsignature", 7, "DeviceDID", "d1"}, {"Wexsignature", 7, "DeviceDID", "d3"},
        {"TelvaCfg", 0, "action", "do_protection_on"}, {"TelvaCfg", 0, "action", "none"},
    };
    EXPECT_EQ(rec.wait(want.size()), want);
    EXPECT_TRUE(own.threads().empty());
}

TEST(Q7Notify, ConcurrentWritersOnOneThreadInCommitOrderExactlyOnce)
{
    constexpr unsigned kThreads = 8, kRounds = 200;
    Recorder rec;
    Handle w = open_handle(), r = open_handle();
    ASSERT_TRUE(w && r);
    reset("DeviceIdList", 0, kThreads);
    rec.attach(r.get());
    ASSERT_EQ(q7_subscribe(r.get(), "DeviceIdList", 1), Q7_OK);
    // Each writer alternates two fields of its own row, counting up.
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (unsigned t = 0; t < kThreads; t++)
        writers.emplace_back([&, t] {
            for (unsigned i = 0; i < kRounds; i++) {
                std::string v = std::to_string(i);
                failures += q7_set_string(w.get(), "DeviceIdList", t, "DisplayNameCustom", v.c_str()) != Q7_OK;
                failures += q7_set_ascii(w.get(), "DeviceIdList", t, "DeviceUUID", v.c_str()) != Q7_OK;
            }
        });
    for (auto &t : writers)
        t.join();
    ASSERT_EQ(failures, 0);
    std::vector<std::vector<Change>> per_row(kThreads);
    for (const Change &c : rec.wait(kThreads * kRounds * 2))
        per_row.at(c.row).push_back(c);
    for (unsigned t = 0; t < kThreads; t++) {
        ASSERT_EQ(per_row[t].size(), kRounds * 2) << "row " << t;
        for (unsigned i = 0; i < per_row[t].size(); i++)
            ASSERT_EQ(per_row[t][i], (Change{"DeviceIdList", t, i % 2 ? "DeviceUUID" : "DisplayNameCustom",
                                             std::to_string(i / 2)})) << "#" << i;
    }
    const auto threads = rec.threads();
    EXPECT_EQ(std::count(threads.begin(), threads.end(), threads.front()), threads.size());
}

// Destroy waits for a running callback, and none runs after it returns.
TEST(Q7Destroy, WaitsForTheRunningCallbackAndNoneRunsAfter)
{
    Handle w = open_handle();
    q7_handle *r = q7_init();
    ASSERT_TRUE(w && r);
    struct Ctx {
        std::atomic<bool> go{false};
        std::atomic<int> in{0}, done{0};
    } ctx;
    q7_subscribe_cb(r, [](const char *, unsigned, const char *, void *p) {
        auto *c = static_cast<Ctx *>(p);
        c->in++;
        wait_until([&] { return c->go.load(); });
        c->done++;
    }, &ctx);
    ASSERT_EQ(q7_subscribe(r, "DeviceIdList", 1), Q7_OK);
    auto write = [&](int i) { q7_set_string(w.get(), "DeviceIdList", 20, "DisplayNameCustom", std::to_string(i).c_str()); };
    for (int i = 0; i < 5; i++)
        write(i);
    ASSERT_TRUE(wait_until([&] { return ctx.in > 0; }));
    std::atomic<int> done_at_return{-1};
    std::thread destroyer([&] {
        q7_destroy(r);
        done_at_return = ctx.done.load();
    });
    // One that does not wait returns while the callback is held.
    EXPECT_FALSE(wait_until([&] { return done_at_return >= 0; }, std::chrono::milliseconds(300)));
    ctx.go = true;
    destroyer.join();
    EXPECT_GE(done_at_return, 1);
    for (int i = 5; i < 20; i++)
        write(i);
    EXPECT_EQ(ctx.in, done_at_return);
}
