// The faults a router really sees, end to end: the database killed, cut off
// or frozen, a flood of changes, an agent that hangs or never starts, memory
// that runs out. Each ends with the agent's state checked and an orderly stop.
#include "daemon_harness.h"

#include <filesystem>
#include <fstream>

#include "wait_until.h"

namespace tshtest {
namespace {

using Faults = DaemonTest;

long rss_kb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("VmRSS:"))
            return std::atol(line.c_str() + 6);
    return -1;
}

long fd_count(pid_t pid)
{
    const std::filesystem::directory_iterator fds("/proc/" + std::to_string(pid) + "/fd");
    return std::distance(begin(fds), end(fds));
}

// For the tests that watch the daemon's memory: under AddressSanitizer freed
// blocks are otherwise held back in its quarantine and count as resident.
std::string no_quarantine()
{
    const char *o = std::getenv("ASAN_OPTIONS");
    return std::string("ASAN_OPTIONS=") + (o && *o ? std::string(o) + ":" : "") +
           "quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
}

// Devices 0..n-1 with the UUID u-N each and updates on.
void devices(Lab &lab, int n)
{
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(lab.set("DeviceIdList", "DeviceUUID", "u-" + std::to_string(i), i), Q7_OK);
        ASSERT_EQ(lab.set("Wexsignature", "WEXSignatureUpdateStatus", "1", i), Q7_OK);
    }
}

// The names the agent holds for devices 0..n-1.
std::vector<std::string> names(Lab &lab, int n)
{
    saproto::JsonPtr s = lab.agent_state();
    const cJSON *all = cJSON_GetObjectItemCaseSensitive(s.get(), "device_info");
    std::vector<std::string> out;
    for (int r = 0; r < n; ++r)
        out.push_back(text_of(cJSON_GetObjectItemCaseSensitive(all, ("u-" + std::to_string(r)).c_str()), "display_name"));
    return out;
}

// Renames device `row` until the agent has the name: writes made while a
// connection is being made again may be refused.
bool rename_reaches_agent(Lab &lab, int row, const std::string &name)
{
    int i = 0;
    return wait_until(
        [&] {
            const std::string n = name + "-" + std::to_string(i++);
            lab.set("DeviceIdList", "DisplayNameCustom", n, row);
            return wait_until([&] { return names(lab, row + 1)[row] == n; }, 500ms);
        },
        20s);
}

