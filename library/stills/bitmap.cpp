#include "library/stills/bitmap.h"

#include <cstring>
#include <new>

namespace pavstills {

namespace {
void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
}  // namespace

bool BitmapBlock::allocate(std::uint32_t width, std::uint32_t height) {
    release();
    if (width == 0 || height == 0) return false;
    // biWidth and biHeight are signed, biSizeImage is 32 bits.
    const std::uint64_t pixelBytes = static_cast<std::uint64_t>(width) * height * 3;
    if (width > 0x7FFFFFFFu || height > 0x7FFFFFFFu || pixelBytes > 0xFFFFFFFFu - kBitmapHeaderSize)
        return false;
    const std::size_t size = kBitmapHeaderSize + static_cast<std::size_t>(pixelBytes);
    bytes_.reset(new (std::nothrow) std::uint8_t[size]);
    if (!bytes_) return false;
    size_ = size;
    width_ = width;
    height_ = height;
    std::uint8_t* h = bytes_.get();
    std::memset(h, 0, kBitmapHeaderSize);
    put32(h, static_cast<std::uint32_t>(kBitmapHeaderSize));
    put32(h + 4, width);
    put32(h + 8, height);  // positive: bottom-up
    h[12] = 1;             // planes
    h[14] = 24;            // bits per pixel
    put32(h + 20, static_cast<std::uint32_t>(pixelBytes));
    return true;
}

void BitmapBlock::release() {
    bytes_.reset();
    size_ = 0;
    width_ = height_ = 0;
}

}  // namespace pavstills
