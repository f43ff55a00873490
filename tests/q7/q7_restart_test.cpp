/*
 * q7_restart_test.cpp - the client library against a private server that
 * the tests kill, freeze and restart: bounded failures, reconnection, data
 * kept in the append-only file, and no change lost to a subscriber while it
 * reconnects.
 */
#include "q7_test_util.h"

using namespace q7test;

namespace {

// Each test points the library at its own server, with a short call timeout.
Handle open_on(const PrivateServer &s)
{
    setenv("Q7_SOCKET", s.socket().c_str(), 1);
    setenv("Q7_TIMEOUT_MS", "300", 1);
    return Handle(q7_init());
}

int get_name(q7_handle *h, std::string &out)
{
    char buf[64];
    int rc = q7_get_string(h, "General", 0, "DeviceName", buf, sizeof buf);
    out = rc ? "" : buf;
    return rc;
}

}  // namespace

TEST(Q7Restart, KilledServerFailsThenRecoversWithData)
{
    PrivateServer srv;
    ASSERT_TRUE(srv.start());
    Recorder late_rec;
    Handle w = open_on(srv), late = open_on(srv);
    ASSERT_TRUE(w && late);
    ASSERT_EQ(q7_set_string(w.get(), "General", 0, "DeviceName", "before"), Q7_OK);

    srv.signal(SIGKILL);
    std::string name;
    EXPECT_EQ(get_name(w.get(), name), Q7_TIMEOUT);
    EXPECT_EQ(q7_set_string(w.get(), "General", 0, "DeviceName", "lost"), Q7_TIMEOUT);
    EXPECT_EQ(get_name(w.get(), name), Q7_TIMEOUT);  // also while backing off
    // A first subscription without a server says so, and is kept.
    late_rec.attach(late.get());
    EXPECT_EQ(q7_subscribe(late.get(), "General", 1), Q7_TIMEOUT);

    ASSERT_TRUE(srv.start());
    ASSERT_TRUE(wait_until([&] { return get_name(w.get(), name) == Q7_OK; }));
    EXPECT_EQ(name, "before");  // written before the kill, kept by the AOF
    // Started at once after each kill, while the killed one may still be
    // going away, the server is back when start returns.
    for (int i = 0; i < 3; i++) {
        srv.signal(SIGKILL);
        ASSERT_TRUE(srv.start());
        redisContext *raw = redisConnectUnix(srv.socket().c_str());  // no deadline: load cannot fail it
        EXPECT_TRUE(raw && !raw->err);
        redisFree(raw);
    }

    // Delivery starts once the handle has connected by itself; what came
    // before is not its to see, so keep changing the value until one arrives.
    int i = 0;
    ASSERT_TRUE(wait_until([&] {
        q7_set_string(w.get(), "General", 0, "DeviceName", ("after" + std::to_string(i++)).c_str());
        return late_rec.count() > 0;
    }));
}

// The subscriber's callback thread is held in a callback (across a kill -9
// and a restart), so the changes written meanwhile are made before it can
// have reconnected. They must still arrive: read on from where it was, or,
// where that is gone, as every field that differs from what was last
// delivered.
TEST(Q7Restart, NoChangeLostWhileTheSubscriberReconnects)
{
    // trim: a write the held read takes, the change, the stream trimmed to
    // nothing, and one more write.
    struct Case {
        const char *name;
        bool aof, kill, write, trim;
        std::vector<Change> want;
    };
    const Change name{"General", 0, "DeviceName"}, fsn{"General", 0, "FSN"}, fw{"General", 0, "FwRevision"};
    const Case cases[] = {
        {"kept in the file", true, true, true, false, {name}},
        {"came back empty", false, true, false, false, {name, fsn}},
        {"trimmed past while away", true, true, true, true, {name, fsn, fw}},
        {"trimmed past while held", true, false, true, true, {fw, name, fsn}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PrivateServer srv;
        ASSERT_TRUE(srv.start("", c.aof));
        Recorder rec;
        Handle w = open_on(srv), r = open_on(srv);
        ASSERT_TRUE(w && r);
        struct Release {
            Recorder &r;
            ~Release() { r.release(); }
        } release{rec};
        // The first write after a restart may find its connection gone.
        auto set = [&](const char *field, const char *value) {
            return wait_until([&] { return q7_set_text(w.get(), "General", 0, field, value) == Q7_OK; });
        };
        rec.attach(r.get());
        ASSERT_EQ(q7_subscribe(r.get(), "General", 1), Q7_OK);
        ASSERT_TRUE(set("DeviceName", "before"));
        rec.until(name);
        rec.hold();
        ASSERT_TRUE(set("FSN", "f0"));
        rec.until(fsn);  // the callback thread waits in this one

        if (c.kill) {
            srv.signal(SIGKILL);
            ASSERT_TRUE(srv.start("", c.aof));
        }
        ASSERT_TRUE(!c.trim || set("FwRevision", "pad"));
        ASSERT_TRUE(!c.write || set("DeviceName", "after"));
        if (c.trim) {
            redisContext *raw = redisConnectUnix(srv.socket().c_str());
            ASSERT_TRUE(raw && !raw->err);
            freeReplyObject(redisCommand(raw, "XTRIM q7:events MAXLEN 0"));
            redisFree(raw);
            ASSERT_TRUE(set("FSN", "f1"));
        }
        rec.release();
        EXPECT_TRUE(wait_until([&] { return rec.count() >= c.want.size(); }));
        EXPECT_EQ(rec.all(), c.want);
    }
}

TEST(Q7Restart, FrozenServerTimesOutThenRecovers)
{
    PrivateServer srv;
    ASSERT_TRUE(srv.start());
    Handle h = open_on(srv);
    ASSERT_TRUE(h);
    std::string name;
    ASSERT_EQ(get_name(h.get(), name), Q7_OK);
    srv.signal(SIGSTOP);
    EXPECT_EQ(get_name(h.get(), name), Q7_TIMEOUT);
    srv.signal(SIGCONT);
    EXPECT_TRUE(wait_until([&] { return get_name(h.get(), name) == Q7_OK; }));
}

TEST(Q7Restart, InitNeedsServerAndValidSchema)
{
    PrivateServer srv;
    EXPECT_FALSE(open_on(srv));  // nothing listening yet

    std::string bad = srv.dir() + "/bad.json";
    std::ofstream(bad) << R"({"tables": {"T": {"rows": 1, "fields": {"f": {"kind": "enum", "width": 16, "default": "x"}}}}})";
    ASSERT_TRUE(srv.start(bad));
    EXPECT_FALSE(open_on(srv));  // enum without values
}
