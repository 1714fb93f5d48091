// The PTP client over stand-in drivers whose answers the test chooses: the
// status texts and mapping, opening (which camera, which connect, the
// version check), the lock's attempts, and transfers and commands as they
// reach the driver and come back.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "library/device/ptp_internal.h"
#include "pav512/buffers.h"
#include "pav512/ioctl.h"
#include "tests/library_ptp/ptp_stand_in.h"
#include "tests/library_ptp/ptp_test_support.h"

namespace ptplibtest {
namespace {

using namespace pav512;
using Bytes = std::vector<std::uint8_t>;

std::uint32_t u32(const Bytes& b, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
std::uint16_t u16(const Bytes& b, std::size_t at) {
    std::uint16_t v = 0;
    std::memcpy(&v, b.data() + at, 2);
    return v;
}

TEST(PtpTexts, NamesAreTheTextsAndUnknownCodesSaySo) {
    char text[40];
    EXPECT_EQ(PTPGetErrorText(PTPSTATUS_NOT_LOCKED, text, sizeof text), PTPSTATUS_SUCCESS);
    EXPECT_STREQ(text, "PTPSTATUS_NOT_LOCKED");
    EXPECT_EQ(PTPGetErrorText(PTPSTATUS_DRIVER_VERSION_MISMATCH, text, sizeof text), 0u);
    EXPECT_STREQ(text, "PTPSTATUS_DRIVER_VERSION_MISMATCH");
    // 27 has no name, nor has a response code passed through.
    for (PTPSTATUS unknown : {27u, 29u, PTPSTATUS_RESPONSE_BASE + 0x2009}) {
        EXPECT_EQ(PTPGetErrorText(unknown, text, sizeof text), PTPSTATUS_INVALID_STATUS);
        EXPECT_STREQ(text, "Unknown Error Code");
    }
    // Cut to the room, always terminated.
    char small[10];
    std::memset(small, 'x', sizeof small);
    EXPECT_EQ(PTPGetErrorText(PTPSTATUS_CAMERA_REMOVED, small, sizeof small), PTPSTATUS_SUCCESS);
    EXPECT_STREQ(small, "PTPSTATUS");
    EXPECT_EQ(PTPGetErrorText(5000, small, 5), PTPSTATUS_INVALID_STATUS);
    EXPECT_STREQ(small, "Unkn");
    EXPECT_EQ(PTPGetErrorText(0, nullptr, 10), PTPSTATUS_NULL_POINTER);
    EXPECT_EQ(PTPGetErrorText(0, text, 0), PTPSTATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(PTPWaitEvent(), PTPSTATUS_SUCCESS);
}

TEST(PtpTexts, ResultBytesMapToTheFamily) {
    struct Row {
        std::uint8_t byte;
        PTPSTATUS status;
    } rows[] = {{0x00, PTPSTATUS_SUCCESS},          {0x02, PTPSTATUS_TRANSPORT_FAILED},
                {0x04, PTPSTATUS_TRANSPORT_FAILED}, {0x05, PTPSTATUS_TRANSPORT_FAILED},
                {0x07, PTPSTATUS_CAMERA_IN_USE},    {0x30, PTPSTATUS_CAMERA_ERROR},
                {0x31, PTPSTATUS_LOCK_TIMEDOUT},    {0x32, PTPSTATUS_LOCKED},
                {0x33, PTPSTATUS_TASK_ABORT_FAILED}, {0x34, PTPSTATUS_COMMAND_FAILED},
                {0x35, PTPSTATUS_BULK_FAILED},      {0x36, PTPSTATUS_TASK_ABORTED},
                {0x37, PTPSTATUS_BUFFER_TOO_SMALL}, {0x38, PTPSTATUS_NOT_LOCKED},
                {0x80, PTPSTATUS_CAMERA_REMOVED},   {0x83, PTPSTATUS_TASK_PENDING},
                {0xFF, PTPSTATUS_COMMAND_NOT_ATTEMPTED}, {0x03, PTPSTATUS_INVALID_STATUS},
                {0x01, PTPSTATUS_INVALID_STATUS},   {0x39, PTPSTATUS_INVALID_STATUS}};
    for (const Row& r : rows) EXPECT_EQ(pavu::mapPtpResult(r.byte), r.status) << int(r.byte);
}

class PtpStandIns : public LibraryLoaded {
  protected:
    PtpStandIn& add(const std::string& serial, const PtpStandIn::Answers& a = {}) {
        standIns_.push_back(PtpStandIn::create("USB\\VID_F1A5&PID_0B2D\\" + serial));
        EXPECT_NE(standIns_.back(), nullptr);
        standIns_.back()->answer(a);
        refreshNow();
        return *standIns_.back();
    }
    std::uint8_t number(const PtpStandIn& s) { return numberOf(s.interfacePath()); }
    // An open handle on a stand-in that answers `a`.
    PTP_HANDLE openOn(PtpStandIn& s) {
        PTP_HANDLE h = nullptr;
        EXPECT_EQ(PTPHandleOpen(number(s), nullptr, &h), PTPSTATUS_SUCCESS);
        return h;
    }
    void TearDown() override {
        LibraryLoaded::TearDown();
        standIns_.clear();
    }
    std::vector<std::unique_ptr<PtpStandIn>> standIns_;
};

TEST_F(PtpStandIns, CameraZeroStopsAtTheFirstCameraThatRefusesUnlessThePictureServiceAsks) {
    PtpStandIn::Answers refusing;
    refusing.openStatus = kModuleStatusInUse;
    PtpStandIn& first = add("refuses", refusing);
    PtpStandIn& second = add("accepts");
    ASSERT_EQ(number(first), 1);
    ASSERT_EQ(number(second), 2);

    std::uint8_t opened = 0xEE;
    PTP_HANDLE h = reinterpret_cast<PTP_HANDLE>(&opened);
    EXPECT_EQ(PTPHandleOpen(0, &opened, &h), PTPSTATUS_CAMERA_NOT_FOUND);
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(first.count(IOCTL_PTP_OPEN), 1u);
    EXPECT_EQ(second.count(IOCTL_PTP_OPEN), 0u) << "no further camera is tried";

    // The picture-service form passes over the camera that refuses.
    opened = 0;
    ASSERT_EQ(pavu::ptpOpen(0, &opened, &h, pavu::PtpConnect::PictureService), PTPSTATUS_SUCCESS);
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(first.count(IOCTL_PTP_OPEN_WIA), 1u);
    EXPECT_EQ(second.count(IOCTL_PTP_OPEN_WIA), 1u);
    EXPECT_EQ(second.count(IOCTL_PTP_VERSION), 1u);
    EXPECT_EQ(pavu::ptpSessionIdentifier(h), 0x40u);
    EXPECT_EQ(PTPHandleClose(h), PTPSTATUS_SUCCESS);

    // Naming the camera opens exactly it; naming the refusing one finds none.
    PTP_HANDLE direct = nullptr;
    EXPECT_EQ(PTPHandleOpen(2, &opened, &direct), PTPSTATUS_SUCCESS);
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(PTPHandleClose(direct), PTPSTATUS_SUCCESS);
    EXPECT_EQ(PTPHandleOpen(1, &opened, &direct), PTPSTATUS_CAMERA_NOT_FOUND);
    EXPECT_EQ(PTPHandleOpen(9, &opened, &direct), PTPSTATUS_CAMERA_NOT_FOUND);
    EXPECT_EQ(PTPHandleOpen(0, &opened, nullptr), PTPSTATUS_NULL_POINTER);
}

TEST_F(PtpStandIns, ADriverOfAnotherVersionIsClosedAgainAndGivesNoHandle) {
    PtpStandIn::Answers old;
    old.version = 0x0202;
    PtpStandIn& s = add("old", old);
    std::uint8_t opened = 0xEE;
    PTP_HANDLE h = nullptr;
    EXPECT_EQ(PTPHandleOpen(number(s), &opened, &h), PTPSTATUS_DRIVER_VERSION_MISMATCH);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(opened, 0);
    auto seen = s.seen();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].code, IOCTL_PTP_OPEN);
    EXPECT_EQ(seen[1].code, IOCTL_PTP_VERSION);
    EXPECT_EQ(u32(seen[1].bytes, 4), 0x40u);
    EXPECT_EQ(seen[2].code, IOCTL_PTP_CLOSE);
    EXPECT_EQ(u32(seen[2].bytes, 4), 0x40u);
}

TEST_F(PtpStandIns, CloseDisconnectsOnceAndTheHandleIsThenUnknown) {
    PtpStandIn& s = add("close");
    PTP_HANDLE h = openOn(s);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(PTPHandleClose(h), PTPSTATUS_SUCCESS);
    EXPECT_EQ(s.count(IOCTL_PTP_CLOSE), 1u);
    PtpTransferBlock block{};
    block.kind = PTP_TRANSFER_RESPONSE;
    EXPECT_EQ(PTPHandleClose(h), PTPSTATUS_INVALID_HANDLE);
    EXPECT_EQ(PTPHandleLock(h, 0), PTPSTATUS_INVALID_HANDLE);
    EXPECT_EQ(PTPHandleUnlock(h), PTPSTATUS_INVALID_HANDLE);
    EXPECT_EQ(PTPTransfer(h, &block, 0, nullptr), PTPSTATUS_INVALID_HANDLE);
    EXPECT_EQ(PTPCommand(h, nullptr, 0, nullptr), PTPSTATUS_INVALID_HANDLE);
    EXPECT_EQ(PTPHandleClose(nullptr), PTPSTATUS_INVALID_HANDLE);
    EXPECT_EQ(s.count(IOCTL_PTP_CLOSE), 1u);
    EXPECT_EQ(s.count(IOCTL_PTP_TRANSFER), 0u);
}

TEST_F(PtpStandIns, UnloadClosesTheHandlesStillOpen) {
    PtpStandIn& s = add("unload");
    PTP_HANDLE h = openOn(s);
    ASSERT_NE(h, nullptr);
    pavu::processDetach();
    EXPECT_EQ(s.count(IOCTL_PTP_CLOSE), 1u);
    EXPECT_EQ(PTPHandleClose(h), PTPSTATUS_INVALID_HANDLE);
    pavu::processAttach();
}

TEST_F(PtpStandIns, ResponseCodesOtherThanOkComeBackAboveTheFamily) {
    PtpStandIn::Answers a;
    a.data = {1, 0, 0, 0};
    PtpStandIn& s = add("responses", a);
    PTP_HANDLE h = openOn(s);
    ASSERT_NE(h, nullptr);
    std::uint8_t params[16] = {};
    PtpTransferBlock block{};
    block.kind = PTP_TRANSFER_RESPONSE;
    block.code = 0x1009;
    EXPECT_EQ(PTPTransfer(h, &block, sizeof params, params), PTPSTATUS_SUCCESS);
    EXPECT_EQ(block.code, 0x2001);
    EXPECT_EQ(block.chunkLength, 4u);
    EXPECT_EQ(params[0], 1);

    a.responseCode = 0x2009;
    s.answer(a);
    block.code = 0x1009;
    EXPECT_EQ(PTPTransfer(h, &block, sizeof params, params), 0xF0002009u);
    EXPECT_EQ(block.code, 0x2009);

    // Only a response phase is read as a response: a data phase ending the
    // same way is an ordinary success.
    block.kind = PTP_TRANSFER_DATA;
    block.code = 0x1009;
    EXPECT_EQ(PTPTransfer(h, &block, sizeof params, params), PTPSTATUS_SUCCESS);
    EXPECT_EQ(block.code, 0x1009);
    // A refused phase is reported as refused, whatever code the block holds.
    a.transferStatus = kModuleStatusPtpNotLocked;
    s.answer(a);
    block.kind = PTP_TRANSFER_RESPONSE;
    EXPECT_EQ(PTPTransfer(h, &block, sizeof params, params), PTPSTATUS_NOT_LOCKED);
    EXPECT_EQ(PTPHandleClose(h), PTPSTATUS_SUCCESS);
}

TEST_F(PtpStandIns, BadTransfersAreRefusedBeforeAnyRequest) {
    PtpStandIn& s = add("refusals");
    PTP_HANDLE h = openOn(s);
    ASSERT_NE(h, nullptr);
    std::uint8_t buffer[8] = {};
    PtpTransferBlock block{};
    block.kind = 4;
    EXPECT_EQ(PTPTransfer(h, &block, sizeof buffer, buffer), PTPSTATUS_BAD_PARAMETER);
    block.kind = 0;
    EXPECT_EQ(PTPTransfer(h, &block, 0, nullptr), PTPSTATUS_BAD_PARAMETER);
    block.kind = PTP_TRANSFER_DATA;
    EXPECT_EQ(PTPTransfer(h, &block, sizeof buffer, nullptr), PTPSTATUS_BAD_PARAMETER);
    EXPECT_EQ(PTPTransfer(h, nullptr, sizeof buffer, buffer), PTPSTATUS_NULL_POINTER);
    // More than any channel carries in one buffer.
    EXPECT_EQ(PTPTransfer(h, &block, 0x7FFFFFFF, buffer), PTPSTATUS_BUFFER_TOO_LARGE);
    auto bogus = reinterpret_cast<PTP_HANDLE>(buffer);
    EXPECT_EQ(PTPTransfer(bogus, &block, sizeof buffer, buffer), PTPSTATUS_INVALID_HANDLE);
    PtpCommandBlock command{};
    EXPECT_EQ(PTPCommand(h, nullptr, 0, nullptr), PTPSTATUS_NULL_POINTER);
    EXPECT_EQ(PTPCommand(h, &command, 4, nullptr), PTPSTATUS_BAD_PARAMETER);
    EXPECT_EQ(s.count(IOCTL_PTP_TRANSFER), 0u);
    EXPECT_EQ(s.count(IOCTL_PTP_COMMAND), 0u);
    EXPECT_EQ(PTPHandleClose(h), PTPSTATUS_SUCCESS);
}

TEST_F(PtpStandIns, TransfersReachTheDriverAsBuiltAndTheirAnswersComeBack) {
    PtpStandIn::Answers a;
    a.data = {0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5};
    PtpStandIn& s = add("transfers", a);
    PTP_HANDLE h = openOn(s);
    ASSERT_NE(h, nullptr);
    const std::uint32_t session = pavu::ptpSessionIdentifier(h);

    // A command phase carries the parameters and changes nothing in the block.
    std::uint8_t params[8] = {1, 0, 0, 0, 0x10, 0, 0, 0x10};
    PtpTransferBlock block{PTP_TRANSFER_COMMAND, 0x1009, 1, 8, 0, 0};
    ASSERT_EQ(PTPTransfer(h, &block, sizeof params, params), PTPSTATUS_SUCCESS);
    Bytes sent = s.seen().back().bytes;
    ASSERT_EQ(sent.size(), kPtpDataOffset + 8);
    EXPECT_EQ(sent[0], kModuleStatusUnanswered);
    EXPECT_EQ(u32(sent, 4), session);
    EXPECT_EQ(u16(sent, 8), 1);
    EXPECT_EQ(u16(sent, 10), 0x1009);
    EXPECT_EQ(u32(sent, 12), 1u);
    EXPECT_EQ(u32(sent, 16), 8u);
    EXPECT_EQ(u32(sent, 20), 8u);
    EXPECT_EQ(u32(sent, 24), 0u);
    EXPECT_EQ(Bytes(sent.begin() + kPtpDataOffset, sent.end()), Bytes(params, params + 8));
    EXPECT_EQ(block.chunkLength, 0u);

    // A response phase sends no data of the caller's; its answer fills the
    // buffer and the block.
    std::uint8_t room[16];
    std::memset(room, 0xEE, sizeof room);
    PtpTransferBlock response{PTP_TRANSFER_RESPONSE, 0x1009, 1, 0, 0, 0};
    ASSERT_EQ(PTPTransfer(h, &response, sizeof room, room), PTPSTATUS_SUCCESS);
    sent = s.seen().back().bytes;
    EXPECT_EQ(sent.size(), kPtpDataOffset + sizeof room);
    EXPECT_EQ(u32(sent, 20), sizeof room);
    EXPECT_EQ(Bytes(sent.begin() + kPtpDataOffset, sent.end()), Bytes(sizeof room, 0));
    EXPECT_EQ(response.totalLength, 6u);
    EXPECT_EQ(response.chunkLength, 6u);
    EXPECT_EQ(Bytes(room, room + 7), (Bytes{0xD0, 0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xEE}));

    // A reply that claims more bytes than the caller's buffer holds is a
    // failed transfer, and nothing of it reaches the caller.
    a.claimedLength = 64;
    s.answer(a);
    std::memset(room, 0xEE, sizeof room);
    PtpTransferBlock data{PTP_TRANSFER_DATA, 0x1009, 1, 0, 0, 0};
    EXPECT_EQ(PTPTransfer(h, &data, sizeof room, room), PTPSTATUS_TRANSPORT_FAILED);
    EXPECT_EQ(room[0], 0xEE);
    EXPECT_EQ(data.chunkLength, 0u);
    EXPECT_EQ(PTPHandleClose(h), PTPSTATUS_SUCCESS);
}

TEST_F(PtpStandIns, CommandsSendToTheCameraOrReadFromIt) {
    PtpStandIn::Answers a;
    a.data = {0xC0, 0xC1, 0xC2};
    PtpStandIn& s = add("commands", a);
    PTP_HANDLE h = openOn(s);
    ASSERT_NE(h, nullptr);
    std::uint8_t cancel[6] = {0x01, 0x40, 1, 0, 0, 0};
    PtpCommandBlock out{};
    out.requestCode = 0x64;
    out.direction = 0;
    out.commandValue = 0x1234;
    out.dataLength = 99;  // replaced by the buffer's length when sending
    ASSERT_EQ(PTPCommand(h, &out, sizeof cancel, cancel), PTPSTATUS_SUCCESS);
    Bytes sent = s.seen().back().bytes;
    ASSERT_EQ(sent.size(), kPtpDataOffset + 6);
    EXPECT_EQ(u32(sent, 8), 6u);
    EXPECT_EQ(u32(sent, 12), 6u);
    EXPECT_EQ(u32(sent, 16), 0u);
    EXPECT_EQ(sent[20], 0x64);
    EXPECT_EQ(u16(sent, 22), 0x1234);
    EXPECT_EQ(Bytes(sent.begin() + kPtpDataOffset, sent.end()), Bytes(cancel, cancel + 6));
    EXPECT_EQ(out.requestCode, 0x64);
    EXPECT_EQ(out.commandValue, 0x1234);

    std::uint8_t status[8] = {};
    PtpCommandBlock in{};
    in.requestCode = 0x67;
    in.direction = 1;
    ASSERT_EQ(PTPCommand(h, &in, sizeof status, status), PTPSTATUS_SUCCESS);
    sent = s.seen().back().bytes;
    EXPECT_EQ(Bytes(sent.begin() + kPtpDataOffset, sent.end()), Bytes(8, 0));
    EXPECT_EQ(in.dataLength, 3u);
    EXPECT_EQ(in.direction, 1u);
    EXPECT_EQ(Bytes(status, status + 4), (Bytes{0xC0, 0xC1, 0xC2, 0}));
    EXPECT_EQ(PTPHandleClose(h), PTPSTATUS_SUCCESS);
}

TEST_F(PtpStandIns, ALockWithTimeOutZeroAsksOnceAndLongerTimeOutsAskAgain) {
    PtpStandIn::Answers busy;
    busy.lockStatus = kModuleStatusAlreadyLocked;
    PtpStandIn& s = add("busy", busy);
    PTP_HANDLE h = openOn(s);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(PTPHandleLock(h, 0), PTPSTATUS_LOCK_TIMEDOUT);
    EXPECT_EQ(s.count(IOCTL_PTP_LOCK), 1u);
    EXPECT_EQ(PTPHandleLock(h, 20), PTPSTATUS_LOCK_TIMEDOUT);
    EXPECT_GE(s.count(IOCTL_PTP_LOCK), 3u) << "tried again until the time was up";
    busy.lockStatus = kModuleStatusSuccess;
    s.answer(busy);
    EXPECT_EQ(PTPHandleLock(h, PTP_TIMEOUT_INFINITE), PTPSTATUS_SUCCESS);
    EXPECT_EQ(PTPHandleUnlock(h), PTPSTATUS_SUCCESS);
    EXPECT_EQ(u32(s.seen().back().bytes, 4), pavu::ptpSessionIdentifier(h));
    EXPECT_EQ(PTPHandleClose(h), PTPSTATUS_SUCCESS);
}

}  // namespace
}  // namespace ptplibtest
