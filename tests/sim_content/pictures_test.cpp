#include <gtest/gtest.h>

#include <cstdlib>

#include "content_test_util.h"
#include "sim/jpeg.h"

using simtest::entry16;
using simtest::entry32;

namespace {

sim::ObjectSpec pictureSpec(sim::ObjectKind kind, int w, int h, std::uint32_t seed = 1) {
    sim::ObjectSpec s;
    s.kind = kind;
    s.width = w;
    s.height = h;
    s.seed = seed;
    return s;
}

// Mean absolute difference per byte.
double difference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(int{a[i]} - int{b[i]});
    return sum / static_cast<double>(a.size());
}

TEST(Pictures, DecodeAtTheSizeTheEntryAnnounces) {
    const int sizes[][2] = {{640, 480}, {352, 288}, {320, 240}, {176, 144}};
    for (auto kind : {sim::ObjectKind::Picture, sim::ObjectKind::PictureWithThumbnail}) {
        for (const auto& size : sizes) {
            SCOPED_TRACE(testing::Message()
                         << size[0] << " x " << size[1] << " kind " << int(kind));
            auto o = sim::generateObject(pictureSpec(kind, size[0], size[1]), 3);
            std::vector<std::uint8_t> rgb;
            int w = 0, h = 0;
            ASSERT_TRUE(sim::decodeJpeg(o.picture.data(), o.picture.size(), &rgb, &w, &h));
            EXPECT_EQ(w, size[0]);
            EXPECT_EQ(h, size[1]);
            EXPECT_EQ(o.directoryEntry[0], static_cast<std::uint8_t>(kind));
            EXPECT_EQ(entry32(o, 69), o.picture.size());
            EXPECT_EQ(entry16(o, 73), std::uint32_t(size[0]));
            EXPECT_EQ(entry16(o, 75), std::uint32_t(size[1]));
            EXPECT_EQ(o.itemLength(sim::kItemPicture), o.picture.size());
            // Nothing of a clip or a sound recording may appear to the driver.
            EXPECT_EQ(entry32(o, 18), 0u);
            EXPECT_EQ(entry16(o, 26), 0u);
            EXPECT_EQ(entry32(o, 35), 0u);
            EXPECT_EQ(o.item(sim::kItemClipVideo), nullptr);
            EXPECT_EQ(o.item(sim::kItemSound), nullptr);
            if (kind == sim::ObjectKind::Picture) {
                EXPECT_EQ(o.item(sim::kItemThumbnail), nullptr);
                EXPECT_EQ(entry32(o, 52), 0u);
            }
        }
    }
}

TEST(Pictures, ThumbnailIsTheScaledPictureInBgrRows) {
    auto recipe = pictureSpec(sim::ObjectKind::PictureWithThumbnail, 640, 480, 9);
    recipe.thumbnailWidth = 160;
    recipe.thumbnailHeight = 120;
    auto o = sim::generateObject(recipe, 1);
    ASSERT_EQ(o.thumbnail.size(), 160u * 120 * 3);
    EXPECT_EQ(entry32(o, 52), o.thumbnail.size());
    EXPECT_EQ(entry16(o, 56), 160u);
    EXPECT_EQ(entry16(o, 58), 120u);
    EXPECT_EQ(o.itemLength(sim::kItemThumbnail), o.thumbnail.size());

    std::vector<std::uint8_t> rgb;
    int w = 0, h = 0;
    ASSERT_TRUE(sim::decodeJpeg(o.picture.data(), o.picture.size(), &rgb, &w, &h));
    std::vector<std::uint8_t> rgbSmall = sim::scaleRgb(rgb, w, h, 160, 120);
    std::vector<std::uint8_t> bgrSmall = rgbSmall;
    for (std::size_t i = 0; i < bgrSmall.size(); i += 3) std::swap(bgrSmall[i], bgrSmall[i + 2]);
    const double matching = difference(o.thumbnail, bgrSmall);
    EXPECT_LT(matching, 8.0);
    // Rows in red-green-blue order, or upside down, would be far off.
    EXPECT_GT(difference(o.thumbnail, rgbSmall), 4 * matching + 10);
    std::vector<std::uint8_t> flipped(bgrSmall.size());
    for (int y = 0; y < 120; ++y)
        std::copy_n(&bgrSmall[std::size_t(119 - y) * 480], 480, &flipped[std::size_t(y) * 480]);
    EXPECT_GT(difference(o.thumbnail, flipped), 4 * matching + 10);
}

