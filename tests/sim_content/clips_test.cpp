#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>
#include <string>

#include "content_test_util.h"
#include "sim/jpeg.h"

using simtest::clipSpec;
using simtest::entry16;
using simtest::entry32;
using simtest::findFrames;

namespace {

// The finder must take exactly the generated frames, in order, each a JPEG
// of the clip's size.
void expectFramesFound(const sim::StoredObject& o) {
    const std::size_t count = entry16(o, 26);
    ASSERT_EQ(o.frameLengths.size(), count);
    EXPECT_EQ(entry32(o, 18), o.clipVideo.size());
    EXPECT_EQ(std::accumulate(o.frameLengths.begin(), o.frameLengths.end(), std::size_t{0}),
              o.clipVideo.size());
    bool aborted = true;
    auto frames = findFrames(o.clipVideo, &aborted);
    EXPECT_FALSE(aborted);
    ASSERT_EQ(frames.size(), count);
    std::size_t at = 0;
    for (std::size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(testing::Message() << "frame " << i);
        EXPECT_EQ(frames[i].begin, at);
        EXPECT_EQ(frames[i].end - frames[i].begin, o.frameLengths[i]);
        EXPECT_LE(o.frameLengths[i], sim::kMaxClipFrameBytes);
        at += o.frameLengths[i];
        std::vector<std::uint8_t> rgb;
        int w = 0, h = 0;
        ASSERT_TRUE(
            sim::decodeJpeg(&o.clipVideo[frames[i].begin], o.frameLengths[i], &rgb, &w, &h));
        EXPECT_EQ(std::uint32_t(w), entry16(o, 22));
        EXPECT_EQ(std::uint32_t(h), entry16(o, 24));
    }
}

TEST(Clips, FrameFinderTakesEveryFrameAtEverySizeAndQuality) {
    const int cases[][3] = {
        {320, 240, 75}, {176, 144, 5}, {352, 288, 100}, {640, 480, 60}, {8, 8, 1}};
    for (auto kind : {sim::ObjectKind::Clip, sim::ObjectKind::ClipWithSound}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << c[0] << " x " << c[1] << " q" << c[2]);
            auto o = sim::generateObject(clipSpec(kind, c[0], c[1], 3, c[2]), 1);
            EXPECT_EQ(o.directoryEntry[0], static_cast<std::uint8_t>(kind));
            expectFramesFound(o);
        }
    }
}

TEST(Clips, LongClipsKeepEveryFrameAndFramesMove) {
    auto recipe = clipSpec(sim::ObjectKind::Clip, 176, 144, 45);
    recipe.frameRateHalfFps = 25;
    auto o = sim::generateObject(recipe, 8);
    EXPECT_EQ(entry16(o, 26), 45u);
    EXPECT_EQ(entry16(o, 28), 25u);
    expectFramesFound(o);
    auto frame = [&](std::size_t i) {
        std::size_t begin =
            std::accumulate(o.frameLengths.begin(), o.frameLengths.begin() + i, std::size_t{0});
        return std::vector<std::uint8_t>(o.clipVideo.begin() + begin,
                                         o.clipVideo.begin() + begin + o.frameLengths[i]);
    };
    EXPECT_NE(frame(0), frame(1));
    EXPECT_NE(frame(1), frame(2));
}

TEST(Clips, SoundGoesWithClipsThatHaveIt) {
    auto recipe = clipSpec(sim::ObjectKind::ClipWithSound, 320, 240, 4);
    recipe.frameRateHalfFps = 0;  // a broken clip is still stored as it is
    recipe.soundBytes = 3001;
    recipe.sampleRate = 11025;
    auto with = sim::generateObject(recipe, 2);
    EXPECT_EQ(entry16(with, 28), 0u);
    EXPECT_EQ(entry32(with, 35), 3001u);
    EXPECT_EQ(with.itemLength(sim::kItemSound), 3001u);
    EXPECT_EQ(with.directoryEntry[39], 1);
    EXPECT_EQ(with.directoryEntry[40], 8);
    EXPECT_EQ(entry16(with, 41), 11025u);
    EXPECT_EQ(with.itemLength(sim::kItemClipVideo), with.clipVideo.size());
    EXPECT_EQ(with.item(sim::kItemPicture), nullptr);

    recipe.kind = sim::ObjectKind::Clip;
    auto without = sim::generateObject(recipe, 2);
    EXPECT_EQ(without.item(sim::kItemSound), nullptr);
    EXPECT_EQ(entry32(without, 35), 0u);
    EXPECT_EQ(without.directoryEntry[39], 0);
}

TEST(Clips, FramesTooLongForTheFinderAreRefused) {
    try {
        sim::generateObject(clipSpec(sim::ObjectKind::Clip, 640, 480, 2, 100), 1);
        FAIL() << "a 640 x 480 frame at quality 100 exceeds the finder's window";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind("quality:", 0), 0u) << e.what();
    }
}

// The finder above is only a judge if it rejects what the driver would: a
// plain encoder's end marker sits behind the tables and is swallowed, and a
// second start before an end aborts.
TEST(Clips, ReferenceFinderRejectsWhatTheDriverCannotSplit) {
    std::vector<std::uint8_t> rgb = sim::testPattern(64, 48, 1);
    std::vector<std::uint8_t> plain = sim::encodeJpeg(rgb.data(), 64, 48, 75);
    ASSERT_FALSE(plain.empty());
    EXPECT_TRUE(findFrames(plain).empty());
    bool aborted = false;
    EXPECT_TRUE(findFrames({0xFF, 0xD8, 1, 0xFF, 0xD8, 2, 0xFF, 0xD9}, &aborted).empty());
    EXPECT_TRUE(aborted);
    auto two = findFrames(
        {0xFF, 0xD8, 0xFF, 0xDB, 0xFF, 0xD9, 0xFF, 0xDD, 0xFF, 0xD9, 0, 0xFF, 0xD8, 0xFF, 0xD9});
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].end, 10u);
    EXPECT_EQ(two[1].begin, 11u);
}

}  // namespace
