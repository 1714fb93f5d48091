#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>
#include <thread>

#include "platform/kernel/condition.h"
#include "platform/kernel/wdm.h"
#include "tests/support/kernel_test.h"

namespace {

LARGE_INTEGER relativeMs(LONGLONG ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}

TEST(Events, NotificationStaysSignalledSynchronizationResetsOnWait) {
    KEVENT n, s;
    KeInitializeEvent(&n, NotificationEvent, FALSE);
    KeInitializeEvent(&s, SynchronizationEvent, FALSE);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    KeSetEvent(&n, 0, FALSE);
    KeSetEvent(&s, 0, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(KeResetEvent(&n), 1);
    EXPECT_EQ(KeReadStateEvent(&n), 0);
}

TEST(Events, SynchronizationEventReleasesExactlyOneWaiterPerSet) {
    KEVENT s;
    KeInitializeEvent(&s, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            LARGE_INTEGER t = relativeMs(2000);
            if (KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS) ++woken;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    KeSetEvent(&s, 0, FALSE);
    ASSERT_TRUE(pavtest::waitFor([&] { return woken.load() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(woken.load(), 1);
    KeSetEvent(&s, 0, FALSE);
    KeSetEvent(&s, 0, FALSE);  // only signals once more if nobody consumed it yet
    ASSERT_TRUE(pavtest::waitFor([&] { return woken.load() >= 2; }));
    for (auto& t : threads) t.join();
    EXPECT_LE(woken.load(), 3);
}

TEST(Events, WaitAnyReportsTheIndexAndWaitAllNeedsEveryObject) {
    KEVENT a, b;
    KeInitializeEvent(&a, NotificationEvent, FALSE);
    KeInitializeEvent(&b, NotificationEvent, FALSE);
    PVOID objs[2] = {&a, &b};
    LARGE_INTEGER poll{};
    KeSetEvent(&b, 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAny, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_WAIT_1);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_TIMEOUT);
    KeSetEvent(&a, 0, FALSE);
    EXPECT_EQ(KeWaitForMultipleObjects(2, objs, WaitAll, Executive, KernelMode, FALSE, &poll, nullptr),
              STATUS_WAIT_0);
}

// Waits on more objects than a thread's own wait blocks cover: the waiter
// sleeps linked to every object, the one that is signalled wakes it with its
// index, and no object keeps a block of a wait that has returned.
TEST(Events, WaitsOnManyObjectsWakeWithTheRightIndexAndLeaveNoBlockBehind) {
    constexpr ULONG kCount = 6;
    static_assert(kCount > THREAD_WAIT_OBJECTS);
    KEVENT events[kCount];
    PVOID objs[kCount];
    for (ULONG i = 0; i < kCount; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, FALSE);
        objs[i] = &events[i];
    }
    auto allIdle = [&] {
        for (KEVENT& e : events)
            if (!kdisp::idle(&e.Header)) return false;
        return true;
    };
    auto allLinked = [&] {
        for (KEVENT& e : events)
            if (kdisp::idle(&e.Header)) return false;
        return true;
    };
    std::atomic<NTSTATUS> any{STATUS_PENDING};
    std::thread waiter([&] {
        LARGE_INTEGER t = relativeMs(10000);
        any = KeWaitForMultipleObjects(kCount, objs, WaitAny, Executive, KernelMode, FALSE, &t,
                                       nullptr);
    });
    ASSERT_TRUE(pavtest::waitFor(allLinked));
    KeSetEvent(&events[4], 0, FALSE);
    waiter.join();
    EXPECT_EQ(any.load(), STATUS_WAIT_0 + 4);
    EXPECT_TRUE(allIdle());

    // Every object, a semaphore among them: four of five signalled do not
    // end the wait, the fifth does, and the semaphore's count is taken.
    for (KEVENT& e : events) KeResetEvent(&e);
    KSEMAPHORE sem;
    KeInitializeSemaphore(&sem, 0, 4);
    PVOID mixed[5] = {&events[0], &events[1], &sem, &events[2], &events[3]};
    std::atomic<NTSTATUS> all{STATUS_PENDING};
    std::thread allWaiter([&] {
        LARGE_INTEGER t = relativeMs(10000);
        all = KeWaitForMultipleObjects(5, mixed, WaitAll, Executive, KernelMode, FALSE, &t, nullptr);
    });
    ASSERT_TRUE(pavtest::waitFor([&] { return !kdisp::idle(&sem.Header); }));
    for (int i = 0; i < 4; ++i) KeSetEvent(&events[i], 0, FALSE);
    EXPECT_EQ(all.load(), STATUS_PENDING);
    EXPECT_FALSE(kdisp::idle(&sem.Header));
    KeReleaseSemaphore(&sem, 0, 1, FALSE);
    allWaiter.join();
    EXPECT_EQ(all.load(), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateSemaphore(&sem), 0);
    EXPECT_TRUE(allIdle());
    EXPECT_TRUE(kdisp::idle(&sem.Header));
}

// A thread waits again and again, most of its waits ending by time-out, while
// another wakes it for some: a waiter kept from one wait to the next never
// misses the wake-up of a later one.
TEST(Events, AThreadThatWaitsAgainAndAgainMissesNoWakeUp) {
    KEVENT go, back;
    KeInitializeEvent(&go, SynchronizationEvent, FALSE);
    KeInitializeEvent(&back, SynchronizationEvent, FALSE);
    constexpr int kRounds = 200;
    std::atomic<int> timeouts{0};
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        for (int i = 0; i < kRounds; ++i) {
            for (;;) {
                if (stop) return;
                LARGE_INTEGER t = relativeMs(1);
                if (KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, &t) == STATUS_SUCCESS)
                    break;
                ++timeouts;
            }
            KeSetEvent(&back, 0, FALSE);
        }
    });
    int answered = 0;
    for (int i = 0; i < kRounds; ++i) {
        // Now and then after the worker has timed out at least once more.
        if (i % 20 == 0) {
            const int seen = timeouts.load();
            ASSERT_TRUE(pavtest::waitFor([&] { return timeouts.load() > seen; }));
        }
        KeSetEvent(&go, 0, FALSE);
        LARGE_INTEGER t = relativeMs(10000);
        if (KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, &t) != STATUS_SUCCESS) break;
        ++answered;
    }
    stop = true;
    worker.join();
    EXPECT_EQ(answered, kRounds);
    EXPECT_TRUE(kdisp::idle(&go.Header));
    EXPECT_TRUE(kdisp::idle(&back.Header));
}

