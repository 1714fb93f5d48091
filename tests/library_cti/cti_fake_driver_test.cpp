// The command transport over a stand-in driver whose answers the test
// controls: the removal watcher closing a session's channel when the driver
// signals removal, and a synchronous command whose abort the driver takes but
// never carries out.
#include "pav512/buffers.h"
#include "tests/channels/fake_driver.h"
#include "tests/library_cti/cti_fixture.h"

namespace pavtest {
namespace {

using namespace pav512;

class CtiStandIn : public LibraryLoaded {
  protected:
    void add(const std::string& serial) {
        recorder_ = recordInProcess();
        fake_ = FakeDriver::create("USB\\VID_F1A5&PID_0B2D\\" + serial);
        ASSERT_NE(fake_, nullptr);
        refreshNow();
    }
    void TearDown() override {
        LibraryLoaded::TearDown();
        fake_.reset();
        uchannel::setTransport(nullptr);
    }
    std::shared_ptr<RecordingTransport> recorder_;
    std::unique_ptr<FakeDriver> fake_;
};

TEST_F(CtiStandIn, TheRemovalEventClosesTheSessionsChannel) {
    add("removal");
    Session s(0);
    ASSERT_EQ(s.status, CTISTATUS_SUCCESS);
    ASSERT_EQ(CtiHandleLock(s.handle, 0), CTISTATUS_SUCCESS);
    fake_->signalEvents();
    // The driver would still answer; the session no longer asks it.
    EXPECT_TRUE(waitFor([&] { return CtiHandleUnLock(s.handle) == CTISTATUS_CAMERA_REMOVED; }));
    // The channel's own end (its close and the clearing of its
    // notifications) may reach the driver after the session reports the
    // removal; from then on nothing more may.
    EXPECT_TRUE(waitFor([&] {
        return fake_->count(IOCTL_CTI_CLOSE) == 1 && fake_->registeredEvents() == 0;
    }));
    std::size_t asked = fake_->seen().size();
    EXPECT_EQ(CtiHandleLock(s.handle, 0), CTISTATUS_CAMERA_REMOVED);
    EXPECT_EQ(CtiCommand(s.handle, nullptr, nullptr), CTISTATUS_CAMERA_REMOVED);
    CtiTask* task = reinterpret_cast<CtiTask*>(1);
    EXPECT_EQ(CtiCommand(s.handle, nullptr, &task), CTISTATUS_CAMERA_REMOVED);
    EXPECT_EQ(task, nullptr);
    EXPECT_EQ(fake_->seen().size(), asked);
    EXPECT_EQ(CtiHandleClose(s.handle), CTISTATUS_SUCCESS);
    s.handle = nullptr;
}

TEST_F(CtiStandIn, ASynchronousCommandWhoseAbortIsNotCarriedOutIsCancelled) {
    ClockScale fast(50);
    add("no-abort");
    Session s(0);
    ASSERT_EQ(s.status, CTISTATUS_SUCCESS);
    std::uint8_t data[8];
    std::uint32_t got = 0;
    // The stand-in holds every transaction and answers the abort without
    // ending it: the library gives up after twice its wait.
    DWORD start = GetTickCount();
    EXPECT_EQ(CtiDataRead(s.handle, data, sizeof data, &got, nullptr), CTISTATUS_CAMERA_ERROR);
    EXPECT_GE(GetTickCount() - start, 10000u);
    EXPECT_EQ(recorder_->count(IOCTL_CTI_ABORT_TASK), 1u);
    EXPECT_EQ(fake_->cancelled(), 1);
    EXPECT_EQ(fake_->held(), 0u);
}

TEST_F(CtiStandIn, ATaskAnsweredWithoutBlockResultsReportsThemNotAttempted) {
    add("answer");
    Session s(0);
    ASSERT_EQ(s.status, CTISTATUS_SUCCESS);
    std::uint8_t value = 1;
    CtiCommandBlock c{};
    c.request = 0x01;
    c.data = &value;
    c.dataLength = 1;
    c.status = 0xDEAD;
    CtiTask* task = nullptr;
    ASSERT_EQ(CtiCommand(s.handle, &c, &task), CTISTATUS_SUCCESS);
    EXPECT_EQ(CtiTaskQueryComplete(&task), CTISTATUS_TASK_PENDING);
    // The stand-in answers with status 0 and leaves the blocks as they were sent.
    fake_->releaseHeld();
    EXPECT_EQ(CtiTaskWaitComplete(&task, CTI_WAIT_FOREVER), CTISTATUS_SUCCESS);
    EXPECT_EQ(c.status, CTISTATUS_COMMAND_NOT_ATTEMPTED);
    EXPECT_EQ(c.returnedLength, 1u);
}

}  // namespace
}  // namespace pavtest
