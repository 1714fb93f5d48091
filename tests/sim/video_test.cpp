// Live video: isochronous packets with checksums at every setting, bulk video
// at setting 1, frames that decode at the size the sensor table programmed.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "platform/kernel/clock.h"
#include "sim/jpeg.h"
#include "sim/video.h"
#include "tests/sim/sim_test_util.h"

using namespace simtest;

namespace {

struct IsoRun {
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<ULONG> frameStarts;  // bus frame of each frame's first packet
    int packets = 0;
    int dataPackets = 0;
    int badChecksums = 0;
    int failedPackets = 0;
    int emptyPackets = 0;
    ULONG longest = 0;
    std::vector<USBD_STATUS> transferStatuses;
};

bool endsFrame(const std::vector<std::uint8_t>& b) {
    return b.size() >= 2 && b[b.size() - 2] == 0xFF && b.back() == 0xD9;
}

// Keeps four transfers of eight packets in flight, as a video pipe does, and
// assembles frames from the packets whose checksum holds.
IsoRun runIso(Host& host, ULONG packetSize, std::size_t wantFrames, int maxPackets) {
    IsoRun run;
    std::vector<std::unique_ptr<AsyncTransfer>> xs;
    for (int i = 0; i < 4; ++i) {
        xs.push_back(std::make_unique<AsyncTransfer>());
        xs.back()->iso(8, packetSize);
        EXPECT_EQ(xs.back()->submit(host.camera()), USBD_STATUS_PENDING);
    }
    std::vector<std::uint8_t> frame;
    ULONG frameStart = 0;
    for (std::size_t i = 0; run.frames.size() < wantFrames && run.packets < maxPackets; ++i) {
        AsyncTransfer& x = *xs[i % xs.size()];
        if (!x.wait()) {
            ADD_FAILURE() << "isochronous transfer did not complete";
            break;
        }
        run.transferStatuses.push_back(x.t().status);
        for (std::size_t k = 0; k < x.packets().size(); ++k) {
            const auto& p = x.packets()[k];
            ++run.packets;
            run.longest = std::max(run.longest, p.Length);
            if (p.Status != USBD_STATUS_SUCCESS) {
                ++run.failedPackets;
                frame.clear();
                continue;
            }
            if (p.Length == 0) {
                ++run.emptyPackets;
                continue;
            }
            const std::uint8_t* d = x.buffer().data() + p.Offset;
            ULONG n = p.Length - 2;
            ++run.dataPackets;
            unsigned sum = 0;
            for (ULONG k = 0; k < n; ++k) sum += d[k];
            if (static_cast<unsigned>(d[n] | (d[n + 1] << 8)) != (sum & 0xFFFF)) {
                ++run.badChecksums;
                frame.clear();
                continue;
            }
            if (frame.empty()) frameStart = x.t().startFrame + static_cast<ULONG>(k);
            frame.insert(frame.end(), d, d + n);
            if (endsFrame(frame)) {
                if (frame[0] == 0xFF && frame[1] == 0xD8) {
                    run.frames.push_back(frame);
                    run.frameStarts.push_back(frameStart);
                }
                frame.clear();
            }
        }
        EXPECT_EQ(x.submit(host.camera()), USBD_STATUS_PENDING);
    }
    for (auto& x : xs) {
        host.camera().cancel(&x->t());
        x->wait();
    }
    return run;
}

void expectDecodes(const std::vector<std::uint8_t>& jpeg, int width, int height) {
    std::vector<std::uint8_t> rgb;
    int w = 0, h = 0;
    ASSERT_TRUE(sim::decodeJpeg(jpeg.data(), jpeg.size(), &rgb, &w, &h));
    EXPECT_EQ(w, width);
    EXPECT_EQ(h, height);
}

class SimVideoAtSetting : public ::testing::TestWithParam<int> {};

TEST_P(SimVideoAtSetting, PacketsCarryChecksummedFramesThatDecode) {
    const int alt = GetParam();
    const ULONG size = sim::kIsoPacketSizes[alt];
    Host host(quickScenario());
    host.startVideo(160, 120);
    ASSERT_EQ(host.select(alt), USBD_STATUS_SUCCESS);
    IsoRun run = runIso(host, size, 2, 4000);
    ASSERT_GE(run.frames.size(), 2u);
    EXPECT_EQ(run.badChecksums, 0);
    EXPECT_EQ(run.failedPackets, 0);
    EXPECT_LE(run.longest, size);
    for (const auto& f : run.frames) expectDecodes(f, 160, 120);
    EXPECT_NE(run.frames[0], run.frames[1]) << "the video moves";
}

INSTANTIATE_TEST_SUITE_P(Settings, SimVideoAtSetting, ::testing::Range(2, 8));

TEST(SimVideo, VgaFramesAtTheLargestSettingAndTheFrameInterval) {
    Host host(quickScenario());
    host.startVideo(640, 480);
    ASSERT_EQ(host.select(7), USBD_STATUS_SUCCESS);
    IsoRun run = runIso(host, 1023, 1, 3000);
    ASSERT_GE(run.frames.size(), 1u);
    expectDecodes(run.frames[0], 640, 480);
    // However fast the pipe (a VGA frame needs some 16 packets here), the
    // sensor gives no more than a frame per interval (33 ms) on average; a
    // late frame may be followed closely by the next one.
    IsoRun later = runIso(host, 1023, 10, 5000);
    ASSERT_GE(later.frames.size(), 10u);
    ULONG span = later.frameStarts[9] - later.frameStarts[0];
    EXPECT_GE(span + 2 * 33, 9u * 33);
}

TEST(SimVideo, NoVideoWithoutTheVideoPowerModeOrATable) {
    Host host(quickScenario());
    host.waitBooted();
    ASSERT_EQ(host.writeTable(1, {{0xE4, 40}, {0xE5, 30}}), USBD_STATUS_SUCCESS);
    ASSERT_EQ(host.select(7), USBD_STATUS_SUCCESS);
    IsoRun idle = runIso(host, 1023, 1, 96);
    EXPECT_EQ(idle.packets, 96);
    EXPECT_EQ(idle.emptyPackets, 96) << "power mode idle sends empty packets";

    Host untabled(quickScenario());
    untabled.waitBooted();
    ASSERT_EQ(untabled.writeRegister(3, 1, sim::kPowerVideo), USBD_STATUS_SUCCESS);
    ASSERT_EQ(untabled.select(7), USBD_STATUS_SUCCESS);
    EXPECT_EQ(runIso(untabled, 1023, 1, 96).emptyPackets, 96);
}

TEST(SimVideo, BulkVideoAtSettingOneEndsEachFrameWithATransfer) {
    Host host(quickScenario());
    host.startVideo(176, 144);
    ASSERT_EQ(host.select(1), USBD_STATUS_SUCCESS);
    std::vector<std::vector<std::uint8_t>> frames;
    std::vector<std::uint8_t> frame;
    for (int i = 0; i < 200 && frames.size() < 2; ++i) {
        ControlResult r = host.bulkIn(4096);
        ASSERT_EQ(r.status, USBD_STATUS_SUCCESS);
        frame.insert(frame.end(), r.data.begin(), r.data.end());
        if (endsFrame(frame)) {
            frames.push_back(frame);
            frame.clear();
        }
    }
    ASSERT_EQ(frames.size(), 2u);
    for (const auto& f : frames) expectDecodes(f, 176, 144);
}

TEST(SimVideo, IsochronousFaultPatterns) {
    auto runWith = [](const sim::Faults& f, int packets) {
        sim::Scenario s = quickScenario();
        s.faults = f;
        Host host(s);
        host.startVideo(160, 120);
        EXPECT_EQ(host.select(7), USBD_STATUS_SUCCESS);
        return runIso(host, 1023, 1000, packets);
    };
    sim::Faults f;
    f.isoEmptyEvery = 3;
    IsoRun empty = runWith(f, 256);
    EXPECT_GE(empty.emptyPackets, 256 / 3);
    EXPECT_GE(empty.frames.size(), 2u) << "empty packets lose nothing";
    for (const auto& frame : empty.frames) expectDecodes(frame, 160, 120);

    f = {};
    f.isoDropEvery = 4;
    EXPECT_EQ(runWith(f, 256).failedPackets, 64);

    f = {};
    f.isoBadChecksumEvery = 2;
    IsoRun bad = runWith(f, 256);
    EXPECT_GT(bad.dataPackets, 0);
    EXPECT_EQ(bad.badChecksums, bad.dataPackets / 2);

    // A burst of failed packets fails the whole first transfer, then the
    // video goes on.
    f = {};
    f.isoFailedPackets = 8;
    IsoRun burst = runWith(f, 64);
    ASSERT_GE(burst.transferStatuses.size(), 2u);
    EXPECT_EQ(burst.transferStatuses[0], USBD_STATUS_ISOCH_REQUEST_FAILED);
    EXPECT_EQ(burst.transferStatuses[1], USBD_STATUS_SUCCESS);
    EXPECT_EQ(burst.failedPackets, 8);
}

TEST(SimVideo, VideoIsThereOnceTheTablesAreWrittenHoweverFastTheClockRuns) {
    // At this scale the frames' encoding, were it left to run beside the
    // camera, would take minutes of camera time. The size is one no other
    // test asks for, so the frames are not made yet when the test starts.
    struct Scale {
        double before = kclock::scale();
        Scale() { kclock::setScale(1000); }
        ~Scale() { kclock::setScale(before); }
    } scale;
    Host host(quickScenario());
    host.startVideo(208, 152);
    ASSERT_EQ(host.select(7), USBD_STATUS_SUCCESS);
    IsoRun run = runIso(host, 1023, 1, 32);
    ASSERT_GE(run.frames.size(), 1u) << run.emptyPackets << " empty packets";
    expectDecodes(run.frames[0], 208, 152);
}

TEST(SimVideo, APacketLargerThanItsRoomOverflowsInsteadOfArrivingCut) {
    Host host(quickScenario());
    host.startVideo(160, 120);
    ASSERT_EQ(host.select(7), USBD_STATUS_SUCCESS);  // packets of up to 1023 bytes
    // The host leaves 512 bytes per packet: every packet carrying video
    // overflows; none is written in part.
    IsoRun run = runIso(host, 512, 1, 64);
    EXPECT_EQ(run.packets, 64);
    EXPECT_TRUE(run.frames.empty());
    EXPECT_EQ(run.dataPackets, 0);
    EXPECT_GT(run.failedPackets, 0);
    AsyncTransfer x;
    x.iso(8, 512);
    ASSERT_EQ(x.submit(host.camera()), USBD_STATUS_PENDING);
    ASSERT_TRUE(x.wait());
    int overruns = 0;
    for (const auto& p : x.packets()) {
        EXPECT_EQ(p.Length, 0u);
        overruns += p.Status == USBD_STATUS_BUFFER_OVERRUN;
        EXPECT_TRUE(p.Status == USBD_STATUS_BUFFER_OVERRUN || p.Status == USBD_STATUS_SUCCESS);
    }
    EXPECT_GT(overruns, 0);
    EXPECT_EQ(x.buffer(), std::vector<std::uint8_t>(x.buffer().size(), 0)) << "nothing written";
}

// Every frame on the wire carries its own number, one more than the frame
// before, and still decodes; the cached frames are left as they were.
TEST(SimVideo, FramesOnTheWireCarryConsecutiveNumbers) {
    Host host(quickScenario());
    host.startVideo(160, 120);
    ASSERT_EQ(host.select(7), USBD_STATUS_SUCCESS);
    IsoRun run = runIso(host, sim::kIsoPacketSizes[7], 6, 20000);
    ASSERT_GE(run.frames.size(), 6u);
    std::vector<std::uint32_t> numbers;
    for (const auto& f : run.frames) {
        expectDecodes(f, 160, 120);
        auto n = sim::frameNumberOf(f.data(), f.size());
        ASSERT_TRUE(n.has_value());
        numbers.push_back(*n);
    }
    EXPECT_GE(numbers[0], 1u);
    for (std::size_t i = 1; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], numbers[i - 1] + 1);
    auto cached = sim::FrameCache::get(160, 120);
    for (const auto& f : *cached) EXPECT_EQ(sim::frameNumberOf(f.data(), f.size()), 0u);
    EXPECT_NE(std::find(cached->begin(), cached->end(), sim::withoutFrameNumber(run.frames[1])),
              cached->end());
}

TEST(SimVideo, AFrameWithoutTheSegmentHasNoNumber) {
    const std::uint8_t plain[] = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, '0', '0', '0', '0', '0',
                                  '0',  '0',  '1',  0xFF, 0xD9};
    EXPECT_FALSE(sim::frameNumberOf(plain, sizeof plain).has_value());
    std::uint8_t bad[] = {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x0A, '0', '0', 'x', '0', '0', '0',
                          '0',  '1',  0xFF, 0xD9};
    EXPECT_FALSE(sim::frameNumberOf(bad, sizeof bad).has_value());
    bad[8] = 'A';
    EXPECT_EQ(sim::frameNumberOf(bad, sizeof bad), 0x00A00001u);
}

TEST(SimVideo, FramesOfASizeAreEncodedOnceAndDiffer) {
    auto a = sim::FrameCache::get(320, 240);
    auto b = sim::FrameCache::get(320, 240);
    ASSERT_EQ(a.get(), b.get());
    ASSERT_EQ(a->size(), static_cast<std::size_t>(sim::kFramesPerSize));
    for (const auto& f : *a) expectDecodes(f, 320, 240);
    EXPECT_NE((*a)[0], (*a)[1]);
}

}  // namespace
