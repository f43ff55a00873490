// Change dispatch end to end: real Q7 writes reach the bound handler first
// and then the device decision. The worker is held on a first entry whose
// agent call hangs, so what was queued behind it is read from the daemon's
// queue log lines.
#include "daemon_harness.h"

#include <unistd.h>

namespace tshtest {
namespace {

using Dispatch = DaemonTest;

std::string enqueued(int index, const std::string &field, int pos)
{
    return "(TelvaSoT) - Enqueue New device index : " + std::to_string(index) + ", field : " + field +
           " at Queue pos = " + std::to_string(pos);
}

constexpr const char ENQUEUE[] = "(TelvaSoT) - Enqueue New device index";
constexpr const char ONLINE_SEND[] = "Telva SOT for sa_broker_set_device_online_status";

// Row 0's update flag queues it at position 0; the worker's online-state
// send for it hangs, so later entries stay queued behind it.
void hold_worker(Lab &lab, const Daemon &d)
{
    ASSERT_EQ(lab.agentctl({"hang", "set_device_online_status", "60000"}), 0);
    const int sends = count_of(d.err(), ONLINE_SEND);
    ASSERT_EQ(lab.set("Wexsignature", "WEXSignatureUpdateStatus", "1", 0), Q7_OK);
    ASSERT_TRUE(d.wait_err(enqueued(0, "WEXSignatureUpdateStatus", 0))) << d.err();
    ASSERT_TRUE(d.wait_err(ONLINE_SEND, sends + 1)) << d.err();
}

TEST_F(Dispatch, QueuesOneEntryPerDeviceAndFieldWhileUpdatesAreOn)
{
    ASSERT_EQ(lab.set("Wexsignature", "WEXSignatureUpdateStatus", "1", 3), Q7_OK);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_NO_FATAL_FAILURE(hold_worker(lab, d));

    // Update flag off: the handler runs, nothing is queued.
    ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "kitchen", 7), Q7_OK);
    ASSERT_TRUE(d.wait_err("WEXSignatureUpdateStatus at index 7 = 0")) << d.err();
    EXPECT_TRUE(in_order(d.err(), {"_displayName changed", "Change notification for !!DisplayNameCustom!!",
                                   "Updated Index at 7", "WEXSignatureUpdateStatus at index 7 = 0"}))
        << d.err();

    // The flag itself is a device field without a handler.
    ASSERT_EQ(lab.set("Wexsignature", "WEXSignatureUpdateStatus", "1", 7), Q7_OK);
    ASSERT_TRUE(d.wait_err(enqueued(7, "WEXSignatureUpdateStatus", 1))) << d.err();

    // Another field of a pending device is a change of its own.
    ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "hall", 7), Q7_OK);
    ASSERT_TRUE(d.wait_err(enqueued(7, "DisplayNameCustom", 2))) << d.err();
    const std::string after_name = d.err();
    EXPECT_TRUE(in_order(after_name, {"_displayName changed", "Change notification for !!DisplayNameCustom!!",
                                      "WEXSignatureUpdateStatus at index 7 = 1",
                                      enqueued(7, "DisplayNameCustom", 2)}));

    // The same field again while its entry waits: suppressed. Another
    // device with the same field: queued.
    ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "attic", 7), Q7_OK);
    ASSERT_EQ(lab.set("DeviceIdList", "DisplayNameCustom", "porch", 3), Q7_OK);
    ASSERT_TRUE(d.wait_err(enqueued(3, "DisplayNameCustom", 3))) << d.err();
    EXPECT_EQ(count_of(d.err(), "WEXSignatureUpdateStatus at index 7 = 1"), 3);

    ASSERT_EQ(lab.set("Wexsignature", "AllowOrBlock", "block", 7), Q7_OK);
    ASSERT_EQ(lab.set("Wexsignature", "Devicestate", "UP", 7), Q7_OK);
    ASSERT_EQ(lab.set("Wexsignature", "DeviceCategory", "phone", 7), Q7_OK);
    ASSERT_TRUE(d.wait_err(enqueued(7, "DeviceCategory", 6))) << d.err();
    EXPECT_TRUE(in_order(d.err(), {"_trafficBlock changed", enqueued(7, "AllowOrBlock", 4), "_Devicestate changed",
                                   enqueued(7, "Devicestate", 5), enqueued(7, "DeviceCategory", 6)}))
        << d.err();
    ASSERT_NO_FATAL_FAILURE(settle(lab, d));
    EXPECT_EQ(count_of(d.err(), ENQUEUE), 7) << d.err();
    expect_orderly_stop(d);
}

TEST_F(Dispatch, RoutesOnlyTheFieldsTheWorkerActsOn)
{
    ASSERT_EQ(lab.set("Wexsignature", "WEXSignatureUpdateStatus", "1", 9), Q7_OK);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_NO_FATAL_FAILURE(hold_worker(lab, d));

    // A longer name is not the device field it begins with (the worker
    // would send nothing for it), nor one that only shares "Device"; the
    // block setting after it is queued.
    ASSERT_EQ(lab.set("Wexsignature", PREFIXED_FIELD, "x", 9), Q7_OK);
    ASSERT_EQ(lab.set("Wexsignature", "AllowOrBlock", "allow", 9), Q7_OK);
    ASSERT_EQ(lab.set("Wexsignature", "DeviceConnectionInterface", "wl0", 9), Q7_OK);
    ASSERT_TRUE(d.wait_err(enqueued(9, "AllowOrBlock", 1))) << d.err();
    ASSERT_NO_FATAL_FAILURE(settle(lab, d));
    const std::string err = d.err();
    EXPECT_EQ(count_of(err, ENQUEUE), 2) << err;
    EXPECT_EQ(err.find(std::string("!!") + PREFIXED_FIELD), std::string::npos) << err;
    EXPECT_EQ(err.find("!!DeviceConnectionInterface!!"), std::string::npos) << err;
    expect_orderly_stop(d);
}

TEST_F(Dispatch, LogConfigurationApplyReappliesAndClearsItself)
{
    // The field holds 31 characters at most.
    const std::string log_file = "/tmp/tsh-e2e-" + std::to_string(getpid()) + ".log";
    unlink(log_file.c_str());
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();

    ASSERT_EQ(lab.set("dalLogCfg", "TshLogFileName", log_file), Q7_OK);
    ASSERT_EQ(lab.set("dalLogCfg", "TshLogToFile", "1"), Q7_OK);
    const std::string apply = "[DAL_TSH] - Change notification on table: dalLogCfg for field: TshConfigurationApply";
    ASSERT_EQ(lab.set("dalLogCfg", "TshConfigurationApply", "1"), Q7_OK);
    // The request is cleared, and that write is a second notification.
    ASSERT_TRUE(d.wait_err(apply, 2)) << d.err();
    EXPECT_EQ(lab.get("dalLogCfg", "TshConfigurationApply"), "0");
    // The second one was logged after the configuration was re-applied.
    EXPECT_NE(read_file(log_file).find(apply), std::string::npos) << read_file(log_file);
    // Its own write of false changed nothing and notified nobody.
    ASSERT_NO_FATAL_FAILURE(settle(lab, d));
    EXPECT_EQ(count_of(d.err(), apply), 2) << d.err();
    expect_orderly_stop(d);
    unlink(log_file.c_str());
}

} // namespace
} // namespace tshtest
