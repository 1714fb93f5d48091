// Transactions waiting behind one another: aborting a session or a single
// task, cancelling a queued or the current transaction, closing a session
// with work queued, and a camera pulled with transactions pending.
#include <gtest/gtest.h>

#include <thread>

#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/cti/cti_client.h"
#include "tests/support/camera_harness.h"
#include "tests/support/kernel_test.h"

namespace {

using namespace ctitest;
using namespace pav512;

// A transaction that stays current: it waits for bulk data the camera never
// prepared.
Bytes blocking(ULONG session, ULONG task) {
    return transaction(session, 1, task, {bulkIn(64)});
}

// A transaction that writes one register of space 3.
Bytes writes(ULONG session, ULONG task, std::uint8_t reg, std::uint8_t value) {
    return transaction(session, 1, task,
                       {controlOut(0x01, static_cast<std::uint16_t>((reg << 8) | 3), {value})});
}

bool stillPending(const std::shared_ptr<Reply>& r) {
    // Long enough for a queued transaction to have run if it could.
    kclock::sleepMs(50);
    return !r->done.load();
}

class Queue : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(h.started()) << h.arrivalText();
        client = std::make_unique<Client>(h.fdo());
        for (ULONG* s : {&q, &s1, &r}) ASSERT_EQ(client->open(false, s), kModuleStatusSuccess);
    }
    void TearDown() override {
        for (ULONG s : {q, s1, r}) client->close(s);
        client.reset();
    }
    pavtest::CameraHarness h;
    std::unique_ptr<Client> client;
    ULONG q = 0, s1 = 0, r = 0;
};

TEST_F(Queue, AbortingASessionEndsItsQueuedTransactionsAndLeavesTheOthers) {
    auto current = client->send(IOCTL_CTI_TRANSACTION, blocking(q, 1));
    std::vector<std::shared_ptr<Reply>> mine;
    for (ULONG task = 1; task <= 3; ++task)
        mine.push_back(client->send(IOCTL_CTI_TRANSACTION, writes(s1, task, 0x50, 1)));
    auto others = client->send(IOCTL_CTI_TRANSACTION, writes(r, 1, 0x51, 2));
    ASSERT_TRUE(stillPending(others));

    EXPECT_EQ(client->reset(s1), kModuleStatusSuccess);
    for (auto& t : mine) {
        ASSERT_TRUE(Client::wait(t));
        EXPECT_EQ(t->status, STATUS_SUCCESS);
        EXPECT_EQ(t->moduleStatus(), kModuleStatusTaskAborted);
    }
    EXPECT_NE(h.camera().registerValue(3, 0x50), 1) << "none of them ran";
    EXPECT_TRUE(stillPending(others));
    EXPECT_FALSE(current->done.load());

    // The current transaction's session aborts it; the queue moves on.
    EXPECT_EQ(client->reset(q), kModuleStatusSuccess);
    ASSERT_TRUE(Client::wait(current));
    EXPECT_EQ(current->moduleStatus(), kModuleStatusTaskAborted);
    ASSERT_TRUE(Client::wait(others));
    EXPECT_EQ(others->moduleStatus(), kModuleStatusSuccess);
    EXPECT_EQ(h.camera().registerValue(3, 0x51), 2);
}

TEST_F(Queue, AbortingOneTaskFindsItQueuedOrCurrent) {
    auto current = client->send(IOCTL_CTI_TRANSACTION, blocking(q, 10));
    auto queued = client->send(IOCTL_CTI_TRANSACTION, writes(s1, 20, 0x52, 3));
    auto next = client->send(IOCTL_CTI_TRANSACTION, writes(s1, 21, 0x53, 4));
    ASSERT_TRUE(stillPending(next));

    EXPECT_EQ(client->abortTask(s1, 99), kModuleStatusNoSuchTask);
    EXPECT_EQ(client->abortTask(r, 20), kModuleStatusNoSuchTask) << "another session's task";
    EXPECT_EQ(client->abortTask(s1, 20), kModuleStatusSuccess);
    ASSERT_TRUE(Client::wait(queued));
    EXPECT_EQ(queued->moduleStatus(), kModuleStatusTaskAborted);
    EXPECT_TRUE(stillPending(next));

    EXPECT_EQ(client->abortTask(q, 10), kModuleStatusSuccess);
    ASSERT_TRUE(Client::wait(current));
    EXPECT_EQ(current->moduleStatus(), kModuleStatusTaskAborted);
    ASSERT_TRUE(Client::wait(next));
    EXPECT_EQ(next->moduleStatus(), kModuleStatusSuccess);
    EXPECT_NE(h.camera().registerValue(3, 0x52), 3);
    EXPECT_EQ(h.camera().registerValue(3, 0x53), 4);
}

