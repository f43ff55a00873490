// broker_calls_test.cpp - the broker calls against the shared fixture agent
// ($SA_AGENT_SOCKET, seeded with host/agent/demo-seed.json), steered by
// agentctl as the daemon's tests steer it: answers, state changes, refusals,
// injected failures and texts, events and hung calls.
#include "agent_test_util.h"
#include "sabroker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

using agenttest::agent_state;
using saproto::JsonPtr;

namespace {

const char *const kSocket = getenv("SA_AGENT_SOCKET");

void ctl(const std::vector<std::string> &args)
{
    std::string out;
    ASSERT_EQ(agenttest::agentctl(kSocket, args, &out), 0) << args[0] << " " << args[1] << ": " << out;
}

// Takes a text handed out by the library.
JsonPtr take(char *text)
{
    JsonPtr j(text ? cJSON_Parse(text) : nullptr);
    free(text);
    return j;
}

const cJSON *at(const cJSON *j, std::initializer_list<const char *> path)
{
    for (const char *p : path)
        j = cJSON_GetObjectItemCaseSensitive(j, p);
    return j;
}

class BrokerCalls : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(sa_broker_init(), 0); }
    void TearDown() override
    {
        sa_broker_uninit();
        for (const char *c : {"enable", "get_version_info", "va_status", "subscribe", "init"})
            ctl({"fail", c, "off"});
        ctl({"hang", "get_version_info", "0"});
        ctl({"set", "va-running", "0"});
    }
};

