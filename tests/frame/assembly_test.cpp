// Frames assembled from the chunks the camera hands the data routine: the
// empty chunk that restarts a frame, one frame in flight at a time, frames
// too long for the raw buffer, and the MJPG rules that decide what is
// delivered. The camera's own video is paused; the test feeds the chunks.
#include <gtest/gtest.h>

#include <atomic>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/frame/frame_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using namespace frametest;

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class Assembly : public ::testing::Test {
  protected:
    void SetUp() override {
        Deliveries::reset();
        h_ = std::make_unique<pavtest::CameraHarness>(options(scenarioFor(testName())));
        ASSERT_TRUE(h_->started()) << h_->arrivalText();
        d_ = h_->device();
        Deliveries::install(d_);
    }
    void TearDown() override {
        if (d_) Frame_ReleaseVideo(d_);
        h_.reset();
    }
    void openAndStart(ULONG width = 176, ULONG height = 144) {
        openQuiet(d_, *h_, width, height);
        ASSERT_EQ(Frame_Start(d_), STATUS_SUCCESS);
    }
    // Waits until no frame is in flight, then returns what was delivered.
    std::vector<Bytes> settled() {
        EXPECT_TRUE(pavtest::waitFor([&] { return d_->frame.inFlight.load() == 0; }));
        return Deliveries::images();
    }
    // A copy of the reserved buffer's image (empty when it holds none).
    Bytes reserved() {
        const UCHAR* image = nullptr;
        ULONG length = 0;
        EXPECT_TRUE(Frame_GetReservedBuffer(d_, &image, &length));
        Bytes copy = image ? Bytes(image, image + length) : Bytes{};
        Frame_ReleaseReservedBuffer(d_);
        return copy;
    }
    std::unique_ptr<pavtest::CameraHarness> h_;
    DeviceContext* d_ = nullptr;
};

TEST_F(Assembly, AZeroLengthChunkInMidFrameRestartsTheFrame) {
    openAndStart();
    const Bytes a = frame(300, 0x11), b = frame(200, 0x22);
    feed(d_, Bytes(a.begin(), a.begin() + 150));
    feed(d_, Bytes{});  // the tick: no data for a while
    EXPECT_EQ(d_->frame.fillPosition, 0u);
    feed(d_, b);
    auto images = settled();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0], b) << "the half frame before the empty chunk is gone";

    // Without the empty chunk the half frame stays at the front.
    feed(d_, Bytes(a.begin(), a.begin() + 150));
    feed(d_, b);
    images = settled();
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[1], cat(Bytes(a.begin(), a.begin() + 150), b));
}

TEST_F(Assembly, TheTicksEmptyCallRestartsTheFrameAsWell) {
    openAndStart();
    const Bytes a = frame(300, 0x11), b = frame(200, 0x22);
    feed(d_, Bytes(a.begin(), a.begin() + 150));
    Camera_VideoStallCheck(d_, d_->camera.lastActivityMs.load() + 10 * kVideoStallMs);
    feed(d_, b);
    auto images = settled();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0], b);
}

TEST_F(Assembly, AFrameCompletingWhileOneIsConvertedIsDroppedAndTheNextDelivered) {
    openAndStart();
    const Bytes first = frame(100, 0x01), second = frame(120, 0x02), third = frame(140, 0x03);
    Deliveries::holdNext();
    feed(d_, first);
    ASSERT_TRUE(pavtest::waitFor([] { return Deliveries::holding(); }));
    // The first frame is in the worker's hands: the second is dropped and
    // its buffer reused.
    feed(d_, second);
    EXPECT_EQ(d_->frame.framesDropped.load(), 1u);
    EXPECT_EQ(d_->frame.inFlight.load(), 1);
    EXPECT_EQ(d_->frame.fillPosition, 0u);
    Deliveries::release();
    ASSERT_TRUE(pavtest::waitFor([&] { return d_->frame.inFlight.load() == 0; }));
    feed(d_, third);
    auto images = settled();
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0], first);
    EXPECT_EQ(images[1], third);
    EXPECT_EQ(d_->frame.framesCompleted.load(), 3u);
    EXPECT_EQ(d_->frame.framesDelivered.load(), 2u);
    EXPECT_EQ(d_->frame.freeList.count(), 3u) << "every raw buffer came back";
}

TEST_F(Assembly, AFrameLongerThanTheRawBufferIsDiscarded) {
    openAndStart(64, 56);  // raw frames of 2 x 64 x 56 + 608 = 7776 bytes
    const ULONG raw = d_->frame.rawFrameSize;
    ASSERT_EQ(raw, 7776u);
    const Bytes big = frame(raw + 500, 0x55);
    for (std::size_t at = 0; at < big.size(); at += 1000)
        feed(d_, Bytes(big.begin() + at, big.begin() + std::min(big.size(), at + 1000)));
    // Its tail ends at the marker and goes to the worker as a frame.
    ASSERT_TRUE(pavtest::waitFor([&] { return d_->frame.inFlight.load() == 0; }));
    EXPECT_EQ(d_->frame.framesCompleted.load(), 1u);
    const Bytes next = frame(64, 0x66);
    feed(d_, next);
    auto images = settled();
    // The tail of the long frame ended at its marker but did not start with
    // one: nothing of it was delivered.
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0], next);

    // A frame of exactly the raw size still fits.
    Deliveries::reset();
    FrameFormat roomy = mjpgFormat(64, 56);
    roomy.imageSize = raw + 1;
    ASSERT_EQ(Frame_Stop(d_), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Close(d_), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Open(d_, roomy), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Start(d_), STATUS_SUCCESS);
    const Bytes exact = frame(raw - 4, 0x77);
    ASSERT_EQ(exact.size(), raw);
    feed(d_, exact);
    images = settled();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0], exact);
}

