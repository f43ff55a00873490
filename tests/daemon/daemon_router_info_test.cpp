// TeSvcHdlr end to end, the router information: what is pushed to the agent,
// on which triggers, and when a record that cannot be read stops the push.
#include "daemon_harness.h"

#include "wait_until.h"

namespace tshtest {
namespace {

using RouterInfo = DaemonTest;

TEST_F(RouterInfo, IsPushedWholeOnItsTriggersAndNotAtAllWithoutItsLanInterface)
{
    const char *const fields[][2] = {{"DeviceName", "Home-GW"}, {"DeviceModel", "Model-X1"}, {"FSN", "SN0042"},
                                     {"FwRevision", "7.1.2"},   {"wan_ifname", "wan0"},        {"lan_ifname", "br-lan"}};
    for (const auto &f : fields)
        ASSERT_EQ(lab.set("General", f[0], f[1]), Q7_OK) << f[0];
    ASSERT_EQ(lab.set("featureSwitch", "rp", "ENABLE"), Q7_OK);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    auto pushed = [&](size_t n) { return wait_until([&] { return lab.journal("set_router_info").size() == n; }); };
    auto last = [&] {
        saproto::JsonPtr j = parse(lab.journal("set_router_info").back());
        char *text = cJSON_PrintUnformatted(j.get());
        const std::string s = text ? text : "";
        cJSON_free(text);
        return s;
    };
    const std::string ifs = R"("interfaces":[{"name":"wan0","type":"wan"},{"name":"br-lan","type":"lan"}]})";
    ASSERT_TRUE(pushed(1)) << d.err();
    EXPECT_EQ(last(), R"({"name":"Home-GW","model":"model-x1","serial_number":"SN0042","firmware_version":"7.1.2",)" + ifs);
    // At an agent start only with the service exactly "UP".
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "up"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    ASSERT_TRUE(d.wait_err("Router Protection state is 1 and SA Service state is 0")) << d.err();
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "UP"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    ASSERT_TRUE(pushed(2)) << d.err();
    // At a rename whatever the service; without protection the serial and
    // the firmware stay out.
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "DOWN"), Q7_OK);
    ASSERT_EQ(lab.set("featureSwitch", "rp", "disable"), Q7_OK);
    ASSERT_EQ(lab.set("General", "DeviceName", "Attic-GW"), Q7_OK);
    ASSERT_TRUE(pushed(3)) << d.err();
    EXPECT_EQ(last(), R"({"name":"Attic-GW","model":"model-x1",)" + ifs);
    // Values no Q7 write would store make those reads fail: only the LAN
    // interface's stops the push. A refused push is not tried again.
    const std::string junk(40, 'x');
    ASSERT_EQ(lab.redis({"HSET", "q7:d:General:0", "FSN", junk}), 0);
    ASSERT_EQ(lab.set("General", "DeviceName", "GW-2"), Q7_OK);
    ASSERT_TRUE(pushed(4)) << d.err();
    ASSERT_EQ(lab.redis({"HSET", "q7:d:General:0", "lan_ifname", junk}), 0);
    ASSERT_EQ(lab.set("General", "DeviceName", "GW-3"), Q7_OK);
    ASSERT_TRUE(d.wait_err("pushRouterInfo function failed at devname change")) << d.err();
    ASSERT_EQ(lab.set("General", "lan_ifname", "br0"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"fail", "set_router_info", "always"}), 0);
    ASSERT_EQ(lab.set("General", "DeviceName", "GW-4"), Q7_OK);
    ASSERT_TRUE(d.wait_err("pushRouterInfo function failed at devname change", 2)) << d.err();
    EXPECT_TRUE(lines_in_order(
        d.err(), {"<info> tsh_agent: [DAL_TSH] : pushRouterInfo function executed successful at devname change",
                  "<error> tsh_get_dalfld: [DAL_TSH] : Failed to get system info from DAL tables, returning with code -2",
                  "<error> tsh_agent: [DAL_TSH] : pushRouterInfo function failed at devname change",
                  "<error> tsh_get_dalfld: [DAL_TSH] : sa_broker_set_router_info() failed ",
                  "<error> tsh_agent: [DAL_TSH] : pushRouterInfo function failed at devname change"}));
    EXPECT_EQ(lab.calls("set_router_info"), 5);
    expect_orderly_stop(d);
}

} // namespace
} // namespace tshtest
