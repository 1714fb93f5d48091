// The preview pipeline: object information in, 14440 bytes of an 80 x 60
// bitmap out, and the status of whatever stopped it.
#include <gtest/gtest.h>

#include <cstring>
#include <dlfcn.h>

#include <iostream>

#include "library/stills/preview.h"
#include "tests/stills_adapters/stills_test_util.h"

namespace {

using namespace stillstest;
using namespace pavstills;

void put32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A GetObjectInfo dataset as far as the preview reads it.
Bytes objectInfo(std::uint32_t compressed, std::uint32_t width, std::uint32_t height) {
    Bytes info(52, 0);
    info[4] = 0x01;
    info[5] = 0x38;  // format 0x3801
    put32(info, 8, compressed);
    put32(info, 26, width);
    put32(info, 30, height);
    return info;
}

// Reads a picture held in memory, as the whole-object read would; counts its calls.
struct Reader {
    Bytes picture;
    std::uint32_t status = 0;
    int calls = 0;
    std::uint32_t lengthAsked = 0;
    ReadWholeObject fn() {
        return [this](std::uint8_t* buffer, std::uint32_t length) -> std::uint32_t {
            ++calls;
            lengthAsked = length;
            if (status) return status;
            std::memcpy(buffer, picture.data(), std::min<std::size_t>(length, picture.size()));
            return 0;
        };
    }
};

struct Pipeline {
    std::unique_ptr<JpegLibrary> jpeg = stillstest::jpeg();
    std::unique_ptr<ScalerBinding> scaler = stillstest::scaler();
};

TEST(Preview, AVgaPictureBecomesAn80By60BitmapThatLooksLikeIt) {
    Pipeline p;
    ASSERT_NE(p.jpeg, nullptr);
    ASSERT_NE(p.scaler, nullptr);
    struct Case {
        int width, height;
        sim::JpegStyle style;
    };
    for (const Case& c : {Case{640, 480, {}}, Case{640, 480, {true, false}},
                          Case{640, 480, {false, true}}, Case{320, 240, {}}, Case{160, 120, {}}}) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << " progressive "
                                        << c.style.progressive << " grey " << c.style.greyscale);
        Reader r{picture(c.width, c.height, 11, c.style)};
        const Bytes info = objectInfo(static_cast<std::uint32_t>(r.picture.size()), c.width,
                                      c.height);
        Bytes out(20000, 0xCC);
        ASSERT_EQ(makePreview(p.jpeg.get(), p.scaler.get(), info.data(), info.size(), r.fn(),
                              out.data(), static_cast<std::uint32_t>(out.size())),
                  kPreviewDone);
        EXPECT_EQ(r.lengthAsked, r.picture.size());
        // Exactly 14440 bytes, header first.
        EXPECT_EQ(out[kPreviewBytes], 0xCC);
        EXPECT_EQ(le32(out.data()), 40u);
        EXPECT_EQ(le32(out.data() + 4), 80u);
        EXPECT_EQ(le32(out.data() + 8), 60u);
        EXPECT_EQ(out[14], 24);
        EXPECT_EQ(le32(out.data() + 20), 14400u);

