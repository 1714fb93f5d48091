// The socket channel's answers as a waiting thread reads them itself: its own
// answer on its own thread, and, while it waits for a held request, every
// other answer, event and the end of the connection still reach their
// owners without a reader thread to hand them over.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "tests/channels/channel_fixture.h"
#include "tests/channels/fake_driver.h"

namespace pavtest {
namespace {

using namespace pav512;

class DirectRead : public FakeDriverOverSocket {
  protected:
    void SetUp() override {
        FakeDriverOverSocket::SetUp();
        if (HasFatalFailure()) return;
        auto paths = listInterfaces();
        ASSERT_EQ(paths.size(), 1u);
        path_ = paths[0];
    }
    void TearDown() override {
        FakeDriverOverSocket::TearDown();
        EXPECT_EQ(uhandle::openHandles(), 0);
    }
    // A synchronous call of the held code on another thread, under way once
    // the driver holds it.
    std::future<BOOL> heldCall(HANDLE h, std::vector<std::uint8_t>& b, DWORD* returned) {
        auto f = std::async(std::launch::async, [h, &b, returned] {
            return DeviceIoControl(h, kHoldCode, b.data(), 24, b.data(), 24, returned, nullptr);
        });
        EXPECT_TRUE(waitFor([&] { return driver_->held() == 1; }));
        return f;
    }

    std::string path_;
};

TEST_F(DirectRead, AWaitingThreadRunsItsOwnAnswerAndOnlyAPendingRequestIsWaitedFor) {
    std::unique_ptr<uchannel::Channel> channel;
    ASSERT_EQ(uchannel::currentTransport()->open(path_ + kConnectSuffix, &channel), ERROR_SUCCESS);
    auto b = requestBuffer(sizeof(CommandHeader));
    std::atomic<bool> answered{false};
    std::thread::id ranOn;
    // Kept for the wait from before the request goes out: however fast the
    // host answers, the reader thread does not take the answer first.
    const std::uint64_t id = channel->submitWaited(
        IOCTL_CTI_VERSION, b.data(), 20, 20,
        [&](NTSTATUS st, std::uint32_t info, const std::uint8_t*) {
            EXPECT_EQ(st, STATUS_SUCCESS);
            EXPECT_EQ(info, 20u);
            ranOn = std::this_thread::get_id();
            answered = true;
        });
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(channel->waitDirect(id));
    ASSERT_TRUE(answered.load());
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    // Answered: nothing left to wait for; an unknown id is not waited for.
    EXPECT_FALSE(channel->waitDirect(id));
    EXPECT_FALSE(channel->waitDirect(12345));
    channel->close();
}

TEST_F(DirectRead, WhileAThreadWaitsForAHeldRequestOtherAnswersAndEventsArrive) {
    HANDLE h = openChannel(path_);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto reg = eventRequest(kEventSetCamera, kEventCameraRemoved, ev);
    DWORD returned = 0;
    ASSERT_TRUE(call(h, IOCTL_VPI_NOTIFICATION_SET, reg, &returned));

    auto held = requestBuffer(24);
    DWORD heldReturned = 0;
    std::future<BOOL> waiting = heldCall(h, held, &heldReturned);

    // An overlapped request of another thread completes, and is waited for
    // through its event.
    auto b = requestBuffer(sizeof(CommandHeader));
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = DeviceIoControl(h, IOCTL_CTI_VERSION, b.data(), 20, b.data(), 20, &returned, &ov);
    if (!ok) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_EQ(WaitForSingleObject(ov.hEvent, 10000), WAIT_OBJECT_0);
        ASSERT_TRUE(GetOverlappedResult(h, &ov, &returned, TRUE));
    }
    EXPECT_EQ(returned, 20u);
    EXPECT_EQ(b[0], kModuleStatusSuccess);
    // A synchronous one too, and the driver's event.
    auto v = requestBuffer(sizeof(CommandHeader));
    EXPECT_TRUE(DeviceIoControl(h, IOCTL_CTI_VERSION, v.data(), 20, v.data(), 20, &returned, nullptr));
    driver_->signalEvents();
    EXPECT_EQ(WaitForSingleObject(ev, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(waiting.wait_for(std::chrono::seconds(0)), std::future_status::timeout);

    driver_->releaseHeld();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_TRUE(waiting.get());
    EXPECT_EQ(heldReturned, 24u);
    EXPECT_EQ(held[0], kModuleStatusSuccess);

    // The reader thread reads again once nobody waits: a later event arrives.
    driver_->signalEvents();
    EXPECT_EQ(WaitForSingleObject(ev, 10000), WAIT_OBJECT_0);
    CloseHandle(ov.hEvent);
    CloseHandle(ev);
    CloseHandle(h);
}

TEST_F(DirectRead, AHostThatGoesAwayEndsTheWaitWithAFailure) {
    HANDLE h = openChannel(path_);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto held = requestBuffer(24);
    DWORD returned = 0;
    std::future<BOOL> waiting = heldCall(h, held, &returned);
    transport_->server()->stop();
    ASSERT_EQ(waiting.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(waiting.get());
    // The channel stays broken and says so at once.
    auto b = requestBuffer(sizeof(CommandHeader));
    EXPECT_FALSE(DeviceIoControl(h, IOCTL_CTI_VERSION, b.data(), 20, b.data(), 20, &returned, nullptr));
    CloseHandle(h);
}

}  // namespace
}  // namespace pavtest
