#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>

#include "content_test_util.h"

using simtest::be16;
using simtest::be32;
using simtest::entry32;

namespace {

TEST(ObjectSpec, OutOfRangeFieldsAreNamed) {
    using Change = std::function<void(sim::ObjectSpec&)>;
    struct Case {
        sim::ObjectKind kind;
        const char* field;
        Change change;
    };
    const auto P = sim::ObjectKind::Picture, T = sim::ObjectKind::PictureWithThumbnail,
               C = sim::ObjectKind::Clip, S = sim::ObjectKind::Sound,
               CS = sim::ObjectKind::ClipWithSound;
    const Case cases[] = {
        {static_cast<sim::ObjectKind>(5), "kind", [](auto&) {}},
        {P, "width", [](auto& s) { s.width = 0; }},
        {C, "height", [](auto& s) { s.height = 5000; }},
        {P, "quality", [](auto& s) { s.quality = 101; }},
        {T, "thumbnailWidth", [](auto& s) { s.thumbnailWidth = 82; }},
        {T, "thumbnailWidth", [](auto& s) { s.thumbnailWidth = 644; }},
        {T, "thumbnailHeight", [](auto& s) { s.thumbnailHeight = 0; }},
        {C, "frames", [](auto& s) { s.frames = 0; }},
        {CS, "frames", [](auto& s) { s.frames = 0x10000; }},
        {C, "frameRateHalfFps", [](auto& s) { s.frameRateHalfFps = -1; }},
        {S, "soundBytes", [](auto& s) { s.soundBytes = -1; }},
        {CS, "sampleRate", [](auto& s) { s.sampleRate = 70000; }},
        {S, "channels", [](auto& s) { s.channels = 3; }},
        {S, "bitsPerSample", [](auto& s) { s.bitsPerSample = 12; }},
        {P, "number", [](auto& s) { s.number = 0x1000000; }},
    };
    for (const Case& c : cases) {
        sim::ObjectSpec recipe;
        recipe.kind = c.kind;
        recipe.number = 1;
        c.change(recipe);
        try {
            sim::generateObject(recipe, recipe.number);
            ADD_FAILURE() << c.field << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()).rfind(std::string(c.field) + ":", 0), 0u) << e.what();
        }
    }
    EXPECT_THROW(sim::generateObject(sim::ObjectSpec{}, 0), std::invalid_argument);
    // Fields a kind does not use are not judged.
    sim::ObjectSpec sound;
    sound.kind = sim::ObjectKind::Sound;
    sound.width = 0;
    sound.frames = -4;
    EXPECT_NO_THROW(sim::generateObject(sound, 1));
}

TEST(DirectoryEntry, CaptureStampIsOneConsistentTimeThatMovesOn) {
    using namespace std::chrono;
    sim::ObjectSpec recipe;
    recipe.kind = sim::ObjectKind::Sound;
    sys_seconds previous{};
    for (std::uint32_t number : {1u, 2u, 500u, sim::kMaxObjectNumber}) {
        auto o = sim::generateObject(recipe, number);
        const auto& e = o.directoryEntry;
        const sys_seconds when = sys_days{year{2000} / January / 1} + seconds{entry32(o, 1)};
        const sys_days date = floor<days>(when);
        const year_month_day ymd{date};
        const hh_mm_ss<seconds> t{when - date};
        EXPECT_EQ(int(ymd.year()), 2000 + e[60]);
        EXPECT_EQ(unsigned(ymd.month()), e[61]);
        EXPECT_EQ(unsigned(ymd.day()), e[62]);
        EXPECT_EQ(t.hours().count(), e[63]);
        EXPECT_EQ(t.minutes().count(), e[64]);
        EXPECT_EQ(t.seconds().count(), e[30]);
        EXPECT_GE(int(ymd.year()), 2001);
        EXPECT_GT(when, previous);
        previous = when;
    }
}

TEST(DirectoryEntry, FirstBlockCarriesEntryNumberAndLengths) {
    auto recipe = simtest::clipSpec(sim::ObjectKind::ClipWithSound, 64, 48, 3);
    recipe.soundBytes = 777;
    auto o = sim::generateObject(recipe, 0x123456);
    EXPECT_EQ(std::memcmp(o.firstBlock.data(), o.directoryEntry.data(), sim::kDirectoryEntrySize),
              0);
    EXPECT_EQ(be32(&o.firstBlock[86]), 0x123456u);
    EXPECT_EQ(be32(&o.firstBlock[90]), o.clipVideo.size());
    EXPECT_EQ(be32(&o.firstBlock[94]), 777u);
    EXPECT_EQ(be16(&o.firstBlock[106]), 3u);
    EXPECT_EQ(o.itemLength(sim::kItemFirstBlock), sim::kFirstBlockSize);
    EXPECT_EQ(o.itemBytes(sim::kItemFirstBlock).data(), o.firstBlock.data());
    EXPECT_EQ(o.itemLength(0x10), 0u);
}

}  // namespace
