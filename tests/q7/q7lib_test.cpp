/*
 * q7lib_test.cpp - the client library against the shared fixture server:
 * values of every kind, error codes, notification rules, concurrency and
 * teardown while callbacks run.
 */
#include "q7_test_util.h"
#include "q7host.h"

#include <dirent.h>

#include <atomic>
#include <cstring>

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

size_t entries(const char *dir)
{
    size_t n = 0;
    DIR *d = opendir(dir);
    while (d && readdir(d))
        n++;
    if (d)
        closedir(d);
    return n;
}

size_t thread_count() { return entries("/proc/self/task"); }

}  // namespace

TEST(Q7Values, RoundTripEveryKind)
{
    Handle h = open_handle();
    ASSERT_TRUE(h);
    char buf[64];
    int32_t i = 0;
    uint32_t u = 0;
    uint8_t b = 9;
    ASSERT_EQ(q7_set_enum(h.get(), "TelvaCfg", 0, "action", "do_protection_off"), Q7_OK);
    ASSERT_EQ(q7_get_enum(h.get(), "TelvaCfg", 0, "action", buf, sizeof buf), Q7_OK);
    EXPECT_STREQ(buf, "do_protection_off");
    ASSERT_EQ(q7_set_ascii(h.get(), "General", 0, "FSN", "X1-0042"), Q7_OK);
    ASSERT_EQ(q7_get_ascii(h.get(), "General", 0, "FSN", buf, sizeof buf), Q7_OK);
    EXPECT_STREQ(buf, "X1-0042");
    ASSERT_EQ(q7_set_string(h.get(), "General", 0, "DeviceName", "Wohnzimmer \xc3\xa4"), Q7_OK);
    ASSERT_EQ(q7_get_string(h.get(), "General", 0, "DeviceName", buf, sizeof buf), Q7_OK);
    EXPECT_STREQ(buf, "Wohnzimmer \xc3\xa4");
    ASSERT_EQ(q7_set_int(h.get(), "TelvaDebug", 0, "lastEventSink", INT32_MIN), Q7_OK);
    ASSERT_EQ(q7_get_int(h.get(), "TelvaDebug", 0, "lastEventSink", &i), Q7_OK);
    EXPECT_EQ(i, INT32_MIN);
    ASSERT_EQ(q7_set_uint(h.get(), "OrlixCfg", 0, "orlix_connected", UINT32_MAX), Q7_OK);
    ASSERT_EQ(q7_get_uint(h.get(), "OrlixCfg", 0, "orlix_connected", &u), Q7_OK);
    EXPECT_EQ(u, UINT32_MAX);
    ASSERT_EQ(q7_set_bool(h.get(), "Wexsignature", 255, "WEXSignatureUpdateStatus", 1), Q7_OK);
    ASSERT_EQ(q7_get_bool(h.get(), "Wexsignature", 255, "WEXSignatureUpdateStatus", &b), Q7_OK);
    EXPECT_EQ(b, 1);
    // Text forms: input is accepted loosely, output is canonical.
    ASSERT_EQ(q7_set_text(h.get(), "dalLogCfg", 0, "TshLogToFile", "true"), Q7_OK);
    EXPECT_EQ(text(h.get(), "dalLogCfg", 0, "TshLogToFile"), "1");
    ASSERT_EQ(q7_set_text(h.get(), "General", 0, "DefaultMAC", "0a:1b:2c:3d:4e:5f"), Q7_OK);
    EXPECT_EQ(text(h.get(), "General", 0, "DefaultMAC"), "0A:1B:2C:3D:4E:5F");
    ASSERT_EQ(q7_set_text(h.get(), "TelvaDebug", 0, "lastEventSink", "-17"), Q7_OK);
    EXPECT_EQ(text(h.get(), "TelvaDebug", 0, "lastEventSink"), "-17");
}

TEST(Q7Values, MacAndIpv4KeepByteOrder)
{
    Handle h = open_handle();
    ASSERT_TRUE(h);
    uint8_t mac[6], ip[4];
    ASSERT_EQ(q7_set_text(h.get(), "Wexsignature", 3, "DeviceMAC", "00:1A:2B:3C:4D:5E"), Q7_OK);
    ASSERT_EQ(q7_get_mac(h.get(), "Wexsignature", 3, "DeviceMAC", mac), Q7_OK);
    const uint8_t want_mac[6] = {0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e};
    EXPECT_EQ(memcmp(mac, want_mac, 6), 0);
    const uint8_t addr[4] = {192, 168, 1, 2};
    ASSERT_EQ(q7_set_ipv4(h.get(), "Wexsignature", 3, "DeviceIP", addr), Q7_OK);
    EXPECT_EQ(text(h.get(), "Wexsignature", 3, "DeviceIP"), "192.168.1.2");
    ASSERT_EQ(q7_set_text(h.get(), "Wexsignature", 3, "DeviceIP", "10.0.0.255"), Q7_OK);
    ASSERT_EQ(q7_get_ipv4(h.get(), "Wexsignature", 3, "DeviceIP", ip), Q7_OK);
    EXPECT_EQ(ip[0], 10);
    EXPECT_EQ(ip[3], 255);
}

