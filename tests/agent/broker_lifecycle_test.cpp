/*
 * broker_lifecycle_test.cpp - tests that start, restart or kill an agent of
 * their own: init/uninit sequences, reconnection with the agent-started
 * event, uninit against calls and callbacks on other threads, the state
 * file, and agentctl's exit codes.
 */
#include "agent_test_util.h"
#include "sabroker.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

using agenttest::agent_state;
using agenttest::agentctl;
using agenttest::control;
using agenttest::PrivateAgent;
using saproto::JsonPtr;

namespace {

// Points the library at the agent before its init.
void use_agent(const PrivateAgent &a, const char *timeout_ms = "5000")
{
    setenv("SA_AGENT_SOCKET", a.socket().c_str(), 1);
    setenv("SA_CALL_TIMEOUT_MS", timeout_ms, 1);
}

std::string seed_file()
{
    return agenttest::setting("TSH_SOURCE_DIR") + "/host/agent/demo-seed.json";
}

TEST(BrokerInit, FollowsTheAgentsAvailability)
{
    PrivateAgent agent;
    use_agent(agent);
    EXPECT_NE(sa_broker_init(), 0);     // nothing listens yet
    sa_broker_uninit();                 // after a refused init
    sa_broker_uninit();                 // and twice
    EXPECT_NE(sa_broker_enable(), 0);

    ASSERT_TRUE(agent.start());
    ASSERT_EQ(sa_broker_init(), 0);
    EXPECT_EQ(sa_broker_init(), 0);     // again while initialised
    EXPECT_EQ(sa_broker_enable(), 0);
    sa_broker_uninit();
    sa_broker_uninit();
    EXPECT_NE(sa_broker_enable(), 0);

    ASSERT_EQ(agentctl(agent.socket(), {"fail", "init"}), 0);
    EXPECT_NE(sa_broker_init(), 0);     // the agent refuses once
    sa_broker_uninit();
    ASSERT_EQ(sa_broker_init(), 0);
    sa_broker_uninit();
}

std::atomic<int> g_started{0}, g_scans{0};
void count_event(const char *, void *counter) { ++*static_cast<std::atomic<int> *>(counter); }

bool file_has(const std::string &path, const char *text)
{
    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return all.find(text) != std::string::npos;
}

TEST(BrokerRestart, ReconnectsAndRaisesAgentStarted)
{
    agenttest::TempDir keep;
    PrivateAgent agent({"--state", keep.file("state.json")});
    use_agent(agent);
    ASSERT_TRUE(agent.start());
    ASSERT_EQ(sa_broker_init(), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_AGENT_STARTED, count_event, &g_started, 0), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, count_event, &g_scans, 0), 0);
    ASSERT_EQ(sa_broker_enable(), 0);
    const int base = g_started;
    auto protection = [&] { return cJSON_GetObjectItem(agent_state(agent.socket()).get(), "protection"); };

    ASSERT_EQ(agentctl(agent.socket(), {"fail", "subscribe:5", "2"}), 0);
    ASSERT_EQ(agentctl(agent.socket(), {"restart"}), 0);
    ASSERT_TRUE(wait_until([&] { return g_started == base + 1; }));
    // The restarted agent says so itself (on a mere reconnect the library does).
    EXPECT_TRUE(file_has(agent.dir().file("agent.log"), "agent started, told to its renewed subscription"));
    EXPECT_TRUE(cJSON_IsTrue(protection()));    // reloaded from the state file
    EXPECT_EQ(sa_broker_va_status(nullptr), 0);
    // The renewal the agent refused twice is asked for again.
    EXPECT_TRUE(wait_until([&] {
        control(agent.socket(), R"({"call":"ctl.emit","what":"va-scan"})");
        return g_scans > 0;
    }));

    // A crash: calls fail until a new agent process is up; the library finds
    // it by itself.
    agent.kill_hard();
    ASSERT_TRUE(wait_until([] { return sa_broker_enable() != 0; }));
    ASSERT_TRUE(agent.start());
    ASSERT_TRUE(wait_until([&] { return g_started == base + 2; }));
    EXPECT_TRUE(cJSON_IsTrue(protection()));
    EXPECT_EQ(sa_broker_disable(), 0);
    sa_broker_uninit();
}

TEST(BrokerUninit, EndsCallsInFlightAtOnce)
{
    PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    use_agent(agent, "600000");          // only uninit can end the call in time
    ASSERT_EQ(sa_broker_init(), 0);
    ASSERT_EQ(agentctl(agent.socket(), {"hang", "get_status_report", "600000"}), 0);
    std::atomic<int> result{-100};
    std::thread caller([&] {
        char *text = nullptr;
        result = sa_broker_get_status_report(&text);
        free(text);
    });
    // In flight once the agent has journaled it.
    ASSERT_TRUE(wait_until([&] {
        auto j = control(agent.socket(), R"({"call":"ctl.journal"})");
        const char *t = saproto::get_string(j.get(), "text");
        return t && strstr(t, "get_status_report");
    }));
    sa_broker_uninit();
    EXPECT_TRUE(wait_until([&] { return result != -100; }));
    caller.join();
    EXPECT_NE(result, 0);
}

