// Command transport sessions over the real driver and simulated cameras:
// which camera an open finds, exclusive and shared sessions, the session and
// thread locks with their time-outs, what unplugging does to a session, and
// closing (also of what the library still holds at unload).
#include <atomic>
#include <thread>

#include "pav512/buffers.h"
#include "tests/library_cti/cti_fixture.h"

namespace pavtest {
namespace {

using namespace pav512;
using CtiSessions = LibraryLoaded;

// One register write, which the camera answers at once.
CTISTATUS writeRegister(CtiHandle* h, std::uint8_t value) {
    CtiCommandBlock c{};
    c.request = 0x01;
    c.valueHigh = 0x40;  // register 0x40
    c.valueLow = 3;      // of space 3
    c.data = &value;
    c.dataLength = 1;
    return CtiCommand(h, &c, nullptr);
}

TEST_F(CtiSessions, WithNoCameraNothingOpensAndTheOpenedNumberIsZero) {
    SimulatedCameras cameras;
    refreshNow();
    std::uint8_t opened = 0xEE;
    CtiHandle* h = reinterpret_cast<CtiHandle*>(&opened);
    EXPECT_EQ(CtiHandleOpen(CTI_MODE_EXCLUSIVE, 0, &opened, &h), CTISTATUS_CAMERA_NOT_FOUND);
    EXPECT_EQ(opened, 0u);
    EXPECT_EQ(h, nullptr);
    opened = 0xEE;
    EXPECT_EQ(CtiHandleOpen(CTI_MODE_SHARED, 3, &opened, &h), CTISTATUS_CAMERA_NOT_FOUND);
    EXPECT_EQ(opened, 0u);
    // The arguments are checked first: the mode, then the handle pointer.
    EXPECT_EQ(CtiHandleOpen(-1, 0, &opened, &h), CTISTATUS_BAD_PARAMETER);
    EXPECT_EQ(CtiHandleOpen(2, 0, &opened, nullptr), CTISTATUS_BAD_PARAMETER);
    EXPECT_EQ(CtiHandleOpen(CTI_MODE_SHARED, 0, &opened, nullptr), CTISTATUS_NULL_POINTER);
}

TEST_F(CtiSessions, AnExclusiveSessionShutsOutEveryOtherAndAnyCameraMovesOn) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("exclusive-a"));
    refreshNow();
    auto numbers = presentNumbers();
    ASSERT_EQ(numbers.size(), 1u);
    const std::uint8_t a = numbers[0];

    Session first(0, CTI_MODE_EXCLUSIVE);
    ASSERT_EQ(first.status, CTISTATUS_SUCCESS);
    EXPECT_EQ(first.opened, a);
    {
        Session again(a, CTI_MODE_EXCLUSIVE);
        EXPECT_EQ(again.status, CTISTATUS_CAMERA_IN_USE);
        EXPECT_EQ(again.opened, 0u);
        EXPECT_EQ(again.handle, nullptr);
        Session shared(a, CTI_MODE_SHARED);
        EXPECT_EQ(shared.status, CTISTATUS_CAMERA_IN_USE);
        // Any camera: the only one refuses, whatever its refusal was.
        Session any(0, CTI_MODE_EXCLUSIVE);
        EXPECT_EQ(any.status, CTISTATUS_CAMERA_NOT_FOUND);
    }

    // With a second camera, "any camera" passes over the one in use.
    ASSERT_TRUE(cameras.plug("exclusive-b"));
    refreshNow();
    numbers = presentNumbers();
    ASSERT_EQ(numbers.size(), 2u);
    const std::uint8_t b = numbers[0] == a ? numbers[1] : numbers[0];
    {
        Session any(0, CTI_MODE_SHARED);
        ASSERT_EQ(any.status, CTISTATUS_SUCCESS);
        EXPECT_EQ(any.opened, b);
    }

    // Once the exclusive session is closed, shared sessions share, and an
    // exclusive one is refused while they are open.
    ASSERT_EQ(CtiHandleClose(first.handle), CTISTATUS_SUCCESS);
    EXPECT_EQ(CtiHandleClose(first.handle), CTISTATUS_INVALID_HANDLE);
    first.handle = nullptr;
    Session one(a), two(a);
    EXPECT_EQ(one.status, CTISTATUS_SUCCESS);
    EXPECT_EQ(two.status, CTISTATUS_SUCCESS);
    Session exclusive(a, CTI_MODE_EXCLUSIVE);
    EXPECT_EQ(exclusive.status, CTISTATUS_CAMERA_IN_USE);
    EXPECT_EQ(writeRegister(one.handle, 0x5A), CTISTATUS_SUCCESS);
    EXPECT_EQ(cameras.camera("exclusive-a")->registerValue(3, 0x40), 0x5A);
}

