// A capture as the stream class runs one through the stand-in, over the
// simulated camera: the negotiated format, frames that decode, a frame that
// is waiting when a read comes, a frame longer than the image size, a second
// open while the first stream runs, and power changes.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "driver/core/device_context.h"
#include "driver/core/frame.h"
#include "driver/core/support.h"
#include "pav512/guids.h"
#include "sim/sim_camera.h"
#include "sim/video.h"
#include "tests/minidriver/capture_util.h"
#include "tests/support/kernel_test.h"

namespace {

using host::CaptureMinidriver;
using mdtest::imageSizeOf;

TEST(MinidriverCapture, ThirtyFramesOfTheIntersectedFormatEachDecode) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    CaptureMinidriver mini;
    ASSERT_EQ(mini.connect(h.fdo()), STATUS_SUCCESS);
    ASSERT_EQ(mini.initialiseDevice(), STATUS_SUCCESS);
    auto registrations = mini.filterRegistrations();
    ASSERT_FALSE(registrations.empty());
    EXPECT_TRUE(registrations.back().first == KSCATEGORY_CAPTURE);
    EXPECT_EQ(registrations.back().second, 1u);

    HW_STREAM_DESCRIPTOR info{};
    ASSERT_EQ(mini.streamInformation(&info), STATUS_SUCCESS);
    EXPECT_EQ(info.StreamHeader.NumberOfStreams, 1u);
    EXPECT_EQ(info.StreamInfo.NumberOfPossibleInstances, 1u);
    EXPECT_EQ(info.StreamInfo.DataFlow, KSPIN_DATAFLOW_OUT);
    ASSERT_EQ(mini.formatRanges().size(), 1u);

    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    ASSERT_EQ(mini.intersect(&format), STATUS_SUCCESS);
    const KS_BITMAPINFOHEADER& b = format.VideoInfoHeader.bmiHeader;
    EXPECT_EQ(b.biWidth, 320);
    EXPECT_EQ(b.biHeight, 240);
    EXPECT_EQ(b.biCompression, mdtest::kMjpg);
    EXPECT_EQ(b.biSizeImage, imageSizeOf(320, 240));
    ASSERT_EQ(mini.openStream(format), STATUS_SUCCESS);
    EXPECT_EQ(device->openSessions, 1);
    KSALLOCATOR_FRAMING framing{};
    ASSERT_EQ(mini.allocatorFraming(&framing), STATUS_SUCCESS);
    EXPECT_EQ(framing.FrameSize, imageSizeOf(320, 240));