        // The reference: the full-size decode by libjpeg-turbo itself, box
        // averaged by the test.
        Bytes full;
        int w = 0, h = 0;
        ASSERT_TRUE(sim::decodeJpeg(r.picture.data(), r.picture.size(), &full, &w, &h));
        const Bytes reference = boxMean(full, w, h, 80, 60);
        BitmapBlock got;
        ASSERT_TRUE(got.allocate(80, 60));
        std::memcpy(got.data(), out.data(), kPreviewBytes);
        const Bytes rgb = topDownRgb(got);
        const double difference = meanDifference(rgb, reference);
        // And against the picture that was encoded: the preview must be as
        // near the truth as the reference is (the decoder reduces inside its
        // transform and rebuilds the colour there, which the full decode does
        // by interpolating; grey pictures come out all but identical).
        Bytes original = sim::testPattern(c.width, c.height, 11);
        if (c.style.greyscale) original = sim::greyRgb(original);
        const Bytes truth = boxMean(original, c.width, c.height, 80, 60);
        const double previewError = meanDifference(rgb, truth);
        const double referenceError = meanDifference(reference, truth);
        std::cout << "preview of " << c.width << " x " << c.height
                  << (c.style.progressive ? " progressive" : "") << (c.style.greyscale ? " grey" : "")
                  << ": mean difference per byte from the box mean of the full decode "
                  << difference << "; from the box mean of the encoded picture " << previewError
                  << " (the full decode's: " << referenceError << ")\n";
        EXPECT_LT(difference, 5.0);
        EXPECT_LT(previewError, referenceError + 1.0);
        // Upside down, or in the wrong channel order, it would not be close.
        Bytes flipped(rgb.size());
        for (int y = 0; y < 60; ++y)
            std::memcpy(&flipped[std::size_t(y) * 240], &rgb[std::size_t(59 - y) * 240], 240);
        EXPECT_GT(meanDifference(flipped, reference), 4 * difference + 10);
        if (!c.style.greyscale) {
            Bytes swapped = rgb;
            for (std::size_t i = 0; i < swapped.size(); i += 3) std::swap(swapped[i], swapped[i + 2]);
            EXPECT_GT(meanDifference(swapped, reference), 4 * difference + 10);
        }
    }
}

TEST(Preview, OddSizesAndUnalignedRowsPreviewToo) {
    Pipeline p;
    ASSERT_NE(p.jpeg, nullptr);
    ASSERT_NE(p.scaler, nullptr);
    for (auto size : {std::pair{81, 61}, std::pair{123, 77}, std::pair{41, 31}, std::pair{97, 50}}) {
        SCOPED_TRACE(testing::Message() << size.first << " x " << size.second);
        Reader r{picture(size.first, size.second, 12)};
        const Bytes info = objectInfo(static_cast<std::uint32_t>(r.picture.size()), size.first,
                                      size.second);
        Bytes out(kPreviewBytes);
        ASSERT_EQ(makePreview(p.jpeg.get(), p.scaler.get(), info.data(), info.size(), r.fn(),
                              out.data(), kPreviewBytes),
                  kPreviewDone);
        // Against the test's own reference: the full decode shrunk by the
        // simulated camera's box scaler (sides that do not divide evenly).
        Bytes full;
        int w = 0, h = 0;
        ASSERT_TRUE(sim::decodeJpeg(r.picture.data(), r.picture.size(), &full, &w, &h));
        BitmapBlock got;
        ASSERT_TRUE(got.allocate(80, 60));
        std::memcpy(got.data(), out.data(), kPreviewBytes);
        EXPECT_LT(meanDifference(topDownRgb(got), sim::scaleRgb(full, w, h, 80, 60)), 12.0);
    }
}

TEST(Preview, AShortBufferGetsItsLengthOfTheBlock) {
    Pipeline p;
    ASSERT_NE(p.jpeg, nullptr);
    ASSERT_NE(p.scaler, nullptr);
    Reader r{picture(640, 480, 13)};
    const Bytes info = objectInfo(static_cast<std::uint32_t>(r.picture.size()), 640, 480);
    Bytes whole(kPreviewBytes);
    ASSERT_EQ(makePreview(p.jpeg.get(), p.scaler.get(), info.data(), info.size(), r.fn(),
                          whole.data(), kPreviewBytes),
              kPreviewDone);
    Bytes part(200, 0xCC);
    ASSERT_EQ(makePreview(p.jpeg.get(), p.scaler.get(), info.data(), info.size(), r.fn(),
                          part.data(), 100),
              kPreviewDone);
    EXPECT_TRUE(std::equal(part.begin(), part.begin() + 100, whole.begin()));
    EXPECT_EQ(part[100], 0xCC);
}