TEST_F(CtiSessions, TheOpenSendsTheSessionWishAndChecksTheDriversVersion) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("version"));
    refreshNow();
    auto recorder = recordInProcess();
    {
        Session exclusive(0, CTI_MODE_EXCLUSIVE);
        ASSERT_EQ(exclusive.status, CTISTATUS_SUCCESS);
    }
    {
        Session shared(0, CTI_MODE_SHARED);
        ASSERT_EQ(shared.status, CTISTATUS_SUCCESS);
    }
    auto opens = recorder->seen(IOCTL_CTI_OPEN);
    ASSERT_EQ(opens.size(), 2u);
    ASSERT_EQ(opens[0].input.size(), sizeof(CommandHeader));
    EXPECT_EQ(opens[0].input[0], kModuleStatusUnanswered);
    EXPECT_EQ(u32At(opens[0].input, 16), 1u);  // exclusive
    EXPECT_EQ(u32At(opens[1].input, 16), 0u);  // shared
    EXPECT_EQ(u32At(opens[0].input, 8), GetCurrentThreadId());
    // Each session asks the version once and says goodbye once.
    EXPECT_EQ(recorder->count(IOCTL_CTI_VERSION), 2u);
    auto closes = recorder->seen(IOCTL_CTI_CLOSE);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_NE(u32At(closes[0].input, 4), u32At(closes[1].input, 4));
    // The removal event is registered on the session's property handle.
    EXPECT_GE(recorder->count(IOCTL_VPI_NOTIFICATION_SET), 4u);
}

TEST_F(CtiSessions, ALockWithTimeOutZeroAsksOnceAndALongerOneKeepsAsking) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("lock"));
    refreshNow();
    auto recorder = recordInProcess();
    Session owner(0), other(0);
    ASSERT_EQ(owner.status, CTISTATUS_SUCCESS);
    ASSERT_EQ(other.status, CTISTATUS_SUCCESS);
    ASSERT_EQ(CtiHandleLock(owner.handle, 0), CTISTATUS_SUCCESS);

    std::size_t before = recorder->count(IOCTL_CTI_LOCK);
    EXPECT_EQ(CtiHandleLock(other.handle, 0), CTISTATUS_LOCK_TIMEDOUT);
    EXPECT_EQ(recorder->count(IOCTL_CTI_LOCK), before + 1);

    before = recorder->count(IOCTL_CTI_LOCK);
    DWORD start = GetTickCount();
    EXPECT_EQ(CtiHandleLock(other.handle, 100), CTISTATUS_LOCK_TIMEDOUT);
    EXPECT_GE(GetTickCount() - start, 100u);
    EXPECT_GT(recorder->count(IOCTL_CTI_LOCK), before + 1);

    // The other session may neither unlock nor send commands.
    EXPECT_EQ(CtiHandleUnLock(other.handle), CTISTATUS_LOCKED);
    EXPECT_EQ(writeRegister(other.handle, 1), CTISTATUS_LOCKED);
    EXPECT_EQ(writeRegister(owner.handle, 2), CTISTATUS_SUCCESS);

    // A lock that frees up while the other waits for ever is taken then.
    std::atomic<CTISTATUS> waited{CTISTATUS_INVALID_STATUS};
    std::thread waiter([&] { waited = CtiHandleLock(other.handle, CTI_WAIT_FOREVER); });
    EXPECT_TRUE(waitFor([&] { return recorder->count(IOCTL_CTI_LOCK) > before + 50; }));
    EXPECT_EQ(CtiHandleUnLock(owner.handle), CTISTATUS_SUCCESS);
    waiter.join();
    EXPECT_EQ(waited.load(), CTISTATUS_SUCCESS);
    EXPECT_EQ(writeRegister(owner.handle, 3), CTISTATUS_LOCKED);
    EXPECT_EQ(CtiHandleUnLock(other.handle), CTISTATUS_SUCCESS);
}

TEST_F(CtiSessions, AThreadLockServesOnlyItsThread) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("thread-lock"));
    refreshNow();
    Session s(0);
    ASSERT_EQ(s.status, CTISTATUS_SUCCESS);
    ASSERT_EQ(CtiHandleLockThread(s.handle, 0), CTISTATUS_SUCCESS);
    CTISTATUS fromOther = CTISTATUS_INVALID_STATUS, unlockOther = CTISTATUS_INVALID_STATUS;
    std::thread([&] {
        fromOther = writeRegister(s.handle, 1);
        unlockOther = CtiHandleUnLock(s.handle);
    }).join();
    EXPECT_EQ(fromOther, CTISTATUS_LOCKED);
    EXPECT_EQ(unlockOther, CTISTATUS_LOCKED);
    EXPECT_EQ(writeRegister(s.handle, 2), CTISTATUS_SUCCESS);
    EXPECT_EQ(CtiHandleUnLock(s.handle), CTISTATUS_SUCCESS);
    EXPECT_EQ(CtiHandleUnLock(s.handle), CTISTATUS_LOCKED);
}