TEST(Q7Values, UnwrittenFieldsReadTheirDefaultAndTextsAreCut)
{
    Handle h = open_handle();
    ASSERT_TRUE(h);
    reset_rows("dalLogCfg", 0, 1);
    reset_rows("General", 0, 1);
    int32_t level = 0;
    ASSERT_EQ(q7_get_int(h.get(), "dalLogCfg", 0, "TshLogLevel", &level), Q7_OK);
    EXPECT_EQ(level, 5);
    EXPECT_EQ(text(h.get(), "General", 0, "DefaultMAC"), "00:00:00:00:00:00");
    EXPECT_EQ(text(h.get(), "General", 0, "DeviceModel"), "");

    ASSERT_EQ(q7_set_string(h.get(), "General", 0, "DeviceModel", "Model-X1"), Q7_OK);
    char buf[8];
    memset(buf, 'x', sizeof buf);
    ASSERT_EQ(q7_get_string(h.get(), "General", 0, "DeviceModel", buf, 4), Q7_OK);
    EXPECT_STREQ(buf, "Mod");
    EXPECT_EQ(buf[4], 'x');  // nothing written past size
    ASSERT_EQ(q7_get_string(h.get(), "General", 0, "DeviceModel", buf, 1), Q7_OK);
    EXPECT_STREQ(buf, "");
}

