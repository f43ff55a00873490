/*
 * bench_journal_test.cpp - the device bench's view of the agent's journal:
 * what it takes from each line, and a follower on a real private agent.
 */
#include "agent/agent_test_util.h"
#include "bench_journal.h"
#include "sabroker.h"

#include <gtest/gtest.h>

#include <cstdlib>

using bench::Clock;
using bench::JournalFollower;
using bench::Receipt;
using saproto::JsonPtr;
using namespace std::chrono_literals;

namespace {

// A journal entry as the agent pushes it to followers.
std::string pushed(const char *call, const std::string &arg, int result)
{
    JsonPtr entry(cJSON_CreateObject());
    cJSON_AddNumberToObject(entry.get(), "seq", 7);
    cJSON_AddStringToObject(entry.get(), "call", call);
    cJSON_AddStringToObject(entry.get(), "arg", arg.c_str());
    cJSON_AddNumberToObject(entry.get(), "result", result);
    JsonPtr line(cJSON_CreateObject());
    cJSON_AddItemToObject(line.get(), "journal", entry.release());
    return saproto::print(line.get());
}

std::string device_info(const char *name)
{
    return std::string(R"({"uuid":"5b2d9a4e-0000-4000-8000-000000000001","display_name":")") + name + "\"}";
}

// count online devices: an array, or a single object for one.
std::string online_list(int count)
{
    JsonPtr list(count == 1 ? cJSON_CreateObject() : cJSON_CreateArray());
    for (int i = 0; i < count; ++i) {
        cJSON *d = count == 1 ? list.get() : cJSON_CreateObject();
        char mac[32];
        snprintf(mac, sizeof mac, "02:1A:11:00:%02X:%02X", i >> 8, i & 0xff);
        cJSON_AddStringToObject(d, "mac", mac);
        cJSON_AddStringToObject(d, "ip", "192.168.1.10");
        cJSON_AddStringToObject(d, "interface", "br-lan");
        cJSON_AddStringToObject(d, "dhcp_hostname", "host-with-a-rather-long-name-to-fill-the-line");
        cJSON_AddNumberToObject(d, "is_online", 1);
        if (count != 1)
            cJSON_AddItemToArray(list.get(), d);
    }
    return saproto::print(list.get());
}

std::function<bool(const Receipt &)> any()
{
    return [](const Receipt &) { return true; };
}

}  // namespace

TEST(JournalLine, KeepsTheCallResultAndWhatTheBenchMatchesOn)
{
    const auto at = Clock::now();
    auto r = bench::parse_journal_line(pushed("set_device_info", device_info("rename-7"), 0), at);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->call, "set_device_info");
    EXPECT_EQ(r->result, 0);
    EXPECT_EQ(r->name, "rename-7");
    EXPECT_EQ(r->at, at);

    r = bench::parse_journal_line(pushed("set_device_online_status", online_list(3), 0), at);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->devices, 3);
    r = bench::parse_journal_line(pushed("set_device_online_status", online_list(1), 0), at);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->devices, 1);

    // A refused call is still a receipt, with the agent's result.
    r = bench::parse_journal_line(pushed("set_device_info", "not json", 1), at);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->result, 1);
    EXPECT_EQ(r->name, "");
}

TEST(JournalLine, IgnoresRepliesEventsAndNoise)
{
    const auto at = Clock::now();
    for (const char *line : {R"({"id":1,"result":0,"text":"{\"seq\":1,\"call\":\"init\"}"})",
                             R"({"event":4,"text":"{\"event\":\"started\"}"})", R"({"journal":{"seq":1}})",
                             "not json", ""})
        EXPECT_FALSE(bench::parse_journal_line(line, at)) << line;
}

TEST(JournalFollower, SeesEachCallMadeAfterItStartedInOrder)
{
    agenttest::PrivateAgent agent;
    ASSERT_TRUE(agent.start());
    setenv("SA_AGENT_SOCKET", agent.socket().c_str(), 1);
    ASSERT_EQ(sa_broker_init(), 0);
    ASSERT_EQ(sa_broker_set_device_info(device_info("before").c_str()), 0);

    JournalFollower journal;
    std::string err;
    ASSERT_TRUE(journal.start(agent.socket(), err)) << err;
    const auto started = Clock::now();
    ASSERT_EQ(agenttest::agentctl(agent.socket(), {"fail", "set_device_info", "1"}), 0);
    EXPECT_NE(sa_broker_set_device_info(device_info("refused").c_str()), 0);
    ASSERT_EQ(sa_broker_set_device_info(device_info("after").c_str()), 0);
    // Long enough to arrive in several reads.
    ASSERT_EQ(sa_broker_set_device_online_status(online_list(256).c_str()), 0);
    sa_broker_uninit();

    size_t next = 0;
    auto first = journal.wait(next, any(), 10s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->name, "refused");  // the call before start() is not replayed
    EXPECT_NE(first->result, 0);
    EXPECT_GE(first->at, started);
    auto online = journal.wait(next, [](const Receipt &r) { return r.call == "set_device_online_status"; }, 10s);
    ASSERT_TRUE(online);
    EXPECT_EQ(online->devices, 256);
    EXPECT_EQ(next, 3u) << "one entry between them, the accepted rename";
}

TEST(JournalFollower, StartNamesTheAgentItCannotReach)
{
    agenttest::TempDir dir;
    JournalFollower journal;
    std::string err;
    EXPECT_FALSE(journal.start(dir.file("agent.sock"), err));
    EXPECT_NE(err.find(dir.file("agent.sock")), std::string::npos) << err;
}
