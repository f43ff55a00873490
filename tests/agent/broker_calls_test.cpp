/*
 * broker_calls_test.cpp - every broker call against the shared fixture agent
 * ($SA_AGENT_SOCKET, seeded with host/agent/demo-seed.json): answers, state
 * changes, refusals, injected failures, event delivery and hung calls.
 */
#include "agent_test_util.h"
#include "sabroker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

using agenttest::agent_state;
using agenttest::control;
using saproto::JsonPtr;

namespace {

std::string fixture_socket() { return getenv("SA_AGENT_SOCKET"); }

// Takes a text handed out by the library.
std::string take(char *text)
{
    std::string s = text ? text : "";
    free(text);
    return s;
}

void ctl(const char *request) { ASSERT_EQ(saproto::get_int(control(fixture_socket(), request).get(), "result"), 0) << request; }

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
        for (const char *c : {"enable", "get_version_info", "va_status", "subscribe:5"}) {
            std::string req = std::string(R"({"call":"ctl.fail","count":0,"what":")") + c + "\"}";
            control(fixture_socket(), req.c_str());
        }
        control(fixture_socket(), R"({"call":"ctl.hang","what":"enable","count":0})");
    }
};

TEST_F(BrokerCalls, QueriesHandOutTheAgentsTexts)
{
    char *text = nullptr;
    ASSERT_EQ(sa_broker_get_version_info(&text), 0);
    JsonPtr version(cJSON_Parse(take(text).c_str()));
    ASSERT_TRUE(saproto::get_string(version.get(), "version"));
    const cJSON *last = version->child;
    while (last->next)
        last = last->next;
    EXPECT_STREQ(last->string, "patch_level");

    ASSERT_EQ(sa_broker_get_status_report(&text), 0);
    JsonPtr report(cJSON_Parse(take(text).c_str()));
    EXPECT_TRUE(cJSON_IsString(at(report.get(), {"agent", "version", "release"})));
    EXPECT_TRUE(cJSON_IsBool(at(report.get(), {"va", "scheduled", "allowed"})));

    ASSERT_EQ(sa_broker_get_devices("[]", &text), 0);
    JsonPtr all(cJSON_Parse(take(text).c_str()));
    EXPECT_EQ(cJSON_GetArraySize(all.get()), 12);
    // A filter selects by MAC in any spelling.
    ASSERT_EQ(sa_broker_get_devices(R"(["02-1a-11-00-00-06"])", &text), 0);
    JsonPtr one(cJSON_Parse(take(text).c_str()));
    ASSERT_EQ(cJSON_GetArraySize(one.get()), 1);
    EXPECT_STREQ(saproto::get_string(at(one->child, {"mac_list"})->child, "mac"), "02:1A:11:00:00:06");

    char stale[] = "stale";
    text = stale;
    EXPECT_NE(sa_broker_get_devices("{not a filter", &text), 0);
    EXPECT_EQ(text, nullptr);
    EXPECT_NE(sa_broker_get_version_info(nullptr), 0);
}

TEST_F(BrokerCalls, TextCallsMaySucceedWithoutTextOrWithAnEmptyOne)
{
    const std::pair<const char *, int (*)(char **)> calls[] = {
        {"get_version_info", sa_broker_get_version_info},
        {"get_status_report", sa_broker_get_status_report},
        {"get_devices", [](char **out) { return sa_broker_get_devices("[]", out); }},
    };
    for (auto &[name, call] : calls) {
        for (const char *mode : {"notext", "emptytext"}) {
            ASSERT_EQ(agenttest::agentctl(fixture_socket(), {mode, name}), 0);
            char stale[] = "stale";
            char *text = stale;
            ASSERT_EQ(call(&text), 0) << name << " " << mode;
            if (std::string(mode) == "notext")
                EXPECT_EQ(text, nullptr) << name;
            else
                EXPECT_STREQ(text, "") << name;
            free(text);
        }
        char *text = nullptr;   // each for one call only
        ASSERT_EQ(call(&text), 0);
        EXPECT_GT(take(text).size(), 2u) << name;
    }
}

