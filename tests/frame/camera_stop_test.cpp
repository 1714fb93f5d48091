// Camera_Stop lets the frame routine go only once no call of it is under
// way: neither a delivery from the video stream nor the tick's stall call.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "tests/frame/frame_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using namespace frametest;

// A frame routine that stays inside until released, and says whether it
// has returned.
struct HeldRoutine {
    static inline std::mutex lock;
    static inline std::condition_variable changed;
    static inline bool inside = false;
    static inline bool released = false;
    static inline std::atomic<bool> returned{false};
    static void reset() {
        std::lock_guard<std::mutex> g(lock);
        inside = false;
        released = false;
        returned = false;
    }
    static void routine(DeviceContext*, const UCHAR*, ULONG) {
        std::unique_lock<std::mutex> g(lock);
        inside = true;
        changed.notify_all();
        changed.wait(g, [] { return released; });
        returned = true;
    }
    static bool isInside() {
        std::lock_guard<std::mutex> g(lock);
        return inside;
    }
    static void release() {
        std::lock_guard<std::mutex> g(lock);
        released = true;
        changed.notify_all();
    }
};

// Runs `call` on its own thread while the routine is held, stops the
// camera on another, and checks that the stop returned only after the
// routine had.
void checkStopWaitsFor(DeviceContext* d, const std::function<void()>& call) {
    HeldRoutine::reset();
    ASSERT_EQ(Camera_Start(d, HeldRoutine::routine), STATUS_SUCCESS);
    std::thread caller(call);
    ASSERT_TRUE(pavtest::waitFor([] { return HeldRoutine::isInside(); }));
    std::atomic<bool> stopReturned{false};
    std::atomic<bool> routineHadReturned{false};
    std::thread stopper([&] {
        Camera_Stop(d);
        routineHadReturned = HeldRoutine::returned.load();
        stopReturned = true;
    });
    // The stop has dropped the routine and now waits for the call inside it.
    ASSERT_TRUE(pavtest::waitFor([&] { return d->camera.frameCallback.load() == nullptr; }));
    EXPECT_FALSE(stopReturned.load());
    HeldRoutine::release();
    stopper.join();
    caller.join();
    EXPECT_TRUE(stopReturned.load());
    EXPECT_TRUE(routineHadReturned.load()) << "the stop returned while the routine still ran";
    EXPECT_EQ(d->camera.frameCalls.load(), 0);
}

class CameraStop : public ::testing::Test {
  protected:
    void SetUp() override {
        h_ = std::make_unique<pavtest::CameraHarness>(options(scenarioFor(testName())));
        ASSERT_TRUE(h_->started()) << h_->arrivalText();
        d_ = h_->device();
        // The real tick must not call the held routine by itself.
        d_->tickHooks.videoStall.store(nullptr);
    }
    std::unique_ptr<pavtest::CameraHarness> h_;
    DeviceContext* d_ = nullptr;
};

TEST_F(CameraStop, WaitsForADeliveryFromTheVideoStream) {
    // At setting 0 video data go to the routine unchanged.
    ASSERT_FALSE(d_->camera.isochronousMode.load());
    checkStopWaitsFor(d_, [d = d_] {
        UCHAR data[16] = {0xFF, 0xD8};
        Camera_VideoData(d, data, sizeof data);
    });
}

TEST_F(CameraStop, WaitsForTheTicksStallCall) {
    checkStopWaitsFor(d_, [d = d_] {
        Camera_VideoStallCheck(d, d->camera.lastActivityMs.load() + 10 * kVideoStallMs);
    });
}

TEST_F(CameraStop, CallsAfterTheStopReachNoRoutine) {
    HeldRoutine::reset();
    ASSERT_EQ(Camera_Start(d_, HeldRoutine::routine), STATUS_SUCCESS);
    ASSERT_EQ(Camera_Stop(d_), STATUS_SUCCESS);
    UCHAR data[4] = {1, 2, 3, 4};
    Camera_VideoData(d_, data, sizeof data);
    Camera_VideoStallCheck(d_, d_->camera.lastActivityMs.load() + 10 * kVideoStallMs);
    EXPECT_FALSE(HeldRoutine::isInside());
}

}  // namespace
