// q7_test.cpp - the Q7 client library and q7ctl on the shared fixture server,
// and the library on private servers that the tests kill, freeze and restart.
#include "q7host.h"
#include "q7lib.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "process_util.h"
#include "wait_until.h"

namespace {

using Handle = std::unique_ptr<q7_handle, decltype([](q7_handle *h) { q7_destroy(h); })>;

std::string env(const char *name)
{
    return getenv(name) ? getenv(name) : "";
}

std::string read_file(const std::string &path)
{
    std::ostringstream ss;
    ss << std::ifstream(path).rdbuf();
    return ss.str();
}

// One command straight to the server, past the library.
void raw_command(const std::string &socket, const std::string &command)
{
    redisContext *c = redisConnectUnix(socket.c_str());
    ASSERT_TRUE(c && !c->err);
    freeReplyObject(redisCommand(c, command.c_str()));
    redisFree(c);
}

// Records a handle's notifications as TABLE.ROW.FIELD=VALUE and the threads they
// came on. While held, a callback records its change, then waits (a minute at most).
struct Recorder {
    q7_handle *h = nullptr;
    std::mutex mu;
    std::vector<std::string> seen;
    std::set<std::thread::id> threads;
    std::atomic<bool> held{false};

    void attach(q7_handle *handle)
    {
        h = handle;
        ASSERT_EQ(q7_subscribe_cb(h, cb, this), Q7_OK);
    }
    static void cb(const char *table, unsigned row, const char *field, void *ctx)
    {
        auto *r = static_cast<Recorder *>(ctx);
        const char *v = q7_change_value(r->h);
        {
            std::lock_guard lk(r->mu);
            r->seen.push_back(std::string(table) + "." + std::to_string(row) + "." + field + "=" + (v ? v : "(none)"));
            r->threads.insert(std::this_thread::get_id());
        }
        wait_until([&] { return !r->held; }, std::chrono::seconds(60));
    }
    std::vector<std::string> wait(size_t n)
    {
        EXPECT_TRUE(wait_until([&] {
            std::lock_guard lk(mu);
            return seen.size() >= n;
        })) << "fewer than " << n;
        std::lock_guard lk(mu);
        return seen;
    }
};

// Starts q7ctl (through the emulator in a cross build), its output to out.
pid_t start_q7ctl(const std::vector<std::string> &args, const std::string &out)
{
    std::vector<std::string> argv;
    std::istringstream emu(TSH_EMULATOR);
    for (std::string w; emu >> w;)
        argv.push_back(w);
    argv.push_back(env("TSH_BIN_DIR") + "/q7ctl");
    argv.insert(argv.end(), args.begin(), args.end());
    int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = spawn_process(argv, fd);
    close(fd);
    return pid;
}

const std::string kOut = "/tmp/q7ctl_test_" + std::to_string(getpid());

// Runs q7ctl to its end: exit status and output.
std::pair<int, std::string> q7ctl(const std::vector<std::string> &args)
{
    int st = wait_exit(start_q7ctl(args, kOut));
    return {st, read_file(kOut)};
}

// A Q7 server of the test's own in a fresh directory; the library pointed at it.
struct PrivateServer {
    char dir[32] = "/tmp/q7test.XXXXXX";
    const std::string socket = std::string(mkdtemp(dir)) + "/q7.sock";
    PrivateServer()
    {
        setenv("Q7_SOCKET", socket.c_str(), 1);
        setenv("Q7_TIMEOUT_MS", "300", 1);
    }
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
    void signal(int sig) { kill(std::stoi(read_file(std::string(dir) + "/redis.pid")), sig); }
};

}  // namespace

// Logged by the daemon and printed by q7ctl with the code.
TEST(Q7Errors, EveryCodeHasItsText)
{
    const char *const texts[] = {"ok", "server unreachable or timed out", "handle closed",
                                 "no such table, field or row", "text too long for the field", "invalid input",
                                 "wrong kind for the field", "malformed MAC or IPv4 text", "server error"};
    for (int code = -1; code <= Q7_ERROR + 1; code++)
        EXPECT_STREQ(q7_error_string(code), code < 0 || code > Q7_ERROR ? "unknown error" : texts[code]) << code;
}

TEST(Q7Notify, OnlyChangesOfSubscribedTablesWithTheirValuesInCommitOrder)
{
    Recorder rec, own;  // outlive the handles that call them
    Handle w(q7_init()), r(q7_init());
    ASSERT_TRUE(w && r);
    raw_command(env("Q7_SOCKET"), "DEL q7:d:TelvaCfg:0 q7:d:TelvaStatus:0 q7:d:Wexsignature:7");  // never written
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
    ASSERT_EQ(q7_set_enum(p, "TelvaCfg", 0, "action", "do_protection_on"), Q7_OK);
    ASSERT_EQ(q7_set_enum(p, "TelvaCfg", 0, "action", "none"), Q7_OK);
    const std::vector<std::string> want = {
        "TelvaCfg.0.SAService=UP", "Wexsignature.7.DeviceMAC=02:00:00:00:00:07", "Wexsignature.7.DeviceDID=d1",
        "Wexsignature.7.DeviceDID=d3", "TelvaCfg.0.action=do_protection_on", "TelvaCfg.0.action=none"};
    EXPECT_EQ(rec.wait(want.size()), want);
    EXPECT_TRUE(own.seen.empty());
}

