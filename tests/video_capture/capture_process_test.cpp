// Video capture over the host's socket: client processes (and this process
// as a client of its own socket) record the simulated camera's MJPG video
// through the user-mode capture client, against the real driver.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/core/frame.h"
#include "driver/core/srbif.h"
#include "driver/camera/usbstrm.h"
#include "library/capture/video_capture.h"
#include "platform/kernel/pool.h"
#include "pav512/buffers.h"
#include "pav512/guids.h"
#include "host/socket_server.h"
#include "platform/user/channel_protocol.h"
#include "platform/user/channel_transport.h"
#include "platform/user/device_io.h"
#include "platform/user/setupapi.h"
#include "platform/user/socket_client.h"
#include "sim/jpeg.h"
#include "sim/sim_camera.h"
#include "sim/video.h"
#include "tests/library/cameras.h"
#include "tests/support/kernel_test.h"
#include "tests/support/process.h"

namespace {

constexpr std::size_t kImageSize320 = 2 * 320 * 240 + 608;

struct ClientFrame {
    std::size_t bytes = 0;
    int width = 0, height = 0;
    long long number = -1;
    unsigned long long picture = 0, drops = 0;
};

// What a client process says, line by line.
class Client {
  public:
    explicit Client(std::vector<std::string> args) : process_(withProgram(std::move(args))) {}

    // The first line: "started <size>" or "refused <error>".
    std::string started() { return process_.line(); }
    // The next frame line; false (with the line in *other) for anything else.
    bool frame(ClientFrame* f, std::string* other) {
        for (;;) {
            std::string l = process_.line();
            if (l == "timedout") continue;
            if (std::sscanf(l.c_str(), "frame %zu %d %d %lld %llu %llu", &f->bytes, &f->width,
                            &f->height, &f->number, &f->picture, &f->drops) == 6)
                return true;
            *other = l;
            return false;
        }
    }
    // Frames until `count` arrived or a line that is no frame (in *end).
    std::vector<ClientFrame> frames(std::size_t count, std::string* end) {
        std::vector<ClientFrame> out;
        ClientFrame f;
        while (out.size() < count && frame(&f, end)) out.push_back(f);
        return out;
    }
    pavtest::ChildProcess& process() { return process_; }

  private:
    static std::vector<std::string> withProgram(std::vector<std::string> args) {
        args.insert(args.begin(), PAV_TEST_VIDEO_CLIENT);
        return args;
    }
    pavtest::ChildProcess process_;
};

// Every frame decodes at 320 x 240 and carries a number above the one
// before; the numbers the stream skipped are the frames it says it dropped.
void expectInOrderWithDropsCounted(const std::vector<ClientFrame>& frames) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const ClientFrame& f = frames[i];
        EXPECT_EQ(f.width, 320) << "frame " << i << " of " << f.bytes << " bytes";
        EXPECT_EQ(f.height, 240) << "frame " << i;
        ASSERT_GE(f.number, 1) << "frame " << i << " carries no number";
        if (i == 0) continue;
        const ClientFrame& b = frames[i - 1];
        ASSERT_GT(f.number, b.number) << "frame " << i;
        EXPECT_EQ(static_cast<unsigned long long>(f.number - b.number - 1), f.drops - b.drops)
            << "frame " << i << ": numbers " << b.number << " then " << f.number << ", drops "
            << b.drops << " then " << f.drops;
        EXPECT_EQ(static_cast<unsigned long long>(f.number - b.number), f.picture - b.picture)
            << "frame " << i << ": the picture number counts every frame of the camera";
    }
}

// This process as a client of its own socket, as the client processes are.
class SocketClient {
  public:
    SocketClient() { uchannel::setTransport(uchannel::makeSocketTransport()); }
    ~SocketClient() { uchannel::setTransport(nullptr); }
};

// What the driver's video path holds in pool: none of it may outlive the
// camera.
LONGLONG videoPool() {
    LONGLONG n = 0;
    for (ULONG tag : {kSrbifBlockTag, kSrbifStreamTag, kSrbifRangeTag, kFrameTag, kUsbstrmTag})
        n += kpool::liveAllocations(tag);
    return n;
}