std::atomic<bool> g_uninit_returned{false};
std::atomic<int> g_late_callbacks{0}, g_callbacks{0}, g_running{0};

void racing_callback(const char *, void *)
{
    g_running++;
    if (g_uninit_returned)
        g_late_callbacks++;
    g_callbacks++;
    sa_broker_va_status(nullptr);       // calls from a callback are allowed
    g_running--;
}

TEST(BrokerUninit, RacesCallbacksAndCallsOnOtherThreads)
{
    PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    use_agent(agent);
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; i++)
        threads.emplace_back([&, i] {
            while (!done) {
                char *text = nullptr;
                if (i == 0)
                    sa_broker_enable();
                else if (sa_broker_get_version_info(&text) == 0)
                    free(text);
            }
        });
    threads.emplace_back([&] {
        while (!done)
            control(agent.socket(), R"({"call":"ctl.emit","what":"devices-changed"})");
    });
    for (int round = 0; round < 20; round++) {
        g_uninit_returned = false;
        ASSERT_EQ(sa_broker_init(), 0);
        ASSERT_EQ(sa_broker_subscribe(SA_BROKER_DEVICES_CHANGED, racing_callback, nullptr, 0), 0);
        int before = g_callbacks;
        wait_until([&] { return g_callbacks > before; }, std::chrono::seconds(2));
        sa_broker_uninit();
        g_uninit_returned = true;
        EXPECT_EQ(g_running, 0);        // every running callback was waited for
    }
    done = true;
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(g_late_callbacks, 0);
    EXPECT_GT(g_callbacks, 0);
}

std::atomic<int> g_most{0}, g_ran{0};

void overlapping_callback(const char *, void *)
{
    int now = ++g_running;
    for (int most = g_most; now > most && !g_most.compare_exchange_weak(most, now);) {
    }
    // Lingers until a second callback joins it, or a while when none can.
    wait_until([] { return g_running >= 2; }, std::chrono::milliseconds(500));
    g_running--;
    g_ran++;
}

TEST(BrokerCallbacks, OverlapByDefaultAndNeverWhenSerial)
{
    PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    use_agent(agent);
    for (const char *threads : {"", "1"}) {
        setenv("SA_BROKER_CALLBACK_THREADS", threads, 1);
        g_most = g_ran = 0;
        ASSERT_EQ(sa_broker_init(), 0);
        ASSERT_EQ(sa_broker_subscribe(SA_BROKER_DEVICES_CHANGED, overlapping_callback, nullptr, 0), 0);
        for (int i = 0; i < 2; i++)
            control(agent.socket(), R"({"call":"ctl.emit","what":"devices-changed"})");
        ASSERT_TRUE(wait_until([] { return g_ran == 2; }));
        EXPECT_EQ(g_most, *threads ? 1 : 2) << "SA_BROKER_CALLBACK_THREADS=" << threads;
        sa_broker_uninit();
    }
}

TEST(BrokerTimeout, AFrozenAgentFailsQueuedCallersWithinAboutOneTimeout)
{
    PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    use_agent(agent, "500");
    ASSERT_EQ(sa_broker_init(), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_AGENT_STARTED, count_event, &g_started, 0), 0);
    const int base = g_started;
    agent.freeze(true);
    // Larger than a socket holds: every sender waits for the agent to read.
    const std::string big = R"({"uuid":"u","display_name":")" + std::string(1 << 20, 'x') + "\"}";
    std::atomic<int> failed{0};
    std::vector<std::thread> callers;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 4; i++)
        callers.emplace_back([&] { failed += sa_broker_set_device_info(big.c_str()) != 0; });
    for (auto &t : callers)
        t.join();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2 * 500));
    EXPECT_EQ(failed, 4);
    // The request cut off mid-line reset the link: the thawed agent is found
    // again on a clean one, and the library says so.
    agent.freeze(false);
    ASSERT_TRUE(wait_until([&] { return g_started > base; }));
    char *text = nullptr;
    ASSERT_EQ(sa_broker_get_version_info(&text), 0);
    EXPECT_NE(std::string(text).find("patch_level"), std::string::npos) << text;
    free(text);
    sa_broker_uninit();
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
    setenv("SA_AGENT_SOCKET", addr.sun_path, 1);
    setenv("SA_CALL_TIMEOUT_MS", "600000", 1);
    std::atomic<int> result{-100};
    std::thread init([&] { result = sa_broker_init(); });
    EXPECT_TRUE(wait_until([&] {
        sa_broker_uninit();
        return result != -100;
    }));
    listener.reset();   // also ends a connect that blocks on it
    init.join();
    EXPECT_NE(result, 0);
}

