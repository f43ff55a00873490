// The faults a router really sees, end to end: signal storms, the database
// killed, frozen or cut off, floods of changes, an agent that crashes, hangs
// or answers nonsense, memory that runs out. Each ends with the state in Q7
// and the agent checked and an orderly stop.
#include "daemon_harness.h"

#include <dirent.h>

#include <fstream>

namespace tshtest {
namespace {

using Faults = DaemonTest;

long rss_kb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return -1;
}

int fd_count(pid_t pid)
{
    int n = 0;
    if (DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n - 2;
}

// For the tests that watch the daemon's memory: under AddressSanitizer freed
// blocks are otherwise held back in its quarantine and count as resident.
std::string no_quarantine()
{
    const char *o = std::getenv("ASAN_OPTIONS");
    return std::string("ASAN_OPTIONS=") + (o && *o ? std::string(o) + ":" : "") +
           "quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
}

std::string display_name(Lab &lab, const std::string &uuid)
{
    saproto::JsonPtr s = lab.agent_state();
    const cJSON *dev = cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(s.get(), "device_info"),
                                                        uuid.c_str());
    return dev ? text_of(dev, "display_name") : "";
}

// Devices 0..n-1 with a UUID each and updates on.
void devices(Lab &lab, int n)
{
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(lab.set("DeviceIdList", "DeviceUUID", "u-" + std::to_string(i), i), Q7_OK);
        ASSERT_EQ(lab.set("Wexsignature", "WEXSignatureUpdateStatus", "1", i), Q7_OK);
    }
}

// Renames device `row` until the agent has the name: writes made while a
// connection is being re-established are not replayed.
bool rename_reaches_agent(Lab &lab, int row, const std::string &name)
{
    int i = 0;
    return wait_until([&] {
        const std::string n = name + "-" + std::to_string(i++);
        lab.set("DeviceIdList", "DisplayNameCustom", n, row);
        return wait_until([&] { return display_name(lab, "u-" + std::to_string(row)) == n; },
                          std::chrono::milliseconds(500));
    }, 20s);
}

TEST_F(Faults, SignalBurstsAreAnsweredAndTheStopStaysOrderly)
{
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    for (int i = 0; i < 1000; ++i)
        d.signal(SIGUSR2);
    ASSERT_TRUE(d.wait_out("protectionStatus :false")) << d.out();
    // Signals of one kind merge while one is pending: at most one line each.
    EXPECT_LE(count_of(d.out(), "protectionStatus :"), 1000);
    EXPECT_TRUE(wait_until(
        [&] { return count_of(d.out(), "protectionStatus :") == count_of(d.err(), "sig_usr2 handler."); }));

    // A stop in the middle of a burst of agent callbacks.
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
        ASSERT_EQ(lab.agentctl({"emit", "devices-changed"}), 0);
    }
    expect_orderly_stop(d);
}

TEST_F(Faults, AKilledDaemonsPidFileIsTakenOverByTheNextOne)
{
    {
        Daemon first;
        ASSERT_TRUE(first.start());
        ASSERT_TRUE(first.wait_ready()) << first.err();
        first.signal(SIGKILL);
        ASSERT_EQ(first.wait_exit(), std::optional<int>(128 + SIGKILL));
    }
    ASSERT_TRUE(path_exists(PID_FILE));
    Daemon next;
    ASSERT_TRUE(next.start());
    ASSERT_TRUE(next.wait_ready()) << next.err();
    EXPECT_EQ(std::atoi(read_file(PID_FILE).c_str()), next.pid());
    expect_orderly_stop(next);
}

TEST_F(Faults, AKilledDatabaseIsReconnectedAndItsSubscriptionsComeBack)
{
    ASSERT_NO_FATAL_FAILURE(devices(lab, 2));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_TRUE(rename_reaches_agent(lab, 1, "before")) << d.err();

    ASSERT_TRUE(lab.restart_q7());
    // The server came back empty: the rows again, then a change.
    ASSERT_NO_FATAL_FAILURE(devices(lab, 2));
    EXPECT_TRUE(rename_reaches_agent(lab, 1, "after")) << d.err();
    ASSERT_TRUE(d.running());
    expect_orderly_stop(d);
}

