/*
 * broker_lifecycle_test.cpp - tests that start, restart or kill an agent of
 * their own: init/uninit sequences, reconnection with the agent-started
 * event, uninit against calls and callbacks on other threads, the state
 * file, and agentctl's exit codes.
 */
#include "agent_test_util.h"
#include "sabroker.h"

#include <gtest/gtest.h>

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

std::atomic<int> g_started{0};
void on_started(const char *, void *) { g_started++; }

TEST(BrokerRestart, ReconnectsAndRaisesAgentStarted)
{
    agenttest::TempDir keep;
    PrivateAgent agent({"--state", keep.file("state.json")});
    use_agent(agent);
    ASSERT_TRUE(agent.start());
    ASSERT_EQ(sa_broker_init(), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_AGENT_STARTED, on_started, nullptr, 0), 0);
    ASSERT_EQ(sa_broker_enable(), 0);
    const int base = g_started;
    auto protection = [&] { return cJSON_GetObjectItem(agent_state(agent.socket()).get(), "protection"); };

    ASSERT_EQ(agentctl(agent.socket(), {"restart"}), 0);
    ASSERT_TRUE(wait_until([&] { return g_started == base + 1; }));
    EXPECT_TRUE(cJSON_IsTrue(protection()));    // reloaded from the state file
    EXPECT_EQ(sa_broker_va_status(nullptr), 0);

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
std::atomic<int> g_late_callbacks{0}, g_callbacks{0};

void racing_callback(const char *, void *)
{
    if (g_uninit_returned)
        g_late_callbacks++;
    g_callbacks++;
    sa_broker_va_status(nullptr);       // calls from a callback are allowed
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
    }
    done = true;
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(g_late_callbacks, 0);
    EXPECT_GT(g_callbacks, 0);
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
