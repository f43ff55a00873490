// broker_test.cpp - the broker library and sa-agentd as the daemon and the lab
// use them, each test on an agent of its own steered by agentctl.
#include "agent_test_util.h"
#include "sabroker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

using agenttest::agentctl;

namespace {

// An agent of the test's own (started unless told otherwise), the library
// pointed at it.
struct Agent : agenttest::PrivateAgent {
    explicit Agent(const char *timeout_ms = "5000", const char *threads = "", std::vector<std::string> args = {},
                   bool started = true)
        : PrivateAgent(std::move(args))
    {
        setenv("SA_AGENT_SOCKET", socket().c_str(), 1);
        setenv("SA_CALL_TIMEOUT_MS", timeout_ms, 1);
        setenv("SA_BROKER_CALLBACK_THREADS", threads, 1);
        EXPECT_TRUE(!started || start());
    }
    void ctl(const std::vector<std::string> &args)
    {
        std::string out;
        ASSERT_EQ(agentctl(socket(), args, &out), 0) << args[0] << ": " << out;
    }
};

// Records the events a subscription gets and how many callbacks ran at once;
// with linger a callback stays until a second one runs beside it (or 500 ms),
// while held until let go.
struct Events {
    std::mutex mu;
    std::vector<std::string> texts;
    std::atomic<int> running{0}, most{0};
    std::atomic<size_t> count{0};
    std::atomic<bool> linger{false}, held{false};
    static void cb(const char *json, void *arg)
    {
        auto *e = static_cast<Events *>(arg);
        {
            std::lock_guard lk(e->mu);
            e->texts.push_back(json);
            e->most = std::max(e->most.load(), ++e->running);
        }
        e->count++;
        if (e->linger)
            wait_until([&] { return e->running >= 2; }, std::chrono::milliseconds(500));
        wait_until([&] { return !e->held; }, std::chrono::seconds(60));
        e->running--;
    }
};

TEST(BrokerTexts, MayBeAbsentOrEmptyForOneCallAndMalformedOnesAreRefused)
{
    Agent agent;
    ASSERT_EQ(sa_broker_init(), 0);
    const std::pair<const char *, int (*)(char **)> calls[] = {
        {"get_version_info", sa_broker_get_version_info},
        {"get_status_report", sa_broker_get_status_report},
        {"get_devices", [](char **out) { return sa_broker_get_devices("[]", out); }},
    };
    for (auto &[name, call] : calls)
        for (const char *mode : {"notext", "emptytext"}) {
            agent.ctl({mode, name});
            char stale[] = "stale", *text = stale;
            ASSERT_EQ(call(&text), 0) << name << " " << mode;
            EXPECT_STREQ(text ? text : "(none)", *mode == 'n' ? "(none)" : "") << name << " " << mode;
            free(text);
            ASSERT_EQ(call(&text), 0);
            EXPECT_TRUE(text && *text) << name << " " << mode << " outlived its call";
            free(text);
        }
    // Malformed texts are refused, and the agent goes on.
    EXPECT_NE(sa_broker_set_device_info("not json"), 0);
    EXPECT_NE(sa_broker_set_router_info(R"({"name":"r","model":"m","serial_number":"s","interfaces":[{"name":"e","type":"dmz"}]})"), 0);
    EXPECT_NE(sa_broker_remove_satellite(R"({"mac":"zz"})"), 0);
    EXPECT_EQ(sa_broker_enable(), 0);
    sa_broker_uninit();
}

TEST(BrokerCallbacks, OverlapByDefaultAndRunOneAtATimeInOrderWhenSerial)
{
    for (const char *threads : {"", "1"}) {
        Agent agent("5000", threads);
        Events e;
        e.linger = true;
        ASSERT_EQ(sa_broker_init(), 0);
        ASSERT_EQ(sa_broker_subscribe(SA_BROKER_DEVICES_CHANGED, Events::cb, &e, 0), 0);
        for (const std::string t : {"a", "b", "c"})  // in-process, quicker than a callback's linger
            agenttest::control(agent.socket(), (R"({"call":"ctl.emit","what":"devices-changed","raw":true,"value":")" + t + "\"}").c_str());
        ASSERT_TRUE(wait_until([&] { return e.count == 3; }));
        sa_broker_uninit();  // waits for the callbacks still running
        EXPECT_EQ(e.most > 1, !*threads) << "SA_BROKER_CALLBACK_THREADS=" << threads;
        EXPECT_TRUE(!*threads || (e.texts == std::vector<std::string>{"a", "b", "c"}));
    }
}

TEST(BrokerTimeout, AHungCallGivesUpAndItsLateReplyAnswersNoOtherCall)
{
    Agent agent("1000");
    ASSERT_EQ(sa_broker_init(), 0);
    agent.ctl({"hang", "get_version_info", "1500"});
    char *text = nullptr;
    EXPECT_NE(sa_broker_get_version_info(&text), 0);
    // The late version reply comes while the next call waits for its own.
    agent.ctl({"hang", "get_status_report", "700"});
    ASSERT_EQ(sa_broker_get_status_report(&text), 0);
    EXPECT_TRUE(cJSON_GetObjectItem(saproto::JsonPtr(cJSON_Parse(text)).get(), "agent")) << text;
    free(text);
    sa_broker_uninit();
}

// Waits for the n-th agent-started event, then for a scan event behind it:
// with serial callbacks a second agent-started would have come first.
void expect_started(const std::string &socket, Events &started, Events &scans, size_t n)
{
    ASSERT_TRUE(wait_until([&] { return started.count >= n; }));
    const size_t seen = scans.count;
    ASSERT_TRUE(wait_until([&] {
        agenttest::control(socket, R"({"call":"ctl.emit","what":"va-scan"})");
        return scans.count > seen;
    }));
    EXPECT_EQ(started.count, n);
}