TEST(Preview, EachFailureHasItsStatus) {
    Pipeline p;
    ASSERT_NE(p.jpeg, nullptr);
    ASSERT_NE(p.scaler, nullptr);
    Reader r{picture(640, 480, 14)};
    const auto size = static_cast<std::uint32_t>(r.picture.size());
    const Bytes info = objectInfo(size, 640, 480);
    Bytes out(kPreviewBytes, 0xCC);
    auto preview = [&](const JpegLibrary* j, ScalerBinding* s, const Bytes& i) {
        return makePreview(j, s, i.data(), i.size(), r.fn(), out.data(), kPreviewBytes);
    };
    // No scaler: nothing is read.
    EXPECT_EQ(preview(p.jpeg.get(), nullptr, info), kPreviewDllLoadError);
    EXPECT_EQ(preview(nullptr, p.scaler.get(), info), kPreviewDllLoadError);
    EXPECT_EQ(r.calls, 0);
    // Object information too short for the sizes.
    EXPECT_EQ(preview(p.jpeg.get(), p.scaler.get(), Bytes(info.begin(), info.begin() + 33)),
              kPreviewInvalidStatus);
    // The read's own failure comes back as it is.
    r.status = 0x50;
    EXPECT_EQ(preview(p.jpeg.get(), p.scaler.get(), info), 0x50u);
    r.status = 0;
    // The object information names another size than the picture's header.
    EXPECT_EQ(preview(p.jpeg.get(), p.scaler.get(), objectInfo(size, 320, 240)),
              kPreviewDecodeFailed);
    EXPECT_EQ(preview(p.jpeg.get(), p.scaler.get(), objectInfo(size, 640, 481)),
              kPreviewDecodeFailed);
    // A compressed size shorter than the picture: the data stops early.
    EXPECT_EQ(preview(p.jpeg.get(), p.scaler.get(), objectInfo(size / 3, 640, 480)),
              kPreviewDecodeFailed);
    EXPECT_EQ(preview(p.jpeg.get(), p.scaler.get(), objectInfo(0, 640, 480)), kPreviewDecodeFailed);
    // A size no picture of the camera comes near is not allocated, nor read.
    const int readsBefore = r.calls;
    EXPECT_EQ(preview(p.jpeg.get(), p.scaler.get(), objectInfo(0xFFFFFFFFu, 640, 480)),
              kPreviewAllocFailed);
    EXPECT_EQ(r.calls, readsBefore);
    // An unloaded scaler binding cannot be reached: the open fails.
    auto gone = stillstest::scaler();
    gone->unload();
    EXPECT_EQ(preview(p.jpeg.get(), gone.get(), info), kPreviewScaleFailed);
    // Nothing of the failures reached the caller's buffer.
    EXPECT_EQ(out, Bytes(kPreviewBytes, 0xCC));
}

TEST(Preview, AMissingProcessEntryPointFailsTheScaleAndClosesWhatWasOpened) {
    Pipeline p;
    ASSERT_NE(p.jpeg, nullptr);
    auto stub = ScalerBinding::load(PAV_STUB_SCALER_PATH);
    ASSERT_NE(stub, nullptr);
    void* module = ::dlopen(PAV_STUB_SCALER_PATH, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(module, nullptr);
    auto opens = reinterpret_cast<int (*)()>(::dlsym(module, "stubOpens"));
    auto closes = reinterpret_cast<int (*)()>(::dlsym(module, "stubCloses"));
    ASSERT_TRUE(opens && closes);
    const int opened = opens(), closed = closes();
    Reader r{picture(640, 480, 15)};
    const Bytes info = objectInfo(static_cast<std::uint32_t>(r.picture.size()), 640, 480);
    Bytes out(kPreviewBytes);
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_EQ(makePreview(p.jpeg.get(), stub.get(), info.data(), info.size(), r.fn(),
                              out.data(), kPreviewBytes),
                  kPreviewScaleFailed);
    EXPECT_EQ(opens() - opened, 2);
    EXPECT_EQ(closes() - closed, 2);
    ::dlclose(module);
}

}  // namespace