TEST(Q7Notify, ConcurrentWritersOnOneThreadInCommitOrderExactlyOnce)
{
    constexpr unsigned kThreads = 8, kRounds = 200;
    Recorder rec;
    Handle w(q7_init()), r(q7_init());
    ASSERT_TRUE(w && r);
    for (unsigned t = 0; t < kThreads; t++)
        raw_command(env("Q7_SOCKET"), "DEL q7:d:DeviceIdList:" + std::to_string(t));
    rec.attach(r.get());
    ASSERT_EQ(q7_subscribe(r.get(), "DeviceIdList", 1), Q7_OK);
    // Each writer alternates two fields of its own row, counting up.
    std::vector<std::thread> writers;
    for (unsigned t = 0; t < kThreads; t++)
        writers.emplace_back([&, t] {
            for (unsigned i = 0; i < kRounds; i++) {
                q7_set_string(w.get(), "DeviceIdList", t, "DisplayNameCustom", std::to_string(i).c_str());
                q7_set_ascii(w.get(), "DeviceIdList", t, "DeviceUUID", std::to_string(i).c_str());
            }
        });
    for (auto &t : writers)
        t.join();
    std::vector<std::vector<std::string>> got(kThreads), want(kThreads);
    for (const std::string &c : rec.wait(kThreads * kRounds * 2))
        got.at(std::stoul(c.substr(strlen("DeviceIdList.")))).push_back(c);
    for (unsigned t = 0; t < kThreads; t++)
        for (unsigned i = 0; i < kRounds; i++)
            for (const char *f : {".DisplayNameCustom=", ".DeviceUUID="})
                want[t].push_back("DeviceIdList." + std::to_string(t) + f + std::to_string(i));
    EXPECT_TRUE(got == want);  // not EXPECT_EQ: thousands of lines
    EXPECT_EQ(rec.threads.size(), 1u);
}

TEST(Q7Destroy, WaitsForTheRunningCallbackAndNoneRunsAfter)
{
    Recorder rec;
    Handle w(q7_init());
    q7_handle *r = q7_init();
    ASSERT_TRUE(w && r);
    rec.attach(r);
    ASSERT_EQ(q7_subscribe(r, "DeviceIdList", 1), Q7_OK);
    rec.held = true;
    auto write = [&](int i) { q7_set_string(w.get(), "DeviceIdList", 20, "DisplayNameCustom", std::to_string(i).c_str()); };
    for (int i = 0; i < 5; i++)
        write(i);
    rec.wait(1);
    std::atomic<bool> returned{false};
    std::thread destroyer([&] {
        q7_destroy(r);
        returned = true;
    });
    // One that does not wait returns while the callback is held.
    EXPECT_FALSE(wait_until([&] { return returned.load(); }, std::chrono::milliseconds(300)));
    rec.held = false;
    destroyer.join();
    const size_t seen = rec.wait(1).size();
    for (int i = 5; i < 20; i++)
        write(i);
    EXPECT_EQ(rec.wait(1).size(), seen);
}

TEST(Q7ctl, CommandsPrintAndExitAsDocumented)
{
    const std::string bad_seed = kOut + ".json", usage = " (q7ctl --help shows the usage)\n";
    std::ofstream(bad_seed) << R"({"TelvaCfg": {"action": "sideways"}})";
    const std::tuple<std::vector<std::string>, int, std::string> rows[] = {  // arguments, exit status, output
        {{"set", "TelvaCfg.0.SAService", "UP"}, 0, ""},
        {{"get", "TelvaCfg.SAService"}, 0, "UP\n"},
        {{"get", "TelvaStatus.0.nosuch"}, 1, "q7ctl: get TelvaStatus.0.nosuch: no such table, field or row (3)\n"},
        {{"set", "General.FSN", "12345678901234567890"}, 1, "q7ctl: set General.FSN: text too long for the field (4)\n"},
        {{"load", bad_seed}, 1, "q7ctl: load " + bad_seed + ": TelvaCfg.action: invalid input (5)\n"},
        {{"get"}, 2, "q7ctl: get: wrong number of arguments" + usage},
    };
    for (const auto &[args, status, want] : rows)
        EXPECT_EQ(q7ctl(args), std::make_pair(status, want)) << args[0];
    EXPECT_NE(q7ctl({"show", "TelvaCfg"}).second.find("\nTelvaCfg.SAService=UP\n"), std::string::npos);
    unlink(bad_seed.c_str());
}