    ASSERT_EQ(mini.setState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(device->frame.state.load(), kFrameOpen);
    ULONG state = 99;
    EXPECT_EQ(mini.getState(&state), STATUS_NO_DATA_DETECTED);
    EXPECT_EQ(state, KSSTATE_PAUSE);
    ASSERT_EQ(mini.setState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(device->frame.state.load(), kFrameStarted);
    EXPECT_EQ(mini.getState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_RUN);

    ASSERT_TRUE(mini.keepReadsQueued(3));
    ASSERT_TRUE(mini.waitFrames(30, 60000));
    mini.stopQueueingReads();
    // Stop from run: the frame manager closes and the reads still queued
    // come back cancelled.
    ASSERT_EQ(mini.setState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(device->frame.state.load(), kFrameClosed);
    EXPECT_EQ(mini.readsOutstanding(), 0u);

    const auto frames = mini.frames();
    std::size_t pictures = 0;
    std::vector<LONGLONG> filled;
    LONGLONG lastPicture = 0, lastDrops = 0;
    for (const auto& f : frames) {
        ASSERT_TRUE(f.status == STATUS_SUCCESS || f.status == STATUS_CANCELLED)
            << std::hex << static_cast<ULONG>(f.status);
        if (f.status != STATUS_SUCCESS) continue;
        ++pictures;
        EXPECT_TRUE(mdtest::decodes(f.bytes, 320, 240)) << "frame " << pictures;
        EXPECT_EQ(f.dataUsed, f.bytes.size());
        EXPECT_LE(f.dataUsed, imageSizeOf(320, 240));
        EXPECT_EQ(f.optionsFlags & (KSSTREAM_HEADER_OPTIONSF_TIMEVALID |
                                    KSSTREAM_HEADER_OPTIONSF_DURATIONVALID),
                  KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID);
        EXPECT_GE(f.pictureNumber, 1);
        // Every frame interval due counts a picture; all but the one that
        // filled a read are drops. So pictures less drops counts the reads
        // filled, each once.
        filled.push_back(f.pictureNumber - f.dropCount);
        if (f.pictureNumber > lastPicture) {
            lastPicture = f.pictureNumber;
            lastDrops = f.dropCount;
        }
    }
    EXPECT_GE(pictures, 30u);
    std::sort(filled.begin(), filled.end());
    for (std::size_t i = 0; i < filled.size(); ++i) EXPECT_EQ(filled[i], LONGLONG(i) + 1);

    KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
    ASSERT_EQ(mini.droppedFrames(&dropped), STATUS_SUCCESS);
    EXPECT_EQ(dropped.PictureNumber, lastPicture);
    EXPECT_EQ(dropped.DropCount, lastDrops);
    EXPECT_EQ(dropped.AverageFrameSize, imageSizeOf(320, 240));

    ASSERT_EQ(mini.closeStream(), STATUS_SUCCESS);
    EXPECT_EQ(device->openSessions, 0);
    EXPECT_EQ(mini.disconnect(), STATUS_SUCCESS);
}

// A reader slower than the camera: the frames its pacing refuses are let go
// before the worker, yet every frame the camera numbered is either read or
// counted dropped, and each read frame arrives whole (it decodes, and it is
// the camera's frame byte for byte up to its end marker).
TEST(MinidriverCapture, FramesThePacingRefusesAreLetGoEarlyAndStillCountedAsDrops) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    CaptureMinidriver mini;
    // Five frames a second, far below what the camera sends.
    ASSERT_TRUE(mdtest::startCapture(h, mini, nullptr, 0, 0, false, 2000000));
    ASSERT_TRUE(mini.keepReadsQueued(2));
    ASSERT_TRUE(mini.waitFrames(8, 60000));
    mini.stopQueueingReads();
    ASSERT_EQ(mini.setState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_GT(device->frame.framesUnwanted.load(), 0u) << "no frame was let go early";

    std::vector<const host::CaptureMinidriver::Frame*> read;
    const auto frames = mini.frames();
    for (const auto& f : frames)
        if (f.status == STATUS_SUCCESS) read.push_back(&f);
    ASSERT_GE(read.size(), 8u);
    for (std::size_t i = 0; i < read.size(); ++i) {
        const auto& f = *read[i];
        ASSERT_TRUE(mdtest::decodes(f.bytes, 320, 240)) << "frame " << i;
        ASSERT_GE(f.bytes.size(), 2u);
        EXPECT_EQ(f.bytes[0], 0xFF);
        EXPECT_EQ(f.bytes[f.bytes.size() - 1], 0xD9) << "ends in its end marker";
        if (i == 0) continue;
        const auto& before = *read[i - 1];
        auto number = sim::frameNumberOf(f.bytes.data(), f.bytes.size());
        auto numberBefore = sim::frameNumberOf(before.bytes.data(), before.bytes.size());
        ASSERT_TRUE(number && numberBefore);
        ASSERT_GT(*number, *numberBefore) << "frames in order";
        EXPECT_EQ(f.dropCount - before.dropCount, LONGLONG(*number - *numberBefore) - 1)
            << "the frames between two reads are counted dropped, frame " << i;
        EXPECT_EQ(f.pictureNumber - before.pictureNumber, LONGLONG(*number - *numberBefore));
    }
    EXPECT_EQ(mini.shutdown(), STATUS_SUCCESS);
}

// With the camera's video paused no further frame can come: a read that
// completes then, inside the very submit that handed it over, was filled
// with the frame that was waiting.
TEST(MinidriverCapture, AReadArrivingWhileAFrameWaitsIsFilledAtOnceWithThatFrame) {
    SRB_WATCH_RECORD stalled{1, pav512::kEventSetCamera, pav512::kEventVideoStalled, nullptr};
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    CaptureMinidriver mini;
    ASSERT_TRUE(mdtest::startCapture(h, mini));
    ASSERT_TRUE(mini.watch(&stalled));
    SrbifStream* st = mdtest::driverStream(mini);
    ASSERT_NE(st, nullptr);
    ASSERT_TRUE(pavtest::waitFor([&] { return st->frameWaiting.load(); },
                                 std::chrono::milliseconds(20000)));
    const std::size_t seen = mdtest::stalledSeen(mini);
    h.camera().pauseVideo(600000);
    ASSERT_TRUE(mdtest::waitStalled(mini, seen));
    ASSERT_TRUE(st->frameWaiting.load());

    std::vector<std::uint8_t> waiting;
    {
        const UCHAR* image = nullptr;
        ULONG length = 0;
        ASSERT_TRUE(Frame_GetReservedBuffer(device, &image, &length));
        if (image) waiting.assign(image, image + length);
        Frame_ReleaseReservedBuffer(device);
    }
    ASSERT_FALSE(waiting.empty());

    HW_STREAM_REQUEST_BLOCK* read = mini.submitRead();
    // No waiting for it: it is done when the submit returns.
    auto frames = mini.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].srb, read);
    EXPECT_TRUE(frames[0].duringSubmit);
    EXPECT_EQ(frames[0].status, STATUS_SUCCESS);
    EXPECT_EQ(frames[0].bytes, waiting);
    EXPECT_TRUE(mdtest::decodes(frames[0].bytes, 320, 240));
    EXPECT_GE(frames[0].pictureNumber, 1);
    EXPECT_FALSE(st->frameWaiting.load());

    EXPECT_EQ(mini.shutdown(), STATUS_SUCCESS);
    EXPECT_EQ(mini.completionsOf(read), 1u);
}

void deliverOnWorker(DeviceContext* device, PVOID image, PVOID) {
    const auto* bytes = static_cast<const std::vector<std::uint8_t>*>(image);
    SRBIF_DeliverFrame(device, bytes->data(), static_cast<ULONG>(bytes->size()));
}

// The frame manager never hands over a frame that does not fit the image
// size (the camera's conversion refuses it and the assembler drops a frame
// past its raw buffer), so the oversized frame is delivered the way the
// frame manager delivers: on the worker, through the stream interface.
TEST(MinidriverCapture, AFrameLongerThanTheImageSizeArrivesAsFABytesOfTheImageSize) {
    SRB_WATCH_RECORD stalled{1, pav512::kEventSetCamera, pav512::kEventVideoStalled, nullptr};
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    CaptureMinidriver mini;
    // Every frame is due, however close the deliveries come.
    ASSERT_TRUE(mdtest::startCapture(h, mini, nullptr, 0, 0, false, 0));
    ASSERT_TRUE(mini.watch(&stalled));
    ASSERT_TRUE(mdtest::stallWithReadsQueued(h, mini, 1, 1));
    // Whatever was waiting or queued is used up first.
    while (mini.readsOutstanding() == 0) {
        mini.submitRead();
    }
    const std::size_t before = mini.frames().size();

    const ULONG imageSize = imageSizeOf(320, 240);
    auto base = sim::FrameCache::get(320, 240);
    ASSERT_TRUE(base && !base->empty());
    const std::vector<std::uint8_t> oversized =
        sim::shapeFrame(sim::FrameShape::Oversized, (*base)[0], 320, 240);
    ASSERT_GT(oversized.size(), imageSize);
    ASSERT_TRUE(workerQueue(device, deliverOnWorker, const_cast<std::vector<std::uint8_t>*>(&oversized),
                            nullptr));
    ASSERT_TRUE(pavtest::waitFor([&] { return mini.frames().size() > before; }));
    auto f = mini.frames()[before];
    EXPECT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(f.dataUsed, imageSize);
    ASSERT_EQ(f.bytes.size(), imageSize);
    EXPECT_TRUE(std::all_of(f.bytes.begin(), f.bytes.end(), [](auto v) { return v == 0xFA; }));

    // A frame that fits is copied as it is.
    mini.submitRead();
    const std::vector<std::uint8_t>& fits = (*base)[1];
    ASSERT_LT(fits.size(), imageSize);
    ASSERT_TRUE(workerQueue(device, deliverOnWorker, const_cast<std::vector<std::uint8_t>*>(&fits),
                            nullptr));
    ASSERT_TRUE(pavtest::waitFor([&] { return mini.frames().size() > before + 1; }));
    f = mini.frames()[before + 1];
    EXPECT_EQ(f.status, STATUS_SUCCESS);
    EXPECT_EQ(f.bytes, fits);
    EXPECT_EQ(mini.shutdown(), STATUS_SUCCESS);
}

TEST(MinidriverCapture, ASecondOpenIsRefusedWhileTheFirstStreamKeepsRunning) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    CaptureMinidriver mini;
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    ASSERT_TRUE(mdtest::startCapture(h, mini, &format));
    ASSERT_TRUE(mini.keepReadsQueued(2));
    ASSERT_TRUE(mini.waitFrames(3));

