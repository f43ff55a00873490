// q7_restart_test.cpp - the client library against a private server that the
// tests kill, freeze and restart: bounded failures, reconnection, data kept in
// the append-only file, and no change lost to a subscriber meanwhile.
#include "q7_test_util.h"

#include <fstream>

using namespace q7test;

namespace {

// A Q7 server of the test's own in a fresh directory.
struct PrivateServer {
    char dir[32] = "/tmp/q7test.XXXXXX";
    const std::string socket = std::string(mkdtemp(dir)) + "/q7.sock";
    ~PrivateServer()
    {
        run_process({env("Q7_SERVER"), "stop", "--dir", dir});
        run_process({"/bin/rm", "-rf", dir});
    }
    bool start(bool aof = true)
    {
        std::vector<std::string> args = {env("Q7_SERVER"), "start", "--dir", dir};
        if (aof)
            args.push_back("--aof");
        return run_process(args) == 0;
    }
    void signal(int sig)
    {
        pid_t pid = 0;
        std::ifstream(std::string(dir) + "/redis.pid") >> pid;
        ASSERT_GT(pid, 0);
        kill(pid, sig);
    }
};

Handle open_on(const PrivateServer &s)
{
    setenv("Q7_SOCKET", s.socket.c_str(), 1);
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

TEST(Q7Restart, KilledOrFrozenServerFailsCallsInTimeAndComesBackWithItsData)
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

    // start right after kill -9, while the killed one may still be going away.
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(srv.start()) << "start #" << i;
        srv.signal(SIGKILL);
    }
    ASSERT_TRUE(srv.start());
    ASSERT_TRUE(wait_until([&] { return get_name(w.get(), name) == Q7_OK; }));
    EXPECT_EQ(name, "before");
    srv.signal(SIGSTOP);  // alive but deaf: bounded too
    EXPECT_EQ(get_name(w.get(), name), Q7_TIMEOUT);
    srv.signal(SIGCONT);
    // Delivery starts once the handle has reconnected by itself.
    int i = 0;
    ASSERT_TRUE(wait_until([&] {
        q7_set_string(w.get(), "General", 0, "DeviceName", ("after" + std::to_string(i++)).c_str());
        return !late_rec.threads().empty();
    }));
}

// The subscriber's callback thread is held in a callback while the server is
// killed and restarted or the connections dropped, so the changes written
// meanwhile come before it can have reconnected. They must still arrive: read
// on from where it was or, where that is gone, as every field whose value
// differs from the one last delivered.
TEST(Q7Restart, NoChangeLostWhileTheSubscriberReconnects)
{
    enum Cut { None, Kill, Drop };
    struct Case {
        const char *name;
        bool aof;
        Cut cut;
        bool write, trim;  // trim: the stream emptied after the writes, then FSN=f1
        std::vector<Change> want;
    };
    const Change name{"General", 0, "DeviceName", "after"}, fsn{"General", 0, "FSN", "f1"},
        fw{"General", 0, "FwRevision", "pad"};
    const Case cases[] = {
        {"kept in the file", true, Kill, true, false, {name}},
        {"connections dropped", false, Drop, true, false, {name}},
        {"came back empty", false, Kill, false, false, {{"General", 0, "DeviceName", ""}, {"General", 0, "FSN", ""}}},
        {"trimmed past while away", true, Kill, true, true, {name, fsn, fw}},
        {"trimmed past while held", true, None, true, true, {fw, name, fsn}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        PrivateServer srv;
        ASSERT_TRUE(srv.start(c.aof));
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
        rec.wait(1);
        rec.hold();
        ASSERT_TRUE(set("FSN", "f0"));
        rec.wait(2);  // the callback thread waits in this one
        if (c.cut == Kill) {
            srv.signal(SIGKILL);
            ASSERT_TRUE(srv.start(c.aof));
        } else if (c.cut == Drop) {
            raw_command(srv.socket, "CLIENT KILL TYPE normal");
        }
        ASSERT_TRUE(!c.trim || set("FwRevision", "pad"));
        ASSERT_TRUE(!c.write || set("DeviceName", "after"));
        if (c.trim) {
            raw_command(srv.socket, "XTRIM q7:events MAXLEN 0");
            ASSERT_TRUE(set("FSN", "f1"));
        }
        rec.release();
        std::vector<Change> got = rec.wait(2 + c.want.size());
        EXPECT_EQ(std::vector<Change>(got.begin() + 2, got.end()), c.want);
    }
}
