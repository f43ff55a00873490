// broker_lifecycle_test.cpp - tests with an agent of their own, which they
// restart, kill or freeze: init and uninit, reconnection with the
// agent-started event, callback threads, deadlines, the state file, agentctl.
#include "agent_test_util.h"
#include "sabroker.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

using agenttest::agent_state;
using agenttest::agentctl;
using agenttest::control;
using agenttest::PrivateAgent;
using saproto::JsonPtr;

namespace {

void use_agent(const std::string &socket, const char *timeout_ms = "5000", const char *threads = "")
{
    setenv("SA_AGENT_SOCKET", socket.c_str(), 1);
    setenv("SA_CALL_TIMEOUT_MS", timeout_ms, 1);
    setenv("SA_BROKER_CALLBACK_THREADS", threads, 1);
}

std::atomic<int> g_started{0}, g_scans{0};
void count_event(const char *, void *counter) { ++*static_cast<std::atomic<int> *>(counter); }

// Waits for the n-th agent-started event, then for a scan event behind it:
// with serial callbacks a second agent-started would have come first.
void expect_started(const std::string &socket, int n)
{
    ASSERT_TRUE(wait_until([&] { return g_started >= n; }));
    const int scans = g_scans;
    ASSERT_TRUE(wait_until([&] {
        control(socket, R"({"call":"ctl.emit","what":"va-scan"})");
        return g_scans > scans;
    }));
    EXPECT_EQ(g_started, n);
}

TEST(BrokerRestart, InitFollowsTheAgentWhichIsFoundAgainAndTellsItStartedOnce)
{
    agenttest::TempDir keep;
    PrivateAgent agent({"--state", keep.file("state.json")});
    use_agent(agent.socket(), "5000", "1");
    EXPECT_NE(sa_broker_init(), 0);  // nothing listens yet
    sa_broker_uninit();              // harmless after a refused init, and twice
    sa_broker_uninit();
    ASSERT_TRUE(agent.start());
    ASSERT_EQ(sa_broker_init(), 0);
    EXPECT_EQ(sa_broker_init(), 0);  // again while initialised
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_AGENT_STARTED, count_event, &g_started, 0), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, count_event, &g_scans, 0), 0);
    ASSERT_EQ(sa_broker_enable(), 0);
    auto protection = [&] { return cJSON_GetObjectItem(agent_state(agent.socket()).get(), "protection"); };

    // The renewal the agent refuses twice is asked for again (the scan
    // events of expect_started need it).
    ASSERT_EQ(agentctl(agent.socket(), {"fail", "subscribe:5", "2"}), 0);
    ASSERT_EQ(agentctl(agent.socket(), {"restart", "200"}), 0);
    expect_started(agent.socket(), 1);
    std::ifstream log(agent.dir().file("agent.log"));
    const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("agent started, told to its renewed subscription"), std::string::npos) << text;
    EXPECT_TRUE(cJSON_IsTrue(protection()));  // reloaded from the state file

    // A crash: calls fail until a new agent process is up.
    agent.kill_hard();
    ASSERT_TRUE(wait_until([] { return sa_broker_enable() != 0; }));
    ASSERT_TRUE(agent.start());
    expect_started(agent.socket(), 2);
    EXPECT_TRUE(cJSON_IsTrue(protection()));
    sa_broker_uninit();
}

// One deadline per call: callers queued behind a frozen agent all fail in
// about one timeout, not one each.
TEST(BrokerTimeout, AFrozenAgentFailsQueuedCallersWithinAboutOneTimeout)
{
    PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    use_agent(agent.socket(), "1000", "1");
    ASSERT_EQ(sa_broker_init(), 0);
    g_started = 0;
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_AGENT_STARTED, count_event, &g_started, 0), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, count_event, &g_scans, 0), 0);
    agent.freeze(true);
    // Larger than a socket holds: every sender waits for the agent to read.
    const std::string big = R"({"uuid":"u","display_name":")" + std::string(1 << 20, 'x') + "\"}";
    std::atomic<int> failed{0};
    std::vector<std::thread> callers;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; i++)
        callers.emplace_back([&] { failed += sa_broker_set_device_info(big.c_str()) != 0; });
    for (auto &t : callers)
        t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2500));
    EXPECT_EQ(failed, 5);
    // The request cut off mid-line reset the link: the thawed agent is found
    // again on a clean one, and the library raises agent-started itself.
    agent.freeze(false);
    expect_started(agent.socket(), 1);
    char *text = nullptr;
    ASSERT_EQ(sa_broker_get_version_info(&text), 0);
    EXPECT_NE(std::string(text).find("patch_level"), std::string::npos) << text;
    free(text);
    sa_broker_uninit();
}

