// The frame manager's states and its buffers: what each operation does in
// each state, the camera held for video, and every raw buffer freed whatever
// it was doing when the video stopped.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/frame/frame_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using namespace frametest;

constexpr ULONG kRaw176 = 2 * 176 * 144 + 608;

class Lifecycle : public ::testing::Test {
  protected:
    void SetUp() override { Deliveries::reset(); }
};

TEST_F(Lifecycle, StartOutsideTheOpenStateIsRefusedAndChangesNothing) {
    pavtest::CameraHarness h(options(scenarioFor(testName())));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    ASSERT_EQ(d->frame.state.load(), kFrameClosed) << "the start-up leaves it closed";
    ASSERT_EQ(Frame_AcquireVideo(d), STATUS_SUCCESS);
    EXPECT_EQ(Frame_Start(d), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(d->frame.state.load(), kFrameClosed);
    EXPECT_EQ(d->camera.frameCallback.load(), nullptr) << "the camera was not started";
    EXPECT_EQ(frameBytes(), 0);

    ASSERT_EQ(Frame_Open(d, mjpgFormat(176, 144)), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Start(d), STATUS_SUCCESS);
    EXPECT_EQ(d->camera.frameCallback.load(), Frame_DataRoutine);
    EXPECT_EQ(Frame_Start(d), STATUS_IO_DEVICE_ERROR) << "already started";
    EXPECT_EQ(d->frame.state.load(), kFrameStarted);
    Frame_ReleaseVideo(d);
    EXPECT_EQ(d->frame.state.load(), kFrameClosed);
}

TEST_F(Lifecycle, OpenWithoutTheCameraHeldFailsYetCountsAsOpen) {
    pavtest::CameraHarness h(options(scenarioFor(testName())));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    EXPECT_EQ(Frame_Open(d, mjpgFormat(176, 144)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(d->frame.state.load(), kFrameOpen);
    EXPECT_EQ(frameBytes(), 0) << "nothing allocated for a camera not held";
    EXPECT_EQ(Frame_Start(d), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(d->frame.state.load(), kFrameOpen);
    EXPECT_EQ(Frame_Close(d), STATUS_SUCCESS);
    EXPECT_EQ(d->frame.state.load(), kFrameClosed);
}

TEST_F(Lifecycle, VideoUsersShareTheCameraAndTheLastReleaseClosesAndFreesIt) {
    pavtest::CameraHarness h(options(scenarioFor(testName())));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();

    // Another module holding the camera keeps video out.
    ASSERT_EQ(Camera_Acquire(d, 0), STATUS_SUCCESS);
    EXPECT_EQ(Frame_AcquireVideo(d), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(d->frame.videoUsers.load(), 0) << "a failed acquisition is undone";
    EXPECT_FALSE(d->frame.cameraHeld.load());
    Camera_Release(d);

    ASSERT_EQ(Frame_AcquireVideo(d), STATUS_SUCCESS);
    ASSERT_EQ(Frame_AcquireVideo(d), STATUS_SUCCESS) << "a second video user shares it";
    EXPECT_EQ(Camera_Acquire(d, 0), STATUS_DEVICE_NOT_READY) << "video holds the camera";
    ASSERT_EQ(Frame_Open(d, mjpgFormat(176, 144)), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Start(d), STATUS_SUCCESS);
    EXPECT_GT(frameBytes(), 0);

    Frame_ReleaseVideo(d);
    EXPECT_EQ(d->frame.state.load(), kFrameStarted) << "one user is left";
    Frame_ReleaseVideo(d);
    EXPECT_EQ(d->frame.state.load(), kFrameClosed);
    EXPECT_EQ(frameBytes(), 0);
    EXPECT_EQ(d->camera.frameCallback.load(), nullptr);
    EXPECT_EQ(d->camera.openState, 0) << "the camera was closed";
    Frame_ReleaseVideo(d);  // unbalanced: ignored
    EXPECT_EQ(d->frame.videoUsers.load(), 0);
    ASSERT_EQ(Camera_Acquire(d, 0), STATUS_SUCCESS) << "the camera is free again";
    Camera_Release(d);
}

TEST_F(Lifecycle, OpenAllocatesThreeRawBuffersAndTheReservedBufferOnce) {
    pavtest::CameraHarness h(options(scenarioFor(testName())));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    ASSERT_EQ(Frame_AcquireVideo(d), STATUS_SUCCESS);
    FrameFormat format = mjpgFormat(176, 144);
    format.imageSize = 5000;
    ASSERT_EQ(Frame_Open(d, format), STATUS_SUCCESS);
    EXPECT_EQ(d->frame.rawFrameSize, kRaw176);
    EXPECT_EQ(d->frame.freeList.count(), 3u);
    EXPECT_EQ(d->frame.reservedSize, 5000u);
    EXPECT_EQ(frameBytes(), LONGLONG{3 * kRaw176 + 5000});
    // Open again while open: nothing happens.
    EXPECT_EQ(Frame_Open(d, mjpgFormat(320, 240)), STATUS_SUCCESS);
    EXPECT_EQ(frameBytes(), LONGLONG{3 * kRaw176 + 5000});
    EXPECT_EQ(d->frame.rawFrameSize, kRaw176);
    EXPECT_EQ(Frame_Close(d), STATUS_SUCCESS);
    EXPECT_EQ(frameBytes(), 0);
    EXPECT_EQ(d->frame.freeList.count(), 0u);
    Frame_ReleaseVideo(d);
}

TEST_F(Lifecycle, StopThenCloseFreesAllThreeRawBuffersWithOneHeldAsFillBuffer) {
    pavtest::CameraHarness h(options(scenarioFor(testName())));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    Deliveries::install(d);
    openQuiet(d, h, 176, 144);
    ASSERT_EQ(Frame_Start(d), STATUS_SUCCESS);
    const Bytes f = frame(100, 0x31);
    feed(d, Bytes(f.begin(), f.begin() + 50));  // half a frame: a fill buffer is held
    ASSERT_NE(d->frame.fill, nullptr);
    EXPECT_EQ(d->frame.fillPosition, 50u);
    EXPECT_EQ(d->frame.freeList.count(), 2u);

    ASSERT_EQ(Frame_Stop(d), STATUS_SUCCESS);
    EXPECT_EQ(d->frame.state.load(), kFrameOpen);
    EXPECT_EQ(d->frame.buffersBackAtStop.load(), 3u) << "two free and the fill buffer";
    EXPECT_EQ(d->frame.fillPosition, 0u);
    EXPECT_EQ(Frame_Stop(d), STATUS_SUCCESS) << "stop while open does nothing";

    ASSERT_EQ(Frame_Close(d), STATUS_SUCCESS);
    EXPECT_EQ(d->frame.state.load(), kFrameClosed);
    EXPECT_EQ(frameBytes(), 0) << "all three raw buffers and the reserved buffer";
    EXPECT_EQ(d->frame.fill, nullptr);
    EXPECT_EQ(Deliveries::count(), 0u);
    Frame_ReleaseVideo(d);
}

// Holds the worker thread until released, so that a complete frame waits
// in the worker's queue.
struct WorkerBlock {
    static inline std::mutex lock;
    static inline std::condition_variable changed;
    static inline bool entered = false;
    static inline bool released = false;
    static void routine(DeviceContext*, PVOID, PVOID) {
        std::unique_lock<std::mutex> g(lock);
        entered = true;
        changed.notify_all();
        changed.wait(g, [] { return released; });
    }
    static void release() {
        std::lock_guard<std::mutex> g(lock);
        released = true;
        changed.notify_all();
    }
    static void reset() {
        std::lock_guard<std::mutex> g(lock);
        entered = released = false;
    }
};

TEST_F(Lifecycle, CloseFreesARawBufferStillQueuedForTheWorker) {
    pavtest::CameraHarness h(options(scenarioFor(testName())));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    Deliveries::install(d);
    openQuiet(d, h, 176, 144);
    ASSERT_EQ(Frame_Start(d), STATUS_SUCCESS);
    WorkerBlock::reset();
    ASSERT_TRUE(workerQueue(d, WorkerBlock::routine, nullptr, nullptr));
    ASSERT_TRUE(pavtest::waitFor([] {
        std::lock_guard<std::mutex> g(WorkerBlock::lock);
        return WorkerBlock::entered;
    }));
    feed(d, frame(200, 0x42));  // complete: handed to the (blocked) worker
    EXPECT_EQ(d->frame.inFlight.load(), 1);
    EXPECT_NE(d->frame.handed, nullptr);
    feed(d, Bytes{0xFF, 0xD8, 0x01});  // and a fill buffer is held as well
    EXPECT_EQ(d->frame.freeList.count(), 1u);

    ASSERT_EQ(Frame_Stop(d), STATUS_SUCCESS);
    EXPECT_EQ(d->frame.buffersBackAtStop.load(), 2u) << "one is still with the worker";
    ASSERT_EQ(Frame_Close(d), STATUS_SUCCESS);
    EXPECT_EQ(frameBytes(), 0) << "the queued buffer is freed with the others";

    // The work item runs late, finds its buffer gone and touches nothing.
    WorkerBlock::release();
    ASSERT_TRUE(pavtest::waitFor([&] { return d->frame.inFlight.load() == 0; }));
    EXPECT_EQ(Deliveries::count(), 0u);
    EXPECT_EQ(d->frame.freeList.count(), 0u);

    // A new open works from fresh buffers and delivers again.
    ASSERT_EQ(Frame_Open(d, mjpgFormat(176, 144)), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Start(d), STATUS_SUCCESS);
    feed(d, frame(10, 0x43));
    ASSERT_TRUE(pavtest::waitFor([] { return Deliveries::count() == 1; }));
    EXPECT_EQ(Deliveries::images()[0], frame(10, 0x43));
    Frame_ReleaseVideo(d);
    EXPECT_EQ(frameBytes(), 0);
}

// The device goes while video runs: the stop sequence stops, closes and
// terminates the frame manager, and the harness finds nothing left behind.
TEST_F(Lifecycle, RemovalWhileStartedLeavesNothingBehind) {
    pavtest::CameraHarness h(options(scenarioFor(testName())));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    Deliveries::install(d);
    ASSERT_EQ(Frame_AcquireVideo(d), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Open(d, mjpgFormat(176, 144)), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Start(d), STATUS_SUCCESS);
    ASSERT_TRUE(pavtest::waitFor([&] { return d->frame.framesCompleted.load() >= 2; },
                                 std::chrono::seconds(20)));
    h.unplug();
    EXPECT_EQ(frameBytes(), 0);
    h.tearDown();
}

}  // namespace
