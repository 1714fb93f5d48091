// Control channels over both transports: discovery, synchronous and
// overlapped requests, cancellation, close, client events, and the closing
// requests the host sends for what a channel left open.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "tests/channels/channel_fixture.h"
#include "tests/channels/fake_driver.h"

namespace pavtest {
namespace {

using namespace pav512;

class ChannelTest : public ::testing::TestWithParam<Transport> {
  protected:
    void SetUp() override {
        driver_ = FakeDriver::create();
        ASSERT_NE(driver_, nullptr);
        transport_ = std::make_unique<TransportScope>(GetParam());
    }
    void TearDown() override {
        transport_.reset();
        driver_.reset();
        EXPECT_EQ(uhandle::openHandles(), 0);
    }

    HANDLE open() {
        auto paths = listInterfaces();
        EXPECT_EQ(paths.size(), 1u);
        if (paths.empty()) return INVALID_HANDLE_VALUE;
        return openChannel(paths[0]);
    }

    std::unique_ptr<FakeDriver> driver_;
    std::unique_ptr<TransportScope> transport_;
};

TEST_P(ChannelTest, DiscoveryListsEnabledInterfacesAndOpensTheirChannel) {
    auto paths = listInterfaces();
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], driver_->interfacePath());
    EXPECT_EQ(paths[0].rfind("\\\\?\\", 0), 0u) << paths[0];

    HANDLE h = openChannel(paths[0]);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(h);

    // A path that names no interface does not open.
    HANDLE none = openChannel(paths[0] + "x");
    EXPECT_EQ(none, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    // Once the interface is disabled it is no longer listed or opened.
    driver_->disableInterface();
    EXPECT_TRUE(listInterfaces().empty());
    EXPECT_EQ(openChannel(paths[0]), INVALID_HANDLE_VALUE);
}

TEST_P(ChannelTest, SetupDiRefusesMisuse) {
    EXPECT_EQ(
        SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE),
        INVALID_HANDLE_VALUE);
    HDEVINFO set = SetupDiGetClassDevsA(&kInterfaceClassGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kInterfaceClassGuid, 1, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kInterfaceClassGuid, 0, &data));

    DWORD size = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(size, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) +
                        driver_->interfacePath().size() + 1);
    std::vector<char> mem(size);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(mem.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    // One byte short of the size asked for.
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    detail->cbSize = 1;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER);

    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_P(ChannelTest, SynchronousAndOverlappedRequestsReturnTheWholeBuffer) {
    HANDLE h = open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto b = requestBuffer(sizeof(PtpHeader));
    DWORD returned = 0;
    ASSERT_TRUE(call(h, IOCTL_PTP_VERSION, b, &returned)) << GetLastError();
    EXPECT_EQ(returned, b.size());
    EXPECT_EQ(b[0], kModuleStatusSuccess);
    EXPECT_EQ(u16At(b, kPtpVersionOffset), kInterfaceVersion);

    // A request without an OVERLAPPED waits in DeviceIoControl.
    auto c = requestBuffer(sizeof(CommandHeader));
    returned = 0;
    ASSERT_TRUE(
        DeviceIoControl(h, IOCTL_CTI_VERSION, c.data(), 20, c.data(), 20, &returned, nullptr));
    EXPECT_EQ(returned, 20u);
    EXPECT_EQ(u16At(c, kCommandVersionOffset), kInterfaceVersion);

    // An unrecognised code: the driver's status, nothing copied back.
    auto u = requestBuffer(28);
    EXPECT_FALSE(call(h, 0x221800, u, &returned));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(u[0], kModuleStatusUnanswered);
    CloseHandle(h);
}

TEST_P(ChannelTest, PendingRequestCompletesLaterAndSignalsItsEvent) {
    HANDLE h = open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto b = requestBuffer(kTransactionMinimumLength);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(h, kHoldCode, b.data(), 24, b.data(), 24, &returned, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(waitFor([&] { return driver_->held() == 1; }));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &returned, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT);

    driver_->releaseHeld();
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &returned, TRUE));
    EXPECT_EQ(returned, 24u);
    EXPECT_EQ(b[0], kModuleStatusSuccess);
    CloseHandle(ov.hEvent);
    CloseHandle(h);
}

