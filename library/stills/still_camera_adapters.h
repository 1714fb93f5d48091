// A still-camera handle's own bindings of the JPEG library and the scaler,
// and the preview made through them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "library/stills/jpeg_adapter.h"
#include "library/stills/scaler_adapter.h"
#include "pav512u/paci.h"

namespace paci {

struct Decoders {
    std::unique_ptr<pavstills::JpegLibrary> jpeg;     // null when not loaded
    std::unique_ptr<pavstills::ScalerBinding> scaler;  // null when the scaler is missing
};

// The JPEG library is required (DLL_LOAD_ERROR without it, nothing kept).
// The scaler is not: without it the JPEG library is let go again, since
// nothing but a preview would use it, and previews say DLL_LOAD_ERROR.
PACI_STATUS loadDecoders(Decoders* d);
void releaseDecoders(Decoders* d);

// Reads the whole picture through `readWhole` (buffer, length), decodes it at
// the size the GetObjectInfo dataset names, scales it to 80 x 60 and copies
// up to `length` bytes of the bitmap block into `buffer`.
PACI_STATUS makePreview(Decoders& d, const std::uint8_t* objectInfo, std::size_t objectInfoLength,
                        const std::function<PACI_STATUS(void*, std::uint32_t)>& readWhole,
                        void* buffer, std::uint32_t length);

}  // namespace paci