// Into the capture's own buffer the host writes each frame in place (the
// frame's bytes do not cross the socket); into memory of the client's own
// they come over the socket; with the capture's queued reads they come in
// place, into one buffer after another. All arrive the same.
TEST(VideoCaptureProcess, AHundredFramesArriveWholeAndInOrderWithTheirDropsCounted) {
    pavtest::SimulatedCameras cameras(true);
    ASSERT_TRUE(cameras.plug("video-e2e"));
    struct Case {
        const char* name;
        long frames;
        const char* buffer;  // the client's argument
        bool shared;
    };
    for (const Case& c :
         {Case{"the capture's buffer", 100, nullptr, true}, Case{"own memory", 20, "own", false},
          Case{"queued reads", 100, "queued", true}}) {
        SCOPED_TRACE(c.name);
        const std::uint64_t before = cameras.server()->sharedAnswers();
        std::vector<std::string> args = {"capture", std::to_string(c.frames)};
        if (c.buffer) args.insert(args.end(), {"0", c.buffer});
        Client client(args);
        ASSERT_EQ(client.started(), "started " + std::to_string(kImageSize320));
        std::string end;
        std::vector<ClientFrame> frames = client.frames(static_cast<std::size_t>(c.frames), &end);
        ASSERT_EQ(frames.size(), static_cast<std::size_t>(c.frames)) << end;
        expectInOrderWithDropsCounted(frames);
        ClientFrame extra;
        EXPECT_FALSE(client.frame(&extra, &end));
        EXPECT_EQ(end, "end frame ");
        EXPECT_EQ(client.process().wait(), 0);
        // Queued reads still waiting at the end come back cancelled, each
        // with its head over the socket too.
        const std::uint64_t shared = cameras.server()->sharedAnswers() - before;
        if (!c.shared)
            EXPECT_EQ(shared, 0u);
        else if (c.buffer)
            EXPECT_GE(shared, static_cast<std::uint64_t>(c.frames));
        else
            EXPECT_EQ(shared, static_cast<std::uint64_t>(c.frames));
    }
}

// A reader slower than the camera misses frames: each one it missed is in
// the drop count of the next frame it gets.
TEST(VideoCaptureProcess, AReaderSlowerThanTheCameraIsToldOfEveryFrameItMissed) {
    pavtest::SimulatedCameras cameras(true);
    ASSERT_TRUE(cameras.plug("video-slow"));
    Client client({"capture", "12", "100"});
    ASSERT_EQ(client.started(), "started " + std::to_string(kImageSize320));
    std::string end;
    std::vector<ClientFrame> frames = client.frames(12, &end);
    ASSERT_EQ(frames.size(), 12u) << end;
    expectInOrderWithDropsCounted(frames);
    EXPECT_GT(frames.back().drops, frames.front().drops) << "frames at 30 a second, read at 10";
    EXPECT_EQ(client.process().wait(), 0);
}

TEST(VideoCaptureProcess, ASecondOpenIsRefusedAsBusyWhileTheFirstKeepsStreaming) {
    pavtest::SimulatedCameras cameras(true);
    ASSERT_TRUE(cameras.plug("video-busy"));
    Client first({"hold"});
    ASSERT_EQ(first.started(), "started " + std::to_string(kImageSize320));
    std::string end;
    std::vector<ClientFrame> before = first.frames(3, &end);
    ASSERT_EQ(before.size(), 3u) << end;
    {
        // Another process...
        Client second({"hold"});
        EXPECT_EQ(second.started(), "refused camera busy");
        EXPECT_EQ(second.process().wait(), 256);  // exit status 1
    }
    {
        // ... and another channel.
        SocketClient socket;
        std::string error;
        auto capture = pavcap::VideoCapture::open(0, &error);
        ASSERT_NE(capture, nullptr) << error;
        EXPECT_FALSE(capture->start(pavcap::Format{}));
        EXPECT_EQ(capture->error(), "camera busy");
        std::vector<std::uint8_t> buffer(kImageSize320);
        pavcap::Frame frame;
        EXPECT_EQ(capture->read(buffer, &frame), pavcap::ReadResult::Stopped)
            << "a capture that did not start reads nothing";
    }
    std::vector<ClientFrame> after = first.frames(10, &end);
    ASSERT_EQ(after.size(), 10u) << end;
    before.insert(before.end(), after.begin(), after.end());
    expectInOrderWithDropsCounted(before);
}