TEST_F(Faults, TheDatabaseKilledCutOffOrFrozenIsLivedThrough)
{
    ASSERT_NO_FATAL_FAILURE(devices(lab, 2));
    Daemon d({"Q7_TIMEOUT_MS=300"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_TRUE(rename_reaches_agent(lab, 1, "before")) << d.err();
    // Killed and started again empty: the rows again, then a change.
    ASSERT_TRUE(lab.restart_q7());
    ASSERT_NO_FATAL_FAILURE(devices(lab, 2));
    EXPECT_TRUE(rename_reaches_agent(lab, 1, "restarted")) << d.err();
    // Every connection but the killer's, the subscriber's among them.
    ASSERT_EQ(lab.redis({"CLIENT", "KILL", "TYPE", "normal"}), 0);
    EXPECT_TRUE(rename_reaches_agent(lab, 0, "reconnected")) << d.err();
    // Frozen: the work of the signal and agent threads gives up, bounded.
    ASSERT_EQ(::kill(lab.q7_pid(), SIGSTOP), 0);
    d.signal(SIGUSR2);
    EXPECT_TRUE(d.wait_out("protectionStatus :\n")) << d.out();
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    EXPECT_TRUE(d.wait_err("(saagent_started) - Failed to call saagent_started()", 1, 20s)) << d.err();
    ASSERT_EQ(::kill(lab.q7_pid(), SIGCONT), 0);
    EXPECT_TRUE(rename_reaches_agent(lab, 0, "thawed")) << d.err();
    expect_orderly_stop(d);
}

TEST_F(Faults, AFloodOfChangesIsKeptUpWithInBoundedMemory)
{
    constexpr int rows = 256, changes = 100000;
    ASSERT_NO_FATAL_FAILURE(devices(lab, rows));
    Daemon d({no_quarantine()});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready(30s)) << d.err();
    const long rss_before = rss_kb(d.pid());
    std::vector<std::string> last(rows);
    for (int i = 0; i < changes; ++i) {
        last[i % rows] = "f" + std::to_string(i);
        ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", last[i % rows], i % rows), Q7_OK);
    }
    // Every device's last name arrives; nothing was dropped on the way.
    EXPECT_TRUE(wait_until([&] { return names(lab, rows) == last; }, 90s))
        << count_of(d.err(), "Enqueue New") << " enqueued, " << count_of(d.err(), "setted as false") << " refused";
    EXPECT_EQ(d.err().find("Queue is full"), std::string::npos);
    EXPECT_LT(rss_kb(d.pid()) - rss_before, 8 * 1024) << "RSS grew from " << rss_before << " kB";
    expect_orderly_stop(d);
}

TEST_F(Faults, AHungAgentHoldsUpNoOtherWorkAndItsRecoveryIsPickedUp)
{
    ASSERT_NO_FATAL_FAILURE(devices(lab, 1));
    Daemon d({"SA_CALL_TIMEOUT_MS=300"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    const char *calls[] = {"set_device_info", "set_device_online_status", "remove_satellite", "set_router_info",
                           "enable", "disable", "get_version_info", "get_status_report", "get_devices", "va_status"};
    for (const char *c : calls)
        ASSERT_EQ(lab.agentctl({"hang", c, "5000"}), 0) << c;
    ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "stuck", 0), Q7_OK);
    ASSERT_EQ(lab.set("TelvaCfg", "action", "do_protection_on"), Q7_OK);
    // The database side goes on meanwhile: requests consumed, the log
    // configuration applied, the status answered.
    EXPECT_TRUE(wait_until([&] { return lab.get("TelvaCfg", "action") == "none"; }));
    ASSERT_NO_FATAL_FAILURE(settle(lab, d));
    d.signal(SIGUSR2);
    EXPECT_TRUE(d.wait_out("protectionStatus :false")) << d.out();
    EXPECT_TRUE(d.wait_err("TelvaSoTResponseStatus setted as false at index : 0")) << d.err();
    for (const char *c : calls)
        ASSERT_EQ(lab.agentctl({"hang", c, "0"}), 0) << c;
    EXPECT_TRUE(rename_reaches_agent(lab, 0, "recovered")) << d.err();
    expect_orderly_stop(d);
}

TEST_F(Faults, AnAgentThatNeverStartsCostsNothingMoreOverTime)
{
    ASSERT_EQ(lab.agentctl({"fail", "init", "always"}), 0);
    // One second of the retry schedule lasts 1 ms: an hour and a half of
    // retries (a try a minute from the 31st on) in a few seconds.
    Daemon d({"TSH_TEST_RETRY_UNIT_MS=1", no_quarantine()});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_err("try count 40,", 1, 30s)) << d.err();
    const long rss = rss_kb(d.pid()), fds = fd_count(d.pid());
    ASSERT_TRUE(d.wait_err("try count 120,", 1, 60s)) << d.err();
    // A try may have its socket open at either sample; a leak would show
    // as one descriptor per try, eighty here.
    EXPECT_LE(fd_count(d.pid()), fds + 1);
    EXPECT_LT(rss_kb(d.pid()) - rss, 256) << "RSS grew from " << rss << " kB";
    EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "DOWN");
    expect_orderly_stop(d);
}

TEST_F(Faults, AllocationFailuresSendNothingHalfBuilt)
{
    // Two devices online (one a satellite) and one rename: the resync, the
    // router push and the worker build their texts.
    ASSERT_NO_FATAL_FAILURE(devices(lab, 2));
    for (int r : {0, 1}) {
        ASSERT_EQ(lab.set("Wexsignature", "DeviceMAC", "02:00:00:00:00:0" + std::to_string(r), r), Q7_OK);
        ASSERT_EQ(lab.set("Wexsignature", "Devicestate", "UP", r), Q7_OK);
    }
    ASSERT_EQ(lab.set("Wexsignature", "DeviceCategory", "satellite", 1), Q7_OK);
    ASSERT_EQ(lab.set("featureSwitch", "rp", "enable"), Q7_OK);
    for (int n = 1;; ++n) {
        ASSERT_LT(n, 400) << "the paths never ran out of allocations to fail";
        ASSERT_EQ(lab.agentctl({"journal", "--clear"}), 0);
        Daemon d({"TSH_TEST_JSON_ALLOC_FAIL_AT=" + std::to_string(n)});
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.wait_ready()) << d.err();
        const std::string resynced = "Deleting device_online_status cjson";
        const int resyncs = count_of(d.err(), resynced);
        ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
        ASSERT_TRUE(d.wait_err(resynced, resyncs + 1)) << n << "\n" << d.err();
        ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "n" + std::to_string(n), 0), Q7_OK);
        ASSERT_TRUE(d.wait_err("TelvaSoTResponseStatus setted as")) << n << "\n" << d.err();
        // Whatever reached the agent was whole: it refused nothing.
        for (const char *call : {"set_router_info", "set_device_online_status", "remove_satellite", "set_device_info"})
            EXPECT_EQ(lab.calls(call), static_cast<int>(lab.journal(call).size())) << call << " at " << n;
        const bool failed = d.err().find("test: JSON allocation") != std::string::npos;
        EXPECT_TRUE(!failed || d.err().find("could not be built") != std::string::npos) << n << "\n" << d.err();
        expect_orderly_stop(d);
        if (!failed)
            break;  // every allocation of the paths has been made to fail once
    }
}

} // namespace
} // namespace tshtest
