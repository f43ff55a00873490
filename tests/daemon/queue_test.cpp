// Device work queue: order, ring capacity, the pending rule and begun entries.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "tsh_queue.h"

namespace {
struct Queue : ::testing::Test {
    void SetUp() override { InitQueue(); }
};

TEST_F(Queue, EmptyAfterInit)
{
    EXPECT_EQ(isQueueEmpty(), 1);
    EXPECT_EQ(isQueueFull(), 0);
    EXPECT_EQ(CheckIndexExist(3, "Devicestate"), 0);
    EXPECT_EQ(Dequeue(), 0);
    QueueEntry e;
    EXPECT_EQ(PeekHeadBegin(&e), 0);
}

TEST_F(Queue, EntriesLeaveInOrder)
{
    ASSERT_EQ(Enqueue("Devicestate", 1), 1);
    ASSERT_EQ(Enqueue("DisplayNameCustom", 2), 1);
    ASSERT_EQ(Enqueue("AllowOrBlock", 3), 1);
    QueueEntry e;
    for (int want : {1, 2, 3}) {
        ASSERT_EQ(PeekHeadBegin(&e), 1);
        EXPECT_EQ(e.index, want);
        EXPECT_EQ(Dequeue(), 1);
    }
    EXPECT_EQ(isQueueEmpty(), 1);
}

TEST_F(Queue, RingHoldsEveryDeviceFieldPairAndWraps)
{
    for (int i = 0; i < QUEUE_CAPACITY; ++i)
        ASSERT_EQ(Enqueue("Devicestate", i), 1) << i;
    EXPECT_EQ(isQueueFull(), 1);
    EXPECT_EQ(Enqueue("Devicestate", 9999), 0);
    // Room made at the head is usable at once: the ring wraps.
    ASSERT_EQ(Dequeue(), 1);
    ASSERT_EQ(Dequeue(), 1);
    EXPECT_EQ(Enqueue("AllowOrBlock", 7000), 1);
    EXPECT_EQ(Enqueue("AllowOrBlock", 7001), 1);
    EXPECT_EQ(Enqueue("AllowOrBlock", 7002), 0);
    QueueEntry e;
    int last = -1;
    while (PeekHeadBegin(&e)) {
        last = e.index;
        Dequeue();
    }
    EXPECT_EQ(last, 7001);
}

TEST_F(Queue, PendingRuleComparesDeviceAndFieldClass)
{
    ASSERT_EQ(Enqueue("DisplayNameCustom", 7), 1);
    EXPECT_EQ(CheckIndexExist(7, "DisplayNameCustom"), 1);
    EXPECT_EQ(CheckIndexExist(7, "AllowOrBlock"), 0) << "another field of the device is a new change";
    EXPECT_EQ(CheckIndexExist(8, "DisplayNameCustom"), 0);
    // Classed as the worker acts on them: the update flag by its prefix,
    // the other four exactly, so a longer name never stands for them.
    ASSERT_EQ(Enqueue("WEXSignatureUpdateStatus", 9), 1);
    EXPECT_EQ(CheckIndexExist(9, "WEXSignatureUpdateStatusX"), 1);
    ASSERT_EQ(Enqueue("AllowOrBlockExtra", 10), 1);
    EXPECT_EQ(CheckIndexExist(10, "AllowOrBlock"), 0);
}

TEST_F(Queue, BegunEntryNoLongerSuppressesAChange)
{
    ASSERT_EQ(Enqueue("Devicestate", 4), 1);
    QueueEntry e;
    ASSERT_EQ(PeekHeadBegin(&e), 1);
    // The worker has begun reading the record: a change now must be queued
    // again or it would be lost.
    EXPECT_EQ(CheckIndexExist(4, "Devicestate"), 0);
    ASSERT_EQ(Enqueue("Devicestate", 4), 1);
    EXPECT_EQ(CheckIndexExist(4, "Devicestate"), 1);
    ASSERT_EQ(Dequeue(), 1);
    ASSERT_EQ(PeekHeadBegin(&e), 1);
    EXPECT_EQ(e.index, 4);
    EXPECT_FALSE(CheckIndexExist(4, "Devicestate"));
}

TEST_F(Queue, FieldNamesAreBoundedAndClassified)
{
    std::string longname(200, 'A');
    ASSERT_EQ(Enqueue(longname.c_str(), 1), 1);
    QueueEntry e;
    ASSERT_EQ(PeekHeadBegin(&e), 1);
    EXPECT_EQ(std::string(e.field), longname.substr(0, 63));
    EXPECT_EQ(device_field_class("DeviceCategory"), 4);
    EXPECT_EQ(device_field_class("DeviceCat"), -1);
    EXPECT_EQ(device_field_class(nullptr), -1);
}

TEST_F(Queue, ProducerAndConsumerTogetherLoseNothing)
{
    constexpr int N = 20000;
    std::atomic<bool> done{false};
    std::vector<int> seen;
    std::thread consumer([&] {
        QueueEntry e;
        while (!done.load() || !isQueueEmpty()) {
            if (PeekHeadBegin(&e)) {
                seen.push_back(e.index);
                Dequeue();
            }
        }
    });
    for (int i = 0; i < N;)
        if (Enqueue("Devicestate", i))
            ++i;
    done = true;
    consumer.join();
    ASSERT_EQ(static_cast<int>(seen.size()), N);
    for (int i = 0; i < N; ++i)
        ASSERT_EQ(seen[i], i);
}
}  // namespace