std::atomic<bool> g_self_uninit{false};
void uninit_from_callback(const char *, void *)
{
    sa_broker_uninit();
    g_self_uninit = true;
}

TEST(BrokerUninit, FromInsideACallbackDoesNotDeadlock)
{
    PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    use_agent(agent);
    g_self_uninit = false;
    ASSERT_EQ(sa_broker_init(), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, uninit_from_callback, nullptr, 0), 0);
    ASSERT_EQ(agentctl(agent.socket(), {"emit", "va-scan"}), 0);
    ASSERT_TRUE(wait_until([] { return g_self_uninit.load(); }));
    EXPECT_NE(sa_broker_enable(), 0);
    ASSERT_EQ(sa_broker_init(), 0);
    EXPECT_EQ(sa_broker_enable(), 0);
    sa_broker_uninit();
}

TEST(AgentState, SeedFirstThenTheStateFile)
{
    PrivateAgent probe;
    const std::string state = probe.dir().file("state.json");
    std::vector<std::string> args = {"--seed", seed_file(), "--state", state};
    {
        PrivateAgent agent(args);
        ASSERT_TRUE(agent.start());
        JsonPtr st = agent_state(agent.socket());
        EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(st.get(), "devices")), 12);
        EXPECT_TRUE(cJSON_IsFalse(cJSON_GetObjectItem(st.get(), "va_running")));
        ASSERT_EQ(agentctl(agent.socket(), {"set", "va-running", "1"}), 0);
    }
    PrivateAgent again(args);
    ASSERT_TRUE(again.start());
    EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(agent_state(again.socket()).get(), "va_running")));

    std::ofstream(probe.dir().file("bad.json")) << R"({"protection": "yes"})";
    std::string out;
    EXPECT_EQ(agenttest::run_tool("sa-agentd", {"--foreground", "--socket", probe.dir().file("s"), "--seed",
                                                probe.dir().file("bad.json")}, &out), 1);
    EXPECT_NE(out.find("protection"), std::string::npos) << out;
}

TEST(Agentctl, ExitCodesAndBadInput)
{
    PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    const std::string &s = agent.socket();
    std::string out;
    EXPECT_EQ(agentctl(s, {"--help"}, &out), 0);
    EXPECT_NE(out.find("usage"), std::string::npos);
    EXPECT_EQ(agentctl(s, {}), 2);
    EXPECT_EQ(agentctl(s, {"frobnicate"}), 2);
    EXPECT_EQ(agentctl(s, {"fail", "no_such_call"}, &out), 2);
    EXPECT_NE(out.find("no_such_call"), std::string::npos);
    EXPECT_EQ(agentctl(s, {"fail", "enable", "twice"}), 2);
    EXPECT_EQ(agentctl(s, {"hang", "enable"}), 2);
    EXPECT_EQ(agentctl(s, {"notext", "enable"}), 2);     // hands out no text
    EXPECT_EQ(agentctl(s, {"set", "version", "@/nonexistent/v.json"}), 2);
    EXPECT_EQ(agentctl(s, {"set", "version", "{broken"}), 1);
    EXPECT_EQ(agentctl(s, {"set", "bogus", "1"}), 1);
    EXPECT_EQ(agentctl(s, {"emit", "va-scan", R"({"type":"full"})"}, &out), 1);
    EXPECT_NE(out.find("status"), std::string::npos);
    EXPECT_EQ(agentctl(s, {"emit", "--raw", "va-scan", "not json at all"}), 0);

    std::ofstream(agent.dir().file("v.json")) << R"({"version": "9.9.9", "patch_level": 3})";
    EXPECT_EQ(agentctl(s, {"set", "version", "@" + agent.dir().file("v.json")}), 0);
    EXPECT_EQ(agentctl(s, {"set", "--raw", "devices", "garbage"}), 0);
    JsonPtr st = agent_state(s);
    EXPECT_STREQ(saproto::get_string(cJSON_GetObjectItem(st.get(), "version_info"), "version"), "9.9.9");
    EXPECT_STREQ(cJSON_GetObjectItem(st.get(), "devices")->valuestring, "garbage");

    EXPECT_EQ(agentctl(s, {"fail", "subscribe:4", "always"}), 0);
    EXPECT_EQ(agentctl(s, {"journal", "--clear"}), 0);
    EXPECT_EQ(agentctl(s, {"journal"}, &out), 0);
    EXPECT_EQ(out, "");
    EXPECT_EQ(agentctl(agent.dir().file("nobody.sock"), {"state"}, &out), 1);
    EXPECT_NE(out.find("nobody.sock"), std::string::npos);
}

} // namespace
