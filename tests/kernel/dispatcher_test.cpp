#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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
