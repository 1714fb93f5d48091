#include "tests/stills_adapters/stills_test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "library/device/registry_key.h"

namespace stillstest {

Bytes picture(int width, int height, std::uint32_t seed, sim::JpegStyle style) {
    Bytes rgb = sim::testPattern(width, height, seed);
    if (style.greyscale) rgb = sim::greyRgb(rgb);
    Bytes jpeg = sim::encodeJpeg(rgb.data(), width, height, 90, style);
    EXPECT_FALSE(jpeg.empty());
    return jpeg;
}

Bytes topDownRgb(const pavstills::BitmapBlock& block) {
    const std::size_t w = block.width(), h = block.height();
    Bytes out(w * h * 3);
    const std::uint8_t* p = block.pixels();
    for (std::size_t y = 0; y < h; ++y) {
        const std::uint8_t* row = p + (h - 1 - y) * w * 3;  // bottom-up
        for (std::size_t x = 0; x < w; ++x) {
            out[(y * w + x) * 3] = row[x * 3 + 2];
            out[(y * w + x) * 3 + 1] = row[x * 3 + 1];
            out[(y * w + x) * 3 + 2] = row[x * 3];
        }
    }
    return out;
}

double meanDifference(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size() || a.empty()) return 1e9;
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(int{a[i]} - int{b[i]});
    return sum / static_cast<double>(a.size());
}

Bytes boxMean(const Bytes& rgb, int width, int height, int toWidth, int toHeight) {
    const int bx = width / toWidth, by = height / toHeight;
    Bytes out(static_cast<std::size_t>(toWidth) * toHeight * 3);
    for (int y = 0; y < toHeight; ++y)
        for (int x = 0; x < toWidth; ++x)
            for (int c = 0; c < 3; ++c) {
                unsigned sum = 0;
                for (int yy = y * by; yy < (y + 1) * by; ++yy)
                    for (int xx = x * bx; xx < (x + 1) * bx; ++xx)
                        sum += rgb[(static_cast<std::size_t>(yy) * width + xx) * 3 + c];
                out[(static_cast<std::size_t>(y) * toWidth + x) * 3 + c] =
                    static_cast<std::uint8_t>((sum + bx * by / 2) / (bx * by));
            }
    return out;
}

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

std::uint32_t recordedErrorBits() {
    pavu::RegistryKey key;
    DWORD bits = 0;
    if (key.open(HKEY_LOCAL_MACHINE, pavu::kProductKey, false, true))
        key.readNumber("DebugUserModeErr", &bits);
    return bits;
}

std::unique_ptr<pavstills::JpegLibrary> jpeg() {
    return pavstills::JpegLibrary::load();
}

std::unique_ptr<pavstills::ScalerBinding> scaler() {
    return pavstills::ScalerBinding::load(PAV_SCALER_PATH);
}

}  // namespace stillstest
