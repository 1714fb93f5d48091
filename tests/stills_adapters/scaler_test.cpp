// The scaler library's contract, through the binding that loads it.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include "library/stills/error_bits.h"
#include "tests/stills_adapters/stills_test_util.h"

namespace {

using namespace stillstest;
using pavstills::kScalerNotReached;
using pavstills::ScalerBinding;

Bytes run(ScalerBinding& s, const Bytes& source, int sw, int sh, int tw, int th,
          std::uint32_t* status = nullptr) {
    void* slot = nullptr;
    Bytes target(static_cast<std::size_t>(tw) * th * 3, 0xEE);
    std::uint32_t st = s.open(&slot, sw, sh, tw, th);
    EXPECT_EQ(st, 0u);
    if (st == 0) {
        st = s.process(&slot, source.data(), static_cast<std::uint32_t>(source.size()),
                       target.data(), static_cast<std::uint32_t>(target.size()));
        EXPECT_EQ(s.close(&slot), 0u);
        EXPECT_EQ(slot, nullptr);
    }
    if (status) *status = st;
    return target;
}

TEST(Scaler, AnIntegerRatioGivesTheBoxMean) {
    auto s = scaler();
    ASSERT_NE(s, nullptr);
    // 4 x 2 to 2 x 1: each target pixel the mean of a 2 x 2 block, per channel.
    const Bytes source = {0,  10, 200, 2,  10, 200, 100, 0, 0, 100, 0, 1,
                          4,  10, 200, 6,  11, 201, 100, 0, 0, 100, 0, 1};
    EXPECT_EQ(run(*s, source, 4, 2, 2, 1), (Bytes{3, 10, 200, 100, 0, 1}));
    // A picture scaled against the test's own box mean.
    const Bytes rgb = sim::testPattern(640, 480, 3);
    const Bytes scaled = run(*s, rgb, 640, 480, 80, 60);
    EXPECT_EQ(scaled, boxMean(rgb, 640, 480, 80, 60));
}

TEST(Scaler, AFractionalRatioWeighsThePixelsByTheirShare) {
    auto s = scaler();
    ASSERT_NE(s, nullptr);
    // 3 pixels to 2: the middle one is shared half and half.
    const Bytes source = {0, 0, 0, 90, 90, 90, 180, 180, 180};
    // (0 * 2 + 90) / 3 = 30, (90 + 180 * 2) / 3 = 150.
    EXPECT_EQ(run(*s, source, 3, 1, 2, 1), (Bytes{30, 30, 30, 150, 150, 150}));
    // Enlarging 2 to 3: the middle target pixel straddles both.
    const Bytes two = {0, 0, 0, 90, 90, 90};
    EXPECT_EQ(run(*s, two, 2, 1, 3, 1), (Bytes{0, 0, 0, 45, 45, 45, 90, 90, 90}));
    // A flat picture stays flat at any size.
    const Bytes flat(81 * 61 * 3, 77);
    const Bytes small = run(*s, flat, 81, 61, 80, 60);
    EXPECT_EQ(small, Bytes(80 * 60 * 3, 77));
    // The same size is a copy.
    const Bytes rgb = sim::testPattern(80, 60, 5);
    EXPECT_EQ(run(*s, rgb, 80, 60, 80, 60), rgb);
}

TEST(Scaler, RefusesWhatItCannotDo) {
    auto s = scaler();
    ASSERT_NE(s, nullptr);
    void* slot = reinterpret_cast<void*>(1);
    EXPECT_NE(s->open(&slot, 0, 60, 80, 60), 0u);
    EXPECT_EQ(slot, nullptr);
    EXPECT_NE(s->open(&slot, 640, 480, 80, 0), 0u);
    EXPECT_NE(s->open(&slot, 65536, 1, 80, 60), 0u);
    EXPECT_NE(s->open(nullptr, 640, 480, 80, 60), 0u);
    // Buffers shorter than the sizes need.
    ASSERT_EQ(s->open(&slot, 4, 4, 2, 2), 0u);
    Bytes source(48), target(12);
    EXPECT_NE(s->process(&slot, source.data(), 47, target.data(), 12), 0u);
    EXPECT_NE(s->process(&slot, source.data(), 48, target.data(), 11), 0u);
    EXPECT_NE(s->process(&slot, nullptr, 48, target.data(), 12), 0u);
    EXPECT_EQ(s->process(&slot, source.data(), 48, target.data(), 12), 0u);
    EXPECT_EQ(s->close(&slot), 0u);
    // No handle in the slot any more.
    EXPECT_NE(s->process(&slot, source.data(), 48, target.data(), 12), 0u);
    EXPECT_NE(s->close(&slot), 0u);
}

TEST(ScalerBinding, MissingLibraryMissingEntryPointAndUnloaded) {
    EXPECT_EQ(ScalerBinding::load("libpav-no-such-scaler.so"), nullptr);
    EXPECT_NE(recordedErrorBits() & pavstills::kErrorScalerNotStarted, 0u);

    // The stub has open and close but no process: only that call fails to
    // reach it, every time it is tried.
    auto stub = ScalerBinding::load(PAV_STUB_SCALER_PATH);
    ASSERT_NE(stub, nullptr);
    void* slot = nullptr;
    EXPECT_EQ(stub->open(&slot, 8, 8, 4, 4), 0u);
    EXPECT_NE(slot, nullptr);
    Bytes buffer(192);
    EXPECT_EQ(stub->process(&slot, buffer.data(), 192, buffer.data(), 48), kScalerNotReached);
    EXPECT_EQ(stub->process(&slot, buffer.data(), 192, buffer.data(), 48), kScalerNotReached);
    EXPECT_EQ(stub->close(&slot), 0u);

    auto s = scaler();
    ASSERT_NE(s, nullptr);
    s->unload();
    EXPECT_FALSE(s->loaded());
    EXPECT_EQ(s->open(&slot, 8, 8, 4, 4), kScalerNotReached);
    EXPECT_EQ(s->process(&slot, buffer.data(), 192, buffer.data(), 48), kScalerNotReached);
    EXPECT_EQ(s->close(&slot), kScalerNotReached);
}

// Two bindings of the same library are independent: dropping one leaves the
// other's calls working (each still-camera handle holds its own).
TEST(ScalerBinding, OneBindingGoingLeavesAnotherWorking) {
    auto first = scaler();
    auto second = scaler();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    const Bytes rgb = sim::testPattern(160, 120, 2);
    const Bytes before = run(*second, rgb, 160, 120, 80, 60);
    first.reset();
    EXPECT_EQ(run(*second, rgb, 160, 120, 80, 60), before);
}

}  // namespace