TEST_F(BrokerCalls, QueriesHandOutTheAgentsTexts)
{
    char *text = nullptr;
    ASSERT_EQ(sa_broker_get_version_info(&text), 0);
    JsonPtr version = take(text);
    const cJSON *last = version->child;
    while (last->next)
        last = last->next;
    EXPECT_STREQ(last->string, "patch_level");
    ASSERT_EQ(sa_broker_get_status_report(&text), 0);
    EXPECT_TRUE(cJSON_IsString(at(take(text).get(), {"agent", "version", "release"})));
    ASSERT_EQ(sa_broker_get_devices("[]", &text), 0);
    EXPECT_EQ(cJSON_GetArraySize(take(text).get()), 12);
    // A filter selects by MAC in any spelling.
    ASSERT_EQ(sa_broker_get_devices(R"(["02-1a-11-00-00-06"])", &text), 0);
    JsonPtr one = take(text);
    ASSERT_EQ(cJSON_GetArraySize(one.get()), 1);
    EXPECT_STREQ(saproto::get_string(at(one->child, {"mac_list"})->child, "mac"), "02:1A:11:00:00:06");
    char stale[] = "stale";
    text = stale;
    EXPECT_NE(sa_broker_get_devices("{not a filter", &text), 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_NE(sa_broker_get_version_info(nullptr), 0);
}

TEST_F(BrokerCalls, TextCallsMaySucceedWithoutTextOrWithAnEmptyOneOnce)
{
    const std::pair<const char *, int (*)(char **)> calls[] = {
        {"get_version_info", sa_broker_get_version_info},
        {"get_status_report", sa_broker_get_status_report},
        {"get_devices", [](char **out) { return sa_broker_get_devices("[]", out); }},
    };
    for (auto &[name, call] : calls)
        for (const char *mode : {"notext", "emptytext"}) {
            ctl({mode, name});
            char stale[] = "stale", *text = stale;
            ASSERT_EQ(call(&text), 0) << name << " " << mode;
            EXPECT_STREQ(text ? text : "(null)", *mode == 'n' ? "(null)" : "") << name << " " << mode;
            free(text);
            ASSERT_EQ(call(&text), 0);
            EXPECT_TRUE(take(text)) << name << " " << mode << " outlived its one call";
        }
}

TEST_F(BrokerCalls, SettersChangeTheAgentsState)
{
    ASSERT_EQ(sa_broker_enable(), 0);
    EXPECT_TRUE(cJSON_IsTrue(at(agent_state(kSocket).get(), {"protection"})));
    ASSERT_EQ(sa_broker_disable(), 0);
    EXPECT_TRUE(cJSON_IsFalse(at(agent_state(kSocket).get(), {"protection"})));
    ASSERT_EQ(sa_broker_set_router_info(R"({"name":"HomeRouter","model":"model-x1","serial_number":"X1",
        "firmware_version":"1.4","interfaces":[{"name":"eth0","type":"wan"},{"name":"br-lan","type":"lan"}]})"), 0);
    // A name update, then a block update with an empty name that keeps it.
    ASSERT_EQ(sa_broker_set_device_info(R"({"uuid":"u-1","display_name":"Anna"})"), 0);
    ASSERT_EQ(sa_broker_set_device_info(R"([{"uuid":"u-1","display_name":"","traffic_blocked":1}])"), 0);
    ASSERT_EQ(sa_broker_set_device_online_status(R"([
        {"mac":"02:1a:11:00:00:01","ip":"192.168.1.101","interface":"br-lan","dhcp_hostname":"a","is_online":1},
        {"mac":"02:1A:11:00:00:02","ip":"192.168.1.102","interface":"br-lan","dhcp_hostname":"b","is_online":0}])"), 0);
    ASSERT_EQ(sa_broker_remove_satellite(R"({"mac":"02:1A:11:00:00:06"})"), 0);
    JsonPtr st = agent_state(kSocket);
    EXPECT_STREQ(saproto::get_string(at(st.get(), {"router_info"}), "name"), "HomeRouter");
    EXPECT_STREQ(saproto::get_string(at(st.get(), {"device_info", "u-1"}), "display_name"), "Anna");
    EXPECT_EQ(saproto::get_int(at(st.get(), {"device_info", "u-1"}), "traffic_blocked"), 1);
    EXPECT_EQ(saproto::get_int(at(st.get(), {"online", "02:1A:11:00:00:01"}), "is_online"), 1);
    EXPECT_EQ(saproto::get_int(at(st.get(), {"online", "02:1A:11:00:00:02"}), "is_online"), 0);
    EXPECT_STREQ(at(st.get(), {"removed_satellites"})->child->valuestring, "02:1A:11:00:00:06");
}

TEST_F(BrokerCalls, RefusesMalformedTextsAndJournalsWhy)
{
    const std::pair<int (*)(const char *), const char *> bad[] = {
        {sa_broker_set_device_info, "not json"},
        {sa_broker_set_device_info, R"({"display_name":"x"})"},
        {sa_broker_set_device_info, R"({"uuid":"u","display_name":"x","traffic_blocked":-1})"},
        {sa_broker_set_device_info, R"([{"uuid":"u","display_name":"x"}, 7])"},
        {sa_broker_set_device_online_status, R"({"mac":"02:1A:11:00:00","ip":"","interface":"","dhcp_hostname":"","is_online":1})"},
        {sa_broker_set_device_online_status, R"({"mac":"02:1A:11:00:00:01","ip":"","interface":"","dhcp_hostname":""})"},
        {sa_broker_set_router_info, R"({"name":"r","model":"m"})"},
        {sa_broker_set_router_info, R"({"name":"r","model":"m","interfaces":[{"name":"e","type":"dmz"}]})"},
        {sa_broker_set_router_info, R"({"name":"r","model":"m","serial_number":"s","interfaces":[{"name":"e","type":"wan"}]})"},
        {sa_broker_remove_satellite, R"({"mac":42})"},
        {sa_broker_remove_satellite, nullptr},
        {sa_broker_remove_satellite, R"({"mac":"zz"})"},
    };
    for (auto &[call, text] : bad)
        EXPECT_NE(call(text), 0) << (text ? text : "(null)");
    std::string lines;
    ASSERT_EQ(agenttest::agentctl(kSocket, {"journal"}, &lines), 0);
    JsonPtr last(cJSON_Parse(lines.substr(lines.rfind('\n', lines.size() - 2) + 1).c_str()));
    EXPECT_STREQ(saproto::get_string(last.get(), "call"), "remove_satellite");
    EXPECT_EQ(saproto::get_int(last.get(), "result"), 1);
    EXPECT_NE(std::string(saproto::get_string(last.get(), "error")).find("MAC"), std::string::npos);
    EXPECT_EQ(sa_broker_enable(), 0);  // the agent went on
}

TEST_F(BrokerCalls, InjectedFailuresCountDownLastOrEnd)
{
    ctl({"fail", "enable", "2"});
    EXPECT_NE(sa_broker_enable(), 0);
    EXPECT_NE(sa_broker_enable(), 0);
    EXPECT_EQ(sa_broker_enable(), 0);
    ctl({"fail", "get_version_info", "always"});
    char *text = nullptr;
    for (int i = 0; i < 3; i++) {
        EXPECT_NE(sa_broker_get_version_info(&text), 0);
        EXPECT_EQ(text, nullptr);
    }
    ctl({"fail", "get_version_info", "off"});
    EXPECT_EQ(sa_broker_get_version_info(&text), 0);
    free(text);
    // A scan state that cannot be asked reads as "no scan".
    ctl({"set", "va-running", "1"});
    ctl({"fail", "va_status"});
    EXPECT_EQ(sa_broker_va_status(nullptr), 0);
    EXPECT_EQ(sa_broker_va_status(nullptr), 1);
    ctl({"fail", "init", "always"});
    sa_broker_uninit();
    EXPECT_NE(sa_broker_init(), 0);
}

struct Seen {
    std::mutex mu;
    std::vector<std::string> texts;
    size_t size()
    {
        std::lock_guard lk(mu);
        return texts.size();
    }
};

void record(const char *json, void *arg)
{
    auto *s = static_cast<Seen *>(arg);
    std::lock_guard lk(s->mu);
    s->texts.push_back(json);
}

TEST_F(BrokerCalls, EventsReachTheLatestSubscriptionOnceWithTheirText)
{
    Seen first, second, scans;
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_DEVICES_CHANGED, record, &first, 0), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_DEVICES_CHANGED, record, &second, 0), 0);
    ctl({"fail", "subscribe:5"});
    EXPECT_NE(sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, record, &scans, 0), 0);
    // Taken in order: once the second devices event is in, a scan event
    // before it would have been too.
    ctl({"emit", "va-scan"});
    ctl({"emit", "devices-changed", R"({"type_of_change": "new", "did": "d-9"})"});
    ctl({"emit", "devices-changed"});
    ASSERT_TRUE(wait_until([&] { return second.size() == 2; }));
    EXPECT_EQ(first.size() + scans.size(), 0u);
    {
        std::lock_guard lk(second.mu);
        JsonPtr j(cJSON_Parse(second.texts[0].c_str()));
        JsonPtr k(cJSON_Parse(second.texts[1].c_str()));
        const bool a_is_new = !strcmp(saproto::get_string(j.get(), "did"), "d-9");
        EXPECT_STREQ(saproto::get_string((a_is_new ? j : k).get(), "type_of_change"), "new");
    }
    // The refusal was for one call only.
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, record, &scans, 0), 0);
    ctl({"emit", "va-scan", R"({"status":"finished","type":"full","result":"ok"})"});
    ASSERT_TRUE(wait_until([&] { return scans.size() == 1; }));
    EXPECT_NE(scans.texts[0].find(R"("status":"finished")"), std::string::npos) << scans.texts[0];
}

TEST(BrokerTimeout, HungCallGivesUpAndItsLateReplyAnswersNoOtherCall)
{
    setenv("SA_CALL_TIMEOUT_MS", "1000", 1);
    ASSERT_EQ(sa_broker_init(), 0);
    ctl({"hang", "get_version_info", "1500"});
    char *text = nullptr;
    EXPECT_NE(sa_broker_get_version_info(&text), 0);
    // The late version reply comes while the next call waits for its own.
    ctl({"hang", "get_status_report", "700"});
    ASSERT_EQ(sa_broker_get_status_report(&text), 0);
    JsonPtr report = take(text);
    EXPECT_TRUE(at(report.get(), {"agent", "version"})) << saproto::print(report.get());
    ctl({"hang", "get_version_info", "0"});
    ctl({"hang", "get_status_report", "0"});
    ASSERT_EQ(sa_broker_get_version_info(&text), 0);
    EXPECT_TRUE(at(take(text).get(), {"patch_level"}));
    sa_broker_uninit();
}

} // namespace
