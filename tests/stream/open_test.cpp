// The capture stream as the capture minidriver opens it over a simulated
// camera: the format list the camera registered, and one instance at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "driver/core/device_context.h"
#include "driver/core/srbif.h"
#include "host/minidriver.h"
#include "pav512/buffers.h"
#include "tests/support/device_client.h"
#include "platform/kernel/clock.h"
#include "sim/sim_camera.h"
#include "tests/support/camera_harness.h"

namespace {

KS_DATAFORMAT_VIDEOINFOHEADER formatOf(DeviceContext* device, LONG width, LONG height) {
    const KS_DATARANGE_VIDEO& r = *device->srbifState.formats[0];
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    f.DataFormat = r.DataRange;
    f.DataFormat.FormatSize = sizeof f;
    f.VideoInfoHeader = r.VideoInfoHeader;
    f.VideoInfoHeader.bmiHeader.biWidth = width;
    f.VideoInfoHeader.bmiHeader.biHeight = height;
    f.VideoInfoHeader.bmiHeader.biSizeImage = 0;
    return f;
}

NTSTATUS run(host::CaptureMinidriver& mini, HW_STREAM_REQUEST_BLOCK* srb) {
    const std::size_t before = mini.completions().size();
    EXPECT_TRUE(mini.submit(srb));
    EXPECT_TRUE(mini.waitCompletions(before + 1));
    return srb->Status;
}

TEST(StreamOpen, TheDefaultFormatIsHalfTheLargestSizeOnTheGrid) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    const SrbifState& s = h.device()->srbifState;
    ASSERT_EQ(s.formatCount, 1u);
    const KS_BITMAPINFOHEADER& b = s.formats[0]->VideoInfoHeader.bmiHeader;
    EXPECT_EQ(b.biWidth, 320);
    EXPECT_EQ(b.biHeight, 240);
    EXPECT_EQ(b.biSizeImage, 2u * 320 * 240 + 608);
    EXPECT_EQ(SRBIF_ImageSize(0x58564150, 320, 240, 16), 320u * 240 * 2 + 1024);
    EXPECT_EQ(SRBIF_ImageSize(0, 320, 240, 24), 320u * 240 * 3);
    // Off the 16 x 8 grid above 64 x 56.
    EXPECT_EQ(SRBIF_SetSize(h.device(), 328, 240), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SRBIF_SetSize(h.device(), 320, 244), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SRBIF_SetSize(h.device(), 176, 144), STATUS_SUCCESS);
}

TEST(StreamOpen, ASecondOpenIsRefusedAndTheFirstStaysOpen) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    host::CaptureMinidriver mini;
    ASSERT_EQ(mini.connect(h.fdo()), STATUS_SUCCESS);

    KS_DATAFORMAT_VIDEOINFOHEADER format = formatOf(device, 320, 240);
    HW_STREAM_OBJECT first{}, second{};
    HW_STREAM_REQUEST_BLOCK open1{}, open2{}, close1{};
    open1.Command = open2.Command = SRB_OPEN_STREAM;
    open1.StreamObject = &first;
    open2.StreamObject = &second;
    open1.CommandData.Data = open2.CommandData.Data = &format;
    ASSERT_EQ(run(mini, &open1), STATUS_SUCCESS);
    EXPECT_EQ(device->openSessions, 1);
    EXPECT_EQ(run(mini, &open2), STATUS_TOO_MANY_NODES);
    EXPECT_EQ(device->openSessions, 1);
    EXPECT_NE(first.HwStreamExtension, nullptr);

    close1.Command = SRB_CLOSE_STREAM;
    close1.StreamObject = &first;
    EXPECT_EQ(run(mini, &close1), STATUS_SUCCESS);
    EXPECT_EQ(device->openSessions, 0);
    mini.disconnect();
}

}  // namespace