TEST_F(CtiSessions, HandlesThatAreNotOpenSessionsAreRefused) {
    std::uint32_t junk[16] = {0xED155AA5, 0xED155AA5};
    auto* bogus = reinterpret_cast<CtiHandle*>(junk);
    EXPECT_EQ(CtiHandleClose(nullptr), CTISTATUS_INVALID_HANDLE);
    EXPECT_EQ(CtiHandleClose(bogus), CTISTATUS_INVALID_HANDLE);
    EXPECT_EQ(CtiHandleLock(bogus, 0), CTISTATUS_INVALID_HANDLE);
    EXPECT_EQ(CtiHandleLockThread(nullptr, 0), CTISTATUS_INVALID_HANDLE);
    EXPECT_EQ(CtiHandleUnLock(bogus), CTISTATUS_INVALID_HANDLE);
    EXPECT_EQ(CtiResetTransport(bogus), CTISTATUS_INVALID_HANDLE);
    EXPECT_EQ(CtiCommand(bogus, nullptr, nullptr), CTISTATUS_INVALID_HANDLE);
    std::uint8_t b[4];
    std::uint32_t got = 0;
    EXPECT_EQ(CtiDataRead(bogus, b, 4, &got, nullptr), CTISTATUS_INVALID_HANDLE);
}

TEST_F(CtiSessions, AfterUnpluggingRequestsAnswerRemovedAndTheCloseStillFrees) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("removed"));
    refreshNow();
    Session s(0);
    ASSERT_EQ(s.status, CTISTATUS_SUCCESS);
    ASSERT_EQ(writeRegister(s.handle, 1), CTISTATUS_SUCCESS);
    std::uint8_t data[64];
    std::uint32_t got = 0;
    CtiTask* pending = nullptr;
    ASSERT_EQ(CtiDataRead(s.handle, data, sizeof data, &got, &pending), CTISTATUS_SUCCESS);
    ASSERT_NE(pending, nullptr);

    cameras.unplug("removed");
    // The task ends with the device, whichever way it learns of it first:
    // its bulk pipe failing, the driver's stop aborting it, or the channel
    // closing under it.
    CTISTATUS ended = CtiTaskWaitComplete(&pending, CTI_WAIT_FOREVER);
    EXPECT_TRUE(ended == CTISTATUS_BULK_FAILED || ended == CTISTATUS_TASK_ABORTED ||
                ended == CTISTATUS_CAMERA_REMOVED)
        << ended;
    EXPECT_EQ(pending, nullptr);
    EXPECT_TRUE(waitFor([&] { return writeRegister(s.handle, 2) == CTISTATUS_CAMERA_REMOVED; }));
    // A lock that waits for ever does not wait for a camera that is gone.
    EXPECT_EQ(CtiHandleLock(s.handle, CTI_WAIT_FOREVER), CTISTATUS_CAMERA_REMOVED);
    EXPECT_EQ(CtiResetTransport(s.handle), CTISTATUS_CAMERA_REMOVED);
    EXPECT_EQ(CtiHandleClose(s.handle), CTISTATUS_SUCCESS);
    s.handle = nullptr;
}

TEST_F(CtiSessions, UnloadingTheLibraryEndsTheSessionsItStillHolds) {
    SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("unload"));
    refreshNow();
    CtiHandle* h = nullptr;
    ASSERT_EQ(CtiHandleOpen(CTI_MODE_EXCLUSIVE, 0, nullptr, &h), CTISTATUS_SUCCESS);
    CtiTask* pending = nullptr;
    std::uint8_t data[16];
    std::uint32_t got = 0;
    ASSERT_EQ(CtiDataRead(h, data, sizeof data, &got, &pending), CTISTATUS_SUCCESS);
    pavu::processDetach();
    pavu::processAttach();
    // The exclusive session is gone in the driver, and the handle and task
    // with it.
    EXPECT_EQ(CtiHandleClose(h), CTISTATUS_INVALID_HANDLE);
    EXPECT_EQ(CtiTaskQueryComplete(&pending), CTISTATUS_TASK_INVALID);
    Session again(0, CTI_MODE_EXCLUSIVE);
    EXPECT_EQ(again.status, CTISTATUS_SUCCESS);
}

}  // namespace
}  // namespace pavtest