TEST_F(BrokerCalls, SettersChangeTheAgentsState)
{
    ASSERT_EQ(sa_broker_enable(), 0);
    EXPECT_TRUE(cJSON_IsTrue(at(agent_state(fixture_socket()).get(), {"protection"})));
    ASSERT_EQ(sa_broker_disable(), 0);
    EXPECT_TRUE(cJSON_IsFalse(at(agent_state(fixture_socket()).get(), {"protection"})));

    ASSERT_EQ(sa_broker_set_router_info(R"({"name":"HomeRouter","model":"model-x1","serial_number":"X1",
        "firmware_version":"1.4","interfaces":[{"name":"eth0","type":"wan"},{"name":"br-lan","type":"lan"}]})"), 0);
    // A name update, then a block update with an empty name that keeps it.
    ASSERT_EQ(sa_broker_set_device_info(R"({"uuid":"u-1","display_name":"Anna"})"), 0);
    ASSERT_EQ(sa_broker_set_device_info(R"([{"uuid":"u-1","display_name":"","traffic_blocked":1}])"), 0);
    ASSERT_EQ(sa_broker_set_device_online_status(R"([
        {"mac":"02:1a:11:00:00:01","ip":"192.168.1.101","interface":"br-lan","dhcp_hostname":"a","is_online":1},
        {"mac":"02:1A:11:00:00:02","ip":"192.168.1.102","interface":"br-lan","dhcp_hostname":"b","is_online":0}])"), 0);
    ASSERT_EQ(sa_broker_set_device_online_status("{}"), 0);
    ASSERT_EQ(sa_broker_remove_satellite(R"({"mac":"02:1A:11:00:00:06"})"), 0);

    JsonPtr st = agent_state(fixture_socket());
    EXPECT_STREQ(saproto::get_string(at(st.get(), {"router_info"}), "name"), "HomeRouter");
    EXPECT_STREQ(saproto::get_string(at(st.get(), {"device_info", "u-1"}), "display_name"), "Anna");
    EXPECT_EQ(saproto::get_int(at(st.get(), {"device_info", "u-1"}), "traffic_blocked"), 1);
    EXPECT_EQ(saproto::get_int(at(st.get(), {"online", "02:1A:11:00:00:01"}), "is_online"), 1);
    EXPECT_EQ(saproto::get_int(at(st.get(), {"online", "02:1A:11:00:00:02"}), "is_online"), 0);
    EXPECT_STREQ(at(st.get(), {"removed_satellites"})->child->valuestring, "02:1A:11:00:00:06");

    ctl(R"({"call":"ctl.set","what":"va-running","value":"1"})");
    EXPECT_EQ(sa_broker_va_status(nullptr), 1);
    ctl(R"({"call":"ctl.set","what":"va-running","value":"0"})");
    EXPECT_EQ(sa_broker_va_status(nullptr), 0);
}

TEST_F(BrokerCalls, RefusesMalformedTextsAndStaysUp)
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
    };
    for (auto &[call, text] : bad)
        EXPECT_NE(call(text), 0) << (text ? text : "(null)");
    EXPECT_EQ(sa_broker_enable(), 0);

    // The refusal is in the journal with its reason.
    ASSERT_NE(sa_broker_remove_satellite(R"({"mac":"zz"})"), 0);
    JsonPtr journal = control(fixture_socket(), R"({"call":"ctl.journal"})");
    std::string lines = saproto::get_string(journal.get(), "text");
    std::string last = lines.substr(lines.rfind('\n', lines.size() - 2) + 1);
    JsonPtr entry(cJSON_Parse(last.c_str()));
    EXPECT_STREQ(saproto::get_string(entry.get(), "call"), "remove_satellite");
    EXPECT_EQ(saproto::get_int(entry.get(), "result"), 1);
    EXPECT_NE(std::string(saproto::get_string(entry.get(), "error")).find("MAC"), std::string::npos);
}

