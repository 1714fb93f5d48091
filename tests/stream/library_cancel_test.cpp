// Streams a client opened by handle: a read it gives up on completes
// cancelled, once, and the stream goes on serving reads; the abort of the
// client's streams closes them and reports a step that failed.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/core/device_context.h"
#include "driver/core/frame.h"
#include "pav512/buffers.h"
#include "platform/kernel/pool.h"
#include "tests/support/camera_harness.h"
#include "tests/support/device_client.h"

namespace {

using namespace pav512;

using pavtest::streamRequest;

// Opens the capture stream by handle at 320 x 240 MJPG; 0 when refused.
std::uint32_t openStream(pavtest::DeviceClient& client) {
    auto r = client.sendRequest(IOCTL_STREAM_OPEN, pavtest::streamOpenRequest(320, 240));
    if (!pavtest::DeviceClient::wait(r) || r->moduleStatus() != kModuleStatusSuccess) return 0;
    std::uint32_t handle = 0;
    std::memcpy(&handle, r->data.data() + 4, 4);
    return handle;
}

TEST(LibraryStreamCancel, AReadGivenUpCompletesCancelledOnceAndTheNextIsServed) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    pavtest::DeviceClient client(h.fdo());
    const std::uint32_t handle = openStream(client);
    ASSERT_NE(handle, 0u);
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
    auto r = client.sendRequest(IOCTL_STREAM_CLOSE, streamRequest(handle));
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    EXPECT_EQ(r->moduleStatus(), kModuleStatusSuccess);
}

TEST(LibraryStreamAbort, ClosesTheStreamAndReportsAFailedStepThatTheCloseDoesNotHide) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    pavtest::DeviceClient client(h.fdo());
    std::vector<std::uint8_t> abortRequest(sizeof(PropertyHeader), 0);
    abortRequest[0] = kModuleStatusUnanswered;

    // The pause cannot get the frame manager's buffers: the step fails, the
    // stream is still closed, and the abort says so in both its statuses.
    const std::uint32_t first = openStream(client);
    ASSERT_NE(first, 0u);
    kpool::failAllocations(kFrameTag, 1);
    auto r = client.sendRequest(IOCTL_VPI_ABORT_VFW, abortRequest);
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    kpool::failAllocations(kFrameTag, 0);
    EXPECT_FALSE(NT_SUCCESS(r->status)) << std::hex << r->status;
    EXPECT_EQ(r->moduleStatus(), kModuleStatusAbortStepFailed);
    auto gone = client.sendRequest(IOCTL_STREAM_GET_STATE, streamRequest(first));
    ASSERT_TRUE(pavtest::DeviceClient::wait(gone));
    EXPECT_NE(gone->moduleStatus(), kModuleStatusSuccess);

    // Closed, so the capture stream opens again; an abort whose steps all
    // succeed completes with success and module status 0.
    const std::uint32_t second = openStream(client);
    ASSERT_NE(second, 0u);
    r = client.sendRequest(IOCTL_VPI_ABORT_VFW, abortRequest);
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    EXPECT_EQ(r->status, STATUS_SUCCESS);
    EXPECT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    EXPECT_NE(openStream(client), 0u);
}

}  // namespace