    HW_STREAM_OBJECT second{};
    EXPECT_EQ(mini.openStreamObject(&second, format), STATUS_TOO_MANY_NODES);
    EXPECT_EQ(second.HwStreamExtension, nullptr);
    EXPECT_EQ(device->openSessions, 1);
    EXPECT_EQ(device->frame.state.load(), kFrameStarted);
    const std::size_t now = mini.frames().size();
    EXPECT_TRUE(mini.waitFrames(now + 5));
    EXPECT_EQ(mini.shutdown(), STATUS_SUCCESS);
    EXPECT_EQ(device->openSessions, 0);
}

TEST(MinidriverCapture, PowerChangesMoveTheDeviceBetweenThreeAndFourAndTheCaptureResumes) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    CaptureMinidriver mini;
    ASSERT_TRUE(mdtest::startCapture(h, mini));
    std::size_t filled = 0;
    auto successes = [&] {
        auto frames = mini.frames();
        return static_cast<std::size_t>(std::count_if(
            frames.begin(), frames.end(), [](const auto& f) { return f.status == STATUS_SUCCESS; }));
    };
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(mini.keepReadsQueued(2));
        ASSERT_TRUE(mini.waitFrames(filled + 3)) << "round " << round;
        mini.stopQueueingReads();
        const auto queued = mini.outstandingReads();
        std::vector<std::size_t> before;
        for (auto* r : queued) before.push_back(mini.completionsOf(r));
        ASSERT_EQ(mini.changePowerState(PowerDeviceD3), STATUS_SUCCESS);
        EXPECT_EQ(LONG{device->pnpState}, kPnpStreamPoweredDown);
        // Powered down: the frame manager is closed and no read is held.
        EXPECT_EQ(device->frame.state.load(), kFrameClosed);
        EXPECT_EQ(mini.readsOutstanding(), 0u);
        // Each read that was queued came back (filled, or cancelled by the
        // power-down), once.
        for (std::size_t i = 0; i < queued.size(); ++i)
            EXPECT_EQ(mini.completionsOf(queued[i]), before[i] + 1);
        ULONG state = 0;
        EXPECT_EQ(mini.getState(&state), STATUS_SUCCESS);
        EXPECT_EQ(state, KSSTATE_RUN);
        filled = successes();

        ASSERT_EQ(mini.changePowerState(PowerDeviceD0), STATUS_SUCCESS);
        EXPECT_EQ(LONG{device->pnpState}, kPnpStreamPoweredUp);
        EXPECT_EQ(device->frame.state.load(), kFrameStarted);
    }
    ASSERT_TRUE(mini.keepReadsQueued(2));
    EXPECT_TRUE(mini.waitFrames(filled + 3));
    EXPECT_EQ(mini.shutdown(), STATUS_SUCCESS);
}