TEST_F(BrokerCalls, InjectedFailuresCountDownOrLast)
{
    ctl(R"({"call":"ctl.fail","what":"enable","count":2})");
    EXPECT_NE(sa_broker_enable(), 0);
    EXPECT_NE(sa_broker_enable(), 0);
    EXPECT_EQ(sa_broker_enable(), 0);

    ctl(R"({"call":"ctl.fail","what":"get_version_info","count":-1})");
    char *text = nullptr;
    for (int i = 0; i < 3; i++) {
        EXPECT_NE(sa_broker_get_version_info(&text), 0);
        EXPECT_EQ(text, nullptr);
    }
    ctl(R"({"call":"ctl.fail","what":"get_version_info","count":0})");
    EXPECT_EQ(sa_broker_get_version_info(&text), 0);
    free(text);

    // A scan state that cannot be asked reads as "no scan".
    ctl(R"({"call":"ctl.set","what":"va-running","value":"1"})");
    ctl(R"({"call":"ctl.fail","what":"va_status","count":1})");
    EXPECT_EQ(sa_broker_va_status(nullptr), 0);
    EXPECT_EQ(sa_broker_va_status(nullptr), 1);
    ctl(R"({"call":"ctl.set","what":"va-running","value":"0"})");
}

struct Counter {
    std::atomic<int> calls{0};
    std::mutex mu;
    std::string texts;      // in the order the callbacks ran, which may overlap
};

void count_event(const char *json, void *arg)
{
    auto *c = static_cast<Counter *>(arg);
    std::lock_guard lk(c->mu);
    c->texts += json;
    c->calls++;
}

TEST_F(BrokerCalls, EventsReachOnlyTheLatestSubscriptionOnce)
{
    Counter first, second, scans;
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_DEVICES_CHANGED, count_event, &first, 0), 0);
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_DEVICES_CHANGED, count_event, &second, 0), 0);
    ctl(R"({"call":"ctl.fail","what":"subscribe:5","count":1})");
    EXPECT_NE(sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, count_event, &scans, 0), 0);

    // Events are taken in order: once the second devices event is in, the
    // scan event before it would have been too.
    ctl(R"({"call":"ctl.emit","what":"devices-changed"})");
    ctl(R"({"call":"ctl.emit","what":"va-scan"})");
    ctl(R"({"call":"ctl.emit","what":"devices-changed","value":"{\"type_of_change\":\"new\",\"did\":\"d-9\"}"})");
    ASSERT_TRUE(wait_until([&] { return second.calls == 2; }));
    EXPECT_EQ(first.calls, 0);
    EXPECT_EQ(scans.calls, 0);
    {
        std::lock_guard lk(second.mu);
        EXPECT_NE(second.texts.find(R"("type_of_change":"new")"), std::string::npos) << second.texts;
    }
    // The refusal was for one call only.
    ASSERT_EQ(sa_broker_subscribe(SA_BROKER_VA_STATUS_CHANGED, count_event, &scans, 0), 0);
    ctl(R"({"call":"ctl.emit","what":"va-scan"})");
    ASSERT_TRUE(wait_until([&] { return scans.calls == 1; }));
}

TEST(BrokerTimeout, HungCallGivesUpAndItsLateReplyAnswersNoOtherCall)
{
    setenv("SA_CALL_TIMEOUT_MS", "1000", 1);
    ASSERT_EQ(sa_broker_init(), 0);
    ctl(R"({"call":"ctl.hang","what":"get_version_info","count":1500})");
    char *text = nullptr;
    EXPECT_NE(sa_broker_get_version_info(&text), 0);
    // The late version reply comes while the next call waits for its own.
    ctl(R"({"call":"ctl.hang","what":"get_status_report","count":700})");
    ASSERT_EQ(sa_broker_get_status_report(&text), 0);
    JsonPtr report(cJSON_Parse(take(text).c_str()));
    EXPECT_TRUE(at(report.get(), {"agent", "version"})) << saproto::print(report.get());
    ctl(R"({"call":"ctl.hang","what":"get_version_info","count":0})");
    ctl(R"({"call":"ctl.hang","what":"get_status_report","count":0})");
    EXPECT_EQ(sa_broker_enable(), 0);
    sa_broker_uninit();
}

} // namespace
