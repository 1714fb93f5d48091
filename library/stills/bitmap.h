// The bitmap block the decoder fills and the scaler reads and writes: one
// allocation holding a 40-byte bitmap information header and, right behind
// it, width x height pixels of 3 bytes (blue, green, red), rows bottom-up and
// not padded (a row is exactly width x 3 bytes, whatever its alignment).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pavstills {

constexpr std::size_t kBitmapHeaderSize = 40;

class BitmapBlock {
  public:
    BitmapBlock() = default;
    // Allocates the block and writes its header (biSize 40, the size with a
    // positive height, 1 plane, 24 bits, no compression, biSizeImage =
    // w x h x 3, the rest 0); the pixels are left as they are. False when a
    // side is 0, the block would not fit the header's 32-bit fields, or the
    // memory is not there.
    bool allocate(std::uint32_t width, std::uint32_t height);
    void release();

    bool empty() const { return !bytes_; }
    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    // Header first, then the pixels.
    const std::uint8_t* data() const { return bytes_.get(); }
    std::uint8_t* data() { return bytes_.get(); }
    std::size_t size() const { return size_; }
    std::uint8_t* pixels() { return bytes_ ? bytes_.get() + kBitmapHeaderSize : nullptr; }
    const std::uint8_t* pixels() const {
        return bytes_ ? bytes_.get() + kBitmapHeaderSize : nullptr;
    }
    std::size_t pixelBytes() const { return size_ ? size_ - kBitmapHeaderSize : 0; }

  private:
    std::unique_ptr<std::uint8_t[]> bytes_;
    std::size_t size_ = 0;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
};

}  // namespace pavstills
