// Frames of chosen shapes sent by the simulated camera, through the whole
// video path (isochronous packets, the camera's checks, the frame manager),
// and the simulated camera's other video behaviour the frame rules rely on:
// timed pauses, a sensor with size limits, the transfer-mode register.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "sim/descriptors.h"
#include "sim/sim_camera.h"
#include "sim/video.h"
#include "tests/frame/frame_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using namespace frametest;

constexpr ULONG kWidth = 160, kHeight = 120;

Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Where `expected` sits in `images` as one unbroken run; -1 when it does not.
long findRun(const std::vector<Bytes>& images, const std::vector<Bytes>& expected) {
    if (expected.size() > images.size()) return -1;
    for (std::size_t i = 0; i + expected.size() <= images.size(); ++i) {
        if (std::equal(expected.begin(), expected.end(), images.begin() + i))
            return static_cast<long>(i);
    }
    return -1;
}

class Shapes : public ::testing::Test {
  protected:
    void SetUp() override { Deliveries::reset(); }

    // Opens and starts the frame manager at 160 x 120 and waits until the
    // camera's own frames arrive.
    void startVideo(pavtest::CameraHarness& h) {
        DeviceContext* d = h.device();
        Deliveries::install(d);
        ASSERT_EQ(Frame_AcquireVideo(d), STATUS_SUCCESS);
        ASSERT_EQ(Frame_Open(d, mjpgFormat(kWidth, kHeight)), STATUS_SUCCESS);
        ASSERT_EQ(Frame_Start(d), STATUS_SUCCESS);
        ASSERT_TRUE(pavtest::waitFor([] { return Deliveries::count() >= 2; },
                                     std::chrono::seconds(20)));
    }
};

TEST_F(Shapes, TheCamerasFramesArriveWhole) {
    pavtest::CameraHarness h(options(scenarioFor(testName()), 1));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    startVideo(h);
    ASSERT_TRUE(pavtest::waitFor([] { return Deliveries::count() >= 4; },
                                 std::chrono::seconds(20)));
    auto generated = sim::FrameCache::get(kWidth, kHeight);
    // Each frame carries its own number over the cached frame's digits.
    for (const Bytes& image : Deliveries::images())
        EXPECT_NE(std::find(generated->begin(), generated->end(), sim::withoutFrameNumber(image)),
                  generated->end())
            << "an image of " << image.size() << " bytes is none of the camera's frames";
    EXPECT_GE(h.camera().alternateSetting(), 2) << "isochronous video";
    Frame_ReleaseVideo(h.device());
}