TEST(BrokerUninit, EndsACallInFlightAtOnce)
{
    PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    use_agent(agent.socket(), "600000");  // only uninit can end the call in time
    ASSERT_EQ(sa_broker_init(), 0);
    ASSERT_EQ(agentctl(agent.socket(), {"hang", "get_status_report", "600000"}), 0);
    std::atomic<int> result{-100};
    std::thread caller([&] {
        char *text = nullptr;
        result = sa_broker_get_status_report(&text);
        free(text);
    });
    ASSERT_TRUE(wait_until([&] {
        return saproto::get_int(cJSON_GetObjectItem(agent_state(agent.socket()).get(), "runtime"), "held") == 1;
    }));
    sa_broker_uninit();
    caller.join();
    EXPECT_NE(result, 0);
}

TEST(BrokerUninit, EndsAnInitWaitingForABusyAgent)
{
    // A listener that never accepts, its backlog full: no connect completes.
    agenttest::TempDir dir;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", dir.file("busy.sock").c_str());
    saproto::UniqueFd listener(socket(AF_UNIX, SOCK_STREAM, 0));
    ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener.get(), 0), 0);
    std::vector<saproto::UniqueFd> queued;
    for (;;) {
        saproto::UniqueFd c(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
        if (connect(c.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
            break;
        queued.push_back(std::move(c));
    }
    use_agent(addr.sun_path, "600000");
    std::atomic<int> result{-100};
    std::thread init([&] { result = sa_broker_init(); });
    EXPECT_TRUE(wait_until([&] {
        sa_broker_uninit();
        return result != -100;
    }));
    listener.reset();  // also ends a connect that blocks on it
    init.join();
    EXPECT_NE(result, 0);
}

struct Held {
    std::atomic<int> in{0}, done{0};
    std::atomic<bool> go{false}, uninit_returned{false}, late{false};
};

void held_callback(const char *, void *arg)
{
    auto *h = static_cast<Held *>(arg);
    h->late = h->late || h->uninit_returned;
    h->in++;
    sa_broker_va_status(nullptr);  // calls from a callback are allowed
    wait_until([&] { return h->go.load(); });
    h->done++;
}

TEST(BrokerUninit, WaitsForRunningCallbacksButNotItsOwnAndNoneRunsAfter)
{
    PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    use_agent(agent.socket());
    Held h;
    ASSERT_EQ(sa_broker_init(), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_DEVICES_CHANGED, held_callback, &h, 0), 0);
    for (int i = 0; i < 2; i++)
        ASSERT_EQ(agentctl(agent.socket(), {"emit", "devices-changed"}), 0);
    ASSERT_TRUE(wait_until([&] { return h.in == 2; }));
    int done_at_return = -1;
    std::thread un([&] {
        sa_broker_uninit();
        done_at_return = h.done;
        h.uninit_returned = true;
    });
    // An uninit that does not wait returns while the callbacks are held.
    EXPECT_FALSE(wait_until([&] { return h.uninit_returned.load(); }, std::chrono::milliseconds(300)));
    h.go = true;
    un.join();
    EXPECT_EQ(done_at_return, 2);
    ASSERT_EQ(agentctl(agent.socket(), {"emit", "devices-changed"}), 0);
    EXPECT_NE(sa_broker_enable(), 0);
    EXPECT_EQ(h.in, 2);
    EXPECT_FALSE(h.late);
    // From inside a callback it does not wait for itself.
    ASSERT_EQ(sa_broker_init(), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, [](const char *, void *) { sa_broker_uninit(); }, nullptr, 0), 0);
    ASSERT_EQ(agentctl(agent.socket(), {"emit", "va-scan"}), 0);
    EXPECT_TRUE(wait_until([] { return sa_broker_enable() != 0; }));
    ASSERT_EQ(sa_broker_init(), 0);
    sa_broker_uninit();
}

