// Cancelling reads through the driver's cancel routine: a read still on its
// way to its stream's queue, a queued read, and one that is already done.
#include <gtest/gtest.h>

#include <atomic>

#include "driver/core/device_context.h"
#include "pav512/guids.h"
#include "sim/sim_camera.h"
#include "tests/minidriver/capture_util.h"
#include "tests/support/kernel_test.h"

namespace {

using host::CaptureMinidriver;

// With a frame waiting and a master clock, the driver asks the clock for the
// stream time before it decides between filling the read and queueing it:
// the cancel that comes then (from the clock's routine, on the submitting
// thread, so at exactly that moment) finds the read in neither place.
TEST(MinidriverCancel, AReadCancelledOnItsWayToTheQueueCompletesCancelledAtOnceAndOnce) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    CaptureMinidriver mini;
    ASSERT_TRUE(mdtest::startCapture(h, mini, nullptr, 0, 0, true));
    SrbifStream* st = mdtest::driverStream(mini);
    ASSERT_NE(st, nullptr);
    ASSERT_TRUE(pavtest::waitFor([&] { return st->frameWaiting.load(); },
                                 std::chrono::milliseconds(20000)));

    std::atomic<bool> armed{true};
    std::atomic<int> cancels{0};
    mini.onClockQuery([&] {
        const HW_STREAM_REQUEST_BLOCK* read = CaptureMinidriver::submittingHere();
        if (!read || read->Command != SRB_READ_DATA || !armed.exchange(false)) return;
        mini.cancel(const_cast<HW_STREAM_REQUEST_BLOCK*>(read));
        cancels.fetch_add(1);
    });
    HW_STREAM_REQUEST_BLOCK* read = mini.submitRead();
    ASSERT_EQ(cancels.load(), 1) << "the driver asked no clock on the read's way";
    // Done by the time the submit returned, not at the next frame.
    ASSERT_EQ(mini.completionsOf(read), 1u);
    auto frames = mini.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].srb, read);
    EXPECT_EQ(frames[0].status, STATUS_CANCELLED);
    EXPECT_TRUE(frames[0].duringSubmit);
    mini.onClockQuery(nullptr);

    // The capture goes on, and the cancelled read never comes back again.
    ASSERT_TRUE(mini.keepReadsQueued(2));
    ASSERT_TRUE(mini.waitFrames(3));
    EXPECT_EQ(mini.shutdown(), STATUS_SUCCESS);
    EXPECT_EQ(mini.completionsOf(read), 1u);
}

TEST(MinidriverCancel, AQueuedReadCompletesCancelledOnceAndADoneOneIsLeftAlone) {
    SRB_WATCH_RECORD stalled{1, pav512::kEventSetCamera, pav512::kEventVideoStalled, nullptr};
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    CaptureMinidriver mini;
    ASSERT_TRUE(mdtest::startCapture(h, mini));
    ASSERT_TRUE(mini.watch(&stalled));
    ASSERT_TRUE(mdtest::stallWithReadsQueued(h, mini, 1, 1));
    // Use up a waiting frame and the handed-back read, so that the next
    // read waits in the queue.
    HW_STREAM_REQUEST_BLOCK* done = nullptr;
    for (;;) {
        auto queued = mini.outstandingReads();
        if (!queued.empty()) {
            done = queued[0];
            break;
        }
        mini.submitRead();
    }
    const std::size_t before = mini.completionsOf(done);
    ASSERT_TRUE(mini.cancel(done));
    ASSERT_EQ(mini.completionsOf(done), before + 1);
    EXPECT_EQ(mini.completions().back().srb, done);
    EXPECT_EQ(mini.completions().back().status, STATUS_CANCELLED);
    // A second cancel of it finds nothing to complete.
    ASSERT_TRUE(mini.cancel(done));
    EXPECT_EQ(mini.completionsOf(done), before + 1);
    EXPECT_EQ(mini.readsOutstanding(), 0u);
    EXPECT_EQ(mini.shutdown(), STATUS_SUCCESS);
}

}  // namespace
