#include "library/stills/preview.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace pavstills {

namespace {

constexpr std::size_t kCompressedSizeAt = 8;
constexpr std::size_t kWidthAt = 26;
constexpr std::size_t kHeightAt = 30;
constexpr std::size_t kObjectInfoNeeded = kHeightAt + 4;

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// A scaler handle opened once is closed on every way out, whatever process
// gave; its close's answer changes nothing.
class ScalerHandle {
  public:
    explicit ScalerHandle(ScalerBinding& binding) : binding_(binding) {}
    ~ScalerHandle() {
        if (open_) binding_.close(&slot_);
    }
    ScalerHandle(const ScalerHandle&) = delete;
    ScalerHandle& operator=(const ScalerHandle&) = delete;
    bool open(std::uint32_t sw, std::uint32_t sh, std::uint32_t tw, std::uint32_t th) {
        open_ = binding_.open(&slot_, sw, sh, tw, th) == 0;
        return open_;
    }
    void** slot() { return &slot_; }

  private:
    ScalerBinding& binding_;
    void* slot_ = nullptr;
    bool open_ = false;
};

}  // namespace

std::uint32_t previewFromJpeg(const JpegLibrary& jpeg, ScalerBinding& scaler,
                              const std::uint8_t* data, std::size_t size, std::uint32_t width,
                              std::uint32_t height, BitmapBlock& preview) {
    preview.release();
    // The preview is all the caller gets of the picture, so the decoder is
    // asked for no more than the scaler needs: the smallest of its own
    // reductions that is still at least 80 x 60 (for a 640 x 480 picture,
    // exactly 80 x 60). The header must name the size the object
    // information gave, as it must for a full-size decode.
    BitmapBlock source;
    bool allocFailed = false;
    const std::uint32_t decoded = jpeg.decodeReduced(data, size, width, height, kPreviewWidth,
                                                     kPreviewHeight, source, &allocFailed);
    if (allocFailed) return kPreviewAllocFailed;
    if (decoded != kDecoded) return kPreviewDecodeFailed;
    BitmapBlock target;
    if (!target.allocate(kPreviewWidth, kPreviewHeight)) return kPreviewAllocFailed;
    ScalerHandle handle(scaler);
    if (!handle.open(source.width(), source.height(), kPreviewWidth, kPreviewHeight))
        return kPreviewScaleFailed;
    if (scaler.process(handle.slot(), source.pixels(),
                       static_cast<std::uint32_t>(source.pixelBytes()), target.pixels(),
                       kPreviewPixelBytes) != 0)
        return kPreviewScaleFailed;
    preview = std::move(target);
    return kPreviewDone;
}

std::uint32_t makePreview(const JpegLibrary* jpeg, ScalerBinding* scaler,
                          const std::uint8_t* objectInfo, std::size_t objectInfoLength,
                          const ReadWholeObject& readObject, std::uint8_t* out,
                          std::uint32_t outLength) {
    try {
        if (!scaler || !jpeg) return kPreviewDllLoadError;
        if (!objectInfo || objectInfoLength < kObjectInfoNeeded) return kPreviewInvalidStatus;
        const std::uint32_t compressed = le32(objectInfo + kCompressedSizeAt);
        const std::uint32_t width = le32(objectInfo + kWidthAt);
        const std::uint32_t height = le32(objectInfo + kHeightAt);
        std::unique_ptr<std::uint8_t[]> picture(new (std::nothrow)
                                                    std::uint8_t[std::max<std::uint32_t>(compressed, 1)]);
        if (!picture) return kPreviewAllocFailed;
        if (std::uint32_t s = readObject(picture.get(), compressed)) return s;
        BitmapBlock preview;
        if (std::uint32_t s = previewFromJpeg(*jpeg, *scaler, picture.get(), compressed, width,
                                              height, preview))
            return s;
        if (out) std::memcpy(out, preview.data(), std::min<std::uint32_t>(outLength, kPreviewBytes));
        return kPreviewDone;
    } catch (const std::bad_alloc&) {
        return kPreviewAllocFailed;
    }
}

}  // namespace pavstills
