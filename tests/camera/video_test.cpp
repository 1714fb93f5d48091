// Video data on its way to the frame manager: the isochronous checksum rules,
// bulk video, the started and stopped events, the stall watch, and real
// frames of the simulated camera arriving byte for byte.
#include "sim/video.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "driver/camera/camera.h"
#include "driver/core/device_context.h"
#include "sim/sim_camera.h"
#include "tests/camera/camera_test_util.h"
#include "tests/support/kernel_test.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// What the frame callback received: one entry per call (an empty entry is a
// call with length 0, a dropped frame).
class Frames {
  public:
    static void callback(DeviceContext*, const UCHAR* data, ULONG length) {
        std::lock_guard<std::mutex> g(lock_);
        calls_.emplace_back(data, data + length);
        nullData_ += data == nullptr;
    }
    static void clear() {
        std::lock_guard<std::mutex> g(lock_);
        calls_.clear();
        nullData_ = 0;
    }
    static std::vector<Bytes> calls() {
        std::lock_guard<std::mutex> g(lock_);
        return calls_;
    }
    static int nullData() {
        std::lock_guard<std::mutex> g(lock_);
        return nullData_;
    }

  private:
    static inline std::mutex lock_;
    static inline std::vector<Bytes> calls_;
    static inline int nullData_ = 0;
};

// A packet as the camera sends it: payload, then the 16-bit little-endian
// sum of the payload bytes (or a wrong one).
Bytes packet(std::size_t payload, bool goodChecksum, std::uint8_t seed = 1) {
    Bytes p(payload);
    for (std::size_t i = 0; i < payload; ++i) p[i] = static_cast<std::uint8_t>(seed + i * 13);
    unsigned sum = 0;
    for (std::uint8_t b : p) sum += b;
    if (!goodChecksum) sum += 0x1234;
    p.push_back(static_cast<std::uint8_t>(sum & 0xFF));
    p.push_back(static_cast<std::uint8_t>((sum >> 8) & 0xFF));
    return p;
}

void feed(DeviceContext* d, Bytes bytes) {
    Camera_VideoData(d, bytes.data(), static_cast<ULONG>(bytes.size()));
}

class Video : public ::testing::Test {
  protected:
    void SetUp() override {
        camtest::UpperModules::reset();
        Frames::clear();
    }
};

TEST_F(Video, IsochronousPacketsAreCheckedAndStripped) {
    sim::Scenario s = sim::defaultScenario();
    s.maxAlternate = 3;  // 384-byte packets
    pavtest::CameraHarness h(camtest::cameraOptions(s));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    ASSERT_EQ(Camera_SetMode(d, 7), STATUS_SUCCESS);
    ASSERT_TRUE(d->camera.isochronousMode.load());
    ASSERT_EQ(d->camera.packetSize.load(), 384u);
    ASSERT_EQ(Camera_Start(d, Frames::callback), STATUS_SUCCESS);
    // The camera is not open, so the real stream carries no video meanwhile.

    Bytes good = packet(100, true);
    feed(d, good);                    // delivered without its checksum
    feed(d, packet(380, false, 7));   // 382 bytes = packet size - 2: delivered whole
    feed(d, packet(200, false, 9));   // any other length: a bad packet
    feed(d, packet(382, false, 11));  // the whole packet size: a bad packet
    feed(d, Bytes{0x42});             // shorter than a checksum: nothing
    feed(d, packet(0, true));         // only a checksum: nothing

    auto calls = Frames::calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0], Bytes(good.begin(), good.end() - 2));
    EXPECT_EQ(calls[1], packet(380, false, 7));
    EXPECT_TRUE(calls[2].empty());
    EXPECT_TRUE(calls[3].empty());

    Frames::clear();
    d->camera.acceptBadChecksums.store(true);
    feed(d, packet(200, false, 9));
    d->camera.acceptBadChecksums.store(false);
    calls = Frames::calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], packet(200, false, 9)) << "bad checksums accepted: delivered whole";

    // The sum wraps at 16 bits and counts every byte, whatever the length:
    // bytes of 0xFF, and a single byte changed after the checksum was made,
    // at the start, in the middle and last.
    for (std::size_t length : {1u, 15u, 16u, 17u, 31u, 33u, 255u, 1021u}) {
        Bytes all(length, 0xFF);
        const unsigned sum = static_cast<unsigned>(length) * 0xFF;
        all.push_back(static_cast<std::uint8_t>(sum & 0xFF));
        all.push_back(static_cast<std::uint8_t>((sum >> 8) & 0xFF));
        for (std::size_t at : {std::size_t{0}, length / 2, length - 1}) {
            Bytes changed = all;
            changed[at] = 0xFE;
            Frames::clear();
            feed(d, all);
            feed(d, changed);
            calls = Frames::calls();
            ASSERT_EQ(calls.size(), 2u) << length;
            EXPECT_EQ(calls[0], Bytes(all.begin(), all.end() - 2)) << length;
            EXPECT_TRUE(calls[1].empty()) << "a byte changed at " << at << " of " << length;
        }
    }

    // Stopped: nothing reaches anyone.
    Frames::clear();
    ASSERT_EQ(Camera_Stop(d), STATUS_SUCCESS);
    feed(d, packet(100, true));
    feed(d, packet(200, false));
    EXPECT_TRUE(Frames::calls().empty());
}