TEST_F(Shapes, OddFramesAreDeliveredByTheFrameRules) {
    pavtest::CameraHarness h(options(scenarioFor(testName()), 1));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    startVideo(h);
    DeviceContext* d = h.device();
    const int alternate = h.camera().alternateSetting();
    ASSERT_GE(alternate, 2);
    const std::size_t packetSize = sim::kIsoPacketSizes[alternate];
    ASSERT_EQ(d->camera.packetSize.load(), packetSize);
    const std::size_t payloadMax = packetSize - 2;
    auto base = sim::FrameCache::get(kWidth, kHeight);
    ASSERT_EQ(base->size(), static_cast<std::size_t>(sim::kFramesPerSize));
    const Bytes& b0 = (*base)[0];
    const Bytes& b1 = (*base)[1];
    const Bytes& b2 = (*base)[2];
    const Bytes& b3 = (*base)[3];

    std::vector<sim::VideoPacket> packets;
    std::vector<Bytes> expected;
    // Each frame waits a little first, so that the one before is converted
    // by then and none is dropped for being in flight.
    auto add = [&](sim::FrameShape shape, const Bytes& from, int fullBadPacket = -1) {
        sim::ScriptedFrame f;
        f.shape = shape;
        f.fullBadPacket = fullBadPacket;
        f.pauseBeforeMs = 60;
        auto more = sim::packetsOf(f, sim::shapeFrame(shape, from, kWidth, kHeight), payloadMax);
        packets.insert(packets.end(), more.begin(), more.end());
        return more;
    };
    add(sim::FrameShape::Whole, b1);
    expected.push_back(b1);
    add(sim::FrameShape::LeadingD9, b2);
    expected.push_back(b2);  // without the leading D9
    add(sim::FrameShape::Preamble, b3);  // refused: nothing
    {
        // A frame in packets of one byte each, with packets of a single
        // byte (too short for a checksum) in between, which carry nothing.
        const Bytes small = frame(40, 0x5C);
        for (std::size_t i = 0; i < small.size(); ++i) {
            sim::VideoPacket p;
            p.bytes = {small[i]};
            p.pauseBeforeMs = i == 0 ? 60 : 0;
            packets.push_back(p);
            packets.push_back({{0xAA}, sim::PacketChecksum::None, 0});
        }
        expected.push_back(small);
    }
    add(sim::FrameShape::NoEndMarker, b1);
    {
        // No pause: the next frame runs on into the one without its end.
        sim::ScriptedFrame f;
        auto more = sim::packetsOf(f, b2, payloadMax);
        packets.insert(packets.end(), more.begin(), more.end());
        expected.push_back(cat(sim::shapeFrame(sim::FrameShape::NoEndMarker, b1, kWidth, kHeight),
                               b2));
    }
    add(sim::FrameShape::Oversized, b3);  // discarded: nothing
    {
        // Packet 1 is the packet size minus 2 long with a wrong checksum:
        // delivered whole, its two checksum bytes inside the frame.
        auto sent = add(sim::FrameShape::Whole, b0, 1);
        ASSERT_GE(sent.size(), 3u);
        ASSERT_EQ(sent[1].checksum, sim::PacketChecksum::Bad);
        ASSERT_EQ(sent[1].bytes.size() + 2, packetSize - 2);
        Bytes image;
        for (const sim::VideoPacket& p : sent) {
            image.insert(image.end(), p.bytes.begin(), p.bytes.end());
            if (p.checksum == sim::PacketChecksum::Bad) {
                std::uint16_t sum = sim::wrongChecksum(p.bytes.data(), p.bytes.size());
                image.push_back(static_cast<std::uint8_t>(sum & 0xFF));
                image.push_back(static_cast<std::uint8_t>(sum >> 8));
            }
        }
        expected.push_back(image);
    }
    add(sim::FrameShape::Whole, b3);
    expected.push_back(b3);

    const ULONG deliveredBefore = d->frame.framesDelivered.load();
    h.camera().queueVideoPackets(packets);
    ASSERT_TRUE(pavtest::waitFor([&] { return h.camera().scriptedVideoLeft() == 0; },
                                 std::chrono::seconds(30)));
    ASSERT_TRUE(pavtest::waitFor([&] { return findRun(Deliveries::images(), expected) >= 0; },
                                 std::chrono::seconds(10)))
        << "delivered " << d->frame.framesDelivered.load() - deliveredBefore << " images";
    Frame_ReleaseVideo(d);
}

// At setting 1 the video comes over the bulk pipe, without checksums: a
// scripted frame goes in bulk packets and still meets the same rules.
TEST_F(Shapes, BulkVideoCarriesScriptedFramesToo) {
    pavtest::CameraHarness h(options(scenarioFor(testName()), 1));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    startVideo(h);
    DeviceContext* d = h.device();
    ASSERT_EQ(Camera_SetMode(d, 1), STATUS_SUCCESS);
    ASSERT_FALSE(d->camera.isochronousMode.load());
    auto base = sim::FrameCache::get(kWidth, kHeight);
    std::vector<sim::VideoPacket> packets;
    std::vector<Bytes> expected;
    for (auto shape : {sim::FrameShape::LeadingD9, sim::FrameShape::Preamble,
                       sim::FrameShape::Whole}) {
        sim::ScriptedFrame f;
        f.shape = shape;
        f.pauseBeforeMs = 60;
        auto more = sim::packetsOf(f, sim::shapeFrame(shape, (*base)[2], kWidth, kHeight),
                                   sim::kBulkPacketSize);
        packets.insert(packets.end(), more.begin(), more.end());
        if (shape != sim::FrameShape::Preamble) expected.push_back((*base)[2]);
    }
    h.camera().queueVideoPackets(packets);
    ASSERT_TRUE(pavtest::waitFor([&] { return h.camera().scriptedVideoLeft() == 0; },
                                 std::chrono::seconds(30)));
    ASSERT_TRUE(pavtest::waitFor([&] { return findRun(Deliveries::images(), expected) >= 0; },
                                 std::chrono::seconds(10)));
    Frame_ReleaseVideo(d);
}

