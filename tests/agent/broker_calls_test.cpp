// broker_calls_test.cpp - the broker calls against the shared fixture agent
// ($SA_AGENT_SOCKET, seeded with host/agent/demo-seed.json), steered by
// agentctl as the daemon's tests steer it.
#include "agent_test_util.h"
#include "sabroker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

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

class BrokerCalls : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(sa_broker_init(), 0); }
    void TearDown() override
    {
        sa_broker_uninit();
        for (const char *c : {"enable", "get_version_info", "va_status", "init"})
            ctl({"fail", c, "off"});
        ctl({"set", "va-running", "0"});
    }
};

TEST_F(BrokerCalls, QueriesHandOutTheAgentsTexts)
{
    char *text = nullptr;
    ASSERT_EQ(sa_broker_get_version_info(&text), 0);
    JsonPtr version = take(text);
    EXPECT_STREQ(cJSON_GetArrayItem(version.get(), cJSON_GetArraySize(version.get()) - 1)->string, "patch_level");
    // A filter selects by MAC in any spelling.
    ASSERT_EQ(sa_broker_get_devices(R"(["02-1a-11-00-00-06"])", &text), 0);
    JsonPtr one = take(text);
    ASSERT_EQ(cJSON_GetArraySize(one.get()), 1);
    EXPECT_STREQ(saproto::get_string(cJSON_GetObjectItem(one->child, "mac_list")->child, "mac"), "02:1A:11:00:00:06");
    char stale[] = "stale";
    text = stale;
    EXPECT_NE(sa_broker_get_devices("{not a filter", &text), 0);
    EXPECT_EQ(text, nullptr);
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

TEST_F(BrokerCalls, RefusesMalformedTextsAndJournalsWhy)
{
    const std::pair<int (*)(const char *), const char *> bad[] = {
        {sa_broker_set_device_info, "not json"},
        {sa_broker_set_device_info, R"({"display_name":"x"})"},
        {sa_broker_set_device_info, R"({"uuid":"u","display_name":"x","traffic_blocked":-1})"},
        {sa_broker_set_device_info, R"([{"uuid":"u","display_name":"x"}, 7])"},
        {sa_broker_set_device_online_status, R"({"mac":"02:1A:11:00:00:01","ip":"","interface":"","dhcp_hostname":""})"},
        {sa_broker_set_router_info, R"({"name":"r","model":"m","interfaces":[{"name":"e","type":"dmz"}]})"},
        {sa_broker_set_router_info, R"({"name":"r","model":"m","serial_number":"s","interfaces":[{"name":"e","type":"wan"}]})"},
        {sa_broker_remove_satellite, nullptr},
        {sa_broker_remove_satellite, R"({"mac":"zz"})"},
    };
    for (auto &[call, text] : bad)
        EXPECT_NE(call(text), 0) << (text ? text : "(null)");
    std::string lines;
    ASSERT_EQ(agenttest::agentctl(kSocket, {"journal"}, &lines), 0);
    JsonPtr last(cJSON_Parse(lines.substr(lines.rfind('\n', lines.size() - 2) + 1).c_str()));
    EXPECT_STREQ(saproto::get_string(last.get(), "call"), "remove_satellite");
    EXPECT_NE(std::string(saproto::get_string(last.get(), "error")).find("MAC"), std::string::npos) << lines;
    EXPECT_EQ(sa_broker_enable(), 0);  // the agent went on
}

TEST_F(BrokerCalls, InjectedFailuresCountDownLastOrEnd)
{
    ctl({"fail", "enable", "2"});
    for (int want : {1, 1, 0})
        EXPECT_EQ(sa_broker_enable() != 0, want);
    ctl({"fail", "get_version_info", "always"});
    char *text = nullptr;
    for (int i = 0; i < 3; i++)
        EXPECT_TRUE(sa_broker_get_version_info(&text) != 0 && !text);
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
    // Taken in order: once the devices events are in, a scan event before
    // them would have been too.
    ctl({"emit", "va-scan"});
    ctl({"emit", "devices-changed", R"({"type_of_change": "new", "did": "d-9"})"});
    ctl({"emit", "--raw", "devices-changed", "not json"});
    ASSERT_TRUE(wait_until([&] { return second.size() == 2; }));
    EXPECT_EQ(first.size() + scans.size(), 0u);
    std::sort(second.texts.begin(), second.texts.end());
    EXPECT_EQ(second.texts[0], "not json");  // sorted: '{' comes after 'n'
    EXPECT_STREQ(saproto::get_string(JsonPtr(cJSON_Parse(second.texts[1].c_str())).get(), "did"), "d-9");
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
    EXPECT_TRUE(cJSON_GetObjectItem(take(text).get(), "agent"));
    ctl({"hang", "get_version_info", "0"});
    ctl({"hang", "get_status_report", "0"});
    ASSERT_EQ(sa_broker_get_version_info(&text), 0);
    EXPECT_TRUE(cJSON_GetObjectItem(take(text).get(), "patch_level"));
    sa_broker_uninit();
}

} // namespace
