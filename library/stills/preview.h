// The 80 x 60 preview of a JPEG picture: the whole picture downloaded, decoded
// and scaled, delivered as a 14440-byte bitmap block (header first). The
// still-camera interface calls it once it has found the object to be a JPEG
// picture (format 0x3801), under the camera lock it holds for the call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "library/stills/bitmap.h"
#include "library/stills/jpeg_adapter.h"
#include "library/stills/scaler_adapter.h"

namespace pavstills {

constexpr std::uint32_t kPreviewWidth = 80;
constexpr std::uint32_t kPreviewHeight = 60;
constexpr std::uint32_t kPreviewPixelBytes = kPreviewWidth * kPreviewHeight * 3;              // 14400
constexpr std::uint32_t kPreviewBytes = kBitmapHeaderSize + kPreviewPixelBytes;  // 14440

// What the preview returns: the still-camera statuses of the same numbers.
enum PreviewStatus : std::uint32_t {
    kPreviewDone = 0,             // PACI_STATUS_SUCCESS
    kPreviewInvalidStatus = 1,    // PACI_STATUS_INVALID_STATUS: object information too short
    kPreviewAllocFailed = 6,      // PACI_STATUS_ALLOC_FAILED
    kPreviewDllLoadError = 0x69,  // PACI_STATUS_DLL_LOAD_ERROR: no scaler (or no decoder)
    kPreviewScaleFailed = 0x6B,   // PACI_STATUS_SCALE_FAILED
    kPreviewDecodeFailed = 0x6C,  // PACI_STATUS_DECODE_FAILED
};

// Reads the whole object into `buffer` of `length` bytes exactly as the
// still-camera interface's whole-object read does; its status (0 = read) is
// returned by the preview when it is not 0.
using ReadWholeObject = std::function<std::uint32_t(std::uint8_t* buffer, std::uint32_t length)>;

// The preview of one picture. `objectInfo` is the picture's GetObjectInfo
// dataset (ObjectCompressedSize at offset 8, ImagePixWidth at 26,
// ImagePixHeight at 30); at least 34 bytes, else kPreviewInvalidStatus.
// No scaler binding (or no decoder): kPreviewDllLoadError before anything is
// read. On success min(outLength, 14440) bytes of the block are copied to
// `out`. Every buffer is freed on every path; the scaler handle is closed
// whenever its open succeeded.
std::uint32_t makePreview(const JpegLibrary* jpeg, ScalerBinding* scaler,
                          const std::uint8_t* objectInfo, std::size_t objectInfoLength,
                          const ReadWholeObject& readObject, std::uint8_t* out,
                          std::uint32_t outLength);

// The decode-and-scale half of it, from a downloaded picture whose header
// must name width x height: the 80 x 60 block in `preview` (allocated here).
std::uint32_t previewFromJpeg(const JpegLibrary& jpeg, ScalerBinding& scaler,
                              const std::uint8_t* data, std::size_t size, std::uint32_t width,
                              std::uint32_t height, BitmapBlock& preview);

}  // namespace pavstills
