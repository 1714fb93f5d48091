// Module locks, deadlines and the 100 ms tick, on a scaled clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "driver/core/device_context.h"
#include "tests/support/kernel_test.h"

namespace {

LONGLONG virtualMs() {
    return kclock::now() / 10000;
}

TEST(ModuleLock, AWaitThatRunsOutIsCountedWithItsTag) {
    kclock::setScale(100);
    LockTrace trace;
    ModuleLock lock;
    lock.initialise(&trace);
    ASSERT_TRUE(lock.acquire("CTIIF_Open"));
    LONGLONG before = virtualMs();
    EXPECT_FALSE(lock.acquire("PTPIF_Lock"));
    LONGLONG waited = virtualMs() - before;
    EXPECT_GE(waited, 5000);
    EXPECT_LT(waited, 60000);
    EXPECT_EQ(trace.timeouts.load(), 1u);
    ASSERT_NE(trace.lastTag.load(), nullptr);
    EXPECT_STREQ(trace.lastTag.load(), "PTPIF_Lock");

    // Released from another thread, a waiter gets it without a time-out.
    std::thread releaser([&] {
        kclock::sleepMs(1000);
        lock.release();
    });
    {
        ModuleLockGuard guard(lock, "Frame_Open");
        EXPECT_TRUE(guard.owns());
    }
    releaser.join();
    EXPECT_EQ(trace.timeouts.load(), 1u);
    EXPECT_TRUE(lock.acquire("PropMan_Save")) << "the guard gave the lock back";
}

TEST(Deadline, ReachedOnlyOnceTheTimeHasPassed) {
    kclock::setScale(100);
    LONGLONG until = deadline(200);
    LONGLONG start = virtualMs();
    int polls = 0;
    while (!reached(until)) ++polls;
    EXPECT_GE(virtualMs() - start, 199);
    EXPECT_GT(polls, 0);
    EXPECT_TRUE(reached(deadline(0) - 1));
}

struct HookLog {
    std::mutex lock;
    std::vector<std::pair<char, ULONG>> calls;
};
HookLog* hookLog = nullptr;

void logHook(char which, ULONG ms) {
    std::lock_guard<std::mutex> g(hookLog->lock);
    hookLog->calls.emplace_back(which, ms);
}

class TickTimerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        kclock::setScale(10);
        hookLog = &log_;
    }
    void TearDown() override {
        ktimer::pauseDpcs(false);
        hookLog = nullptr;
    }
    size_t calls() {
        std::lock_guard<std::mutex> g(log_.lock);
        return log_.calls.size();
    }
    HookLog log_;
};

TEST_F(TickTimerTest, EveryTickRunsTheHooksInOrderWithTheElapsedTime) {
    auto device = std::make_unique<DeviceContext>();
    device->tickHooks.videoStall = [](DeviceContext*, ULONG ms) { logHook('v', ms); };
    device->tickHooks.streamWatchdogs = [](DeviceContext*, ULONG ms) { logHook('s', ms); };
    device->tickHooks.frameWatchdog = [](DeviceContext*, ULONG ms) { logHook('f', ms); };
    tickTimerStart(device.get());
    ASSERT_TRUE(pavtest::waitFor([&] { return calls() >= 9; }));
    tickTimerStop(device.get());
    size_t after = calls();
    kclock::sleepMs(300);
    EXPECT_EQ(calls(), after) << "the hooks ran after the timer stopped";

    std::lock_guard<std::mutex> g(log_.lock);
    ASSERT_EQ(log_.calls.size() % 3, 0u);
    for (size_t i = 0; i < log_.calls.size(); i += 3) {
        ULONG ms = static_cast<ULONG>((i / 3 + 1) * kTickMs);
        EXPECT_EQ(log_.calls[i], std::make_pair('v', ms));
        EXPECT_EQ(log_.calls[i + 1], std::make_pair('s', ms));
        EXPECT_EQ(log_.calls[i + 2], std::make_pair('f', ms));
    }
    EXPECT_GE(tickMilliseconds(device.get()), log_.calls.back().second);
}

TEST_F(TickTimerTest, StopReturnsAfterAboutASecondWhenTheTickNeverComes) {
    // The record lives in pool memory so that a tick after the stop would be
    // a use of freed memory, which the sanitizer reports.
    void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceContext), PoolTag("test"));
    auto* device = new (memory) DeviceContext();
    device->tickHooks.frameWatchdog = [](DeviceContext*, ULONG ms) { logHook('f', ms); };
    tickTimerStart(device);
    ASSERT_TRUE(pavtest::waitFor([&] { return calls() >= 1; }));
    ktimer::pauseDpcs(true);
    kclock::sleepMs(250);  // the next tick comes due and waits in the queue
    LONGLONG start = virtualMs();
    tickTimerStop(device);
    LONGLONG took = virtualMs() - start;
    EXPECT_GE(took, 1000);
    EXPECT_LT(took, 5000);
    LONG ticks = device->tick.tickCount;
    size_t hooks = calls();
    device->~DeviceContext();
    std::memset(memory, 0xDD, sizeof(DeviceContext));
    ExFreePoolWithTag(memory, PoolTag("test"));
    ktimer::pauseDpcs(false);
    KeFlushQueuedDpcs();
    kclock::sleepMs(300);
    EXPECT_EQ(calls(), hooks);
    EXPECT_GT(ticks, 0);
}

TEST_F(TickTimerTest, StopWithTheTickRunningWaitsForItsAcknowledgement) {
    // On the real clock: the stop gives up after a second, and a loaded
    // machine can keep the tick's thread off a core for a tenth of one.
    kclock::setScale(1);
    auto device = std::make_unique<DeviceContext>();
    tickTimerStart(device.get());
    ASSERT_TRUE(pavtest::waitFor([&] { return ReadAcquire(&device->tick.tickCount) >= 2; }));
    // Read as the tick writes it: it runs on the timer's thread meanwhile.
    LONG before = ReadAcquire(&device->tick.tickCount);
    tickTimerStop(device.get());
    LONG after = ReadAcquire(&device->tick.tickCount);
    EXPECT_GT(after, before) << "the stop returned before the tick saw it";
    kclock::sleepMs(300);
    EXPECT_EQ(ReadAcquire(&device->tick.tickCount), after);
    EXPECT_EQ(ReadAcquire(&device->tick.running), 0);
}

std::atomic<int> slowTicks{0};
std::atomic<LONGLONG> slowTickAt{0};

TEST_F(TickTimerTest, ATickWhoseWorkTakesLongKeepsThePeriodOfTheOnesAfterIt) {
    // Each tick is due a period after the last one was due, not after it
    // ran: 30 ms of work in every tick (or a tick taken late on a thread
    // that woke for other work) does not stretch the period to 130 ms.
    kclock::setScale(1);
    slowTicks = 0;
    auto device = std::make_unique<DeviceContext>();
    device->tickHooks.frameWatchdog = [](DeviceContext*, ULONG) {
        if (++slowTicks == 15) slowTickAt = kclock::now();
        const LONGLONG until = kclock::now() + 30 * 10000;
        while (kclock::now() < until) {
        }
    };
    const LONGLONG start = kclock::now();
    tickTimerStart(device.get());
    ASSERT_TRUE(pavtest::waitFor([&] { return slowTicks.load() >= 15; }));
    tickTimerStop(device.get());
    const LONGLONG tookMs = (slowTickAt.load() - start) / 10000;
    EXPECT_GE(tookMs, 1500);
    EXPECT_LT(tookMs, 1500 + 250);
    EXPECT_GE(tickMilliseconds(device.get()), 1500u);
}

}  // namespace