TEST_F(Faults, AFrozenDatabaseBoundsEveryCallAndWorkResumes)
{
    ASSERT_NO_FATAL_FAILURE(devices(lab, 2));
    Daemon d({"Q7_TIMEOUT_MS=300"});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_EQ(::kill(lab.q7_pid(), SIGSTOP), 0);
    // Work that needs the database on the signal and agent threads: each
    // call gives up, nothing waits for ever.
    d.signal(SIGUSR2);
    EXPECT_TRUE(d.wait_out("protectionStatus :\n")) << d.out();
    ASSERT_EQ(lab.agentctl({"emit", "started"}), 0);
    EXPECT_TRUE(d.wait_err("(saagent_started) - Failed to call saagent_started()", 1, 20s)) << d.err();
    // Ten seconds frozen in all.
    EXPECT_FALSE(wait_until([&] { return !d.running(); }, 8s));
    ASSERT_EQ(::kill(lab.q7_pid(), SIGCONT), 0);
    EXPECT_TRUE(rename_reaches_agent(lab, 0, "thawed")) << d.err();
    expect_orderly_stop(d);
}

TEST_F(Faults, ACutSubscriberConnectionComesBackByItself)
{
    ASSERT_NO_FATAL_FAILURE(devices(lab, 1));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    // Every connection but the killer's, the subscriber's among them (it
    // waits in a stream read, so it is a normal client).
    ASSERT_EQ(lab.redis({"CLIENT", "KILL", "TYPE", "normal"}), 0);
    EXPECT_TRUE(rename_reaches_agent(lab, 0, "resubscribed")) << d.err();
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
    auto last_name = [&](int r) { return "f" + std::to_string((changes - 1 - r) / rows * rows + r); };
    for (int i = 0; i < changes; ++i)
        ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "f" + std::to_string(i), i % rows), Q7_OK);
    // Every device's last name arrives; nothing was dropped on the way.
    EXPECT_TRUE(wait_until(
        [&] {
            for (int r = 0; r < rows; ++r)
                if (display_name(lab, "u-" + std::to_string(r)) != last_name(r))
                    return false;
            return true;
        },
        90s)) << [&] {
        const std::string e = d.err();
        std::string missing;
        for (int r = 0; r < rows && missing.size() < 200; ++r) {
            const std::string n = display_name(lab, "u-" + std::to_string(r));
            if (n != last_name(r))
                missing += std::to_string(r) + "=" + n + " ";
        }
        return "missing: " + missing + "\nenqueued " + std::to_string(count_of(e, "Enqueue New")) + ", flag off " +
               std::to_string(count_of(e, "= 0 \n")) + ", refused " + std::to_string(count_of(e, "setted as false")) +
               ", q7 errors " + std::to_string(count_of(e, "<error> tsh_agent")) + ", dispatched " +
               std::to_string(count_of(e, "Change notification for !!DisplayNameCustom!!"));
    }();
    EXPECT_EQ(d.err().find("Queue is full"), std::string::npos);
    EXPECT_LT(rss_kb(d.pid()) - rss_before, 8 * 1024) << "RSS grew from " << rss_before << " kB";
    expect_orderly_stop(d);
}