// The frame header's marker (0xC0 baseline, 0xC2 progressive) and the number
// of components it declares, read by walking the marker segments.
struct FrameHeader {
    int marker = 0;
    int components = 0;
    int width = 0;
    int height = 0;
};
FrameHeader frameHeader(const std::vector<std::uint8_t>& jpeg) {
    FrameHeader f;
    std::size_t pos = 2;
    while (pos + 9 < jpeg.size() && jpeg[pos] == 0xFF) {
        const int marker = jpeg[pos + 1];
        const std::size_t length = (std::size_t{jpeg[pos + 2]} << 8) | jpeg[pos + 3];
        if (marker >= 0xC0 && marker <= 0xC2) {
            f.marker = marker;
            f.height = (jpeg[pos + 5] << 8) | jpeg[pos + 6];
            f.width = (jpeg[pos + 7] << 8) | jpeg[pos + 8];
            f.components = jpeg[pos + 9];
            return f;
        }
        pos += 2 + length;
    }
    return f;
}

TEST(Pictures, ProgressiveGreyAndOddSizedPicturesAreWhatTheyClaim) {
    struct Case {
        int width, height;
        bool progressive, greyscale;
        int marker, components;
    };
    for (const Case& c : {Case{81, 61, false, false, 0xC0, 3}, Case{123, 77, true, false, 0xC2, 3},
                          Case{97, 50, false, true, 0xC0, 1}, Case{640, 480, true, true, 0xC2, 1}}) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " progressive "
                                        << c.progressive << " grey " << c.greyscale);
        auto recipe = pictureSpec(sim::ObjectKind::PictureWithThumbnail, c.width, c.height, 5);
        recipe.progressive = c.progressive;
        recipe.greyscale = c.greyscale;
        recipe.thumbnailWidth = 80;
        recipe.thumbnailHeight = 48;
        auto o = sim::generateObject(recipe, 2);
        const FrameHeader f = frameHeader(o.picture);
        EXPECT_EQ(f.marker, c.marker);
        EXPECT_EQ(f.components, c.components);
        EXPECT_EQ(f.width, c.width);
        EXPECT_EQ(f.height, c.height);
        std::vector<std::uint8_t> rgb;
        int w = 0, h = 0;
        ASSERT_TRUE(sim::decodeJpeg(o.picture.data(), o.picture.size(), &rgb, &w, &h));
        EXPECT_EQ(w, c.width);
        EXPECT_EQ(h, c.height);
        EXPECT_EQ(entry16(o, 73), std::uint32_t(c.width));
        // A grey picture's thumbnail is grey as well.
        bool grey = true;
        for (std::size_t i = 0; i < o.thumbnail.size(); i += 3)
            grey &= o.thumbnail[i] == o.thumbnail[i + 1] && o.thumbnail[i] == o.thumbnail[i + 2];
        EXPECT_EQ(grey, c.greyscale);
    }
}

TEST(Pictures, EverySeedGivesAnotherPicture) {
    std::vector<std::vector<std::uint8_t>> pictures;
    for (std::uint32_t seed = 1; seed <= 4; ++seed)
        pictures.push_back(
            sim::generateObject(pictureSpec(sim::ObjectKind::Picture, 176, 144, seed), seed)
                .picture);
    for (std::size_t i = 0; i < pictures.size(); ++i)
        for (std::size_t j = i + 1; j < pictures.size(); ++j) EXPECT_NE(pictures[i], pictures[j]);
}

}  // namespace
