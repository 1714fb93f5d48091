// Decoding and scaling of downloaded pictures. The JPEG decoder is bound at
// run time (the platform's TurboJPEG library stands in for the vendor JPEG
// library), so the data source loads nothing of it until a camera object is
// made. Scaling is the scaler library's (libpavscale, the one that ships
// beside libpav512u), loaded for one scaling and released after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace pavtw {

// A 24-bit bitmap block: a 40-byte BITMAPINFOHEADER followed by unpadded BGR
// rows, bottom-up.
constexpr std::size_t kInfoHeaderSize = 40;

#pragma pack(push, 2)
struct BitmapInfoHeader {
    std::uint32_t biSize;
    std::int32_t biWidth;
    std::int32_t biHeight;
    std::uint16_t biPlanes;
    std::uint16_t biBitCount;
    std::uint32_t biCompression;
    std::uint32_t biSizeImage;
    std::int32_t biXPelsPerMeter;
    std::int32_t biYPelsPerMeter;
    std::uint32_t biClrUsed;
    std::uint32_t biClrImportant;
};
#pragma pack(pop)
static_assert(sizeof(BitmapInfoHeader) == kInfoHeaderSize);

// Fills a zeroed header for a w x h 24-bit block.
void initInfoHeader(BitmapInfoHeader* h, std::int32_t width, std::int32_t height);

class JpegBinding {
  public:
    JpegBinding();
    ~JpegBinding();
    JpegBinding(const JpegBinding&) = delete;
    JpegBinding& operator=(const JpegBinding&) = delete;
    bool connected() const { return module_ != nullptr; }
    bool entryPointsPresent() const;
    // Decodes into `pixels` (width x height x 3, bottom-up BGR). 0 = decoded;
    // the picture must have exactly the size named, so the target cannot be
    // overrun by a header that disagrees with the camera's information.
    int decode(const std::uint8_t* jpeg, std::size_t size, std::uint8_t* pixels, int width, int height);

  private:
    void* module_ = nullptr;
    void* init_ = nullptr;
    void* header_ = nullptr;
    void* decompress_ = nullptr;
    void* destroy_ = nullptr;
};

// The scaler's file name; PAV512_SCALER_LIBRARY names another (as for the
// user library).
std::string scalerLibraryName();

// Scales unpadded 24-bit pixels with the scaler library. False when the
// library cannot be loaded, lacks an entry point or refuses: the picture is
// then dropped.
bool scalePixels(const std::uint8_t* src, int sw, int sh, std::uint8_t* dst, int dw, int dh);

}  // namespace pavtw