TEST_F(Faults, AnAgentKilledAHundredTimesEndsWithEveryDevicesLastState)
{
    constexpr int rows = 16;
    ASSERT_NO_FATAL_FAILURE(devices(lab, rows));
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    const std::string back = "Entered into saAgentStarted callback function";
    for (int k = 0; k < 100; ++k) {
        for (int r = 0; r < rows; r += 5)
            ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "k" + std::to_string(k), r), Q7_OK);
        ASSERT_TRUE(lab.restart_agent()) << k;
        ASSERT_TRUE(d.wait_err(back, k + 1, 20s)) << k << "\n" << d.err();
    }
    // Connected again: the last state of every device goes through.
    for (int r = 0; r < rows; ++r) {
        ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "last-" + std::to_string(r), r), Q7_OK);
        ASSERT_EQ(lab.set("Wexsignature", "AllowOrBlock", r % 2 ? "block" : "allow", r), Q7_OK);
    }
    EXPECT_TRUE(wait_until([&] {
        saproto::JsonPtr s = lab.agent_state();
        const cJSON *all = cJSON_GetObjectItemCaseSensitive(s.get(), "device_info");
        for (int r = 0; r < rows; ++r) {
            const cJSON *dev = cJSON_GetObjectItemCaseSensitive(all, ("u-" + std::to_string(r)).c_str());
            if (text_of(dev, "display_name") != "last-" + std::to_string(r) || int_of(dev, "traffic_blocked") != r % 2)
                return false;
        }
        return true;
    })) << d.err();
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

TEST_F(Faults, HostileAgentTextsAreReadWithinBounds)
{
    const TempDir dir;
    const std::string huge = dir.file("huge.json"), deep = dir.file("deep.json");
    std::ofstream(huge) << R"({"version": ")" << std::string(1 << 20, 'x') << R"(", "patch_level": )"
                        << std::string(1 << 16, '9') << "}";
    std::ofstream(deep) << std::string(20000, '[') << std::string(20000, ']');
    const std::vector<std::string> texts = {
        "@" + huge, "@" + deep,
        R"({"version": 5, "patch_level": "x", "agent": [], "va": {"scheduled": "yes"}})",
        "{\"version\": \"\xff\xfe\xc3\", \"patch_level\": \xff}", R"({"version": "no end)", "", "null", "[{}]",
        R"([{"did": 7, "mac_list": "none"}, {"mac_list": [{"mac": 1}]}])", R"({"status": {"x": 1}})",
    };
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_EQ(lab.agentctl({"set", "va-running", "1"}), 0);
    int round = 0;
    for (const std::string &t : texts) {
        for (const char *what : {"version", "status-report", "devices"})
            ASSERT_EQ(lab.agentctl({"set", "--raw", what, t}), 0) << what << " " << t.substr(0, 40);
        // Version and import on demand; the report at a restart of the
        // library; every event with the same text.
        ASSERT_EQ(lab.set("OrlixCfg", "orlix_connected", "1"), Q7_OK);
        ASSERT_TRUE(d.wait_err("get_version_info() is called while connected is true", ++round)) << t.substr(0, 40);
        ASSERT_EQ(lab.set("OrlixCfg", "orlix_connected", "0"), Q7_OK);
        ASSERT_TRUE(d.wait_err("x_status : 0", round)) << d.err();
        ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", "UP"), Q7_OK);
        ASSERT_TRUE(d.wait_err("Subscribe to VA Scan updated", round + 1)) << d.err();
        ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", "DOWN"), Q7_OK);
        for (const char *event : {"devices-changed", "started", "va-scan"})
            ASSERT_EQ(lab.agentctl({"emit", "--raw", event, t}), 0) << event;
        ASSERT_NO_FATAL_FAILURE(settle(lab, d));
        EXPECT_LE(lab.get("TelvaStatus", "saaVersion").size(), 127u);
        EXPECT_LE(lab.get("TelvaStatus", "saaPatchLevel").size(), 15u);
    }
    ASSERT_TRUE(d.running());
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
    const long rss = rss_kb(d.pid());
    const int fds = fd_count(d.pid());
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
    const char *fired = "test: JSON allocation";
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
        const bool failed = d.err().find(fired) != std::string::npos;
        // Whatever reached the agent was whole: it refused nothing.
        for (const char *call : {"set_router_info", "set_device_online_status", "remove_satellite",
                                 "set_device_info"})
            EXPECT_EQ(lab.calls(call), static_cast<int>(lab.journal(call).size())) << call << " at " << n;
        if (failed) {
            EXPECT_NE(d.err().find("could not be built"), std::string::npos) << n << "\n" << d.err();
        }
        expect_orderly_stop(d);
        if (!failed)
            break;  // every allocation of the paths has been made to fail once
    }
}

} // namespace
} // namespace tshtest
