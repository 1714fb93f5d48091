// A client that gives up on a read of a stream it opened by handle: the read
// completes cancelled, once, and the stream goes on serving reads.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/core/device_context.h"
#include "pav512/buffers.h"
#include "tests/support/camera_harness.h"
#include "tests/support/device_client.h"

namespace {

using namespace pav512;

using pavtest::streamRequest;

TEST(LibraryStreamCancel, AReadGivenUpCompletesCancelledOnceAndTheNextIsServed) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    pavtest::DeviceClient client(h.fdo());
    StreamFormatRequest f{};
    f.width = 320;
    f.height = 240;
    f.bitCount = 24;
    f.compression = 0x47504A4D;
    auto open = streamRequest(0);
    std::memcpy(open.data(), &f, sizeof f);
    open[0] = 0xFF;
    auto r = client.sendRequest(IOCTL_STREAM_OPEN, open);
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    ASSERT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    std::uint32_t handle = 0;
    std::memcpy(&handle, r->data.data() + 4, 4);
    auto setState = [&](std::uint8_t state) {
        auto b = streamRequest(handle);
        b[8] = state;
        auto reply = client.sendRequest(IOCTL_STREAM_SET_STATE, b);
        return pavtest::DeviceClient::wait(reply) && reply->moduleStatus() == kModuleStatusSuccess;
    };
    // Paused: a read waits in the queue, however many frames come.
    ASSERT_TRUE(setState(1));
    const std::uint32_t imageSize = 2 * 320 * 240 + 608;
    auto read = streamRequest(handle, 44 + imageSize);
    std::memcpy(read.data() + 8, &imageSize, 4);
    auto waiting = client.sendRequest(IOCTL_STREAM_READ, read);
    EXPECT_FALSE(waiting->done.load());
    client.cancel(waiting);
    ASSERT_TRUE(pavtest::DeviceClient::wait(waiting));
    EXPECT_EQ(waiting->status, STATUS_CANCELLED);

    ASSERT_TRUE(setState(2));
    auto next = client.sendRequest(IOCTL_STREAM_READ, read);
    ASSERT_TRUE(pavtest::DeviceClient::wait(next));
    EXPECT_EQ(next->moduleStatus(), kModuleStatusSuccess);
    EXPECT_EQ(next->data[44], 0xFF);
    EXPECT_EQ(next->data[45], 0xD8);
    r = client.sendRequest(IOCTL_STREAM_CLOSE, streamRequest(handle));
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    EXPECT_EQ(r->moduleStatus(), kModuleStatusSuccess);
}

}  // namespace
