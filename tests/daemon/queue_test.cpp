// The device work queue as the dispatcher, the worker and the agent start use
// it: a change queued, a pending one coalesced, a refused one queued again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tsh_queue.h"

namespace {

// What the worker takes, oldest first, as "index:field".
std::vector<std::string> drain()
{
    std::vector<std::string> out;
    for (QueueEntry e; PeekHeadBegin(&e); Dequeue())
        out.push_back(std::to_string(e.index) + ":" + e.field);
    return out;
}

struct Queue : ::testing::Test {
    void SetUp() override { InitQueue(); }
};

TEST_F(Queue, CoalescesOnlyTheSameFieldOfADeviceTheWorkerHasNotBegun)
{
    EXPECT_EQ(QueueChange("DisplayNameCustom", 7), 1);
    EXPECT_EQ(QueueChange("DisplayNameCustom", 7), 0);
    EXPECT_EQ(QueueChange("AllowOrBlock", 7), 1);
    EXPECT_EQ(QueueChange("DisplayNameCustom", 8), 1);
    // Begun: the worker may have read the record already, so it is new again.
    QueueEntry e;
    ASSERT_EQ(PeekHeadBegin(&e), 1);
    EXPECT_EQ(QueueChange("DisplayNameCustom", 7), 1);
    EXPECT_EQ(drain(), (std::vector<std::string>{"7:DisplayNameCustom", "7:AllowOrBlock", "8:DisplayNameCustom",
                                                 "7:DisplayNameCustom"}));
}

TEST_F(Queue, HoldsEveryFieldOfEveryDeviceAndWraps)
{
    for (int i = 0; i < 256; ++i)
        for (const char *f : {"WEXSignatureUpdateStatus", "DisplayNameCustom", "Devicestate", "AllowOrBlock",
                              "DeviceCategory"})
            ASSERT_EQ(QueueChange(f, i), 1) << f << " " << i;
    EXPECT_EQ(QueueChange("Devicestate", 256), 1);
    EXPECT_EQ(QueueChange("Devicestate", 257), -1);
    ASSERT_EQ(Dequeue(), 1);
    EXPECT_EQ(QueueChange("AllowOrBlock", 300), 1);
    const std::vector<std::string> all = drain();
    ASSERT_EQ(all.size(), 5u * 256 + 1);
    EXPECT_EQ(all.front() + " " + all.back(), "0:DisplayNameCustom 300:AllowOrBlock");
}

TEST_F(Queue, ARefusedChangeIsQueuedAgainAtEachAgentStartUntilOneGoesThrough)
{
    NoteRefused("Devicestate", 255, true);
    NoteRefused("WEXSignatureUpdateStatus", 0, true);
    NoteRefused("AllowOrBlock", 3, true);
    NoteRefused("AllowOrBlock", 3, false);
    NoteRefused("DisplayNameCustom", -1, true);
    NoteRefused("DisplayNameCustom", 256, true);
    ASSERT_EQ(QueueChange("Devicestate", 255), 1);
    EXPECT_EQ(RequeueRefused(), 1);  // the other one still pending
    EXPECT_EQ(drain(), (std::vector<std::string>{"255:Devicestate", "0:WEXSignatureUpdateStatus"}));
    EXPECT_EQ(RequeueRefused(), 2);
    EXPECT_EQ(drain(), (std::vector<std::string>{"0:WEXSignatureUpdateStatus", "255:Devicestate"}));
    NoteRefused("Devicestate", 255, false);
    NoteRefused("WEXSignatureUpdateStatus", 0, false);
    EXPECT_EQ(RequeueRefused(), 0);
}

} // namespace