TEST_F(Shapes, AScenarioScriptsFramesOfItsOwn) {
    sim::Scenario s = scenarioFor(testName());
    for (auto shape : {sim::FrameShape::LeadingD9, sim::FrameShape::Preamble,
                       sim::FrameShape::Oversized, sim::FrameShape::Whole}) {
        sim::ScriptedFrame f;
        f.shape = shape;
        f.base = 3;
        f.pauseBeforeMs = 60;
        s.videoScript.push_back(f);
    }
    s.videoScript.back().base = 1;
    pavtest::CameraHarness h(options(s, 1));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    startVideo(h);
    ASSERT_TRUE(pavtest::waitFor([&] { return h.camera().scriptedVideoLeft() == 0; },
                                 std::chrono::seconds(30)));
    auto base = sim::FrameCache::get(kWidth, kHeight);
    // The script goes first: the leading-D9 frame, then (the two refused
    // ones giving nothing) the whole one.
    const std::vector<Bytes> expected = {(*base)[3], (*base)[1]};
    ASSERT_TRUE(pavtest::waitFor([&] { return Deliveries::count() >= 3; },
                                 std::chrono::seconds(10)));
    EXPECT_EQ(findRun(Deliveries::images(), expected), 0);
    Frame_ReleaseVideo(h.device());
}

TEST_F(Shapes, ATimedPauseStopsTheVideoForItsLength) {
    sim::Scenario s = scenarioFor(testName());
    s.timing.videoPauseAfterFrames = 3;
    s.timing.videoPauseMs = 1500;
    pavtest::CameraHarness h(options(s, 10));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    Deliveries::install(d);
    ASSERT_EQ(Frame_AcquireVideo(d), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Open(d, mjpgFormat(kWidth, kHeight)), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Start(d), STATUS_SUCCESS);
    // Before, during and after the pause, in the camera's frames.
    std::vector<LONGLONG> completedAt;
    std::uint64_t seen = 0;
    ASSERT_TRUE(pavtest::waitFor(
        [&] {
            auto completed = h.camera().counters().framesCompleted;
            if (completed != seen) {
                seen = completed;
                completedAt.push_back(kclock::now());
            }
            return completed >= 5;
        },
        std::chrono::seconds(30)));
    LONGLONG longestGap = 0;
    for (std::size_t i = 1; i < completedAt.size(); ++i)
        longestGap = std::max(longestGap, completedAt[i] - completedAt[i - 1]);
    // Measured by polling, so a little short of the pause; frames otherwise
    // come every 33 ms.
    EXPECT_GE(longestGap / 10000, 1400) << "milliseconds between two frames";
    EXPECT_GT(d->frame.framesDelivered.load(), 0u);
    Frame_ReleaseVideo(d);
}