// Each line shows the value its write made, not one read later: three quick
// writes while the tool is stopped.
TEST(Q7ctl, WatchPrintsEachWrittenValueUntilSigterm)
{
    Handle h(q7_init());
    ASSERT_TRUE(h);
    q7_set_enum(h.get(), "TelvaStatus", 0, "protectionStatus", "false");
    const std::string out = kOut + ".watch";
    pid_t pid = start_q7ctl({"watch", "TelvaStatus"}, out);
    ASSERT_TRUE(wait_until([&] { return read_file(out).find("watching") != std::string::npos; }));
    kill(pid, SIGSTOP);
    ASSERT_TRUE(wait_until([&] { return process_state(pid) == 'T'; }));
    q7_set_enum(h.get(), "TelvaCfg", 0, "action", "do_reboot");  // not watched
    for (const char *v : {"true", "false", "true"})
        q7_set_enum(h.get(), "TelvaStatus", 0, "protectionStatus", v);
    kill(pid, SIGCONT);
    const std::string want = "q7ctl: watching 1 table(s); SIGINT or SIGTERM stops\n"
                             "TelvaStatus.0.protectionStatus=true\nTelvaStatus.0.protectionStatus=false\n"
                             "TelvaStatus.0.protectionStatus=true\n";
    EXPECT_TRUE(wait_until([&] { return read_file(out).size() >= want.size(); }));
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_exit(pid), 0);
    EXPECT_EQ(read_file(out), want);
    unlink(out.c_str());
}

TEST(Q7Restart, CallsFailInTimeWhileTheServerIsGoneOrFrozenAndWorkWhenItIsBack)
{
    PrivateServer srv;
    ASSERT_TRUE(srv.start());
    Handle h(q7_init());
    ASSERT_TRUE(h);
    for (int sig : {SIGKILL, SIGSTOP}) {
        srv.signal(sig);
        EXPECT_EQ(q7_set_string(h.get(), "General", 0, "DeviceName", "lost"), Q7_TIMEOUT) << sig;
        char buf[8];  // again, while backing off
        EXPECT_EQ(q7_get_string(h.get(), "General", 0, "DeviceName", buf, sizeof buf), Q7_TIMEOUT) << sig;
        if (sig == SIGKILL)
            ASSERT_TRUE(srv.start());  // at once: the killed one may still be going away
        else
            srv.signal(SIGCONT);
        EXPECT_TRUE(wait_until([&] { return q7_set_string(h.get(), "General", 0, "DeviceName", "x") == Q7_OK; }));
    }
}

// The subscriber's callback thread is held in a callback while the server is
// killed and started again at once, or the connections are dropped, so the
// changes written meanwhile come before it can have reconnected. They must
// still arrive: read on from where it was or, where that is gone, as every
// field whose value differs from the one last delivered.
TEST(Q7Restart, NoChangeLostWhileTheSubscriberReconnects)
{
    enum Cut { None, Kill, Drop };
    const struct {
        const char *name;
        bool aof;
        Cut cut;
        bool write, trim;  // write: DeviceName=mid, =after; trim: the stream emptied after, then FSN=f1
        std::vector<std::string> want;
    } cases[] = {
        {"kept in the file", true, Kill, true, false, {"General.0.DeviceName=mid", "General.0.DeviceName=after"}},
        {"connections dropped", false, Drop, true, false, {"General.0.DeviceName=mid", "General.0.DeviceName=after"}},
        {"came back empty", false, Kill, false, false, {"General.0.DeviceName=", "General.0.FSN="}},
        {"trimmed past while away", true, Kill, true, true,
         {"General.0.DeviceName=after", "General.0.FSN=f1", "General.0.FwRevision=pad"}},
        {"trimmed past while held", true, None, true, true,
         {"General.0.FwRevision=pad", "General.0.DeviceName=after", "General.0.FSN=f1"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        PrivateServer srv;
        ASSERT_TRUE(srv.start(c.aof));
        Recorder rec;
        Handle w(q7_init()), r(q7_init());
        ASSERT_TRUE(w && r);
        // The first write after a restart may find its connection gone.
        auto set = [&](const char *field, const char *value) {
            return wait_until([&] { return q7_set_text(w.get(), "General", 0, field, value) == Q7_OK; });
        };
        rec.attach(r.get());
        ASSERT_EQ(q7_subscribe(r.get(), "General", 1), Q7_OK);
        ASSERT_TRUE(set("DeviceName", "before"));
        rec.wait(1);
        rec.held = true;
        ASSERT_TRUE(set("FSN", "f0"));
        rec.wait(2);  // the callback thread waits in this one
        if (c.cut == Kill) {
            srv.signal(SIGKILL);
            ASSERT_TRUE(srv.start(c.aof));
        } else if (c.cut == Drop) {
            raw_command(srv.socket, "CLIENT KILL TYPE normal");
        }
        ASSERT_TRUE(!c.trim || set("FwRevision", "pad"));
        ASSERT_TRUE(!c.write || (set("DeviceName", "mid") && set("DeviceName", "after")));
        if (c.trim) {
            raw_command(srv.socket, "XTRIM q7:events MAXLEN 0");
            ASSERT_TRUE(set("FSN", "f1"));
        }
        rec.held = false;
        std::vector<std::string> got = rec.wait(2 + c.want.size());
        EXPECT_EQ(std::vector<std::string>(got.begin() + 2, got.end()), c.want);
    }
}