TEST(VideoCaptureProcess, UnpluggingEndsTheWaitingReadsAndAReplugStreamsAgain) {
    pavtest::SimulatedCameras cameras(true);
    const LONGLONG poolBefore = videoPool();
    ASSERT_TRUE(cameras.plug("video-unplug"));
    {
        Client client({"hold"});
        ASSERT_EQ(client.started(), "started " + std::to_string(kImageSize320));
        std::string end;
        ASSERT_EQ(client.frames(3, &end).size(), 3u) << end;
        // The camera goes quiet, so the client's read is waiting in the
        // driver when the camera goes.
        sim::SimCamera* camera = cameras.camera("video-unplug");
        ASSERT_NE(camera, nullptr);
        camera->pauseVideo(60000);
        cameras.unplug("video-unplug");
        ClientFrame f;
        while (client.frame(&f, &end)) {
        }
        EXPECT_EQ(end.rfind("end removed", 0), 0u) << end;
        EXPECT_EQ(client.process().wait(), 0) << "the client ended cleanly, leaking nothing";
    }
    EXPECT_TRUE(pavtest::waitFor([&] { return videoPool() == poolBefore; }))
        << videoPool() << " video allocations outlive the camera";

    // The host lives on: the camera plugged in again streams.
    ASSERT_TRUE(cameras.plug("video-unplug"));
    Client again({"capture", "10"});
    ASSERT_EQ(again.started(), "started " + std::to_string(kImageSize320));
    std::string end;
    std::vector<ClientFrame> frames = again.frames(10, &end);
    ASSERT_EQ(frames.size(), 10u) << end;
    expectInOrderWithDropsCounted(frames);
    EXPECT_EQ(again.process().wait(), 0);
}

// A read waiting in this process when the camera goes ends as Removed, and a
// stop from another thread ends a waiting read promptly.
TEST(VideoCaptureProcess, AWaitingReadEndsWhenTheCameraGoesOrTheCaptureStops) {
    pavtest::SimulatedCameras cameras(true);
    ASSERT_TRUE(cameras.plug("video-reads"));
    sim::SimCamera* camera = cameras.camera("video-reads");
    ASSERT_NE(camera, nullptr);
    SocketClient socket;
    std::string error;
    auto capture = pavcap::VideoCapture::open(0, &error);
    ASSERT_NE(capture, nullptr) << error;
    EXPECT_TRUE(capture->frameBuffer().empty());  // no stream yet
    ASSERT_TRUE(capture->start(pavcap::Format{})) << capture->error();
    std::vector<std::uint8_t> buffer(capture->imageSize());
    pavcap::Frame frame;
    ASSERT_EQ(capture->read(buffer, &frame), pavcap::ReadResult::Frame) << capture->error();

    // Stop from another thread while the read waits for a quiet camera.
    camera->pauseVideo(60000);
    std::atomic<int> result{-1};
    std::thread reader([&] { result = static_cast<int>(capture->read(buffer, &frame)); });
    capture->stop();
    reader.join();
    EXPECT_EQ(result.load(), static_cast<int>(pavcap::ReadResult::Stopped));
    capture->stop();  // idempotent

    // The capture's own read buffer is made for the stream that asks for
    // it, at that stream's image size, and frames are read into it.
    camera->pauseVideo(0);
    pavcap::Format small;
    small.width = 176;
    small.height = 144;
    ASSERT_TRUE(capture->start(small)) << capture->error();
    std::span<std::uint8_t> own = capture->frameBuffer();
    ASSERT_EQ(own.size(), capture->imageSize());
    EXPECT_LT(own.size(), buffer.size());
    ASSERT_EQ(capture->read(own, &frame), pavcap::ReadResult::Frame) << capture->error();
    EXPECT_EQ(own[0], 0xFF);
    EXPECT_EQ(own[1], 0xD8);
    capture->stop();

    // Start again on the same channel, then the camera goes under a read.
    ASSERT_TRUE(capture->start(pavcap::Format{})) << capture->error();
    ASSERT_EQ(capture->read(buffer, &frame), pavcap::ReadResult::Frame) << capture->error();
    camera->pauseVideo(60000);
    result = -1;
    std::thread waiting([&] { result = static_cast<int>(capture->read(buffer, &frame)); });
    cameras.unplug("video-reads");
    waiting.join();
    EXPECT_EQ(result.load(), static_cast<int>(pavcap::ReadResult::Removed)) << capture->error();
    EXPECT_EQ(capture->read(buffer, &frame), pavcap::ReadResult::Removed) << capture->error();
    capture.reset();
}

