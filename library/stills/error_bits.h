// Error bits the still-image services leave in "DebugUserModeErr" for a
// service tool: what went wrong with the imaging and scaling libraries.
#pragma once

#include <cstdint>

namespace pavstills {

enum StillsErrorBit : std::uint32_t {
    kErrorJpegLibraryMissing = 0x01,  // the JPEG library or one of its entry points is missing
    kErrorDecodeFailed = 0x10,        // the decoder refused a picture
    kErrorDecodeSizeMismatch = 0x20,  // a picture's header disagreed with its block
    kErrorScalerNotStarted = 0x40,    // the scaler could not be loaded or opened
};

// ORs the bits into the library's recorded error bits.
void recordErrorBits(std::uint32_t bits);

}  // namespace pavstills
