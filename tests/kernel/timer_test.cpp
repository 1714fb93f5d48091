#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel/wdm.h"
#include "tests/support/kernel_test.h"

namespace {

struct DpcRecord {
    std::atomic<int> runs{0};
    std::atomic<int> maxConcurrent{0};
    std::atomic<int> inside{0};
    KIRQL irql = PASSIVE_LEVEL;
};

void countingDpc(PKDPC, PVOID ctx, PVOID, PVOID) {
    auto* r = static_cast<DpcRecord*>(ctx);
    int now = ++r->inside;
    int m = r->maxConcurrent.load();
    while (now > m && !r->maxConcurrent.compare_exchange_weak(m, now)) {
    }
    r->irql = KeGetCurrentIrql();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    --r->inside;
    ++r->runs;
}

LARGE_INTEGER relativeMs(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

TEST(Timers, OneShotTimerRunsItsDpcOnceAfterTheDueTime) {
    kclock::setScale(20.0);
    KTIMER timer;
    KDPC dpc;
    DpcRecord rec;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, countingDpc, &rec);
    LONGLONG start = kclock::now();
    EXPECT_FALSE(KeSetTimer(&timer, relativeMs(100), &dpc));
    ASSERT_TRUE(pavtest::waitFor([&] { return rec.runs.load() == 1; }));
    EXPECT_GE(kclock::now() - start, 100LL * 10000);
    EXPECT_TRUE(KeReadStateTimer(&timer));
    EXPECT_EQ(rec.irql, DISPATCH_LEVEL);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(rec.runs.load(), 1);
    kclock::setScale(1.0);
}

TEST(Timers, CancelledTimerNeverFiresAndReportsItWasArmed) {
    KTIMER timer;
    KDPC dpc;
    DpcRecord rec;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, countingDpc, &rec);
    KeSetTimer(&timer, relativeMs(50), &dpc);
    EXPECT_TRUE(KeSetTimer(&timer, relativeMs(60), &dpc));  // re-arming reports the earlier arming
    EXPECT_TRUE(KeCancelTimer(&timer));
    EXPECT_FALSE(KeCancelTimer(&timer));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_EQ(rec.runs.load(), 0);
}

TEST(Timers, PeriodicTimerKeepsFiring) {
    kclock::setScale(10.0);
    KTIMER timer;
    KDPC dpc;
    DpcRecord rec;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, countingDpc, &rec);
    KeSetTimerEx(&timer, relativeMs(100), 100, &dpc);
    ASSERT_TRUE(pavtest::waitFor([&] { return rec.runs.load() >= 3; }));
    KeCancelTimer(&timer);
    KeFlushQueuedDpcs();
    int runs = rec.runs.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(rec.runs.load(), runs);
    kclock::setScale(1.0);
}

TEST(Dpcs, RunOneAtATimeInQueueOrderAndCanBeHeldBack) {
    DpcRecord rec;
    KDPC dpcs[8];
    ktimer::pauseDpcs(true);
    for (auto& d : dpcs) {
        KeInitializeDpc(&d, countingDpc, &rec);
        EXPECT_TRUE(KeInsertQueueDpc(&d, nullptr, nullptr));
    }
    EXPECT_FALSE(KeInsertQueueDpc(&dpcs[0], nullptr, nullptr));  // already queued
    EXPECT_TRUE(KeRemoveQueueDpc(&dpcs[7]));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(rec.runs.load(), 0);
    ktimer::pauseDpcs(false);
    KeFlushQueuedDpcs();
    EXPECT_EQ(rec.runs.load(), 7);
    EXPECT_EQ(rec.maxConcurrent.load(), 1);
}


// A tick: its procedure re-arms its own timer until it has run `limit` times.
struct Tick {
    KTIMER timer;
    KDPC dpc;
    DpcRecord* shared = nullptr;  // counts every procedure inside, to catch overlaps
    std::atomic<int> runs{0};
    int limit = 0;
};

void tickDpc(PKDPC, PVOID ctx, PVOID, PVOID) {
    auto* t = static_cast<Tick*>(ctx);
    DpcRecord* r = t->shared;
    int now = ++r->inside;
    int m = r->maxConcurrent.load();
    while (now > m && !r->maxConcurrent.compare_exchange_weak(m, now)) {
    }
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) r->irql = KeGetCurrentIrql();
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    --r->inside;
    if (++t->runs < t->limit) KeSetTimer(&t->timer, relativeMs(2), &t->dpc);
}

TEST(Dpcs, ATimersProcedureRunsOneAtATimeWithQueuedOnesAndIsHeldBackToo) {
    DpcRecord rec;
    rec.irql = DISPATCH_LEVEL;
    Tick tick;
    tick.shared = &rec;
    tick.limit = 40;
    KeInitializeTimer(&tick.timer);
    KeInitializeDpc(&tick.dpc, tickDpc, &tick);
    KeSetTimer(&tick.timer, relativeMs(2), &tick.dpc);
    // Procedures queued by callers while the tick re-arms itself.
    KDPC queued[16];
    for (auto& d : queued) {
        KeInitializeDpc(&d, countingDpc, &rec);
        KeInsertQueueDpc(&d, nullptr, nullptr);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(pavtest::waitFor([&] { return tick.runs.load() == tick.limit; }));
    KeFlushQueuedDpcs();
    EXPECT_EQ(rec.runs.load(), 16);
    EXPECT_EQ(rec.maxConcurrent.load(), 1);
    EXPECT_EQ(rec.irql, DISPATCH_LEVEL);

    // Held back, an expired timer's procedure waits like a queued one.
    ktimer::pauseDpcs(true);
    tick.limit = tick.runs.load() + 1;
    KeSetTimer(&tick.timer, relativeMs(1), &tick.dpc);
    ASSERT_TRUE(pavtest::waitFor([&] { return KeReadStateTimer(&tick.timer) != FALSE; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(tick.runs.load(), tick.limit - 1);
    ktimer::pauseDpcs(false);
    KeFlushQueuedDpcs();
    EXPECT_EQ(tick.runs.load(), tick.limit);
    KeCancelTimer(&tick.timer);
}

}  // namespace
