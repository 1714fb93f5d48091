// Request FIFO and pointer stack.
#include <gtest/gtest.h>

#include <vector>

#include "driver/core/support.h"

namespace {

class RequestFifoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (auto& irp : irps) irp = IoAllocateIrp(1, FALSE);
    }
    void TearDown() override {
        for (PIRP irp : irps) IoFreeIrp(irp);
    }
    PIRP irps[5] = {};
    RequestFifo fifo;
};

TEST_F(RequestFifoTest, PopsInArrivalOrderAndKeepsKeys) {
    for (ULONG i = 0; i < 3; ++i) fifo.append(irps[i], RequestKey{10 + i, 20 + i, 30 + i});
    EXPECT_EQ(fifo.count(), 3u);
    for (ULONG i = 0; i < 3; ++i) {
        PIRP irp = fifo.popFirst();
        ASSERT_EQ(irp, irps[i]);
        RequestKey key = RequestFifo::keyOf(irp);
        EXPECT_EQ(key.session, 10 + i);
        EXPECT_EQ(key.thread, 20 + i);
        EXPECT_EQ(key.task, 30 + i);
    }
    EXPECT_EQ(fifo.popFirst(), nullptr);
    EXPECT_TRUE(fifo.empty());
}

TEST_F(RequestFifoTest, TakesTheFirstEntryThatMatchesTheMasks) {
    fifo.append(irps[0], {1, 7, 100});
    fifo.append(irps[1], {2, 7, 200});
    fifo.append(irps[2], {1, 8, 300});
    fifo.append(irps[3], {1, 7, 400});
    fifo.append(irps[4], {2, 8, 200});

    // Session and task must both match: skips the session-1 entries.
    EXPECT_EQ(fifo.takeFirstMatching({2, 0, 200}, kKeySession | kKeyTask, 0), irps[1]);
    // Same session, another thread than 7.
    EXPECT_EQ(fifo.takeFirstMatching({1, 7, 0}, kKeySession, kKeyThread), irps[2]);
    // No entry of session 3.
    EXPECT_EQ(fifo.takeFirstMatching({3, 0, 0}, kKeySession, 0), nullptr);
    // Session 1 in order: what is left of it comes out front to back.
    EXPECT_EQ(fifo.takeFirstMatching({1, 0, 0}, kKeySession, 0), irps[0]);
    EXPECT_EQ(fifo.takeFirstMatching({1, 0, 0}, kKeySession, 0), irps[3]);
    EXPECT_EQ(fifo.count(), 1u);
    EXPECT_EQ(fifo.popFirst(), irps[4]);
}

TEST_F(RequestFifoTest, RemovesAGivenRequestFromAnywhere) {
    for (int i = 0; i < 4; ++i) fifo.append(irps[i]);
    EXPECT_TRUE(fifo.remove(irps[3]));  // tail
    EXPECT_TRUE(fifo.remove(irps[1]));  // middle
    EXPECT_FALSE(fifo.remove(irps[1]));
    EXPECT_FALSE(fifo.remove(irps[4]));  // never queued
    fifo.append(irps[4]);                // appended after a removed tail
    EXPECT_EQ(fifo.popFirst(), irps[0]);
    EXPECT_EQ(fifo.popFirst(), irps[2]);
    EXPECT_EQ(fifo.popFirst(), irps[4]);
    EXPECT_TRUE(fifo.empty());
}

TEST(PointerStack, PopsLastPushedFirstAndReportsEmpty) {
    NodePool pool;
    nodePoolInitialise(&pool);
    {
        PointerStack stack;
        stack.initialise(&pool);
        int a = 0, b = 0, c = 0;
        ASSERT_TRUE(stack.push(&a, 1));
        ASSERT_TRUE(stack.push(&b, 2));
        ASSERT_TRUE(stack.push(&c, 3));
        EXPECT_EQ(stack.count(), 3u);
        ULONG size = 99;
        EXPECT_EQ(stack.pop(&size), &c);
        EXPECT_EQ(size, 3u);
        EXPECT_EQ(stack.pop(&size), &b);
        EXPECT_EQ(size, 2u);
        EXPECT_EQ(stack.pop(&size), &a);
        EXPECT_EQ(size, 1u);
        EXPECT_EQ(stack.pop(&size), nullptr);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(stack.count(), 0u);

        kpool::failAllocations(kNodePoolTag, 1);
        nodePoolDelete(&pool);  // empty the cache so the next node comes from the pool
        nodePoolInitialise(&pool);
        EXPECT_FALSE(stack.push(&a, 1));
        EXPECT_EQ(stack.count(), 0u);
    }
    nodePoolDelete(&pool);
    EXPECT_EQ(kpool::liveBytes(kNodePoolTag), 0);
}

}  // namespace
