// The JPEG decoder, bound at run time: libjpeg-turbo's TurboJPEG library
// takes the place of the imaging library the camera's software was made for.
// Its four entry points are resolved one at a time by name; the library is
// usable only when all of them are there. Decoding fills a bitmap block
// bottom-up in BGR and never writes past it: a picture whose header names
// another size than the block's is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "library/stills/bitmap.h"
#include "library/stills/module.h"

namespace pavstills {

// Decode statuses; every one but kDecoded makes the picture undecodable for
// the callers (PACI_STATUS_DECODE_FAILED).
enum DecodeStatus : std::uint32_t {
    kDecoded = 0,
    kDecodeInitFailed = 1,    // no decoder instance
    kDecodeHeaderFailed = 2,  // the header does not read
    kDecodeSizeMismatch = 3,  // the header names another size than the target's
    kDecodeReadFailed = 4,    // the picture's data does not decode
};

enum class LoadResult { kLoaded, kLibraryMissing, kEntryPointMissing };

class JpegLibrary {
  public:
    // Loads the library and resolves its entry points. Null (and the
    // library released again) when the library or any entry point is
    // missing; `result` says which. A failure records the error bit of the
    // imaging library.
    static std::unique_ptr<JpegLibrary> load(const std::string& name = jpegLibraryName(),
                                             LoadResult* result = nullptr);
    ~JpegLibrary();
    JpegLibrary(const JpegLibrary&) = delete;
    JpegLibrary& operator=(const JpegLibrary&) = delete;

    // The picture's size from its header.
    std::uint32_t readHeader(const std::uint8_t* data, std::size_t size, std::uint32_t* width,
                             std::uint32_t* height) const;
    // Decodes the whole picture at full size into `target`, whose size must
    // be the header's.
    std::uint32_t decode(const std::uint8_t* data, std::size_t size, BitmapBlock& target) const;
    // Decodes the picture, whose header must name expectedWidth x
    // expectedHeight, at the smallest of the decoder's own reduced scales
    // (k/8 of each side) that still gives at least minWidth x minHeight
    // pixels (full size when none does), into a block it allocates in
    // `target`. Reducing inside the decoder skips most of its work for a
    // small preview. kDecodeInitFailed also stands for a block that could
    // not be allocated (`allocFailed` then true).
    std::uint32_t decodeReduced(const std::uint8_t* data, std::size_t size,
                                std::uint32_t expectedWidth, std::uint32_t expectedHeight,
                                std::uint32_t minWidth, std::uint32_t minHeight,
                                BitmapBlock& target, bool* allocFailed = nullptr) const;

    struct EntryPoints;

  private:
    JpegLibrary() = default;
    std::unique_ptr<Module> module_;
    std::unique_ptr<EntryPoints> entry_;
};

}  // namespace pavstills