TEST(Q7Errors, EveryCode)
{
    Handle h = open_handle();
    ASSERT_TRUE(h);
    char buf[16];
    int32_t i;
    uint8_t mac[6] = {};
    // 2: no handle
    EXPECT_EQ(q7_get_int(nullptr, "TelvaDebug", 0, "lastEventSink", &i), Q7_SHUTDOWN);
    EXPECT_EQ(q7_set_enum(nullptr, "TelvaCfg", 0, "action", "none"), Q7_SHUTDOWN);
    EXPECT_EQ(q7_subscribe(nullptr, "TelvaCfg", 1), Q7_SHUTDOWN);
    // 3: unknown table, field, row past the table
    EXPECT_EQ(q7_get_enum(h.get(), "NoSuchTable", 0, "action", buf, sizeof buf), Q7_NOSUCH_ITEM);
    EXPECT_EQ(q7_get_enum(h.get(), "TelvaCfg", 0, "nosuch", buf, sizeof buf), Q7_NOSUCH_ITEM);
    EXPECT_EQ(q7_get_enum(h.get(), "TelvaCfg", 1, "action", buf, sizeof buf), Q7_NOSUCH_ITEM);
    EXPECT_EQ(q7_set_bool(h.get(), "DeviceIdList", 256, "TelvaSoTResponseStatus", 1), Q7_NOSUCH_ITEM);
    EXPECT_EQ(q7_subscribe(h.get(), "NoSuchTable", 1), Q7_NOSUCH_ITEM);
    // 4: FSN has width 16, so 15 characters fit and 16 do not
    EXPECT_EQ(q7_set_ascii(h.get(), "General", 0, "FSN", "123456789012345"), Q7_OK);
    EXPECT_EQ(q7_set_ascii(h.get(), "General", 0, "FSN", "1234567890123456"), Q7_TOO_LONG);
    // 5: NULLs, outside the enum set, bad numbers and texts
    EXPECT_EQ(q7_get_int(h.get(), "TelvaDebug", 0, "lastEventSink", nullptr), Q7_INVALID);
    EXPECT_EQ(q7_get_enum(h.get(), "TelvaCfg", 0, "action", nullptr, 16), Q7_INVALID);
    EXPECT_EQ(q7_get_enum(h.get(), "TelvaCfg", 0, "action", buf, 0), Q7_INVALID);
    EXPECT_EQ(q7_set_enum(h.get(), "TelvaCfg", 0, nullptr, "none"), Q7_INVALID);
    EXPECT_EQ(q7_set_enum(h.get(), "TelvaCfg", 0, "action", nullptr), Q7_INVALID);
    EXPECT_EQ(q7_set_enum(h.get(), "TelvaCfg", 0, "action", "None"), Q7_INVALID);
    EXPECT_EQ(q7_set_bool(h.get(), "dalLogCfg", 0, "TshLogToFile", 2), Q7_INVALID);
    for (const char *bad : {"12x", "", "2147483648", "-", " 1"})
        EXPECT_EQ(q7_set_text(h.get(), "TelvaDebug", 0, "lastEventSink", bad), Q7_INVALID) << bad;
    EXPECT_EQ(q7_set_text(h.get(), "OrlixCfg", 0, "orlix_connected", "-1"), Q7_INVALID);
    EXPECT_EQ(q7_set_text(h.get(), "OrlixCfg", 0, "orlix_connected", "4294967296"), Q7_INVALID);
    EXPECT_EQ(q7_set_ascii(h.get(), "General", 0, "FSN", "tab\there"), Q7_INVALID);
    EXPECT_EQ(q7_set_string(h.get(), "General", 0, "DeviceName", "bad \xc3("), Q7_INVALID);
    // 6: kind mismatch both ways
    EXPECT_EQ(q7_get_int(h.get(), "TelvaCfg", 0, "action", &i), Q7_WRONG_TYPE);
    EXPECT_EQ(q7_set_ascii(h.get(), "TelvaCfg", 0, "action", "none"), Q7_WRONG_TYPE);
    EXPECT_EQ(q7_get_mac(h.get(), "Wexsignature", 0, "DeviceIP", mac), Q7_WRONG_TYPE);
    // 7: malformed addresses
    for (const char *bad : {"00:1A:2B:3C:4D", "00-1A-2B-3C-4D-5E", "00:1A:2B:3C:4D:5G", "00:1A:2B:3C:4D:5E:"})
        EXPECT_EQ(q7_set_text(h.get(), "Wexsignature", 0, "DeviceMAC", bad), Q7_ENCODING) << bad;
    for (const char *bad : {"1.2.3", "1.2.3.256", "1.2.3.4.", "a.b.c.d", "1..2.3"})
        EXPECT_EQ(q7_set_text(h.get(), "Wexsignature", 0, "DeviceIP", bad), Q7_ENCODING) << bad;
    // 8: the server refuses (row key holds no hash) or holds a value that does
    // not fit the field
    redisContext *c = redisConnectUnix(env("Q7_SOCKET").c_str());
    ASSERT_TRUE(c && !c->err);
    freeReplyObject(redisCommand(c, "SET q7:d:TelvaDebug:0 garbage"));
    EXPECT_EQ(q7_get_int(h.get(), "TelvaDebug", 0, "lastEventSink", &i), Q7_ERROR);
    EXPECT_EQ(q7_set_int(h.get(), "TelvaDebug", 0, "lastEventSink", 1), Q7_ERROR);
    freeReplyObject(redisCommand(c, "DEL q7:d:TelvaDebug:0"));
    freeReplyObject(redisCommand(c, "HSET q7:d:TelvaCfg:0 action bogus"));
    EXPECT_EQ(q7_get_enum(h.get(), "TelvaCfg", 0, "action", buf, sizeof buf), Q7_ERROR);
    freeReplyObject(redisCommand(c, "DEL q7:d:TelvaCfg:0"));
    redisFree(c);

    EXPECT_STREQ(q7_error_string(9), "unknown error");
    EXPECT_STREQ(q7_error_string(-1), "unknown error");
    EXPECT_STRNE(q7_error_string(Q7_TIMEOUT), q7_error_string(Q7_ERROR));
}

