// The agent bridge end to end: start-up retries while the agent is away,
// failed event subscriptions, and the alive-state handler.
#include "daemon_harness.h"

#include "wait_until.h"

namespace tshtest {
namespace {

using AgentStart = DaemonTest;

bool field_is(Lab &lab, const char *table, const char *field, const std::string &want)
{
    return wait_until([&] { return lab.get(table, field) == want; });
}

TEST_F(AgentStart, RetriesWhileTheAgentIsDownAndMirrorsTheOutcome)
{
    // Values the first failed try must overwrite.
    ASSERT_EQ(lab.set("TelvaCfg", "SAService", "UP"), Q7_OK);
    ASSERT_EQ(lab.set("TelvaRAEvent", "saBrokerInitStatusEvent", "true"), Q7_OK);
    ASSERT_EQ(lab.set("TelvaCfg", "action", "do_protection_off"), Q7_OK);
    agenttest::PrivateAgent late;   // its socket is not there yet
    Daemon d({"SA_AGENT_SOCKET=" + late.socket()});
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_err("try count 2, timesleep 4")) << d.err();
    EXPECT_TRUE(in_order(d.err(), {"try count 0, timesleep 0", "Setting saBrokerInitStatusEvent as false",
                                   "Failed to initialize SA broker library", "Trying again",
                                   "try count 1, timesleep 2", "Trying again", "try count 2, timesleep 4"}))
        << d.err();
    EXPECT_TRUE(field_is(lab, "TelvaCfg", "SAService", "DOWN"));
    EXPECT_TRUE(field_is(lab, "TelvaRAEvent", "saBrokerInitStatusEvent", "false"));
    // Start-up stays in the retry loop: nothing after it has run.
    EXPECT_EQ(d.err().find("Queue for TelvaSoT Initiliazed"), std::string::npos);

    ASSERT_TRUE(late.start());
    ASSERT_TRUE(d.wait_ready(20s)) << d.err();
    EXPECT_TRUE(in_order(d.err(), {"Initialize SA broker library successfully", "Retry Logic called successfully",
                                   "Queue for TelvaSoT Initiliazed"}));
    EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP");
    EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerInitStatusEvent"), "true");
    EXPECT_EQ(lab.get("TelvaCfg", "action"), "none");
    expect_orderly_stop(d);
}

TEST_F(AgentStart, FailedDeviceOrStartedSubscriptionFailsTheTryAndRetries)
{
    struct Case {
        const char *call, *failure;
    };
    for (const Case &c : {Case{"subscribe:3", "Failed to subscribe to Devices list Update"},
                          Case{"subscribe:4", "Failed to subscribe to SA agent started"}}) {
        ASSERT_EQ(lab.agentctl({"fail", c.call, "1"}), 0);
        Daemon d;
        ASSERT_TRUE(d.start());
        ASSERT_TRUE(d.wait_ready()) << d.err();
        // The failed try is recorded as down before the next one succeeds.
        EXPECT_TRUE(in_order(d.err(), {"try count 0, timesleep 0", c.failure,
                                       "Setting saBrokerInitStatusEvent as false",
                                       "Failed to initialize SA broker library", "try count 1, timesleep 2",
                                       "saBrokerInitStatusEvent is set as true",
                                       "Initialize SA broker library successfully"}))
            << c.call << "\n" << d.err();
        EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP") << c.call;
        EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerInitStatusEvent"), "true") << c.call;
        expect_orderly_stop(d);
    }
}

TEST_F(AgentStart, FailedScanSubscriptionStillStarts)
{
    ASSERT_EQ(lab.set("TelvaRAEvent", "saVAScanEvent", "true"), Q7_OK);
    ASSERT_EQ(lab.agentctl({"fail", "subscribe:5", "1"}), 0);
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    EXPECT_TRUE(in_order(d.err(), {"Setting saVAScanEvent as false", "Failed to subscribe to SA_BROKER_VA_STATUS",
                                   "Initialize SA broker library successfully"}))
        << d.err();
    EXPECT_EQ(d.err().find("try count 1"), std::string::npos) << d.err();
    EXPECT_EQ(lab.get("TelvaRAEvent", "saVAScanEvent"), "false");
    EXPECT_EQ(lab.get("TelvaCfg", "SAService"), "UP");
    EXPECT_EQ(lab.get("TelvaRAEvent", "saBrokerInitStatusEvent"), "true");
    expect_orderly_stop(d);
}

TEST_F(AgentStart, AliveStateRestartsOnlyOnExactUp)
{
    Daemon d;
    ASSERT_TRUE(d.start());
    ASSERT_TRUE(d.wait_ready()) << d.err();
    ASSERT_EQ(lab.get("TelvaCfg", "SAService"), "UP");

    // Each a change from the value before, so each is notified.
    int downs = 0;
    for (const char *state : {"up", "", "UP", "DOWN"}) {
        const bool restart = std::string(state) == "UP";
        ASSERT_EQ(lab.set("TelvaCfg", "SAAliveState", state), Q7_OK) << state;
        if (restart) {
            ASSERT_TRUE(d.wait_err("Initialize SA broker library successfully", 2)) << d.err();
            EXPECT_EQ(count_of(d.err(), "try count 0, timesleep 0"), 2);
            EXPECT_TRUE(field_is(lab, "TelvaCfg", "SAService", "UP"));
            continue;
        }
        ASSERT_TRUE(d.wait_err("!! SAAliveState is DOWN !!", ++downs)) << state << "\n" << d.err();
        EXPECT_TRUE(field_is(lab, "TelvaCfg", "SAService", "DOWN")) << state;
        ASSERT_EQ(lab.set("TelvaCfg", "SAService", "UP"), Q7_OK);
    }
    EXPECT_EQ(count_of(d.err(), "_SAAliveState is changed"), 4);
    // The library stays up through the DOWN states: no release, no new try.
    EXPECT_EQ(count_of(d.err(), "Initing telva subscriptions"), 2);
    expect_orderly_stop(d);
}

} // namespace
} // namespace tshtest