// The capture's queued reads in this process: frames come in order, each
// whole in one of the capture's buffers; a stop ends a waiting call, and
// the reads it left queued are not taken for the next stream's; the camera
// going ends them as Removed.
TEST(VideoCaptureProcess, QueuedReadsBringFramesInOrderAndNothingOfAStoppedStream) {
    pavtest::SimulatedCameras cameras(true);
    ASSERT_TRUE(cameras.plug("video-queued"));
    sim::SimCamera* camera = cameras.camera("video-queued");
    ASSERT_NE(camera, nullptr);
    SocketClient socket;
    std::string error;
    auto capture = pavcap::VideoCapture::open(0, &error);
    ASSERT_NE(capture, nullptr) << error;
    auto frames = [&](int count) {
        pavcap::Frame before;
        for (int i = 0; i < count; ++i) {
            pavcap::Frame f;
            std::span<const std::uint8_t> data;
            ASSERT_EQ(capture->next(&f, &data), pavcap::ReadResult::Frame)
                << "frame " << i << ": " << capture->error();
            ASSERT_EQ(data.size(), f.bytes);
            ASSERT_GE(data.size(), 4u);
            EXPECT_TRUE(data[0] == 0xFF && data[1] == 0xD8) << "frame " << i;
            EXPECT_TRUE(data[f.bytes - 2] == 0xFF && data[f.bytes - 1] == 0xD9) << "frame " << i;
            if (i > 0) {
                ASSERT_GT(f.pictureNumber, before.pictureNumber) << "frame " << i;
                EXPECT_EQ(f.pictureNumber - before.pictureNumber,
                          f.dropCount - before.dropCount + 1)
                    << "frame " << i << ": every frame between is counted dropped";
            }
            before = f;
        }
    };
    ASSERT_TRUE(capture->start(pavcap::Format{})) << capture->error();
    frames(12);

    // Stop from another thread while the reads wait for a quiet camera.
    camera->pauseVideo(60000);
    std::atomic<int> result{-1};
    pavcap::Frame frame;
    std::span<const std::uint8_t> data;
    std::thread reader([&] { result = static_cast<int>(capture->next(&frame, &data)); });
    capture->stop();
    reader.join();
    EXPECT_EQ(result.load(), static_cast<int>(pavcap::ReadResult::Stopped));
    EXPECT_EQ(capture->next(&frame, &data), pavcap::ReadResult::Stopped);

    // Started again, and again after a stop that left reads queued with no
    // one waiting: the first call brings a frame of the new stream.
    camera->pauseVideo(0);
    ASSERT_TRUE(capture->start(pavcap::Format{})) << capture->error();
    frames(3);
    capture->stop();
    ASSERT_TRUE(capture->start(pavcap::Format{})) << capture->error();
    frames(3);

    // The camera goes under the queued reads.
    camera->pauseVideo(60000);
    result = -1;
    std::thread waiting([&] { result = static_cast<int>(capture->next(&frame, &data)); });
    cameras.unplug("video-queued");
    waiting.join();
    EXPECT_EQ(result.load(), static_cast<int>(pavcap::ReadResult::Removed)) << capture->error();
    EXPECT_EQ(capture->next(&frame, &data), pavcap::ReadResult::Removed) << capture->error();
    capture.reset();
}