TEST_F(Shapes, ASensorRefusesPictureSizesPastItsLimits) {
    sim::Scenario s = scenarioFor(testName());
    s.sensorMaxWidth = 320;
    s.sensorMaxHeight = 240;
    pavtest::CameraHarness h(options(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    ASSERT_EQ(Frame_AcquireVideo(d), STATUS_SUCCESS);
    EXPECT_FALSE(NT_SUCCESS(Frame_Open(d, mjpgFormat(352, 288))));
    EXPECT_EQ(d->frame.state.load(), kFrameOpen) << "open, to be closed by its caller";
    EXPECT_EQ(frameBytes(), 0);
    int programmed = 0;
    for (const sim::RegisterTable& t : h.camera().tables())
        programmed += t.space == 1;
    EXPECT_EQ(programmed, 0) << "the refused table was not acted on";
    ASSERT_EQ(Frame_Close(d), STATUS_SUCCESS);
    ASSERT_EQ(Frame_Open(d, mjpgFormat(320, 240)), STATUS_SUCCESS);
    EXPECT_EQ(h.camera().registerValue(1, 0xE4), 320 / 4);
    Frame_ReleaseVideo(d);
}

TEST_F(Shapes, ASmallSensorStopsAtCifByItself) {
    sim::Scenario small = scenarioFor(testName());
    small.sensorType = 1;
    pavtest::CameraHarness h2(options(small));
    ASSERT_TRUE(h2.started()) << h2.arrivalText();
    ULONG raw = 0;
    EXPECT_FALSE(NT_SUCCESS(Camera_Open(h2.device(), 640, 480, &raw)));

    EXPECT_EQ(Camera_Open(h2.device(), 352, 288, &raw), STATUS_SUCCESS);
    Camera_Close(h2.device());
}

TEST_F(Shapes, ACameraThatHonoursTheTransferModeSendsNoVideoWithoutIt) {
    sim::Scenario s = scenarioFor(testName());
    s.honoursTransferMode = true;
    pavtest::CameraHarness h(options(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    startVideo(h);  // the mode change wrote the register: video comes
    DeviceContext* d = h.device();
    EXPECT_EQ(h.camera().registerValue(3, 0x21) & 5, 5);
    ASSERT_EQ(Camera_WriteRegister(d, CAMERAACCESS_ASIC, kRegTransferMode, 0), STATUS_SUCCESS);
    // Once the frame in progress is over, nothing more is sent.
    std::uint64_t last = h.camera().counters().isoDataPackets;
    ASSERT_TRUE(pavtest::waitFor([&] {
        std::uint64_t now = h.camera().counters().isoDataPackets;
        bool still = now == last;
        last = now;
        return still && h.camera().counters().isoPackets > 0;
    }));
    const std::uint64_t stopped = h.camera().counters().isoDataPackets;
    const std::uint64_t packetsThen = h.camera().counters().isoPackets;
    ASSERT_TRUE(pavtest::waitFor(
        [&] { return h.camera().counters().isoPackets >= packetsThen + 200; }));
    EXPECT_EQ(h.camera().counters().isoDataPackets, stopped) << "200 packets, none with video";
    ASSERT_EQ(Camera_WriteRegister(d, CAMERAACCESS_ASIC, kRegTransferMode, 5), STATUS_SUCCESS);
    ASSERT_TRUE(pavtest::waitFor(
        [&] { return h.camera().counters().isoDataPackets > stopped; }));
    Frame_ReleaseVideo(d);
}

TEST(ShapesScenario, ScriptsPausesLimitsAndTheTransferModeReadFromAFile) {
    std::string error;
    sim::Scenario s = sim::parseScenario(R"({
        "sensorMaxWidth": 320, "sensorMaxHeight": 240, "honoursTransferMode": true,
        "timing": {"videoPauseAfterFrames": 4, "videoPauseMs": 2500},
        "videoScript": [{"shape": "leadingD9", "base": 2, "packetPayload": 1},
                        {"shape": "whole", "fullBadPacket": 3, "pauseBeforeMs": 40}]
    })", &error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(s.sensorMaxWidth, 320);
    EXPECT_EQ(s.sensorMaxHeight, 240);
    EXPECT_TRUE(s.honoursTransferMode);
    EXPECT_EQ(s.timing.videoPauseAfterFrames, 4);
    EXPECT_EQ(s.timing.videoPauseMs, 2500);
    ASSERT_EQ(s.videoScript.size(), 2u);
    EXPECT_EQ(s.videoScript[0].shape, sim::FrameShape::LeadingD9);
    EXPECT_EQ(s.videoScript[0].base, 2);
    EXPECT_EQ(s.videoScript[0].packetPayload, 1);
    EXPECT_EQ(s.videoScript[1].fullBadPacket, 3);
    EXPECT_EQ(s.videoScript[1].pauseBeforeMs, 40);

    sim::parseScenario(R"({"videoScript": [{"shape": "square"}]})", &error);
    EXPECT_EQ(error,
              "videoScript[0].shape: must be one of whole, leadingD9, preamble, noEndMarker, "
              "oversized");
    sim::parseScenario(R"({"videoScript": [{"size": 3}]})", &error);
    EXPECT_EQ(error, "videoScript[0].size: unknown field");
}

}  // namespace