TEST(MinidriverCapture, DevicePropertiesGoThroughTheStandInToTheCamera) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    CaptureMinidriver mini;
    ASSERT_EQ(mini.connect(h.fdo()), STATUS_SUCCESS);
    const GUID& device = pav512::kPropertySetDevice;
    h.camera().clearRequestLog();
    ASSERT_EQ(mini.setDeviceProperty(device, 6, {1}), STATUS_SUCCESS);  // banding filter 50 Hz
    auto log = h.camera().requestLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].request, 0x01);
    std::vector<std::uint8_t> value(1, 0xEE);
    ASSERT_EQ(mini.getDeviceProperty(device, 6, &value), STATUS_SUCCESS);
    EXPECT_EQ(value[0], 1);
    ASSERT_EQ(mini.setDeviceProperty(device, 6, {0}), STATUS_SUCCESS);
    ASSERT_EQ(mini.getDeviceProperty(device, 6, &value), STATUS_SUCCESS);
    EXPECT_EQ(value[0], 0);
    // The largest native size (8 bytes) cannot be set.
    std::vector<std::uint8_t> size(8, 0);
    ASSERT_EQ(mini.getDeviceProperty(device, 16, &size), STATUS_SUCCESS);
    EXPECT_NE(mini.setDeviceProperty(device, 16, size), STATUS_SUCCESS);
    EXPECT_EQ(mini.getDeviceProperty(device, 99, &value), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(mini.disconnect(), STATUS_SUCCESS);
}

}  // namespace
