// The property-change watch list: keys, event watches, minidriver watches.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <map>
#include <thread>

#include "driver/core/support.h"
#include "tests/support/kernel_test.h"

namespace {

const GUID kOtherSet = {
    0x2BBD8342, 0x6AA2, 0x11D3, {0xA0, 0x76, 0x00, 0xA0, 0x24, 0xAD, 0x71, 0xC2}};

TEST(WatchKey, FollowsTheItemOrderOfBothEventSets) {
    struct Case {
        const GUID* set;
        ULONG identifier;
        LONG key;
    };
    const Case cases[] = {
        {&kCameraEventSet, 0x00, 0},
        {&kCameraEventSet, 0x05, 5},
        {&kCameraEventSet, 0x10, 6},
        {&kCameraEventSet, 0x1F, 21},
        {&kInputEventSet, 0x00, 22},
        {&kInputEventSet, 0x0F, 37},
        {&kInputEventSet, 0x20, 38},
        {&kInputEventSet, 0x2F, 53},
        {&kInputEventSet, 0x30, 54},
        {&kInputEventSet, 0x32, 55},
        {&kInputEventSet, 0x31, 56},
        // Not items of either set.
        {&kCameraEventSet, 0x06, -1},
        {&kCameraEventSet, 0x20, -1},
        {&kInputEventSet, 0x10, -1},
        {&kInputEventSet, 0x33, -1},
        {&kOtherSet, 0x01, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(watchKey(*c.set, c.identifier), c.key)
            << kio::guidString(*c.set) << " " << c.identifier;
}

// The handles of one client process: the watch list resolves what a request
// carried in the client's table, never in the kernel's.
class ClientHandles : public kobj::ClientObjectTable {
  public:
    NTSTATUS referenceEvent(std::uint32_t handle, PKEVENT* event) override {
        auto it = events.find(handle);
        if (it == events.end()) return STATUS_INVALID_HANDLE;
        ObfReferenceObject(it->second);
        *event = it->second;
        return STATUS_SUCCESS;
    }
    std::map<std::uint32_t, PKEVENT> events;
    std::uint32_t next = 0x40;
};
ClientHandles* currentHandles = nullptr;

struct Event {
    PKEVENT object;
    HANDLE handle;
    std::uint32_t value;
    Event() {
        object = kobj::create<KEVENT>(*ExEventObjectType);
        KeInitializeEvent(object, NotificationEvent, FALSE);
        value = currentHandles->next += 4;
        currentHandles->events[value] = object;
        handle = reinterpret_cast<HANDLE>(std::uintptr_t{value});
    }
    ~Event() {
        currentHandles->events.erase(value);
        ObfDereferenceObject(object);
    }
    bool signalled() { return KeReadStateEvent(object) != 0; }
};

class WatchListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        currentHandles = &handles;
        nodePoolInitialise(&pool);
        list.initialise(&pool);
    }
    void TearDown() override {
        list.clear();
        nodePoolDelete(&pool);
        EXPECT_EQ(kpool::liveBytes(kNodePoolTag), 0);
        currentHandles = nullptr;
    }
    ClientHandles handles;
    kobj::ClientScope scope{&handles};
    NodePool pool;
    WatchList list;
};

TEST_F(WatchListTest, SignalSetsOnlyTheEventsOfThatItem) {
    Event stalled, started, input;
    list.addEvent(kCameraEventSet, 1, stalled.handle);
    list.addEvent(kCameraEventSet, 2, started.handle);
    list.addEvent(kInputEventSet, 0x31, input.handle);
    list.signal(kCameraEventSet, 1);
    EXPECT_TRUE(stalled.signalled());
    EXPECT_FALSE(started.signalled());
    EXPECT_FALSE(input.signalled());
    list.signal(kInputEventSet, 0x31);
    EXPECT_TRUE(input.signalled());
    EXPECT_FALSE(started.signalled());
}

TEST_F(WatchListTest, TwoWatchesOfOneEventAreBothDroppedByOneRemoval) {
    Event event, other;
    LONG_PTR refs = kobj::referenceCount(event.object);
    EXPECT_EQ(list.addEvent(kCameraEventSet, 3, event.handle), STATUS_SUCCESS);
    EXPECT_EQ(list.addEvent(kCameraEventSet, 3, event.handle), STATUS_SUCCESS);
    list.addEvent(kCameraEventSet, 3, other.handle);
    EXPECT_EQ(list.count(), 3u);
    EXPECT_EQ(kobj::referenceCount(event.object), refs + 2);
    list.removeHandle(event.handle);
    EXPECT_EQ(list.count(), 1u);
    EXPECT_EQ(kobj::referenceCount(event.object), refs);
    list.signal(kCameraEventSet, 3);
    EXPECT_FALSE(event.signalled());
    EXPECT_TRUE(other.signalled());
    list.clear();
    EXPECT_EQ(list.count(), 0u);
}

TEST_F(WatchListTest, NothingIsAddedForAnUnknownItemOrAHandleThatIsNotAnEvent) {
    Event event;
    EXPECT_EQ(list.addEvent(kOtherSet, 1, event.handle), STATUS_SUCCESS);
    EXPECT_EQ(list.addEvent(kCameraEventSet, 0x40, event.handle), STATUS_SUCCESS);
    EXPECT_EQ(
        list.addEvent(kCameraEventSet, 1, reinterpret_cast<HANDLE>(std::uintptr_t{0x80001234})),
        STATUS_SUCCESS);
    // A thread object behind a valid kernel handle is not an event.
    HANDLE thread = nullptr;
    ASSERT_EQ(PsCreateSystemThread(
                  &thread, 0, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(list.addEvent(kCameraEventSet, 1, thread), STATUS_SUCCESS);
    ZwClose(thread);
    EXPECT_EQ(list.count(), 0u);
    list.signal(kOtherSet, 1);
    EXPECT_FALSE(event.signalled());
}

struct RoutineCall {
    int calls = 0;
    ULONG reason = 0;
    PVOID context = nullptr;
    ULONG_PTR reserved = 99;
    GUID set{};
    ULONG identifier = 0;
    bool listLockFree = false;
};
RoutineCall* routineCall = nullptr;
WatchList* routineList = nullptr;
std::thread probe;

void propertyChanged(ULONG reason, PVOID context, ULONG_PTR reserved, const GUID* set,
                     ULONG identifier) {
    RoutineCall& c = *routineCall;
    ++c.calls;
    c.reason = reason;
    c.context = context;
    c.reserved = reserved;
    c.set = *set;
    c.identifier = identifier;
    // The minidriver may call back into the list (to unwatch) from here. The
    // probe is joined by the test once the signal has returned, so a lock
    // held here shows as a failure, not a hang.
    std::promise<void> answered;
    std::future<void> answer = answered.get_future();
    probe = std::thread([p = std::move(answered)]() mutable {
        routineList->count();
        p.set_value();
    });
    c.listLockFree = answer.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
}

TEST_F(WatchListTest, AMinidriverWatchCallsTheConnectedRoutineOnceOutsideTheLock) {
    RoutineCall call;
    routineCall = &call;
    routineList = &list;
    int record1 = 0, record2 = 0, context = 0;
    list.connect(propertyChanged);
    list.addWatch(kInputEventSet, 0x05, &record1, &context);
    list.addWatch(kInputEventSet, 0x05, &record2, &context);
    list.addWatch(kOtherSet, 0x05, &record1, &context);  // no key: ignored
    EXPECT_EQ(list.count(), 2u);

    list.signal(kInputEventSet, 0x05);
    if (probe.joinable()) probe.join();
    EXPECT_EQ(call.calls, 1);
    EXPECT_EQ(call.reason, kPropertyChangeReason);
    EXPECT_EQ(call.context, &context);
    EXPECT_EQ(call.reserved, 0u);
    EXPECT_TRUE(call.set == kInputEventSet);
    EXPECT_EQ(call.identifier, 0x05u);
    EXPECT_TRUE(call.listLockFree) << "the routine was called with the list lock held";

    list.removeWatch(&record1);
    list.removeWatch(&record2);
    EXPECT_EQ(list.count(), 0u);
    list.signal(kInputEventSet, 0x05);
    EXPECT_EQ(call.calls, 1);

    // Disconnected: the minidriver's watch goes with it and nobody is called.
    list.addWatch(kInputEventSet, 0x05, &record1, &context);
    list.disconnect();
    EXPECT_EQ(list.count(), 0u);
    list.signal(kInputEventSet, 0x05);
    EXPECT_EQ(call.calls, 1);
    routineCall = nullptr;
    routineList = nullptr;
}

}  // namespace