// The models' threads sleep on this condition: a notify that comes between a
// waiter's look at the state and its sleep must still wake it, whether the
// notifier holds the mutex or not; a timed wait ends by its time.
TEST(Condition, NoWakeUpIsLostAndTimedWaitsEnd) {
    std::mutex m;
    kcond::Condition c;
    int turn = 0;  // even: the main thread's, odd: the partner's
    constexpr int kRounds = 20000;
    std::thread partner([&] {
        for (int i = 0; i < kRounds; ++i) {
            std::unique_lock<std::mutex> g(m);
            c.wait(g, [&] { return turn % 2 == 1; });
            ++turn;
            if (i % 2) {
                g.unlock();
                c.notify_one();
            } else {
                c.notify_one();
            }
        }
    });
    for (int i = 0; i < kRounds; ++i) {
        std::unique_lock<std::mutex> g(m);
        c.wait(g, [&] { return turn % 2 == 0; });
        ++turn;
        g.unlock();
        c.notify_one();
    }
    partner.join();
    EXPECT_EQ(turn, 2 * kRounds);

    bool open = false;
    std::atomic<int> through{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.emplace_back([&] {
            std::unique_lock<std::mutex> g(m);
            c.wait(g, [&] { return open; });
            through.fetch_add(1);
        });
    }
    {
        std::lock_guard<std::mutex> g(m);
        open = true;
    }
    c.notify_all();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(through.load(), 4);

    std::unique_lock<std::mutex> g(m);
    const auto until = kcond::Condition::Clock::now() + std::chrono::milliseconds(20);
    int early = 0;  // returns before the time are allowed, but not many
    while (c.wait_until(g, until)) ASSERT_LT(++early, 1000);
    EXPECT_GE(kcond::Condition::Clock::now(), until);
    EXPECT_TRUE(g.owns_lock());
}

TEST(Semaphores, CountsAndRefusesReleaseBeyondLimit) {
    KSEMAPHORE s;
    KeInitializeSemaphore(&s, 0, 2);
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(KeReleaseSemaphore(&s, 0, 2, FALSE), 0);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    KeReleaseSemaphore(&s, 0, 2, FALSE);
    {
        pavtest::ExpectViolation v("semaphore");
        KeReleaseSemaphore(&s, 0, 1, FALSE);
    }
    EXPECT_EQ(KeReadStateSemaphore(&s), 2);
}

