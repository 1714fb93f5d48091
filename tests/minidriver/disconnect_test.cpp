// A minidriver that disconnects, or is replaced by another that connects,
// while its reads are queued: each read comes back exactly once before the
// disconnect or the connect returns, its stream is closed, and from then on
// the driver calls none of its routines, whatever happens in the camera or
// on the library's side.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "driver/core/device_context.h"
#include "pav512/buffers.h"
#include "pav512/guids.h"
#include "sim/sim_camera.h"
#include "tests/minidriver/capture_util.h"
#include "tests/support/device_client.h"
#include "tests/support/kernel_test.h"

namespace {

using host::CaptureMinidriver;
using namespace pav512;

using pavtest::streamRequest;

// The reads a minidriver has queued, with how often each had come back.
struct QueuedReads {
    std::vector<HW_STREAM_REQUEST_BLOCK*> reads;
    std::vector<std::size_t> before;
};
QueuedReads queuedReadsOf(const CaptureMinidriver& mini) {
    QueuedReads q;
    q.reads = mini.outstandingReads();
    for (auto* r : q.reads) q.before.push_back(mini.completionsOf(r));
    return q;
}
void expectEachBackOnceCancelled(const CaptureMinidriver& mini, const QueuedReads& q) {
    EXPECT_EQ(mini.readsOutstanding(), 0u);
    for (std::size_t i = 0; i < q.reads.size(); ++i) {
        EXPECT_EQ(mini.completionsOf(q.reads[i]), q.before[i] + 1) << "read " << i;
        EXPECT_EQ(q.reads[i]->Status, STATUS_CANCELLED) << "read " << i;
    }
}

TEST(MinidriverDisconnect, QueuedReadsComeBackOnceAndNoRoutineIsCalledAfterwards) {
    SRB_WATCH_RECORD started{1, kEventSetCamera, kEventVideoStarted, nullptr};
    SRB_WATCH_RECORD stalled{1, kEventSetCamera, kEventVideoStalled, nullptr};
    SRB_WATCH_RECORD button{1, kEventSetInput, 0x31, nullptr};
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    CaptureMinidriver mini;
    ASSERT_TRUE(mdtest::startCapture(h, mini, nullptr, 0, 0, true));
    for (SRB_WATCH_RECORD* w : {&started, &stalled, &button}) ASSERT_TRUE(mini.watch(w));
    // No frame fills them meanwhile: the video stops and the driver has
    // noticed (the watchdog waits far longer than this takes).
    ASSERT_TRUE(mdtest::stallWithReadsQueued(h, mini, 3, 2));
    const QueuedReads queued = queuedReadsOf(mini);
    ASSERT_FALSE(queued.reads.empty());

    ASSERT_EQ(mini.disconnect(), STATUS_SUCCESS);
    const auto calls = mini.routineCalls();
    const std::uint64_t all = CaptureMinidriver::allRoutineCalls();
    expectEachBackOnceCancelled(mini, queued);
    // The stream went with the minidriver: the camera is free again.
    EXPECT_EQ(device->openSessions, 0);
    EXPECT_EQ(device->frame.state.load(), kFrameClosed);
    h.camera().pauseVideo(0);

    // What would have called the minidriver: its watches firing, a button
    // on the camera, and video running for the library.
    device->watches.signal(kEventSetCamera, kEventVideoStarted);
    h.camera().injectButton(1);
    pavtest::DeviceClient client(h.fdo());
    auto r = client.sendRequest(IOCTL_STREAM_OPEN, pavtest::streamOpenRequest(320, 240));
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    ASSERT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    std::uint32_t handle = 0;
    std::memcpy(&handle, r->data.data() + 4, 4);
    auto run = streamRequest(handle);
    run[8] = 2;
    r = client.sendRequest(IOCTL_STREAM_SET_STATE, run);
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    ASSERT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    const std::uint32_t imageSize = mdtest::imageSizeOf(320, 240);
    auto read = streamRequest(handle, 44 + imageSize);
    std::memcpy(read.data() + 8, &imageSize, 4);
    r = client.sendRequest(IOCTL_STREAM_READ, read);
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    EXPECT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    r = client.sendRequest(IOCTL_STREAM_CLOSE, streamRequest(handle));
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    EXPECT_EQ(r->moduleStatus(), kModuleStatusSuccess);

    EXPECT_EQ(mini.routineCalls().size(), calls.size());
    EXPECT_EQ(CaptureMinidriver::allRoutineCalls(), all);
}

TEST(MinidriverDisconnect, AMinidriverConnectingInAnothersPlaceGetsNothingOfTheFirst) {
    SRB_WATCH_RECORD started{1, kEventSetCamera, kEventVideoStarted, nullptr};
    SRB_WATCH_RECORD stalled{1, kEventSetCamera, kEventVideoStalled, nullptr};
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    CaptureMinidriver first;
    ASSERT_TRUE(mdtest::startCapture(h, first, nullptr, 0, 0, true));
    for (SRB_WATCH_RECORD* w : {&started, &stalled}) ASSERT_TRUE(first.watch(w));
    ASSERT_TRUE(mdtest::stallWithReadsQueued(h, first, 3, 2));
    const QueuedReads queued = queuedReadsOf(first);
    ASSERT_FALSE(queued.reads.empty());

    // Declared after the first, so it is gone (and disconnected) first.
    CaptureMinidriver second;
    ASSERT_EQ(second.connect(h.fdo()), STATUS_SUCCESS);
    const auto calls = first.routineCalls();
    expectEachBackOnceCancelled(first, queued);
    EXPECT_EQ(device->openSessions, 0);
    EXPECT_EQ(device->frame.state.load(), kFrameClosed);
    EXPECT_EQ(device->watches.count(), 0u) << "the first minidriver's watch was kept";

    // The second one captures; the first hears of none of it.
    h.camera().pauseVideo(0);
    ASSERT_TRUE(mdtest::openAndRun(second));
    ASSERT_TRUE(second.keepReadsQueued(2));
    EXPECT_TRUE(second.waitFrames(2));
    second.stopQueueingReads();
    device->watches.signal(kEventSetCamera, kEventVideoStarted);
    EXPECT_EQ(first.routineCalls().size(), calls.size());
    EXPECT_EQ(second.disconnect(), STATUS_SUCCESS);
    EXPECT_EQ(second.readsOutstanding(), 0u);
    EXPECT_EQ(device->openSessions, 0);
}

}  // namespace