// One deadline per call: callers queued behind a frozen agent all fail in
// about one timeout, not one each.
TEST(BrokerTimeout, AFrozenAgentFailsQueuedCallersInAboutOneTimeout)
{
    Agent agent("1000", "1");
    Events started, scans;
    ASSERT_EQ(sa_broker_init(), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_AGENT_STARTED, Events::cb, &started, 0), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, Events::cb, &scans, 0), 0);
    agent.freeze(true);
    // Larger than a socket holds: every sender waits for the agent to read.
    const std::string big = R"({"uuid":"u","display_name":")" + std::string(1 << 20, 'x') + "\"}";
    std::atomic<int> failed{0};
    const auto begin = std::chrono::steady_clock::now();
    for (std::vector<std::jthread> callers(5); auto &t : callers)  // all joined as the loop ends
        t = std::jthread([&] { failed += sa_broker_set_device_info(big.c_str()) != 0; });
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2500));
    EXPECT_EQ(failed, 5);
    // The request cut off mid-line reset the link: the thawed agent is found
    // again on a clean one, and the library says so itself.
    agent.freeze(false);
    expect_started(agent.socket(), started, scans, 1);
    EXPECT_EQ(sa_broker_enable(), 0);
    sa_broker_uninit();
}

TEST(BrokerRestart, InitFollowsTheAgentWhichIsFoundAgainAndTellsItStartedOnce)
{
    agenttest::TempDir keep;
    Agent agent("5000", "1", {"--state", keep.file("state.json")}, false);
    EXPECT_NE(sa_broker_init(), 0);  // nothing listens yet
    ASSERT_TRUE(agent.start());
    ASSERT_EQ(sa_broker_init(), 0);
    EXPECT_EQ(sa_broker_init(), 0);  // again while initialised
    Events started, scans;
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_AGENT_STARTED, Events::cb, &started, 0), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, Events::cb, &scans, 0), 0);
    ASSERT_EQ(sa_broker_enable(), 0);
    auto protection = [&] { return cJSON_IsTrue(cJSON_GetObjectItem(agenttest::agent_state(agent.socket()).get(), "protection")); };
    // The renewal refused twice is asked for again (expect_started needs it).
    agent.ctl({"fail", "subscribe:5", "2"});
    agent.ctl({"restart", "200"});
    expect_started(agent.socket(), started, scans, 1);
    EXPECT_TRUE(protection());  // reloaded from the state file
    // A crash: calls fail until a new agent process is up.
    agent.kill_hard();
    ASSERT_TRUE(wait_until([] { return sa_broker_enable() != 0; }));
    ASSERT_TRUE(agent.start());
    expect_started(agent.socket(), started, scans, 2);
    EXPECT_TRUE(protection());
    sa_broker_uninit();
}

TEST(BrokerUninit, EndsACallAndAnInitInFlight)
{
    Agent agent("600000");  // only uninit can end them in time
    ASSERT_EQ(sa_broker_init(), 0);
    agent.ctl({"hang", "get_status_report", "600000"});
    std::atomic<int> result{-100};
    std::thread caller([&] {
        char *text = nullptr;
        result = sa_broker_get_status_report(&text);
        free(text);
    });
    ASSERT_TRUE(wait_until([&] {
        return saproto::get_int(cJSON_GetObjectItem(agenttest::agent_state(agent.socket()).get(), "runtime"), "held") == 1;
    }));
    sa_broker_uninit();
    caller.join();
    EXPECT_NE(result, 0);
    agent.freeze(true);  // an init waits for the greeting
    result = -100;
    std::thread init([&] { result = sa_broker_init(); });
    EXPECT_TRUE(wait_until([&] {
        sa_broker_uninit();
        return result != -100;
    }));
    init.join();
    EXPECT_NE(result, 0);
}

TEST(BrokerUninit, WaitsForRunningCallbacksButNotItsOwnAndNoneRunsAfter)
{
    Agent agent;
    Events e;
    e.held = true;
    ASSERT_EQ(sa_broker_init(), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_DEVICES_CHANGED, Events::cb, &e, 0), 0);
    agent.ctl({"emit", "devices-changed"});
    agent.ctl({"emit", "devices-changed"});
    ASSERT_TRUE(wait_until([&] { return e.running == 2; }));
    std::atomic<int> returned{0}, running_at_return{0};
    auto uninit = [&] {
        sa_broker_uninit();
        running_at_return += e.running;
        returned++;
    };
    std::thread a(uninit), b(uninit);  // two racing: neither returns while the callbacks are held
    EXPECT_FALSE(wait_until([&] { return returned > 0; }, std::chrono::milliseconds(300)));
    e.held = false;
    a.join();
    b.join();
    EXPECT_EQ(running_at_return, 0);
    agent.ctl({"emit", "devices-changed"});
    EXPECT_NE(sa_broker_enable(), 0);
    EXPECT_EQ(e.count, 2u);
    // From inside a callback it does not wait for itself, and may call the library.
    ASSERT_EQ(sa_broker_init(), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, [](const char *, void *) { sa_broker_uninit(); }, nullptr, 0), 0);
    agent.ctl({"emit", "va-scan"});
    EXPECT_TRUE(wait_until([] { return sa_broker_enable() != 0; }));
    ASSERT_EQ(sa_broker_init(), 0);
    sa_broker_uninit();
}

} // namespace