TEST_P(ChannelTest, CancelIoAndCloseHandleCancelPendingRequests) {
    HANDLE h = open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto b = requestBuffer(24);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD returned = 0;
    EXPECT_FALSE(DeviceIoControl(h, kHoldCode, b.data(), 24, b.data(), 24, &returned, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_TRUE(waitFor([&] { return driver_->held() == 1; }));
    ASSERT_TRUE(CancelIo(h));
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &returned, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(driver_->cancelled(), 1);
    EXPECT_EQ(b[0], kModuleStatusUnanswered);

    // Two more pending, without events; closing the channel cancels both.
    std::vector<std::uint8_t> b1 = requestBuffer(24), b2 = requestBuffer(24);
    OVERLAPPED o1{}, o2{};
    EXPECT_FALSE(DeviceIoControl(h, kHoldCode, b1.data(), 24, b1.data(), 24, nullptr, &o1));
    EXPECT_FALSE(DeviceIoControl(h, kHoldCode, b2.data(), 24, b2.data(), 24, nullptr, &o2));
    ASSERT_TRUE(waitFor([&] { return driver_->held() == 2; }));
    CloseHandle(h);
    EXPECT_EQ(driver_->cancelled(), 3);
    EXPECT_EQ(driver_->held(), 0u);
    EXPECT_EQ(static_cast<NTSTATUS>(o1.Internal), STATUS_CANCELLED);
    EXPECT_EQ(static_cast<NTSTATUS>(o2.Internal), STATUS_CANCELLED);
    CloseHandle(ov.hEvent);
    // The handle is gone.
    EXPECT_FALSE(
        DeviceIoControl(h, IOCTL_CTI_VERSION, b.data(), 20, b.data(), 20, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_P(ChannelTest, RegisteredEventIsSignalledInTheClient) {
    HANDLE h = open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto b = eventRequest(kEventSetCamera, kEventCameraRemoved, ev);
    DWORD returned = 0;
    ASSERT_TRUE(call(h, IOCTL_VPI_NOTIFICATION_SET, b, &returned));
    ASSERT_EQ(driver_->registeredEvents(), 1u);

    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
    driver_->signalEvents();
    EXPECT_EQ(WaitForSingleObject(ev, 5000), WAIT_OBJECT_0);
    // Auto-reset: one signal, one wake.
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);

    // A second registration of the same handle is the same event object in
    // the driver, so one clear finds both.
    b[0] = kModuleStatusUnanswered;
    ASSERT_TRUE(call(h, IOCTL_VPI_NOTIFICATION_SET, b, &returned));
    ASSERT_EQ(driver_->registeredEvents(), 2u);
    b[0] = kModuleStatusUnanswered;
    ASSERT_TRUE(call(h, IOCTL_VPI_NOTIFICATION_CLEAR, b, &returned));
    EXPECT_EQ(driver_->registeredEvents(), 0u);
    CloseHandle(h);
    CloseHandle(ev);
}

// What a client opens and does not close, the host closes when the channel goes.
TEST_P(ChannelTest, ClosingChannelClosesWhatItLeftOpen) {
    HANDLE h = open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    auto cti = requestBuffer(sizeof(CommandHeader));
    ASSERT_TRUE(call(h, IOCTL_CTI_OPEN, cti, &returned));
    const std::uint32_t session = u32At(cti, offsetof(CommandHeader, value));
    auto second = requestBuffer(sizeof(CommandHeader));
    ASSERT_TRUE(call(h, IOCTL_CTI_OPEN, second, &returned));
    const std::uint32_t closedByClient = u32At(second, offsetof(CommandHeader, value));
    auto lock = requestBuffer(sizeof(CommandHeader));
    putU32(lock, 4, session);
    putU32(lock, 8, 77);
    ASSERT_TRUE(call(h, IOCTL_CTI_LOCK, lock, &returned));
    auto closeSecond = requestBuffer(sizeof(CommandHeader));
    putU32(closeSecond, 4, closedByClient);
    ASSERT_TRUE(call(h, IOCTL_CTI_CLOSE, closeSecond, &returned));

    auto ptp = requestBuffer(sizeof(PtpHeader));
    ASSERT_TRUE(call(h, IOCTL_PTP_OPEN_WIA, ptp, &returned));
    const std::uint32_t ptpSession = u32At(ptp, kPtpOpenSessionOffset);
    auto stream = requestBuffer(sizeof(StreamHeader));
    ASSERT_TRUE(call(h, IOCTL_STREAM_OPEN, stream, &returned));
    const std::uint32_t streamHandle = u32At(stream, 4);
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto note = requestBuffer(sizeof(PropertyHeader));
    putU32(note, 24, uhandle::wireValue(ev));
    ASSERT_TRUE(call(h, IOCTL_VPI_NOTIFICATION_SET, note, &returned));
    ASSERT_EQ(driver_->registeredEvents(), 1u);

    const std::size_t before = driver_->seen().size();
    CloseHandle(h);
    ASSERT_TRUE(waitFor([&] { return driver_->registeredEvents() == 0; }));
    auto all = driver_->seen();
    std::vector<FakeDriver::Seen> closing(all.begin() + static_cast<std::ptrdiff_t>(before),
                                          all.end());
    auto has = [&](ULONG code, std::uint32_t at4) {
        return std::count_if(closing.begin(), closing.end(), [&](const FakeDriver::Seen& s) {
            return s.code == code && s.at4 == at4;
        });
    };
    EXPECT_EQ(has(IOCTL_CTI_UNLOCK, session), 1);
    EXPECT_EQ(has(IOCTL_CTI_CLOSE, session), 1);
    EXPECT_EQ(has(IOCTL_CTI_CLOSE, closedByClient), 0);
    EXPECT_EQ(has(IOCTL_PTP_CLOSE, ptpSession), 1);
    EXPECT_EQ(has(IOCTL_STREAM_SET_STATE, streamHandle), 1);
    EXPECT_EQ(has(IOCTL_STREAM_CLOSE, streamHandle), 1);
    EXPECT_EQ(std::count_if(closing.begin(), closing.end(),
                            [&](const FakeDriver::Seen& s) {
                                return s.code == IOCTL_VPI_NOTIFICATION_CLEAR &&
                                       s.at24 == uhandle::wireValue(ev);
                            }),
              1);
    EXPECT_EQ(closing.size(), 6u);
    // The unlock comes before its session's close.
    auto at = [&](ULONG code) {
        return std::find_if(closing.begin(), closing.end(),
                            [&](const FakeDriver::Seen& s) { return s.code == code; });
    };
    EXPECT_LT(at(IOCTL_CTI_UNLOCK), at(IOCTL_CTI_CLOSE));
    EXPECT_LT(at(IOCTL_STREAM_SET_STATE), at(IOCTL_STREAM_CLOSE));
    CloseHandle(ev);
}

TEST_P(ChannelTest, AnOpenInProgressHoldsItsDeviceUntilTheRemovalHasMarkedIt) {
    const std::string path = driver_->interfacePath();
    HANDLE h = INVALID_HANDLE_VALUE;
    std::thread opener([&] { h = openChannel(path + kBlockingOpenName); });
    ASSERT_TRUE(waitFor([&] { return driver_->blocking() == 1; }));
    // The interface goes while the open is still in the driver: the removal
    // waits for the open and then marks the channel it made.
    std::thread remover([&] { driver_->disableInterface(); });
    driver_->releaseBlocking();
    opener.join();
    remover.join();
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    // Its requests fail in the host and never reach the device being removed.
    auto b = requestBuffer(sizeof(CommandHeader));
    DWORD returned = 0;
    EXPECT_FALSE(call(h, IOCTL_CTI_VERSION, b, &returned));
    EXPECT_EQ(driver_->count(IOCTL_CTI_VERSION), 0u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST_P(ChannelTest, RequestsOfManyThreadsOnOneChannelAllComplete) {
    HANDLE h = open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50; ++i) {
                auto b = requestBuffer(sizeof(StreamHeader));
                DWORD returned = 0;
                if (call(h, IOCTL_STREAM_VERSION, b, &returned) && returned == b.size() &&
                    u16At(b, kStreamVersionOffset) == kInterfaceVersion)
                    good++;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(good.load(), 200);
    CloseHandle(h);
}

INSTANTIATE_TEST_SUITE_P(BothTransports, ChannelTest,
                         ::testing::Values(Transport::InProcess, Transport::Socket), transportName);

}  // namespace
}  // namespace pavtest