// The control requests themselves, as any client sends them: a read answers
// its header and the frame's bytes, not the whole area it was given.
TEST(VideoCaptureProcess, AReadAnswersItsHeaderAndTheFramesBytesOnly) {
    using namespace pav512;
    pavtest::SimulatedCameras cameras(true);
    ASSERT_TRUE(cameras.plug("video-raw"));
    SocketClient socket;
    HDEVINFO set = SetupDiGetClassDevsA(&kInterfaceClassGuid, nullptr, nullptr,
                                        DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kInterfaceClassGuid, 0, &data));
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &size, nullptr);
    std::vector<char> mem(size + 1, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(mem.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, size, nullptr, nullptr));
    SetupDiDestroyDeviceInfoList(set);
    const std::string path = std::string(detail->DevicePath) + kConnectSuffix;
    HANDLE channel = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    ASSERT_NE(channel, INVALID_HANDLE_VALUE);
    // `sent`: the bytes of `b` that go to the host (0: all of them).
    auto request = [&](DWORD code, std::vector<std::uint8_t>& b, DWORD sent = 0) {
        b[0] = kModuleStatusUnanswered;
        DWORD returned = 0;
        EXPECT_TRUE(DeviceIoControl(channel, code, b.data(),
                                    sent ? sent : static_cast<DWORD>(b.size()), b.data(),
                                    static_cast<DWORD>(b.size()), &returned, nullptr));
        return returned;
    };
    auto put32 = [](std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
        std::memcpy(b.data() + at, &v, 4);
    };
    std::vector<std::uint8_t> open(44, 0);
    put32(open, 8, 320 | 240u << 16);
    open[12] = 24;
    put32(open, 16, 0x47504A4D);
    put32(open, 20, kImageSize320);
    put32(open, 24, 33);
    ASSERT_EQ(request(IOCTL_STREAM_OPEN, open), 44u);
    ASSERT_EQ(open[0], kModuleStatusSuccess);
    std::uint32_t handle = 0;
    std::memcpy(&handle, open.data() + 4, 4);
    std::vector<std::uint8_t> state(44, 0);
    put32(state, 4, handle);
    put32(state, 8, 2);
    ASSERT_EQ(request(IOCTL_STREAM_SET_STATE, state), 44u);
    ASSERT_EQ(state[0], kModuleStatusSuccess);

    std::vector<std::uint8_t> read(44 + kImageSize320, 0xEE);
    std::memset(read.data(), 0, 44);
    put32(read, 4, handle);
    put32(read, 8, kImageSize320);
    const DWORD returned = request(IOCTL_STREAM_READ, read);
    ASSERT_EQ(read[0], kModuleStatusSuccess);
    std::uint32_t used = 0;
    std::memcpy(&used, read.data() + 8, 4);
    ASSERT_GT(used, 2u);
    EXPECT_LT(used, kImageSize320);
    EXPECT_EQ(returned, 44u + used);
    EXPECT_EQ(read[44], 0xFF);
    EXPECT_EQ(read[45], 0xD8);
    EXPECT_EQ(read[44 + used - 2], 0xFF);
    EXPECT_EQ(read[44 + used - 1], 0xD9);
    EXPECT_EQ(read[44 + used], 0xEE) << "nothing past the frame came back";

    // The data area only comes back: the header alone may go.
    std::vector<std::uint8_t> headerOnly(44 + kImageSize320, 0xEE);
    std::memset(headerOnly.data(), 0, 44);
    put32(headerOnly, 4, handle);
    put32(headerOnly, 8, kImageSize320);
    const DWORD back = request(IOCTL_STREAM_READ, headerOnly, 44);
    ASSERT_EQ(headerOnly[0], kModuleStatusSuccess);
    std::memcpy(&used, headerOnly.data() + 8, 4);
    ASSERT_GT(used, 2u);
    EXPECT_EQ(back, 44u + used);
    EXPECT_EQ(headerOnly[44], 0xFF);
    EXPECT_EQ(headerOnly[45], 0xD8);
    EXPECT_EQ(headerOnly[44 + used - 1], 0xD9);

    // An area announced longer than the answer may be is refused.
    std::vector<std::uint8_t> tooLong(44 + 64, 0);
    put32(tooLong, 4, handle);
    put32(tooLong, 8, kImageSize320);
    tooLong[0] = kModuleStatusUnanswered;
    DWORD none = 0;
    EXPECT_FALSE(DeviceIoControl(channel, IOCTL_STREAM_READ, tooLong.data(), 44, tooLong.data(),
                                 static_cast<DWORD>(tooLong.size()), &none, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // ... and the channel goes on.
    std::vector<std::uint8_t> version(44, 0);
    EXPECT_EQ(request(IOCTL_STREAM_VERSION, version), 44u);
    EXPECT_EQ(version[0], kModuleStatusSuccess);
    CloseHandle(channel);
}

// How long the host lets a reply be: a read's as long as its header
// announces (within the largest buffer), everything else no longer than
// what the client sent.
TEST(VideoCaptureReplyLimit, AReadMayBeAnsweredAsLongAsItsHeaderAnnounces) {
    using namespace pav512;
    std::vector<std::uint8_t> header(44, 0);
    auto announce = [&](std::uint32_t n) { std::memcpy(header.data() + 8, &n, 4); };
    announce(1000);
    EXPECT_EQ(host::replyLimit(IOCTL_STREAM_READ, header.data(), 44), 1044u);
    EXPECT_EQ(host::replyLimit(IOCTL_STREAM_READ, header.data(), 2000), 2000u);
    announce(0xFFFFFFFFu);
    EXPECT_EQ(host::replyLimit(IOCTL_STREAM_READ, header.data(), 44), uproto::kMaxBuffer);
    // A header cut short announces nothing.
    EXPECT_EQ(host::replyLimit(IOCTL_STREAM_READ, header.data(), 20), 44u);
    EXPECT_EQ(host::replyLimit(IOCTL_STREAM_READ, nullptr, 44), 44u);
    // Other codes work in place on what was sent.
    announce(1000);
    EXPECT_EQ(host::replyLimit(IOCTL_STREAM_OPEN, header.data(), 44), 44u);
    EXPECT_EQ(host::replyLimit(IOCTL_PTP_TRANSFER, header.data(), 28), 28u);
}

TEST(VideoCaptureProcess, TheStreamOfAKilledClientIsClosedForTheNext) {
    pavtest::SimulatedCameras cameras(true);
    ASSERT_TRUE(cameras.plug("video-killed"));
    {
        Client doomed({"hold"});
        ASSERT_EQ(doomed.started(), "started " + std::to_string(kImageSize320));
        std::string end;
        ASSERT_EQ(doomed.frames(2, &end).size(), 2u) << end;
        doomed.process().kill();
    }
    // The host closes the dead client's stream once it sees its channel
    // close; until then the stream is busy.
    SocketClient socket;
    std::unique_ptr<pavcap::VideoCapture> capture;
    std::string lastError;
    EXPECT_TRUE(pavtest::waitFor(
        [&] {
            std::string error;
            capture = pavcap::VideoCapture::open(0, &error);
            if (!capture) {
                lastError = error;
                return false;
            }
            if (capture->start(pavcap::Format{})) return true;
            lastError = capture->error();
            capture.reset();
            return false;
        },
        std::chrono::seconds(20)))
        << lastError;
    ASSERT_NE(capture, nullptr);
    std::vector<std::uint8_t> buffer(capture->imageSize());
    std::vector<std::uint8_t> rgb;
    for (int i = 0; i < 5; ++i) {
        pavcap::Frame frame;
        ASSERT_EQ(capture->read(buffer, &frame), pavcap::ReadResult::Frame) << capture->error();
        int w = 0, h = 0;
        EXPECT_TRUE(sim::decodeJpeg(buffer.data(), frame.bytes, &rgb, &w, &h));
        EXPECT_EQ(w, 320);
        EXPECT_EQ(h, 240);
        EXPECT_TRUE(sim::frameNumberOf(buffer.data(), frame.bytes).has_value());
    }
}

}  // namespace