// The bus takes back the bandwidth of setting 7 and the video stream stalls:
// its recovery can only get setting 6. The camera object then works with the
// packet size of setting 6 (its checksum rule too) and tells the camera
// the transfer mode again.
TEST_F(Video, RecoveryThatFallsBackToALowerSettingMovesTheCameraWithIt) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    ASSERT_EQ(Camera_SetMode(d, 7), STATUS_SUCCESS);
    ASSERT_EQ(d->camera.packetSize.load(), 1023u);
    auto transferModeWrites = [&] {
        auto writes = h.camera().registerWrites();
        return std::count_if(writes.begin(), writes.end(),
                             [](const sim::RegisterWrite& w) { return w.space == 3 && w.reg == 0x21; });
    };
    const auto before = transferModeWrites();
    h.camera().changeFaults([](sim::Faults& f) { f.refusedAlternates = {7}; });
    UsbStream* iso = d->camera.isochronous;
    ASSERT_NE(iso, nullptr);
    USBSTRM_CheckStall(iso, static_cast<ULONG>(iso->lastGoodMs) + 10 * kStallMs);
    ASSERT_TRUE(pavtest::waitFor([&] { return d->camera.alternate.load() == 6; }));
    EXPECT_EQ(h.camera().alternateSetting(), 6);
    EXPECT_EQ(d->camera.packetSize.load(), 896u);
    EXPECT_TRUE(d->camera.isochronousMode.load());
    ASSERT_TRUE(pavtest::waitFor([&] { return transferModeWrites() == before + 1; }));
    EXPECT_EQ(h.camera().registerValue(3, 0x21) & 5, 5);
    ASSERT_TRUE(pavtest::waitFor([&] { return iso->active == 1; }));

    ASSERT_EQ(Camera_Start(d, Frames::callback), STATUS_SUCCESS);
    feed(d, packet(892, false, 3));  // 894 bytes: the new packet size - 2
    auto calls = Frames::calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], packet(892, false, 3)) << "judged by the old packet size";
    ASSERT_EQ(Camera_Stop(d), STATUS_SUCCESS);
    EXPECT_EQ(Camera_SetMode(d, 0), STATUS_SUCCESS);
}