namespace {

struct Read {
    HW_STREAM_REQUEST_BLOCK srb{};
    SRB_VIDEO_READ_HEADER header{};
    std::vector<UCHAR> data;
    explicit Read(HW_STREAM_OBJECT* stream, ULONG room) : data(room) {
        srb.Command = SRB_READ_DATA;
        srb.StreamObject = stream;
        srb.CommandData.DataBufferArray = &header;
        header.Header.Data = data.data();
        header.Header.FrameExtent = room;
    }
};

TEST(StreamRun, FramesFillReadsAndStopFromRunCancelsTheRestAndClosesTheFrameManager) {
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    host::CaptureMinidriver mini;
    ASSERT_EQ(mini.connect(h.fdo()), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER format = formatOf(device, 320, 240);
    format.VideoInfoHeader.AvgTimePerFrame = 0;  // every frame is due
    HW_STREAM_OBJECT stream{};
    HW_STREAM_REQUEST_BLOCK open{}, state{};
    open.Command = SRB_OPEN_STREAM;
    open.StreamObject = &stream;
    open.CommandData.Data = &format;
    ASSERT_EQ(run(mini, &open), STATUS_SUCCESS);
    state.Command = SRB_SET_STREAM_STATE;
    state.StreamObject = &stream;
    state.CommandData.StreamState = KSSTATE_RUN;
    ASSERT_EQ(run(mini, &state), STATUS_SUCCESS);
    EXPECT_EQ(device->frame.state.load(), kFrameStarted);

    const ULONG imageSize = 2 * 320 * 240 + 608;
    Read first(&stream, imageSize);
    const std::size_t before = mini.completions().size();
    ASSERT_TRUE(mini.submit(&first.srb));
    ASSERT_TRUE(mini.waitCompletions(before + 1, 20000));
    EXPECT_EQ(first.srb.Status, STATUS_SUCCESS);
    ASSERT_GT(first.header.Header.DataUsed, 2u);
    EXPECT_EQ(first.data[0], 0xFF);
    EXPECT_EQ(first.data[1], 0xD8);
    EXPECT_GE(first.header.FrameInfo.PictureNumber, 1);

    // Stop the camera's frames from reaching the reads, then stop.
    HW_STREAM_REQUEST_BLOCK pause{};
    pause.Command = SRB_SET_STREAM_STATE;
    pause.StreamObject = &stream;
    pause.CommandData.StreamState = KSSTATE_PAUSE;
    ASSERT_EQ(run(mini, &pause), STATUS_SUCCESS);
    Read queued(&stream, imageSize);
    ASSERT_TRUE(mini.submit(&queued.srb));
    HW_STREAM_REQUEST_BLOCK stop{};
    stop.Command = SRB_SET_STREAM_STATE;
    stop.StreamObject = &stream;
    stop.CommandData.StreamState = KSSTATE_STOP;
    const std::size_t beforeStop = mini.completions().size();
    ASSERT_TRUE(mini.submit(&stop));
    ASSERT_TRUE(mini.waitCompletions(beforeStop + 2));
    EXPECT_EQ(queued.srb.Status, STATUS_CANCELLED);
    EXPECT_EQ(stop.Status, STATUS_SUCCESS);
    EXPECT_EQ(device->frame.state.load(), kFrameClosed);

    Read refused(&stream, imageSize);
    EXPECT_EQ(run(mini, &refused.srb), STATUS_UNSUCCESSFUL);
    HW_STREAM_REQUEST_BLOCK close{};
    close.Command = SRB_CLOSE_STREAM;
    close.StreamObject = &stream;
    EXPECT_EQ(run(mini, &close), STATUS_SUCCESS);
    mini.disconnect();
}

}  // namespace

namespace {

TEST(StreamRun, AReadWithoutFramesEndsAfterTheWatchdogWithTimeoutAndFFBytes) {
    pavtest::CameraHarnessOptions o;
    o.clockScale = 10;
    pavtest::CameraHarness h(o);
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* device = h.device();
    host::CaptureMinidriver mini;
    ASSERT_EQ(mini.connect(h.fdo()), STATUS_SUCCESS);
    KS_DATAFORMAT_VIDEOINFOHEADER format = formatOf(device, 176, 144);
    format.VideoInfoHeader.AvgTimePerFrame = 0;
    HW_STREAM_OBJECT stream{};
    HW_STREAM_REQUEST_BLOCK open{}, state{};
    open.Command = SRB_OPEN_STREAM;
    open.StreamObject = &stream;
    open.CommandData.Data = &format;
    ASSERT_EQ(run(mini, &open), STATUS_SUCCESS);
    state.Command = SRB_SET_STREAM_STATE;
    state.StreamObject = &stream;
    state.CommandData.StreamState = KSSTATE_RUN;
    ASSERT_EQ(run(mini, &state), STATUS_SUCCESS);
    const ULONG imageSize = 2 * 176 * 144 + 608;
    {
        Read first(&stream, imageSize);
        ASSERT_EQ(run(mini, &first.srb), STATUS_SUCCESS);
    }
    h.camera().pauseVideo(600000);
    // A frame already under way may still fill a read or two.
    NTSTATUS status = STATUS_SUCCESS;
    LONGLONG waited = 0;
    for (int i = 0; i < 5 && status != STATUS_TIMEOUT; ++i) {
        Read r(&stream, imageSize);
        const LONGLONG start = kclock::now();
        const std::size_t before = mini.completions().size();
        ASSERT_TRUE(mini.submit(&r.srb));
        ASSERT_TRUE(mini.waitCompletions(before + 1, 20000));
        status = r.srb.Status;
        waited = kclock::now() - start;
        if (status == STATUS_TIMEOUT) {
            EXPECT_EQ(r.header.Header.DataUsed, imageSize);
            EXPECT_TRUE(std::all_of(r.data.begin(), r.data.begin() + imageSize,
                                    [](UCHAR b) { return b == 0xFF; }));
        }
    }
    ASSERT_EQ(status, STATUS_TIMEOUT);
    // 2.5 s, give or take the 100 ms tick.
    EXPECT_GE(waited, 2300 * 10000LL);
    EXPECT_LE(waited, 4000 * 10000LL);
    HW_STREAM_REQUEST_BLOCK close{};
    close.Command = SRB_CLOSE_STREAM;
    close.StreamObject = &stream;
    EXPECT_EQ(run(mini, &close), STATUS_SUCCESS);
    mini.disconnect();
}

}  // namespace

namespace {

using pavtest::streamRequest;

TEST(LibraryStream, FormatInformationAndAStreamOpenedReadAndClosedByHandle) {
    using namespace pav512;
    pavtest::CameraHarness h;
    ASSERT_TRUE(h.started()) << h.arrivalText();
    pavtest::DeviceClient client(h.fdo());

    auto info = streamRequest(0);
    USHORT index = 1;  // the count: one format
    std::memcpy(info.data() + 10, &index, 2);
    auto r = client.sendRequest(IOCTL_STREAM_FORMAT_INFO, info);
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    EXPECT_EQ(r->moduleStatus(), kModuleStatusOutOfRange);
    USHORT count = 0;
    std::memcpy(&count, r->data.data() + 8, 2);
    EXPECT_EQ(count, 1);

    // Off the grid: refused before any stream exists.
    r = client.sendRequest(IOCTL_STREAM_OPEN, pavtest::streamOpenRequest(328, 240));
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    EXPECT_EQ(r->moduleStatus(), kModuleStatusOutOfRange);

    r = client.sendRequest(IOCTL_STREAM_OPEN, pavtest::streamOpenRequest(320, 240));
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    ASSERT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    std::uint32_t handle = 0;
    std::memcpy(&handle, r->data.data() + 4, 4);
    ASSERT_NE(handle, 0u);

    r = client.sendRequest(IOCTL_STREAM_CLOSE, streamRequest(handle + 1));
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    EXPECT_EQ(r->moduleStatus(), kModuleStatusBadStreamHandle);

    auto run = streamRequest(handle);
    run[8] = 2;
    r = client.sendRequest(IOCTL_STREAM_SET_STATE, run);
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    ASSERT_EQ(r->moduleStatus(), kModuleStatusSuccess);

    const std::uint32_t imageSize = 2 * 320 * 240 + 608;
    auto read = streamRequest(handle, 44 + imageSize);
    std::memcpy(read.data() + 8, &imageSize, 4);
    r = client.sendRequest(IOCTL_STREAM_READ, read);
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    ASSERT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    std::uint32_t used = 0;
    std::memcpy(&used, r->data.data() + 8, 4);
    ASSERT_GT(used, 2u);
    EXPECT_EQ(r->data[44], 0xFF);
    EXPECT_EQ(r->data[45], 0xD8);

    r = client.sendRequest(IOCTL_STREAM_CLOSE, streamRequest(handle));
    ASSERT_TRUE(pavtest::DeviceClient::wait(r));
    EXPECT_EQ(r->moduleStatus(), kModuleStatusSuccess);
    EXPECT_EQ(h.device()->openSessions, 0);
}

}  // namespace
