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
