// The session ledger decides what the host closes for a channel that went
// away: only what the driver really opened, and nothing the client closed.
#include "host/session_ledger.h"

#include <gtest/gtest.h>

#include <cstring>

#include "pav512/buffers.h"

namespace host {
namespace {

using namespace pav512;

std::vector<std::uint8_t> buffer(std::size_t n, std::uint32_t at4 = 0, std::uint32_t at8 = 0) {
    std::vector<std::uint8_t> b(n, 0);
    std::memcpy(b.data() + 4, &at4, 4);
    std::memcpy(b.data() + 8, &at8, 4);
    return b;
}

// The reply to a command open: the new session in the value word at 16.
std::vector<std::uint8_t> opened(std::size_t n, std::uint32_t session) {
    std::vector<std::uint8_t> b(n, 0);
    if (n >= 20) std::memcpy(b.data() + 16, &session, 4);
    return b;
}

void observe(SessionLedger& l, std::uint32_t code, const std::vector<std::uint8_t>& request,
             const std::vector<std::uint8_t>& reply, NTSTATUS st = STATUS_SUCCESS) {
    l.observe(code, request.data(), static_cast<std::uint32_t>(request.size()), st,
              static_cast<std::uint32_t>(reply.size()), reply.data());
}

std::uint32_t at(const ClosingRequest& r, std::size_t offset) {
    std::uint32_t v;
    std::memcpy(&v, r.buffer.data() + offset, 4);
    return v;
}

TEST(SessionLedger, RecordsOnlyWhatTheDriverOpened) {
    SessionLedger l;
    auto refused = opened(20, 0x11);
    refused[0] = kModuleStatusInUse;
    observe(l, IOCTL_CTI_OPEN, buffer(20), refused);
    observe(l, IOCTL_CTI_OPEN, buffer(20), opened(20, 0x12), STATUS_CANCELLED);
    observe(l, IOCTL_CTI_OPEN, buffer(20), opened(19, 0x13));  // shorter than the header
    observe(l, IOCTL_PTP_OPEN, buffer(28), buffer(28, 0, 0x21), STATUS_INVALID_DEVICE_REQUEST);
    auto unanswered = buffer(44, 0x31);
    unanswered[0] = kModuleStatusUnanswered;
    observe(l, IOCTL_STREAM_OPEN, buffer(44), unanswered);
    observe(l, IOCTL_CTI_VERSION, buffer(20), buffer(20));
    EXPECT_TRUE(l.empty());
    EXPECT_TRUE(l.closingRequests().empty());
}

TEST(SessionLedger, ClosesEachOpenOnceInReleaseOrder) {
    SessionLedger l;
    observe(l, IOCTL_CTI_OPEN, buffer(20), opened(20, 0x11));
    observe(l, IOCTL_CTI_OPEN, buffer(20), opened(20, 0x12));
    observe(l, IOCTL_CTI_LOCK, buffer(20, 0x11, 0x99), buffer(20));
    observe(l, IOCTL_PTP_OPEN, buffer(28), buffer(28, 0, 0x21));
    observe(l, IOCTL_PTP_LOCK, buffer(28, 0x21), buffer(28));
    observe(l, IOCTL_STREAM_OPEN, buffer(44), buffer(44, 0x31));
    auto note = buffer(28);
    std::uint32_t handle = 0x40;
    std::memcpy(note.data() + 24, &handle, 4);
    observe(l, IOCTL_VPI_NOTIFICATION_SET, note, note);
    observe(l, IOCTL_VPI_NOTIFICATION_SET, note, note);  // twice: one clear removes both
    // The client closes one session itself.
    observe(l, IOCTL_CTI_CLOSE, buffer(20, 0x12), buffer(20));

    auto closing = l.closingRequests();
    std::vector<std::uint32_t> codes;
    for (auto& r : closing) {
        codes.push_back(r.code);
        EXPECT_EQ(r.buffer[0], kModuleStatusUnanswered);
        EXPECT_EQ(r.buffer.size(), minimumLength(r.code));
    }
    EXPECT_EQ(codes,
              (std::vector<std::uint32_t>{
                  IOCTL_CTI_UNLOCK, IOCTL_PTP_UNLOCK, IOCTL_STREAM_SET_STATE, IOCTL_STREAM_CLOSE,
                  IOCTL_PTP_CLOSE, IOCTL_CTI_CLOSE, IOCTL_VPI_NOTIFICATION_CLEAR}));
    EXPECT_EQ(at(closing[0], 4), 0x11u);
    EXPECT_EQ(at(closing[0], 8), 0x99u);  // the thread that took the lock
    EXPECT_EQ(at(closing[1], 4), 0x21u);
    EXPECT_EQ(at(closing[2], 4), 0x31u);
    EXPECT_EQ(at(closing[2], 8), 0u);  // stop
    EXPECT_EQ(at(closing[5], 4), 0x11u);
    EXPECT_EQ(at(closing[6], 24), 0x40u);

    // Replaying the closing requests empties the ledger.
    for (auto& r : closing)
        observe(l, r.code, r.buffer, std::vector<std::uint8_t>(r.buffer.size(), 0));
    EXPECT_TRUE(l.empty());
}

TEST(SessionLedger, ClosingASessionDropsItsLock) {
    SessionLedger l;
    observe(l, IOCTL_PTP_OPEN_WIA, buffer(28), buffer(28, 0, 7));
    observe(l, IOCTL_PTP_LOCK, buffer(28, 7), buffer(28));
    observe(l, IOCTL_PTP_CLOSE, buffer(28, 7), buffer(28));
    observe(l, IOCTL_CTI_OPEN, buffer(20), opened(20, 5));
    observe(l, IOCTL_CTI_LOCK, buffer(20, 5, 1), buffer(20));
    observe(l, IOCTL_CTI_CLOSE, buffer(20, 5), buffer(20));
    EXPECT_TRUE(l.empty());
}

TEST(SessionLedger, KeepsASessionWhoseCloseFailed) {
    SessionLedger l;
    observe(l, IOCTL_CTI_OPEN, buffer(20), opened(20, 5));
    auto refused = buffer(20, 5);
    refused[0] = kModuleStatusNotLockOwner;  // the driver could not get its lock
    observe(l, IOCTL_CTI_CLOSE, buffer(20, 5), refused);
    auto closing = l.closingRequests();
    ASSERT_EQ(closing.size(), 1u);
    EXPECT_EQ(closing[0].code, IOCTL_CTI_CLOSE);
    EXPECT_EQ(at(closing[0], 4), 5u);
    observe(l, IOCTL_CTI_CLOSE, buffer(20, 5), buffer(20));
    EXPECT_TRUE(l.empty());
}

TEST(SessionLedger, IgnoresRequestsTooShortToRead) {
    SessionLedger l;
    std::vector<std::uint8_t> shortRequest(3, 0);
    l.observe(IOCTL_CTI_CLOSE, shortRequest.data(), 3, STATUS_SUCCESS, 0, nullptr);
    l.observe(IOCTL_VPI_NOTIFICATION_SET, nullptr, 0, STATUS_SUCCESS, 28, buffer(28).data());
    l.observe(IOCTL_CTI_OPEN, buffer(20).data(), 20, STATUS_SUCCESS, 20, nullptr);
    EXPECT_TRUE(l.empty());
}

}  // namespace
}  // namespace host