// The bus takes back every isochronous setting while the video streams: the
// recovery can only get setting 1, where no isochronous pipe exists. The
// video moves to the bulk-in pipe and the camera's frames keep coming, whole
// and without checksums, and the stall watch leaves the bulk video alone.
TEST_F(Video, RecoveryThatFallsBackToSettingOneMovesTheVideoToTheBulkPipe) {
    sim::Scenario s = sim::defaultScenario();
    s.honoursTransferMode = true;  // the camera sends bulk video only when told to
    pavtest::CameraHarness h(camtest::cameraOptions(s, 1));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    auto expected = sim::FrameCache::get(320, 240);
    ASSERT_TRUE(expected && !expected->empty());
    ASSERT_EQ(Camera_Open(d, 320, 240, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(Camera_SetMode(d, 7), STATUS_SUCCESS);
    UsbStream* iso = d->camera.isochronous;
    UsbStream* bulkIn = d->camera.bulkIn;
    ASSERT_NE(iso, nullptr);
    ASSERT_NE(bulkIn, nullptr);
    ASSERT_EQ(Camera_Start(d, Frames::callback), STATUS_SUCCESS);
    h.camera().changeFaults([](sim::Faults& f) { f.refusedAlternates = {2, 3, 4, 5, 6, 7}; });
    USBSTRM_CheckStall(iso, static_cast<ULONG>(iso->lastGoodMs) + 10 * kStallMs);
    ASSERT_TRUE(pavtest::waitFor([&] {
        return ReadAcquire(&bulkIn->active) == 1 && ReadAcquire(&bulkIn->running) == 1;
    })) << "the video runs on the bulk-in pipe";
    EXPECT_EQ(h.camera().alternateSetting(), 1);
    EXPECT_EQ(d->camera.alternate.load(), 1);
    EXPECT_FALSE(d->camera.isochronousMode.load());
    EXPECT_EQ(d->camera.packetSize.load(), 0u);
    EXPECT_EQ(h.camera().registerValue(3, 0x21) & 6, 6) << "the camera is told: bulk video";
    EXPECT_EQ(ReadAcquire(&iso->running), 0) << "the isochronous stream is stopped for good";
    EXPECT_EQ(ReadAcquire(&iso->active), 0);

    // From here only the bulk-in stream can carry video.
    Frames::clear();
    auto wholeFrames = [&] {
        Bytes all;
        for (const Bytes& c : Frames::calls()) all.insert(all.end(), c.begin(), c.end());
        // Each frame carries its number; the cached ones carry "00000000".
        const Bytes start = {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x0A};
        for (auto at = all.begin();
             (at = std::search(at, all.end(), start.begin(), start.end())) != all.end(); ++at) {
            std::size_t offset = static_cast<std::size_t>(at - all.begin());
            for (std::size_t i = 0; i < sim::kFrameNumberDigits &&
                                    offset + sim::kFrameNumberOffset + i < all.size();
                 ++i)
                all[offset + sim::kFrameNumberOffset + i] = '0';
        }
        int found = 0;
        for (const Bytes& frame : *expected)
            if (std::search(all.begin(), all.end(), frame.begin(), frame.end()) != all.end())
                ++found;
        return found;
    };
    EXPECT_TRUE(pavtest::waitFor([&] { return wholeFrames() >= 2; }, std::chrono::seconds(10)));
    const LONG crises = ReadAcquire(&iso->crisisCount);
    USBSTRM_Tick(d, static_cast<ULONG>(iso->lastGoodMs) + 10 * kStallMs);
    EXPECT_EQ(ReadAcquire(&iso->recoveryPending), 0) << "no recovery of a stream nobody runs";
    EXPECT_EQ(ReadAcquire(&iso->crisisCount), crises);
    ASSERT_EQ(Camera_Stop(d), STATUS_SUCCESS);
    EXPECT_EQ(Camera_Close(d), STATUS_SUCCESS);
    EXPECT_EQ(ReadAcquire(&bulkIn->running), 0) << "the mode change to idle stops the bulk video";
    EXPECT_EQ(h.camera().alternateSetting(), 0);
}

TEST_F(Video, BulkVideoPassesUnchanged) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    ASSERT_EQ(Camera_SetMode(d, 1), STATUS_SUCCESS);
    EXPECT_FALSE(d->camera.isochronousMode.load());
    EXPECT_EQ(d->camera.packetSize.load(), 0u);
    ASSERT_EQ(Camera_Start(d, Frames::callback), STATUS_SUCCESS);
    Bytes chunk = packet(200, false);
    feed(d, chunk);
    feed(d, Bytes{});  // a zero-length transfer carries nothing
    auto calls = Frames::calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], chunk);
}

TEST_F(Video, StartAndStopRaiseTheirEventsAndAStallDropsTheFrame) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario()));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    camtest::EventLog log(d);
    ASSERT_EQ(Camera_Start(d, Frames::callback), STATUS_SUCCESS);
    // No video comes (the camera is not open): after 200 ms the tick reports
    // the stall and tells the frame manager to drop what it has.
    ASSERT_TRUE(log.waitFor(false, 2));
    ASSERT_TRUE(pavtest::waitFor([] { return Frames::nullData() > 0; }));
    ASSERT_EQ(Camera_Stop(d), STATUS_SUCCESS);
    auto events = log.raised(false);
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events.front(), kCameraEventVideoStarted);
    EXPECT_EQ(events[1], kCameraEventStalled);
    EXPECT_EQ(events.back(), kCameraEventVideoStopped);
    for (const Bytes& call : Frames::calls()) EXPECT_TRUE(call.empty());
    // Stopped: the stall watch is quiet.
    std::size_t count = log.raised(false).size();
    kclock::sleepMs(500);
    EXPECT_EQ(log.raised(false).size(), count);
}