TEST(Q7Notify, OnlyOnChangeAndOnlySubscribedTables)
{
    Recorder rec, own;  // outlive the handles that call them
    Handle w = open_handle(), r = open_handle();
    ASSERT_TRUE(w && r);
    reset_rows("TelvaCfg", 0, 1);
    reset_rows("TelvaStatus", 0, 1);
    rec.attach(r.get());
    // A handle opens its subscriber connection at its first subscription
    // only, so a handle that watches nothing is not woken by every write.
    const size_t fds = entries("/proc/self/fd");
    ASSERT_EQ(q7_subscribe(r.get(), "TelvaCfg", 1), Q7_OK);
    EXPECT_EQ(entries("/proc/self/fd"), fds + 1);
    ASSERT_EQ(q7_subscribe(r.get(), "TelvaStatus", 1), Q7_OK);
    EXPECT_EQ(entries("/proc/self/fd"), fds + 1);

    // The default into an unwritten field, and the same value again, change
    // nothing; a write to an unsubscribed table is not delivered. Commit
    // order means anything wrongly notified would arrive before the marker.
    ASSERT_EQ(q7_set_enum(w.get(), "TelvaCfg", 0, "action", "none"), Q7_OK);
    ASSERT_EQ(q7_set_enum(w.get(), "TelvaCfg", 0, "SAService", "UP"), Q7_OK);
    ASSERT_EQ(q7_set_enum(w.get(), "TelvaCfg", 0, "SAService", "UP"), Q7_OK);
    ASSERT_EQ(q7_set_int(w.get(), "TelvaDebug", 0, "lastEventSink", 12345), Q7_OK);
    ASSERT_EQ(q7_set_enum(w.get(), "TelvaCfg", 0, "action", "do_protection_on"), Q7_OK);
    std::vector<Change> want = {{"TelvaCfg", 0, "SAService"}, {"TelvaCfg", 0, "action"}};
    EXPECT_EQ(rec.until(want.back()), want);

    // The writer's own handle sees nothing: it subscribed no table.
    own.attach(w.get());
    ASSERT_EQ(q7_subscribe(r.get(), "TelvaCfg", 0), Q7_OK);
    ASSERT_EQ(q7_set_enum(w.get(), "TelvaCfg", 0, "action", "none"), Q7_OK);
    ASSERT_EQ(q7_set_enum(w.get(), "TelvaStatus", 0, "protectionStatus", "true"), Q7_OK);
    ASSERT_EQ(q7_set_enum(w.get(), "TelvaStatus", 0, "protectionStatus", "false"), Q7_OK);
    Change status{"TelvaStatus", 0, "protectionStatus"};
    std::vector<Change> got = rec.until(status), more = rec.until(status);
    got.insert(got.end(), more.begin(), more.end());
    EXPECT_EQ(got, std::vector<Change>(2, status));
    EXPECT_EQ(own.count(), 0u);
}

TEST(Q7Notify, AGuardedSetWritesAndNotifiesOnlyWhileItsGuardHolds)
{
    Recorder rec;
    Handle w = open_handle(), r = open_handle();
    ASSERT_TRUE(w && r);
    reset_rows("Wexsignature", 7, 1);
    rec.attach(r.get());
    ASSERT_EQ(q7_subscribe(r.get(), "Wexsignature", 1), Q7_OK);
    ASSERT_EQ(q7_set_text(w.get(), "Wexsignature", 7, "DeviceMAC", "02:00:00:00:00:07"), Q7_OK);
    int held = -1;
    // The guard compares canonical texts: the lower-case form holds.
    ASSERT_EQ(q7_set_text_if(w.get(), "Wexsignature", 7, "DeviceDID", "d1", "DeviceMAC", "02:00:00:00:00:07", &held),
              Q7_OK);
    EXPECT_EQ(held, 1);
    ASSERT_EQ(q7_set_text_if(w.get(), "Wexsignature", 7, "DeviceDID", "d2", "DeviceMAC", "02:00:00:00:00:08", &held),
              Q7_OK);
    EXPECT_EQ(held, 0);
    EXPECT_EQ(text(w.get(), "Wexsignature", 7, "DeviceDID"), "d1");
    // An unwritten guard field holds its default.
    ASSERT_EQ(q7_set_text_if(w.get(), "Wexsignature", 7, "DeviceDID", "d3", "DeviceIP", "0.0.0.0", &held), Q7_OK);
    EXPECT_EQ(held, 1);
    // Commit order: a write the failed guard let through would come before the marker.
    ASSERT_EQ(q7_set_text(w.get(), "Wexsignature", 7, "DeviceIP", "10.0.0.7"), Q7_OK);
    std::vector<Change> want = {{"Wexsignature", 7, "DeviceMAC"}, {"Wexsignature", 7, "DeviceDID"},
                                {"Wexsignature", 7, "DeviceDID"}, {"Wexsignature", 7, "DeviceIP"}};
    EXPECT_EQ(rec.until(want.back()), want);
    EXPECT_EQ(q7_set_text_if(w.get(), "Wexsignature", 7, "DeviceDID", "x", "NoSuchField", "1", &held),
              Q7_NOSUCH_ITEM);
    EXPECT_EQ(q7_set_text_if(w.get(), "Wexsignature", 7, "DeviceDID", "x", "DeviceMAC", "not a mac", &held),
              Q7_ENCODING);
    EXPECT_EQ(q7_set_text_if(w.get(), "Wexsignature", 7, "DeviceDID", "x", "DeviceMAC", nullptr, &held), Q7_INVALID);
    EXPECT_EQ(text(w.get(), "Wexsignature", 7, "DeviceDID"), "d3");
}

