// The PTP client over the real driver and a simulated camera in this
// process: the transport's lock as two handles see it, response codes from
// the responder, and a camera that goes away.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/library/cameras.h"
#include "tests/library_ptp/ptp_test_support.h"

namespace ptplibtest {
namespace {

constexpr std::uint16_t kOpenSession = 0x1002;
constexpr std::uint16_t kCloseSession = 0x1003;
constexpr std::uint16_t kGetStorageIds = 0x1004;

// One operation without a data phase: its command phase with the
// parameters, then its response phase; the status of the first that fails,
// else of the response.
PTPSTATUS operation(PTP_HANDLE h, std::uint16_t code, std::vector<std::uint32_t> params,
                    PtpTransferBlock* response = nullptr) {
    PtpTransferBlock command{PTP_TRANSFER_COMMAND, code, 1,
                             static_cast<std::uint32_t>(4 * params.size()), 0, 0};
    PTPSTATUS st = PTPTransfer(h, &command, static_cast<std::uint32_t>(4 * params.size()),
                               params.empty() ? nullptr : params.data());
    if (st != PTPSTATUS_SUCCESS) return st;
    std::uint8_t room[64];
    PtpTransferBlock r{PTP_TRANSFER_RESPONSE, code, 1, 0, 0, 0};
    st = PTPTransfer(h, &r, sizeof room, room);
    if (response) *response = r;
    return st;
}

class PtpOverTheDriver : public LibraryLoaded {};

TEST_F(PtpOverTheDriver, TransfersNeedTheLockAndAnotherHandlesLockRefusesThem) {
    pavtest::SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("ptp-lock"));
    refreshNow();
    const std::uint8_t n = onlyCamera();
    ASSERT_NE(n, 0);
    PTP_HANDLE a = nullptr, b = nullptr;
    std::uint8_t opened = 0;
    ASSERT_EQ(PTPHandleOpen(0, &opened, &a), PTPSTATUS_SUCCESS);
    EXPECT_EQ(opened, n);
    ASSERT_EQ(PTPHandleOpen(n, nullptr, &b), PTPSTATUS_SUCCESS);

    // Nobody holds the lock.
    EXPECT_EQ(operation(a, kOpenSession, {1}), PTPSTATUS_NOT_LOCKED);
    EXPECT_EQ(PTPHandleUnlock(a), PTPSTATUS_LOCKED) << "unlocking what one does not hold";

    ASSERT_EQ(PTPHandleLock(b, 2000), PTPSTATUS_SUCCESS);
    EXPECT_EQ(operation(a, kOpenSession, {1}), PTPSTATUS_LOCKED);
    PtpCommandBlock cancel{};
    cancel.requestCode = 0x64;
    EXPECT_EQ(PTPCommand(a, &cancel, 0, nullptr), PTPSTATUS_LOCKED);
    EXPECT_EQ(PTPHandleLock(a, 0), PTPSTATUS_LOCK_TIMEDOUT);
    EXPECT_EQ(PTPHandleLock(a, 30), PTPSTATUS_LOCK_TIMEDOUT);
    EXPECT_EQ(PTPHandleUnlock(a), PTPSTATUS_LOCKED);

    // The holder works; once it lets go the other takes the lock at once.
    PtpTransferBlock response{};
    EXPECT_EQ(operation(b, kOpenSession, {1}, &response), PTPSTATUS_SUCCESS);
    EXPECT_EQ(response.code, PTP_RESPONSE_OK);
    EXPECT_EQ(operation(b, kCloseSession, {}), PTPSTATUS_SUCCESS);
    EXPECT_EQ(PTPHandleUnlock(b), PTPSTATUS_SUCCESS);
    EXPECT_EQ(PTPHandleLock(a, 0), PTPSTATUS_SUCCESS);
    EXPECT_EQ(operation(b, kOpenSession, {1}), PTPSTATUS_LOCKED);

    // Closing the holder frees the lock for the other.
    EXPECT_EQ(PTPHandleClose(a), PTPSTATUS_SUCCESS);
    EXPECT_EQ(PTPHandleLock(b, 0), PTPSTATUS_SUCCESS);
    EXPECT_EQ(PTPHandleClose(b), PTPSTATUS_SUCCESS);
}

TEST_F(PtpOverTheDriver, TheRespondersRefusalsComeBackAsResponseCodes) {
    pavtest::SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("ptp-responses"));
    refreshNow();
    PTP_HANDLE h = nullptr;
    ASSERT_EQ(PTPHandleOpen(0, nullptr, &h), PTPSTATUS_SUCCESS);
    ASSERT_EQ(PTPHandleLock(h, 2000), PTPSTATUS_SUCCESS);
    PtpTransferBlock response{};
    // Without an open PTP session: Session_Not_Open.
    EXPECT_EQ(operation(h, kGetStorageIds, {}, &response), PTPSTATUS_RESPONSE_BASE + 0x2003);
    EXPECT_EQ(response.code, 0x2003);
    EXPECT_EQ(operation(h, kOpenSession, {1}, &response), PTPSTATUS_SUCCESS);
    EXPECT_EQ(response.code, PTP_RESPONSE_OK);
    // Object handles of a storage with an association it does not have:
    // Invalid_Parameter.
    EXPECT_EQ(operation(h, 0x1007, {0x00010000, 0, 5}, &response), PTPSTATUS_RESPONSE_BASE + 0x201D);
    EXPECT_EQ(response.code, 0x201D);
    EXPECT_EQ(operation(h, kCloseSession, {}), PTPSTATUS_SUCCESS);
    EXPECT_EQ(PTPHandleUnlock(h), PTPSTATUS_SUCCESS);
    EXPECT_EQ(PTPHandleClose(h), PTPSTATUS_SUCCESS);
}

TEST_F(PtpOverTheDriver, AfterAnUnplugRequestsAnswerRemovedAndTheLockStopsAsking) {
    pavtest::SimulatedCameras cameras;
    ASSERT_TRUE(cameras.plug("ptp-unplug"));
    refreshNow();
    PTP_HANDLE h = nullptr;
    ASSERT_EQ(PTPHandleOpen(0, nullptr, &h), PTPSTATUS_SUCCESS);
    cameras.unplug("ptp-unplug");
    // However long the caller would wait, a camera that is gone gives no lock.
    EXPECT_EQ(PTPHandleLock(h, PTP_TIMEOUT_INFINITE), PTPSTATUS_CAMERA_REMOVED);
    PtpTransferBlock block{PTP_TRANSFER_RESPONSE, 0x1001, 0, 0, 0, 0};
    std::uint8_t room[16];
    EXPECT_EQ(PTPTransfer(h, &block, sizeof room, room), PTPSTATUS_CAMERA_REMOVED);
    EXPECT_EQ(PTPHandleClose(h), PTPSTATUS_SUCCESS);
}

}  // namespace
}  // namespace ptplibtest
