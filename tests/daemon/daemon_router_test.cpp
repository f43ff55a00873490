// The router-information push end to end: the conditions of each trigger,
// the JSON the agent received, and what an unreadable field or a refusing
// agent does.
#include "daemon_harness.h"

namespace tshtest {
namespace {

using RouterInfo = DaemonTest;

// Top-level member names of a JSON object, comma-joined, in order.
std::string members(const cJSON *j)
{
    std::string names;
    for (const cJSON *m = j ? j->child : nullptr; m; m = m->next)
        names += (names.empty() ? "" : ",") + std::string(m->string);
    return names;
}

void set_router(Lab &lab, const char *rp)
{
    ASSERT_EQ(lab.set("General", "DeviceName", "Home-GW"), Q7_OK);
    ASSERT_EQ(lab.set("General", "DeviceModel", "Model-X1"), Q7_OK);
    ASSERT_EQ(lab.set("General", "FSN", "SN0042"), Q7_OK);
    ASSERT_EQ(lab.set("General", "FwRevision", "7.1.2"), Q7_OK);
    ASSERT_EQ(lab.set("General", "DefaultMAC", "0A:1B:2C:3D:4E:5F"), Q7_OK);
    ASSERT_EQ(lab.set("General", "wan_ifname", "wan0"), Q7_OK);
    ASSERT_EQ(lab.set("General", "lan_ifname", "br-lan"), Q7_OK);
    ASSERT_EQ(lab.set("featureSwitch", "rp", rp), Q7_OK);
}

bool pushes_reach(Lab &lab, size_t n)
{
    return wait_until([&] { return lab.journal("set_router_info").size() >= n; });
}

constexpr const char NO_PUSH[] = "No need to push router info to SA, returning with code 1";

TEST_F(RouterInfo, StartAndAgentStartPushOnlyWithProtectionAndServiceUp)
{
    ASSERT_NO_FATAL_FAILURE(set_router(lab, "ENABLE"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_TRUE(pushes_reach(lab, 1)) << d.err();
    {
        saproto::JsonPtr j(cJSON_Parse(lab.journal("set_router_info")[0].c_str()));
        EXPECT_EQ(members(j.get()), "name,model,serial_number,firmware_version,interfaces");
        EXPECT_EQ(text_of(j.get(), "name"), "Home-GW");
        EXPECT_EQ(text_of(j.get(), "model"), "model-x1");
        EXPECT_EQ(text_of(j.get(), "serial_number"), "SN0042");
        EXPECT_EQ(text_of(j.get(), "firmware_version"), "7.1.2");
        const cJSON *ifs = cJSON_GetObjectItemCaseSensitive(j.get(), "interfaces");
        ASSERT_EQ(cJSON_GetArraySize(ifs), 2);
        EXPECT_EQ(text_of(cJSON_GetArrayItem(ifs, 0), "name"), "wan0");
        EXPECT_EQ(text_of(cJSON_GetArrayItem(ifs, 0), "type"), "wan");
        EXPECT_EQ(text_of(cJSON_GetArrayItem(ifs, 1), "name"), "br-lan");
        EXPECT_EQ(text_of(cJSON_GetArrayItem(ifs, 1), "type"), "lan");
    }
    // The MAC is read and logged, never sent.
    EXPECT_NE(d.err().find("DefaultMAC 0A:1B:2C:3D:4E:5F"), std::string::npos);
    EXPECT_EQ(lab.journal("set_router_info")[0].find("0A:1B"), std::string::npos);

    // An agent start with the service "up" in lower case: not up, no push.
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "up"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    ASSERT_TRUE(d.wait_err("Router Protection state is 1 and SA Service state is 0")) << d.err();
    ASSERT_TRUE(d.wait_err(NO_PUSH)) << d.err();
    // With the service "UP" the same event pushes.
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "UP"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    EXPECT_TRUE(pushes_reach(lab, 2)) << d.err();
    expect_orderly_stop(d);
}

TEST_F(RouterInfo, RenamePushesWhateverTheStateWithoutSerialWhenProtectionIsOff)
{
    ASSERT_NO_FATAL_FAILURE(set_router(lab, "Disable"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    EXPECT_TRUE(in_order(d.err(), {"Router Protection state is 0 and SA Service state is 1", NO_PUSH})) << d.err();
    EXPECT_TRUE(lab.journal("set_router_info").empty());

    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "DOWN"), Q7_OK);
    ASSERT_EQ(lab.set("General", "DeviceName", "Attic-GW"), Q7_OK);
    ASSERT_TRUE(pushes_reach(lab, 1)) << d.err();
    saproto::JsonPtr j(cJSON_Parse(lab.journal("set_router_info")[0].c_str()));
    EXPECT_EQ(members(j.get()), "name,model,interfaces");
    EXPECT_EQ(text_of(j.get(), "name"), "Attic-GW");
    EXPECT_TRUE(d.wait_err("pushRouterInfo function executed successful at devname change")) << d.err();
    expect_orderly_stop(d);
}

TEST_F(RouterInfo, OnlyAnUnreadableLanInterfaceStopsThePushAndARefusalIsNotRetried)
{
    ASSERT_NO_FATAL_FAILURE(set_router(lab, "enable"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_TRUE(pushes_reach(lab, 1)) << d.err();

    // Values no Q7 write would store make those reads fail.
    const std::string junk(40, 'x');
    ASSERT_EQ(lab.redis({"HSET", "q7:d:General:0", "FSN", junk}), 0);
    ASSERT_EQ(lab.set("General", "DeviceName", "GW-2"), Q7_OK);
    ASSERT_TRUE(pushes_reach(lab, 2)) << d.err();
    saproto::JsonPtr second(cJSON_Parse(lab.journal("set_router_info")[1].c_str()));
    EXPECT_EQ(text_of(second.get(), "name"), "GW-2");

    ASSERT_EQ(lab.redis({"HSET", "q7:d:General:0", "lan_ifname", junk}), 0);
    ASSERT_EQ(lab.set("General", "DeviceName", "GW-3"), Q7_OK);
    ASSERT_TRUE(d.wait_err("pushRouterInfo function failed at devname change")) << d.err();
    EXPECT_NE(d.err().find("Failed to get system info from DAL tables, returning with code -2"), std::string::npos);
    EXPECT_EQ(lab.calls("set_router_info"), 2);

    ASSERT_EQ(lab.set("General", "lan_ifname", "br0"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"fail", "set_router_info", "always"}), 0);
    ASSERT_EQ(lab.set("General", "DeviceName", "GW-4"), Q7_OK);
    ASSERT_TRUE(d.wait_err("pushRouterInfo function failed at devname change", 2)) << d.err();
    EXPECT_NE(d.err().find("sa_broker_set_router_info() failed"), std::string::npos);
    EXPECT_EQ(lab.calls("set_router_info"), 3);
    expect_orderly_stop(d);
}

TEST_F(RouterInfo, AliveStateBackUpPushesAgain)
{
    ASSERT_NO_FATAL_FAILURE(set_router(lab, "Enable"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_TRUE(pushes_reach(lab, 1)) << d.err();
    ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", "UP"), Q7_OK);
    EXPECT_TRUE(pushes_reach(lab, 2)) << d.err();
    EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP");
    expect_orderly_stop(d);
}

TEST_F(RouterInfo, PushesFromTheQ7AndAgentThreadsAreEachWhole)
{
    ASSERT_NO_FATAL_FAILURE(set_router(lab, "enable"));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    constexpr int renames = 30;
    for (int i = 1; i <= renames; ++i) {
        ASSERT_EQ(lab.set("General", "DeviceName", "gw-" + std::to_string(i)), Q7_OK);
        ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    }
    ASSERT_TRUE(d.wait_err("pushRouterInfo function executed successful at devname change", renames)) << d.err();
    ASSERT_TRUE(d.wait_err("Entered into saAgentStarted callback function", renames)) << d.err();
    for (const std::string &arg : lab.journal("set_router_info")) {
        saproto::JsonPtr j(cJSON_Parse(arg.c_str()));
        EXPECT_EQ(members(j.get()), "name,model,serial_number,firmware_version,interfaces") << arg;
        EXPECT_EQ(text_of(j.get(), "model"), "model-x1") << arg;
    }
    saproto::JsonPtr final_push(cJSON_Parse(lab.journal("set_router_info").back().c_str()));
    EXPECT_EQ(text_of(final_push.get(), "name"), "gw-" + std::to_string(renames));
    expect_orderly_stop(d);
}

} // namespace
} // namespace tshtest