// Real frames: every byte the camera put into its packets, minus the
// checksums, reaches the frame manager in order.
TEST_F(Video, FramesOfTheCameraArriveWhole) {
    pavtest::CameraHarness h(camtest::cameraOptions(sim::defaultScenario(), 1));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    auto expected = sim::FrameCache::get(320, 240);
    ASSERT_TRUE(expected && !expected->empty());
    ASSERT_EQ(Camera_Open(d, 320, 240, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(Camera_SetMode(d, 7), STATUS_SUCCESS);
    ASSERT_EQ(Camera_Start(d, Frames::callback), STATUS_SUCCESS);
    auto wholeFrames = [&] {
        Bytes all;
        for (const Bytes& c : Frames::calls()) all.insert(all.end(), c.begin(), c.end());
        int found = 0;
        // Each frame carries its own number: from there on it is the cached frame.
        const auto after = static_cast<std::ptrdiff_t>(sim::kFrameNumberOffset +
                                                       sim::kFrameNumberDigits);
        for (const Bytes& frame : *expected) {
            if (std::search(all.begin(), all.end(), frame.begin() + after, frame.end()) !=
                all.end())
                ++found;
        }
        return found;
    };
    EXPECT_TRUE(pavtest::waitFor([&] { return wholeFrames() >= 2; }, std::chrono::seconds(10)));
    ASSERT_EQ(Camera_Stop(d), STATUS_SUCCESS);
    for (const Bytes& c : Frames::calls()) {
        EXPECT_FALSE(c.empty()) << "no packet was refused";
        EXPECT_LE(c.size(), 1021u) << "checksums are stripped";
    }
    EXPECT_EQ(Camera_Close(d), STATUS_SUCCESS);
}

TEST_F(Video, PacketsWithWrongChecksumsFromTheCameraDropTheFrame) {
    sim::Scenario s = sim::defaultScenario();
    s.faults.isoBadChecksumEvery = 7;
    pavtest::CameraHarness h(camtest::cameraOptions(s, 1));
    ASSERT_TRUE(h.started()) << h.arrivalText();
    DeviceContext* d = h.device();
    ASSERT_EQ(Camera_Open(d, 176, 144, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(Camera_SetMode(d, 7), STATUS_SUCCESS);
    ASSERT_EQ(Camera_Start(d, Frames::callback), STATUS_SUCCESS);
    auto dropped = [] {
        int n = 0;
        for (const Bytes& c : Frames::calls()) n += c.empty();
        return n;
    };
    EXPECT_TRUE(pavtest::waitFor([&] { return dropped() >= 3; }, std::chrono::seconds(10)));
    ASSERT_EQ(Camera_Stop(d), STATUS_SUCCESS);
    EXPECT_EQ(Camera_Close(d), STATUS_SUCCESS);
}

TEST(FrameRules, AFrameEndsWithItsEndMarkerAndIsCopiedFromItsStartMarker) {
    const Bytes frame = {0xFF, 0xD8, 1, 2, 3, 0xFF, 0xD9};
    Bytes fill(16, 0);
    std::copy(frame.begin(), frame.end(), fill.begin());
    EXPECT_TRUE(Camera_FrameEnd(2, fill.data(), 7, 16));
    EXPECT_FALSE(Camera_FrameEnd(2, fill.data(), 6, 16)) << "the marker is not at the end";
    EXPECT_FALSE(Camera_FrameEnd(1, fill.data(), 1, 16));
    EXPECT_FALSE(Camera_FrameEnd(2, fill.data(), 17, 16)) << "past the buffer";

    const UCHAR* image = nullptr;
    ULONG length = 99;
    ASSERT_TRUE(Camera_FrameImage(frame.data(), 7, 8, &image, &length));
    EXPECT_EQ(image, frame.data());
    EXPECT_EQ(length, 7u);

    // A byte ahead of the start marker is left out.
    Bytes late = {0xD9, 0xFF, 0xD8, 4, 0xFF, 0xD9};
    ASSERT_TRUE(Camera_FrameImage(late.data(), 6, 8, &image, &length));
    EXPECT_EQ(image, late.data() + 1);
    EXPECT_EQ(length, 5u);

    // Only a frame smaller than the room has an image; anything else is refused.
    EXPECT_FALSE(Camera_FrameImage(frame.data(), 7, 7, &image, &length));
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(length, 0u);
    Bytes other = {0x12, 0xFF, 0xD8, 0xFF, 0xD9};
    EXPECT_FALSE(Camera_FrameImage(other.data(), 5, 8, &image, &length));
    Bytes tooShort = {0xD9, 0xFF};
    EXPECT_FALSE(Camera_FrameImage(tooShort.data(), 2, 8, &image, &length));
    EXPECT_EQ(length, 0u);
}

}  // namespace
