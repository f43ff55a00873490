/*
 * q7_restart_test.cpp - the client library against a private server that
 * the tests kill, freeze and restart: bounded failures, reconnection,
 * notifications resuming by themselves, data kept in the append-only file.
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

TEST(Q7Restart, KilledServerFailsThenRecoversWithDataAndNotifications)
{
    PrivateServer srv;
    ASSERT_TRUE(srv.start());
    Recorder rec, late_rec;
    Handle w = open_on(srv), r = open_on(srv), late = open_on(srv);
    ASSERT_TRUE(w && r && late);
    rec.attach(r.get());
    ASSERT_EQ(q7_subscribe(r.get(), "General", 1), Q7_OK);
    ASSERT_EQ(q7_set_string(w.get(), "General", 0, "DeviceName", "before"), Q7_OK);
    rec.until({"General", 0, "DeviceName"});

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

    // The subscribers connect on their own; writes made before they are
    // back are lost, so keep changing the value until one reaches both.
    int i = 0;
    ASSERT_TRUE(wait_until([&] {
        q7_set_string(w.get(), "General", 0, "DeviceName", ("after" + std::to_string(i++)).c_str());
        return rec.count() > 0 && late_rec.count() > 0;
    }));
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
