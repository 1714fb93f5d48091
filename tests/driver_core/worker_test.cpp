// The per-device worker: one thread, FIFO order, nothing lost at stop.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/core/device_context.h"
#include "tests/support/kernel_test.h"

namespace {

struct Trace {
    std::mutex lock;
    std::vector<uintptr_t> ran;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> offWorker{false};
};
Trace* trace = nullptr;

void record(DeviceContext* device, PVOID value, PVOID) {
    if (trace->inside.fetch_add(1) != 0) trace->overlapped = true;
    if (!onWorkerThread(device)) trace->offWorker = true;
    std::this_thread::yield();
    {
        std::lock_guard<std::mutex> g(trace->lock);
        trace->ran.push_back(reinterpret_cast<uintptr_t>(value));
    }
    trace->inside.fetch_sub(1);
}

void blockOn(DeviceContext*, PVOID event, PVOID) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
}

PVOID word(uintptr_t v) {
    return reinterpret_cast<PVOID>(v);
}

class Worker : public ::testing::Test {
  protected:
    void SetUp() override {
        trace = &trace_;
        ASSERT_EQ(workerStart(device.get()), STATUS_SUCCESS);
    }
    void TearDown() override {
        workerShutdown(device.get());
        EXPECT_EQ(kpool::liveBytes(kNodePoolTag), 0);
        trace = nullptr;
    }
    std::unique_ptr<DeviceContext> device = std::make_unique<DeviceContext>();
    Trace trace_;
};

TEST_F(Worker, ItemsFromTwoThreadsRunInQueueOrderOneAtATime) {
    std::mutex queueOrderLock;
    std::vector<uintptr_t> queued;
    auto producer = [&](uintptr_t first) {
        for (uintptr_t v = first; v < first + 200; ++v) {
            std::lock_guard<std::mutex> g(queueOrderLock);
            ASSERT_TRUE(workerQueue(device.get(), record, word(v), nullptr));
            queued.push_back(v);
        }
    };
    std::thread a(producer, 0);
    std::thread b(producer, 1000);
    a.join();
    b.join();
    ASSERT_TRUE(pavtest::waitFor([&] {
        std::lock_guard<std::mutex> g(trace_.lock);
        return trace_.ran.size() == queued.size();
    }));
    std::lock_guard<std::mutex> g(trace_.lock);
    EXPECT_EQ(trace_.ran, queued);
    EXPECT_FALSE(trace_.overlapped);
    EXPECT_FALSE(trace_.offWorker);
}

TEST_F(Worker, StopRunsEverythingQueuedBeforeTheThreadEnds) {
    KEVENT gate;
    KeInitializeEvent(&gate, NotificationEvent, FALSE);
    ASSERT_TRUE(workerQueue(device.get(), blockOn, &gate, nullptr));
    for (uintptr_t v = 0; v < 50; ++v)
        ASSERT_TRUE(workerQueue(device.get(), record, word(v), nullptr));
    std::thread stopper([&] { workerStop(device.get()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard<std::mutex> g(trace_.lock);
        EXPECT_TRUE(trace_.ran.empty());
    }
    KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
    stopper.join();
    EXPECT_EQ(trace_.ran.size(), 50u);
    EXPECT_FALSE(workerRunning(device.get()));
    // Nothing can be queued behind the stop and be stranded.
    EXPECT_FALSE(workerQueue(device.get(), record, word(99), nullptr));
}

TEST_F(Worker, QueueingFailsCleanlyWithoutANode) {
    kpool::failAllocations(kNodePoolTag, 1);
    EXPECT_FALSE(workerQueue(device.get(), record, word(1), nullptr));
    EXPECT_TRUE(workerQueue(device.get(), record, word(2), nullptr));
    ASSERT_TRUE(pavtest::waitFor([&] {
        std::lock_guard<std::mutex> g(trace_.lock);
        return !trace_.ran.empty();
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard<std::mutex> g(trace_.lock);
    EXPECT_EQ(trace_.ran, std::vector<uintptr_t>{2});
}

TEST_F(Worker, StopsEvenWhenThePoolCannotGiveTheStopItem) {
    kpool::failAllocations(kNodePoolTag, 1);
    workerStop(device.get());
    EXPECT_FALSE(workerRunning(device.get()));
    kpool::failAllocations(kNodePoolTag, 0);
}

TEST(NodePool, RefusesRequestsLargerThanANode) {
    NodePool pool;
    EXPECT_EQ(nodeAllocate(&pool, 8), nullptr) << "not initialised";
    nodePoolInitialise(&pool);
    PVOID node = nodeAllocate(&pool, kNodeBytes);
    ASSERT_NE(node, nullptr);
    EXPECT_GE(kpool::blockSize(node), kNodeBytes);
    EXPECT_EQ(nodeAllocate(&pool, kNodeBytes + 1), nullptr);
    nodeFree(&pool, node);
    nodePoolDelete(&pool);
    EXPECT_EQ(kpool::liveBytes(kNodePoolTag), 0);
}

}  // namespace