TEST_F(Assembly, TheEndMarkerIsFoundAcrossChunksOfOneByte) {
    openAndStart();
    const Bytes f = frame(40, 0x12);
    for (std::uint8_t b : f) feed(d_, Bytes{b});
    auto images = settled();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0], f);
}

TEST_F(Assembly, TheMjpgRulesDecideWhatIsCopiedOut) {
    FrameFormat small = mjpgFormat(176, 144);
    small.imageSize = 100;  // the reserved image buffer
    h_->camera().pauseVideo(1000 * 1000 * 1000);
    d_->tickHooks.videoStall.store(nullptr);
    ASSERT_EQ(Frame_AcquireVideo(d_), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Open(d_, small), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Start(d_), STATUS_SUCCESS);

    // Each frame is fed once the one before has been converted.
    auto feedOne = [&](const Bytes& chunk) {
        feed(d_, chunk);
        ASSERT_TRUE(pavtest::waitFor([&] { return d_->frame.inFlight.load() == 0; }));
    };
    const Bytes plain = frame(20, 0x21);
    feedOne(plain);
    EXPECT_EQ(reserved(), plain) << "the last image stays in the reserved buffer";
    feedOne(cat(Bytes{0xD9}, plain));        // the tail of an end marker ahead of it
    feedOne(cat(Bytes{0x00, 0x01}, plain));  // bytes before the start marker
    EXPECT_TRUE(reserved().empty()) << "a refused frame leaves no image";
    feedOne(frame(96, 0x23));  // 100 bytes: not smaller than the image buffer
    feedOne(frame(95, 0x24));  // 99 bytes
    auto images = Deliveries::images();
    ASSERT_EQ(images.size(), 3u);
    EXPECT_EQ(images[0], plain);
    EXPECT_EQ(images[1], plain) << "copied without the leading D9";
    EXPECT_EQ(images[2], frame(95, 0x24));
    EXPECT_EQ(d_->frame.framesCompleted.load(), 5u);
    EXPECT_EQ(d_->frame.freeList.count(), 3u) << "refused frames give their buffers back";

    ASSERT_EQ(Frame_Stop(d_), STATUS_SUCCESS);
    EXPECT_TRUE(reserved().empty()) << "no image once stopped";
    feed(d_, plain);
    EXPECT_EQ(d_->frame.framesCompleted.load(), 5u) << "chunks while stopped are ignored";
}

// The delivery sees the image where it lies in the raw frame; the reserved
// buffer gets a copy only of an image a stream keeps waiting for a read.
TEST_F(Assembly, OnlyAnImageKeptWaitingIsCopiedIntoTheReservedBuffer) {
    openAndStart();
    const Bytes kept = frame(500, 0x31);
    feed(d_, cat(Bytes{0xD9}, kept));
    ASSERT_EQ(settled().size(), 1u);
    EXPECT_EQ(reserved(), kept) << "kept: copied whole, without the leading D9";
    EXPECT_EQ(d_->frame.framesKept.load(), 1u);

    Deliveries::keep(false);
    const Bytes taken = frame(400, 0x32);
    feed(d_, taken);
    auto images = settled();
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[1], taken) << "the delivery saw the whole image";
    EXPECT_TRUE(reserved().empty()) << "a frame nobody keeps leaves no image, not the one before";
    EXPECT_EQ(d_->frame.framesKept.load(), 1u);
    EXPECT_EQ(d_->frame.framesDelivered.load(), 2u);
    EXPECT_EQ(d_->frame.freeList.count(), 3u) << "every buffer back";
}

// A complete frame the stream interface says nobody wants is let go in the
// completion context: the worker never sees it and its buffer is reused. A
// frame the conversion would refuse is not asked about.
namespace wanted {
std::atomic<int> asked{0};
std::atomic<bool> answer{false};
bool routine(DeviceContext*) {
    ++asked;
    return answer.load();
}
}  // namespace wanted

TEST_F(Assembly, AFrameNobodyWantsIsLetGoWithoutTheWorker) {
    openAndStart();
    wanted::asked = 0;
    wanted::answer = false;
    d_->frame.hooks.wanted.store(wanted::routine);
    feed(d_, frame(300, 0x41));
    feed(d_, frame(300, 0x42));
    EXPECT_EQ(wanted::asked.load(), 2);
    EXPECT_EQ(d_->frame.framesUnwanted.load(), 2u);
    EXPECT_EQ(d_->frame.inFlight.load(), 0) << "nothing was handed on";
    EXPECT_EQ(d_->frame.fillPosition, 0u) << "the fill buffer starts the next frame";
    feed(d_, cat(Bytes{0x00, 0x01}, frame(300, 0x43)));  // refused by the conversion
    EXPECT_EQ(wanted::asked.load(), 2) << "a frame that cannot convert is not asked about";
    EXPECT_TRUE(settled().empty()) << "it went to the worker, which refused it";

    wanted::answer = true;
    const Bytes wantedFrame = frame(300, 0x44);
    feed(d_, wantedFrame);
    auto images = settled();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0], wantedFrame);
    EXPECT_EQ(d_->frame.framesUnwanted.load(), 2u);
    EXPECT_EQ(d_->frame.framesCompleted.load(), 4u);
    EXPECT_EQ(d_->frame.framesDropped.load(), 0u) << "not counted as the frame manager's drops";
    d_->frame.hooks.wanted.store(nullptr);
}

}  // namespace