TEST_F(Queue, CancellingAQueuedTransactionLetsTheNextOneStart) {
    auto current = client->send(IOCTL_CTI_TRANSACTION, blocking(q, 1));
    auto cancelled = client->send(IOCTL_CTI_TRANSACTION, writes(s1, 1, 0x54, 5));
    auto after = client->send(IOCTL_CTI_TRANSACTION, writes(r, 1, 0x55, 6));
    ASSERT_TRUE(stillPending(after));
    client->cancel(cancelled);
    ASSERT_TRUE(Client::wait(cancelled));
    EXPECT_EQ(cancelled->status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled->information, 0u);
    EXPECT_TRUE(stillPending(after));

    // Cancelling the current one (waiting for bulk data that never comes)
    // ends it and starts the next.
    client->cancel(current);
    ASSERT_TRUE(Client::wait(current));
    EXPECT_EQ(current->status, STATUS_CANCELLED);
    ASSERT_TRUE(Client::wait(after));
    EXPECT_EQ(after->moduleStatus(), kModuleStatusSuccess);
    EXPECT_NE(h.camera().registerValue(3, 0x54), 5);
    EXPECT_EQ(h.camera().registerValue(3, 0x55), 6);
}

TEST_F(Queue, ClosingASessionAbortsWhatItHasQueued) {
    auto current = client->send(IOCTL_CTI_TRANSACTION, blocking(q, 1));
    auto queued = client->send(IOCTL_CTI_TRANSACTION, writes(s1, 1, 0x56, 7));
    ASSERT_TRUE(stillPending(queued));
    EXPECT_EQ(client->close(s1), kModuleStatusSuccess);
    ASSERT_TRUE(Client::wait(queued));
    EXPECT_EQ(queued->moduleStatus(), kModuleStatusTaskAborted);
    EXPECT_EQ(client->close(q), kModuleStatusSuccess);
    ASSERT_TRUE(Client::wait(current));
    EXPECT_EQ(current->moduleStatus(), kModuleStatusTaskAborted);
}

// Cancels from one thread, aborts and new transactions from another: every
// transaction completes exactly once (the verifier fails the test on a second
// completion) with one of the answers it may get, and none is left behind.
TEST_F(Queue, CancelsAndAbortsRacingEachOtherCompleteEverythingOnce) {
    std::vector<std::shared_ptr<Reply>> sent;
    for (int round = 0; round < 5; ++round) {
        sent.push_back(client->send(IOCTL_CTI_TRANSACTION, blocking(q, 100 + round)));
        std::vector<std::shared_ptr<Reply>> batch;
        for (ULONG task = 1; task <= 20; ++task)
            batch.push_back(
                client->send(IOCTL_CTI_TRANSACTION, writes(task % 2 ? s1 : r, task, 0x58, 9)));
        std::thread canceller([&] {
            for (std::size_t i = batch.size(); i-- > 0;)
                if (i % 3 != 0) client->cancel(batch[i]);
        });
        client->reset(s1);
        client->reset(q);
        canceller.join();
        sent.insert(sent.end(), batch.begin(), batch.end());
    }
    for (auto& t : sent) {
        ASSERT_TRUE(Client::wait(t));
        const bool cancelled = t->status == STATUS_CANCELLED;
        const bool answered =
            t->status == STATUS_SUCCESS && (t->moduleStatus() == kModuleStatusSuccess ||
                                            t->moduleStatus() == kModuleStatusTaskAborted);
        EXPECT_TRUE(cancelled || answered) << std::hex << t->status;
    }
    EXPECT_FALSE(ctitest::hasCurrentTransaction(h.device()));
    EXPECT_TRUE(h.device()->cti.queue.empty());
}

TEST(Removal, PendingTransactionsEndWhenTheCameraIsPulled) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    Client client(h.fdo());
    ULONG a = 0;
    ASSERT_EQ(client.open(false, &a), kModuleStatusSuccess);
    auto current = client.send(IOCTL_CTI_TRANSACTION, blocking(a, 1));
    auto queued = client.send(IOCTL_CTI_TRANSACTION, writes(a, 2, 0x57, 8));
    ASSERT_TRUE(stillPending(queued));
    h.unplug();
    // Each ends with a failure: aborted by the stop, or (when the pipes went
    // first) failed on them.
    for (auto& t : {current, queued}) {
        ASSERT_TRUE(Client::wait(t));
        EXPECT_EQ(t->status, STATUS_SUCCESS);
        const std::uint8_t status = t->moduleStatus();
        EXPECT_TRUE(status == kModuleStatusTaskAborted ||
                    status == kModuleStatusBulkTransferFailed ||
                    status == kModuleStatusControlTransferFailed)
            << int{status};
    }
    // The harness checks that every request and pool byte came back.
}

}  // namespace
