// The decoder binding: what it loads, what it fills, what it refuses.
#include <gtest/gtest.h>

#include <cstring>

#include "library/stills/error_bits.h"
#include "tests/stills_adapters/stills_test_util.h"

namespace {

using namespace stillstest;
using pavstills::BitmapBlock;
using pavstills::JpegLibrary;
using pavstills::LoadResult;

TEST(JpegBinding, AMissingLibraryOrEntryPointLeavesNoBinding) {
    LoadResult result = LoadResult::kLoaded;
    EXPECT_EQ(JpegLibrary::load("libpav-no-such-decoder.so", &result), nullptr);
    EXPECT_EQ(result, LoadResult::kLibraryMissing);
    EXPECT_NE(recordedErrorBits() & pavstills::kErrorJpegLibraryMissing, 0u);

    // The stub has three of the four entry points.
    EXPECT_EQ(JpegLibrary::load(PAV_STUB_JPEG_PATH, &result), nullptr);
    EXPECT_EQ(result, LoadResult::kEntryPointMissing);

    ASSERT_NE(JpegLibrary::load(pavstills::kJpegLibraryName, &result), nullptr);
    EXPECT_EQ(result, LoadResult::kLoaded);
}

TEST(JpegBinding, TheEnvironmentNamesAnotherDecoder) {
    ::setenv("PAV512_JPEG_LIBRARY", "libpav-no-such-decoder.so", 1);
    EXPECT_EQ(JpegLibrary::load(), nullptr);
    ::unsetenv("PAV512_JPEG_LIBRARY");
    EXPECT_NE(JpegLibrary::load(), nullptr);
}

TEST(BitmapBlock, HeaderAndSizes) {
    BitmapBlock b;
    ASSERT_TRUE(b.allocate(81, 61));
    EXPECT_EQ(b.size(), 40u + 81 * 61 * 3);
    const std::uint8_t* h = b.data();
    EXPECT_EQ(le32(h), 40u);
    EXPECT_EQ(le32(h + 4), 81u);
    EXPECT_EQ(le32(h + 8), 61u);  // positive: bottom-up
    EXPECT_EQ(h[12] | h[13] << 8, 1);
    EXPECT_EQ(h[14] | h[15] << 8, 24);
    EXPECT_EQ(le32(h + 16), 0u);
    EXPECT_EQ(le32(h + 20), 81u * 61 * 3);  // rows not padded: 243 bytes each
    for (int i = 24; i < 40; ++i) EXPECT_EQ(h[i], 0) << i;

    EXPECT_FALSE(b.allocate(0, 10));
    EXPECT_TRUE(b.empty());
    EXPECT_FALSE(b.allocate(65536, 65536));  // more than the 32-bit image size holds
    EXPECT_FALSE(b.allocate(0x80000000u, 1));
}

// Every kind of picture decodes bottom-up into BGR rows of exactly w x 3
// bytes: the same pixels libjpeg-turbo gives top-down in RGB.
TEST(JpegDecode, EveryKindFillsTheBlockRowForRow) {
    auto library = jpeg();
    ASSERT_NE(library, nullptr);
    struct Case {
        int width, height;
        sim::JpegStyle style;
    };
    for (const Case& c : {Case{81, 61, {}}, Case{640, 480, {}}, Case{123, 77, {true, false}},
                          Case{97, 50, {false, true}}, Case{33, 9, {true, true}}}) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " progressive "
                                        << c.style.progressive << " grey " << c.style.greyscale);
        const Bytes jpegBytes = picture(c.width, c.height, 4, c.style);
        std::uint32_t w = 0, h = 0;
        ASSERT_EQ(library->readHeader(jpegBytes.data(), jpegBytes.size(), &w, &h), 0u);
        EXPECT_EQ(w, std::uint32_t(c.width));
        EXPECT_EQ(h, std::uint32_t(c.height));