TEST(Q7Notify, ConcurrentWritersInCommitOrderExactlyOnce)
{
    constexpr unsigned kThreads = 8, kRounds = 200;
    Recorder rec;
    Handle w = open_handle(), r = open_handle();
    ASSERT_TRUE(w && r);
    reset_rows("DeviceIdList", 0, kThreads);
    rec.attach(r.get());
    ASSERT_EQ(q7_subscribe(r.get(), "DeviceIdList", 1), Q7_OK);
    // Each writer alternates two fields of its own row: per row the
    // notifications must alternate too, none lost, none doubled.
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (unsigned t = 0; t < kThreads; t++) {
        writers.emplace_back([&, t] {
            for (unsigned i = 0; i < kRounds; i++) {
                std::string v = std::to_string(i);
                failures += q7_set_string(w.get(), "DeviceIdList", t, "DisplayNameCustom", v.c_str()) != Q7_OK;
                failures += q7_set_ascii(w.get(), "DeviceIdList", t, "DeviceUUID", v.c_str()) != Q7_OK;
            }
        });
    }
    for (auto &t : writers)
        t.join();
    ASSERT_EQ(failures, 0);
    ASSERT_TRUE(wait_until([&] { return rec.count() >= kThreads * kRounds * 2; }));
    std::vector<std::vector<std::string>> per_row(kThreads);
    for (const auto &c : rec.all())
        if (c.row < kThreads)
            per_row[c.row].push_back(c.field);
    for (unsigned t = 0; t < kThreads; t++) {
        ASSERT_EQ(per_row[t].size(), kRounds * 2) << "row " << t;
        for (unsigned i = 0; i < per_row[t].size(); i++)
            ASSERT_EQ(per_row[t][i], i % 2 ? "DeviceUUID" : "DisplayNameCustom") << "row " << t << " #" << i;
    }
}

TEST(Q7Destroy, WhileCallbacksFlowNoneRunsAfter)
{
    Handle w = open_handle();
    ASSERT_TRUE(w);
    std::atomic<bool> destroyed{false}, late{false};
    std::atomic<int> calls{0};
    struct Ctx {
        std::atomic<bool> *destroyed, *late;
        std::atomic<int> *calls;
        q7_handle *w;
    } ctx{&destroyed, &late, &calls, w.get()};
    q7_handle *r = q7_init();
    ASSERT_TRUE(r);
    q7_subscribe_cb(r, [](const char *, unsigned, const char *, void *p) {
        auto *c = static_cast<Ctx *>(p);
        if (*c->destroyed)
            *c->late = true;
        ++*c->calls;
        // A handler that does real work: a round trip of its own, so the
        // destroy below lands while one is running.
        char buf[64];
        q7_get_string(c->w, "DeviceIdList", 20, "DisplayNameCustom", buf, sizeof buf);
    }, &ctx);
    ASSERT_EQ(q7_subscribe(r, "DeviceIdList", 1), Q7_OK);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (unsigned i = 0; !stop; i++)
            q7_set_string(w.get(), "DeviceIdList", 20, "DisplayNameCustom", std::to_string(i).c_str());
    });
    ASSERT_TRUE(wait_until([&] { return calls > 20; }));
    q7_destroy(r);
    destroyed = true;
    // Keep writing a little longer: a callback after this would be caught.
    for (int i = 0; i < 50; i++)
        q7_set_string(w.get(), "DeviceIdList", 21, "DisplayNameCustom", std::to_string(i).c_str());
    stop = true;
    writer.join();
    EXPECT_FALSE(late);
}

TEST(Q7Destroy, FromInsideTheCallback)
{
    Handle w = open_handle();
    ASSERT_TRUE(w);
    size_t threads_before = thread_count();
    struct Ctx {
        q7_handle *h;
        std::atomic<int> calls{0};
    } ctx;
    ctx.h = q7_init();
    ASSERT_TRUE(ctx.h);
    q7_subscribe_cb(ctx.h, [](const char *, unsigned, const char *, void *p) {
        auto *c = static_cast<Ctx *>(p);
        if (c->calls++ == 0)
            q7_destroy(c->h);
    }, &ctx);
    ASSERT_EQ(q7_subscribe(ctx.h, "DeviceIdList", 1), Q7_OK);
    for (int i = 0; i < 20; i++)
        q7_set_string(w.get(), "DeviceIdList", 22, "DisplayNameCustom", std::to_string(i).c_str());
    // The callback thread frees the handle and ends by itself.
    ASSERT_TRUE(wait_until([&] { return ctx.calls > 0 && thread_count() == threads_before; }));
    EXPECT_EQ(ctx.calls, 1);
}
