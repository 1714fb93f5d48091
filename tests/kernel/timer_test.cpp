#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
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

// A procedure that notes where and when it ran, and re-arms its coalescable
// timer `period` ms after the due time it ran for until it ran `limit` times.
struct Coalesced {
    KTIMER timer;
    KDPC dpc;
    std::atomic<int> runs{0};
    std::atomic<long> thread{0};
    std::atomic<LONGLONG> ranAt{0};
    std::atomic<int> badIrql{0};
    std::atomic<LONGLONG> due{0};
    std::atomic<int> limit{1};
    int period = 0, tolerance = 0;

    void arm(LONGLONG at) {
        due = at;
        LARGE_INTEGER d;
        d.QuadPart = at;
        KeSetCoalescableTimer(&timer, d, 0, static_cast<ULONG>(tolerance), &dpc);
    }
};

void coalescedDpc(PKDPC, PVOID ctx, PVOID, PVOID) {
    auto* c = static_cast<Coalesced*>(ctx);
    if (KeGetCurrentIrql() != DISPATCH_LEVEL) ++c->badIrql;
    c->thread.store(static_cast<long>(syscall(SYS_gettid)));
    c->ranAt.store(kclock::now());
    if (++c->runs < c->limit) c->arm(c->due.load() + static_cast<LONGLONG>(c->period) * 10000);
}

// The voluntary context switches of this process's timer thread so far.
unsigned long long timerThreadWakes() {
    unsigned long long wakes = 0;
    DIR* d = opendir("/proc/self/task");
    if (!d) return 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        char name[32] = {};
        if (FILE* f = std::fopen((base + "/comm").c_str(), "r")) {
            if (!std::fgets(name, sizeof name, f)) name[0] = 0;
            std::fclose(f);
        }
        if (std::strncmp(name, "ktimer", 6) != 0) continue;
        if (FILE* f = std::fopen((base + "/status").c_str(), "r")) {
            char line[128];
            while (std::fgets(line, sizeof line, f))
                std::sscanf(line, "voluntary_ctxt_switches: %llu", &wakes);
            std::fclose(f);
        }
    }
    closedir(d);
    return wakes;
}

TEST(CoalescableTimers, ExpireOnAThreadAlreadyAwakeOrAtTheEndOfTheirTolerance) {
    Coalesced c;
    c.tolerance = 200;
    KeInitializeTimer(&c.timer);
    KeInitializeDpc(&c.dpc, coalescedDpc, &c);

    // Before its due time a call takes nothing; after it, the caller runs
    // the procedure itself, at DISPATCH_LEVEL.
    c.arm(kclock::now() + 30 * 10000);
    ktimer::expireDueTimers();
    EXPECT_EQ(c.runs.load(), 0);
    EXPECT_TRUE(KeReadStateTimer(&c.timer) == FALSE);
    while (kclock::now() < c.due.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ktimer::expireDueTimers();
    EXPECT_EQ(c.runs.load(), 1);
    EXPECT_EQ(c.thread.load(), static_cast<long>(syscall(SYS_gettid)));
    EXPECT_TRUE(KeReadStateTimer(&c.timer) != FALSE);
    EXPECT_EQ(c.badIrql.load(), 0);

    // Above PASSIVE_LEVEL the caller may hold a lock the procedure takes:
    // nothing runs there, and the timer thread expires it in time.
    c.limit = 2;
    c.arm(kclock::now() + 20 * 10000);
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL irql = KfAcquireSpinLock(&lock);
    while (kclock::now() < c.due.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ktimer::expireDueTimers();
    EXPECT_EQ(c.runs.load(), 1);
    KfReleaseSpinLock(&lock, irql);

    // With nobody awake to take it, it expires on the timer thread, not
    // before its due time and by the end of its tolerance.
    ASSERT_TRUE(pavtest::waitFor([&] { return c.runs.load() == 2; }));
    KeFlushQueuedDpcs();
    EXPECT_GE(c.ranAt.load(), c.due.load());
    EXPECT_LT(c.ranAt.load(), c.due.load() + (200 + 150) * 10000LL);
    EXPECT_NE(c.thread.load(), static_cast<long>(syscall(SYS_gettid)));
    EXPECT_EQ(c.badIrql.load(), 0);

    // A cancelled timer is not taken by a later call.
    c.limit = 3;
    c.arm(kclock::now() + 5 * 10000);
    EXPECT_TRUE(KeCancelTimer(&c.timer));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ktimer::expireDueTimers();
    EXPECT_EQ(c.runs.load(), 2);
}

TEST(CoalescableTimers, ATickTakenByABusyThreadDoesNotWakeTheTimerThread) {
    // A 20 ms tick that tolerates 15 ms, re-armed from its procedure, while
    // a thread calls in every 2 ms: each expiry moves the timer thread's
    // alarm to the next one, so that thread sleeps through them all.
    Coalesced c;
    c.period = 20;
    c.tolerance = 15;
    c.limit = 25;
    KeInitializeTimer(&c.timer);
    KeInitializeDpc(&c.dpc, coalescedDpc, &c);
    c.arm(kclock::now() + 20 * 10000);
    // The first arming may wake the thread to set its alarm.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const unsigned long long before = timerThreadWakes();
    const long self = static_cast<long>(syscall(SYS_gettid));
    int here = 0, seen = 0;
    while (c.runs.load() < c.limit) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ktimer::expireDueTimers();
        if (c.runs.load() != seen) {
            seen = c.runs.load();
            if (c.thread.load() == self) ++here;
        }
    }
    const unsigned long long wakes = timerThreadWakes() - before;
    // A thread late by more than the tolerance on a loaded machine leaves
    // a tick or two to the timer thread; a sleeper woken at each spent
    // alarm would have woken for every tick.
    EXPECT_GE(here, c.limit.load() - 5);
    EXPECT_LE(wakes, static_cast<unsigned long long>(c.limit.load() - here) + 3);
    EXPECT_EQ(c.badIrql.load(), 0);
}

}  // namespace