struct Overlap {
    std::atomic<int> running{0}, most{0}, ran{0};
    std::mutex mu;
    std::string order;
};

void overlapping_callback(const char *json, void *arg)
{
    auto *o = static_cast<Overlap *>(arg);
    {
        std::lock_guard lk(o->mu);
        o->order += json;
    }
    const int now = ++o->running;
    for (int most = o->most; now > most && !o->most.compare_exchange_weak(most, now);) {
    }
    // Lingers until a second callback joins it, or a while when none can.
    wait_until([&] { return o->running >= 2; }, std::chrono::milliseconds(500));
    o->running--;
    o->ran++;
}

TEST(BrokerCallbacks, OverlapByDefaultAndRunOneAtATimeInOrderWhenSerial)
{
    PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    for (const char *threads : {"", "1"}) {
        use_agent(agent.socket(), "5000", threads);
        Overlap o;
        ASSERT_EQ(sa_broker_init(), 0);
        ASSERT_EQ(sa_broker_subscribe(SA_BROKER_DEVICES_CHANGED, overlapping_callback, &o, 0), 0);
        for (const char *t : {"a", "b", "c"})
            ASSERT_EQ(agentctl(agent.socket(), {"emit", "--raw", "devices-changed", t}), 0);
        ASSERT_TRUE(wait_until([&] { return o.ran == 3; }));
        EXPECT_EQ(o.most, *threads ? 1 : 2) << "SA_BROKER_CALLBACK_THREADS=" << threads;
        EXPECT_TRUE(!*threads || o.order == "abc") << o.order;
        sa_broker_uninit();
    }
}

TEST(Agentctl, CommandsExitAsDocumentedAndSetTextsAsGiven)
{
    PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    const std::string &s = agent.socket(), version = agent.dir().file("v.json");
    std::ofstream(version) << R"({"version": "9.9.9", "patch_level": 3})";
    const struct {
        std::vector<std::string> args;
        int status;
        const char *says;  // in the output
    } rows[] = {
        {{"--help"}, 0, "usage"}, {{}, 2, ""}, {{"frobnicate"}, 2, ""},
        {{"fail", "no_such_call"}, 2, "no_such_call"}, {{"fail", "enable", "twice"}, 2, "twice"},
        {{"hang", "enable"}, 2, ""}, {{"notext", "enable"}, 2, ""},  // enable hands out no text
        {{"set", "version", "@/nonexistent/v.json"}, 2, ""}, {{"set", "version", "{broken"}, 1, ""},
        {{"set", "bogus", "1"}, 1, ""}, {{"emit", "va-scan", R"({"type":"full"})"}, 1, "status"},
        {{"emit", "--raw", "va-scan", "not json at all"}, 0, ""}, {{"fail", "subscribe:4", "always"}, 0, ""},
        {{"set", "version", "@" + version}, 0, ""}, {{"set", "--raw", "status-report", "odd text"}, 0, ""},
        {{"journal", "--clear"}, 0, ""}, {{"state"}, 0, "\"runtime\""},
    };
    for (const auto &r : rows) {
        std::string out;
        EXPECT_EQ(agentctl(s, r.args, &out), r.status) << (r.args.empty() ? "" : r.args[0]) << ": " << out;
        EXPECT_NE(out.find(r.says), std::string::npos) << out;
    }
    use_agent(s);
    ASSERT_EQ(sa_broker_init(), 0);
    char *text = nullptr;
    ASSERT_EQ(sa_broker_get_status_report(&text), 0);
    EXPECT_STREQ(text, "odd text");
    free(text);
    sa_broker_uninit();
    std::string out;
    EXPECT_EQ(agentctl(s, {"journal"}, &out), 0);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2) << out;  // init and the call since the clear
    EXPECT_EQ(agentctl(agent.dir().file("nobody.sock"), {"state"}, &out), 1);
    EXPECT_NE(out.find("nobody.sock"), std::string::npos);
}

} // namespace