TEST(Clock, ScaledClockShortensTimeoutsWithoutChangingTheirOutcome) {
    kclock::setScale(200.0);
    KEVENT e;
    KeInitializeEvent(&e, NotificationEvent, FALSE);
    LONGLONG before = kclock::now();
    auto realBefore = std::chrono::steady_clock::now();
    LARGE_INTEGER t = relativeMs(10000);  // ten virtual seconds
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &t), STATUS_TIMEOUT);
    LONGLONG virtualSpent = kclock::now() - before;
    auto realSpent = std::chrono::steady_clock::now() - realBefore;
    EXPECT_GE(virtualSpent, 10000LL * 10000);
    EXPECT_LT(realSpent, std::chrono::seconds(5));
    // Absolute time-outs are on the same virtual clock.
    LARGE_INTEGER abs;
    abs.QuadPart = kclock::now() + 1000LL * 10000;
    EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &abs), STATUS_TIMEOUT);
    EXPECT_GE(kclock::now(), abs.QuadPart);
    kclock::setScale(1.0);
}

TEST(Clock, DelayAndPerformanceCounterFollowTheVirtualClock) {
    kclock::setScale(100.0);
    LARGE_INTEGER freq;
    LARGE_INTEGER c0 = KeQueryPerformanceCounter(&freq);
    LARGE_INTEGER d = relativeMs(500);
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    LARGE_INTEGER c1 = KeQueryPerformanceCounter(nullptr);
    EXPECT_EQ(freq.QuadPart, 10000000);
    EXPECT_GE(c1.QuadPart - c0.QuadPart, 500LL * 10000);
    kclock::setScale(1.0);
}

void threadBody(PVOID ctx) {
    auto* counter = static_cast<std::atomic<int>*>(ctx);
    counter->fetch_add(1);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST(Threads, ThreadObjectSignalsWhenTheThreadEnds) {
    std::atomic<int> counter{0};
    LONGLONG objects = kobj::liveObjects();
    HANDLE h = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&h, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, threadBody, &counter),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(h, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(h);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(counter.load(), 1);
    ObfDereferenceObject(thread);
    // The thread's own reference goes when it has finished signalling.
    EXPECT_TRUE(pavtest::waitFor([&] { return kobj::liveObjects() == objects; }));
}

TEST(Threads, CreationFailureIsInjectable) {
    kthread::failCreations(1);
    HANDLE h = nullptr;
    std::atomic<int> counter{0};
    EXPECT_EQ(PsCreateSystemThread(&h, 0, nullptr, nullptr, nullptr, threadBody, &counter),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(counter.load(), 0);
}

class FakeClient : public kobj::ClientObjectTable {
public:
    NTSTATUS referenceEvent(std::uint32_t handle, PKEVENT* event) override {
        if (handle != 44) return STATUS_INVALID_HANDLE;
        ++forwarded;
        *event = kobj::createForwardingEvent([](void* c) { static_cast<FakeClient*>(c)->signals++; }, this);
        return *event ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    }
    int forwarded = 0;
    std::atomic<int> signals{0};
};

TEST(Objects, ClientHandlesResolveOnlyInsideTheirClientScope) {
    FakeClient client;
    PVOID obj = nullptr;
    HANDLE h44 = reinterpret_cast<HANDLE>(std::uintptr_t{44});
    EXPECT_EQ(ObReferenceObjectByHandle(h44, SYNCHRONIZE, *ExEventObjectType, UserMode, &obj, nullptr),
              STATUS_INVALID_HANDLE);
    {
        kobj::ClientScope scope(&client);
        EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(std::uintptr_t{48}), SYNCHRONIZE,
                                            *ExEventObjectType, UserMode, &obj, nullptr),
                  STATUS_INVALID_HANDLE);
        ASSERT_EQ(ObReferenceObjectByHandle(h44, SYNCHRONIZE, *ExEventObjectType, UserMode, &obj, nullptr),
                  STATUS_SUCCESS);
    }
    KeSetEvent(static_cast<PKEVENT>(obj), 0, FALSE);
    KeSetEvent(static_cast<PKEVENT>(obj), 0, FALSE);
    EXPECT_EQ(client.signals.load(), 2);
    EXPECT_EQ(ObfDereferenceObject(obj), 0);
}

}  // namespace