        BitmapBlock block;
        ASSERT_TRUE(block.allocate(w, h));
        ASSERT_EQ(library->decode(jpegBytes.data(), jpegBytes.size(), block), pavstills::kDecoded);
        Bytes reference;
        int rw = 0, rh = 0;
        ASSERT_TRUE(sim::decodeJpeg(jpegBytes.data(), jpegBytes.size(), &reference, &rw, &rh));
        EXPECT_EQ(topDownRgb(block), reference);
        // And the decoded picture is the one that was encoded.
        Bytes original = sim::testPattern(c.width, c.height, 4);
        if (c.style.greyscale) original = sim::greyRgb(original);
        EXPECT_LT(meanDifference(reference, original), 10.0);
    }
}

TEST(JpegDecode, AHeaderThatDisagreesWithTheBlockIsRefusedUntouched) {
    auto library = jpeg();
    ASSERT_NE(library, nullptr);
    const Bytes jpegBytes = picture(81, 61, 2);
    for (auto size : {std::pair{80u, 60u}, std::pair{81u, 60u}, std::pair{61u, 81u},
                      std::pair{82u, 61u}}) {
        BitmapBlock block;
        ASSERT_TRUE(block.allocate(size.first, size.second));
        std::memset(block.pixels(), 0x5A, block.pixelBytes());
        EXPECT_EQ(library->decode(jpegBytes.data(), jpegBytes.size(), block),
                  pavstills::kDecodeSizeMismatch);
        bool untouched = true;
        for (std::size_t i = 0; i < block.pixelBytes(); ++i) untouched &= block.pixels()[i] == 0x5A;
        EXPECT_TRUE(untouched);
    }
    EXPECT_NE(recordedErrorBits() & pavstills::kErrorDecodeSizeMismatch, 0u);
    BitmapBlock none;
    EXPECT_EQ(library->decode(jpegBytes.data(), jpegBytes.size(), none),
              pavstills::kDecodeSizeMismatch);
}

TEST(JpegDecode, BrokenDataIsRefused) {
    auto library = jpeg();
    ASSERT_NE(library, nullptr);
    const Bytes good = picture(64, 48, 3);
    BitmapBlock block;
    ASSERT_TRUE(block.allocate(64, 48));
    const Bytes garbage(500, 0x42);
    EXPECT_EQ(library->decode(garbage.data(), garbage.size(), block),
              pavstills::kDecodeHeaderFailed);
    EXPECT_EQ(library->decode(good.data(), 0, block), pavstills::kDecodeHeaderFailed);
    EXPECT_EQ(library->decode(nullptr, 10, block), pavstills::kDecodeHeaderFailed);
    // The header reads, the picture's data stops half-way.
    const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));
    EXPECT_EQ(library->decode(cut.data(), cut.size(), block), pavstills::kDecodeReadFailed);
    EXPECT_NE(recordedErrorBits() & pavstills::kErrorDecodeFailed, 0u);
}

TEST(JpegDecode, ReducedDecodeStopsAtTheSmallestScaleThatStillCoversTheTarget) {
    auto library = jpeg();
    ASSERT_NE(library, nullptr);
    struct Case {
        int width, height;
        std::uint32_t outWidth, outHeight;
    };
    // 640 x 480 at 1/8; 352 x 288 at 2/8 (88 x 72; 1/8 would be 44 x 36);
    // 123 x 77 needs 7/8 for its height (68 rows); a small picture stays whole.
    for (const Case& c : {Case{640, 480, 80, 60}, Case{352, 288, 88, 72}, Case{123, 77, 108, 68},
                          Case{40, 30, 40, 30}}) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        const Bytes jpegBytes = picture(c.width, c.height, 6);
        BitmapBlock block;
        bool allocFailed = true;
        ASSERT_EQ(library->decodeReduced(jpegBytes.data(), jpegBytes.size(), c.width, c.height,
                                         80, 60, block, &allocFailed),
                  pavstills::kDecoded);
        EXPECT_FALSE(allocFailed);
        EXPECT_EQ(block.width(), c.outWidth);
        EXPECT_EQ(block.height(), c.outHeight);
    }
    const Bytes vga = picture(640, 480, 6);
    BitmapBlock block;
    EXPECT_EQ(library->decodeReduced(vga.data(), vga.size(), 640, 479, 80, 60, block),
              pavstills::kDecodeSizeMismatch);
    EXPECT_TRUE(block.empty());
}

}  // namespace
