// The dispatch switch behind the gate, reached through real channels over both
// transports: the version answer of every family, the codes answered in the
// switch itself, unrecognised codes, and the length checks made before any
// handler reads the buffer.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/channels/channel_fixture.h"
#include "tests/control/driver_fixture.h"

namespace pavtest {
namespace {

using namespace pav512;

// Every user code of the interface.
const std::vector<ULONG> kAllCodes = {IOCTL_CTI_VERSION,
                                      IOCTL_CTI_OPEN,
                                      IOCTL_CTI_CLOSE,
                                      IOCTL_CTI_LOCK,
                                      IOCTL_CTI_UNLOCK,
                                      IOCTL_CTI_RESET,
                                      IOCTL_CTI_ABORT_TASK,
                                      IOCTL_CTI_TRANSACTION,
                                      IOCTL_DEBUG_VERSION,
                                      IOCTL_DEBUG_GET_FLAG,
                                      IOCTL_DEBUG_SET_FLAG,
                                      IOCTL_DEBUG_FLAG_NAME,
                                      IOCTL_DEBUG_FLAG_BLOCK_NAME,
                                      IOCTL_DEBUG_SET_INTERFACE,
                                      IOCTL_DEBUG_USB_COMMAND,
                                      IOCTL_DEBUG_USB_TRANSFER,
                                      IOCTL_DEBUG_DEVICE_ID,
                                      IOCTL_DEBUG_PROPERTY_DESCRIPTOR,
                                      IOCTL_DEBUG_PROPERTY_INFORMATION,
                                      IOCTL_DEBUG_NOTIFICATION_DESCRIPTOR,
                                      IOCTL_STREAM_VERSION,
                                      IOCTL_STREAM_OPEN,
                                      IOCTL_STREAM_CLOSE,
                                      IOCTL_STREAM_GET_STATE,
                                      IOCTL_STREAM_SET_STATE,
                                      IOCTL_STREAM_FORMAT_INFO,
                                      IOCTL_STREAM_PROPOSE_FORMAT,
                                      IOCTL_STREAM_SET_FORMAT,
                                      IOCTL_STREAM_DEVICE_ID,
                                      IOCTL_STREAM_READ,
                                      IOCTL_VPI_VERSION,
                                      IOCTL_VPI_DEVICE_ID,
                                      IOCTL_VPI_PROPERTY_SET,
                                      IOCTL_VPI_NOTIFICATION_SET,
                                      IOCTL_VPI_NOTIFICATION_CLEAR,
                                      IOCTL_VPI_PROPERTY_DEFAULT,
                                      IOCTL_VPI_ABORT_VFW,
                                      IOCTL_PTP_VERSION,
                                      IOCTL_PTP_OPEN,
                                      IOCTL_PTP_CLOSE,
                                      IOCTL_PTP_LOCK,
                                      IOCTL_PTP_UNLOCK,
                                      IOCTL_PTP_TRANSFER,
                                      IOCTL_PTP_COMMAND,
                                      IOCTL_PTP_WAIT_EVENT,
                                      IOCTL_PTP_OPEN_WIA};

class DispatchTest : public DriverChannelTest {
  protected:
    // Sends `buffer` with both lengths equal to its size.
    BOOL send(ULONG code, std::vector<std::uint8_t>& buffer, DWORD* returned) {
        return call(channel_, code, buffer, returned);
    }
};

TEST_P(DispatchTest, EveryFamilyAnswersItsVersionAtItsOwnOffset) {
    const std::pair<ULONG, std::size_t> families[] = {
        {IOCTL_CTI_VERSION, 16}, {IOCTL_DEBUG_VERSION, 12}, {IOCTL_STREAM_VERSION, 8},
        {IOCTL_VPI_VERSION, 4},  {IOCTL_PTP_VERSION, 8},
    };
    for (auto [code, offset] : families) {
        SCOPED_TRACE(code);
        // A buffer longer than the header comes back whole, too.
        for (std::size_t length :
             {std::size_t{minimumLength(code)}, std::size_t{minimumLength(code) + 40}}) {
            auto b = requestBuffer(length);
            std::fill(b.begin() + 1, b.end(), 0xA5);
            DWORD returned = 0;
            ASSERT_TRUE(send(code, b, &returned)) << GetLastError();
            EXPECT_EQ(returned, length);
            EXPECT_EQ(b[0], kModuleStatusSuccess);
            EXPECT_EQ(u16At(b, offset), kInterfaceVersion);
            // Bytes 1 to 3 stay as the client left them.
            EXPECT_EQ(b[1], 0xA5);
            EXPECT_EQ(b[3], 0xA5);
            if (code == IOCTL_DEBUG_VERSION) {
                EXPECT_EQ(u32At(b, 8), 0u);
            }
        }
    }
}

TEST_P(DispatchTest, DiagnosticFlagAndDescriptorCodesAnswerFixedStatuses) {
    for (ULONG code : {IOCTL_DEBUG_GET_FLAG, IOCTL_DEBUG_SET_FLAG, IOCTL_DEBUG_FLAG_NAME,
                       IOCTL_DEBUG_FLAG_BLOCK_NAME}) {
        auto b = requestBuffer(64);
        DWORD returned = 0;
        ASSERT_TRUE(send(code, b, &returned));
        EXPECT_EQ(b[0], kModuleStatusNotInThisBuild) << code;
        EXPECT_EQ(returned, 64u);
    }
    for (ULONG code : {IOCTL_DEBUG_PROPERTY_DESCRIPTOR, IOCTL_DEBUG_PROPERTY_INFORMATION,
                       IOCTL_DEBUG_NOTIFICATION_DESCRIPTOR}) {
        auto b = requestBuffer(kDiagnosticDescriptorRequestLength);
        DWORD returned = 0;
        ASSERT_TRUE(send(code, b, &returned));
        EXPECT_EQ(b[0], kModuleStatusFailed) << code;
        EXPECT_EQ(returned, b.size());
    }
}

TEST_P(DispatchTest, UnrecognisedCodesLeaveTheBufferAsTheClientSentIt) {
    const ULONG codes[] = {
        0x221800,                    // no such family
        0x220C20,                    // past the end of a family
        IOCTL_CTI_VERSION | 3,       // another transfer method
        IOCTL_CTI_VERSION | 0x4000,  // another access
        IOCTL_INTERNAL_CONNECT,      // internal codes are not user codes
        0x230000,                    // another device type
        IOCTL_PTP_OPEN_WIA + 4,      // past the end of the PTP family
    };
    for (ULONG code : codes) {
        auto b = requestBuffer(64);
        DWORD returned = 1234;
        EXPECT_FALSE(send(code, b, &returned)) << code;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION) << code;
        EXPECT_EQ(b[0], kModuleStatusUnanswered) << code;
        EXPECT_EQ(returned, 0u) << code;
    }
}

TEST_P(DispatchTest, ShortBuffersAreRefusedBeforeAnythingIsWritten) {
    for (ULONG code : kAllCodes) {
        SCOPED_TRACE(code);
        const std::size_t need = minimumLength(code);
        ASSERT_GT(need, 0u);
        auto b = requestBuffer(need - 1);
        std::fill(b.begin() + 1, b.end(), 0x5A);
        auto sent = b;
        DWORD returned = 1234;
        EXPECT_FALSE(send(code, b, &returned));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(returned, 0u);
        EXPECT_EQ(b, sent);

        // Input and output lengths are both checked.
        auto full = requestBuffer(need);
        for (auto [in, out] : {std::pair{need, need - 1}, std::pair{need - 1, need}}) {
            DWORD r = 0;
            EXPECT_FALSE(DeviceIoControl(channel_, code, full.data(), static_cast<DWORD>(in),
                                         full.data(), static_cast<DWORD>(out), &r, nullptr));
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        }
    }
    // No buffer at all.
    DWORD r = 0;
    EXPECT_FALSE(DeviceIoControl(channel_, IOCTL_PTP_VERSION, nullptr, 0, nullptr, 0, &r, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_P(DispatchTest, DataAreasLongerThanTheBufferAreRefused) {
    struct Case {
        ULONG code;
        std::size_t lengthAt;
        bool sixteenBits;
        std::size_t header;
    };
    const Case cases[] = {
        {IOCTL_DEBUG_USB_COMMAND, 16, true, 20}, {IOCTL_DEBUG_USB_TRANSFER, 12, false, 20},
        {IOCTL_STREAM_READ, 8, false, 44},       {IOCTL_VPI_PROPERTY_GET, 24, false, 28},
        {IOCTL_VPI_PROPERTY_SET, 24, false, 28}, {IOCTL_PTP_TRANSFER, 20, false, 28},
        {IOCTL_PTP_COMMAND, 8, false, 28},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        for (std::uint32_t announced : {17u, 0xFFFFFFFFu}) {
            if (c.sixteenBits && announced > 0xFFFF) announced = 0xFFFF;
            auto b = requestBuffer(c.header + 16);
            if (c.sixteenBits) {
                std::uint16_t v = static_cast<std::uint16_t>(announced);
                std::memcpy(b.data() + c.lengthAt, &v, 2);
            } else {
                putU32(b, c.lengthAt, announced);
            }
            auto sent = b;
            DWORD returned = 0;
            EXPECT_FALSE(send(c.code, b, &returned));
            EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
            EXPECT_EQ(b, sent);
        }
    }
}

TEST_P(DispatchTest, RegisteredEventIsSignalledByTheDriverAndClearedOnClose) {
    HANDLE removal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto b = eventRequest(kEventSetCamera, kEventCameraRemoved, removal);
    DWORD returned = 0;
    ASSERT_TRUE(send(IOCTL_VPI_NOTIFICATION_SET, b, &returned));
    EXPECT_EQ(b[0], kModuleStatusSuccess);
    EXPECT_EQ(returned, b.size());
    ASSERT_EQ(driver_->device()->watches.count(), 1u);

    driver_->device()->watches.signal(kEventSetCamera, kEventVideoStalled);
    EXPECT_EQ(WaitForSingleObject(removal, 100), WAIT_TIMEOUT);
    driver_->device()->watches.signal(kEventSetCamera, kEventCameraRemoved);
    EXPECT_EQ(WaitForSingleObject(removal, 5000), WAIT_OBJECT_0);

    // A handle that is no event of the client is answered alike. In this
    // process the driver sees that it is no event and adds nothing; the socket
    // host cannot see into the client, so there it stands for an event whose
    // signal the client ignores, until the channel closes.
    auto bogus = b;
    putU32(bogus, 24, 0x7FFFFF00);
    ASSERT_TRUE(send(IOCTL_VPI_NOTIFICATION_SET, bogus, &returned));
    EXPECT_EQ(bogus[0], kModuleStatusSuccess);
    EXPECT_EQ(driver_->device()->watches.count(), GetParam() == Transport::InProcess ? 1u : 2u);
    driver_->device()->watches.signal(kEventSetCamera, kEventCameraRemoved);
    EXPECT_EQ(WaitForSingleObject(removal, 5000), WAIT_OBJECT_0);

    // The client goes without clearing: the host clears for it.
    CloseHandle(channel_);
    channel_ = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(waitFor([&] { return driver_->device()->watches.count() == 0; }));
    CloseHandle(removal);
}

TEST_P(DispatchTest, ChannelOutlivingItsDeviceFailsRequestsAndClosesCleanly) {
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto note = requestBuffer(sizeof(PropertyHeader));
    putU32(note, 24, uhandle::wireValue(ev));
    DWORD returned = 0;
    ASSERT_TRUE(send(IOCTL_VPI_NOTIFICATION_SET, note, &returned));

    driver_->pnp.removeAll();
    EXPECT_TRUE(listInterfaces().empty());
    auto b = requestBuffer(sizeof(PtpHeader));
    EXPECT_FALSE(send(IOCTL_PTP_VERSION, b, &returned));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(b[0], kModuleStatusUnanswered);
    // Closing has nothing left to send to the device.
    EXPECT_TRUE(CloseHandle(channel_));
    channel_ = INVALID_HANDLE_VALUE;
    CloseHandle(ev);
}

INSTANTIATE_TEST_SUITE_P(BothTransports, DispatchTest,
                         ::testing::Values(Transport::InProcess, Transport::Socket), transportName);

}  // namespace
}  // namespace pavtest
