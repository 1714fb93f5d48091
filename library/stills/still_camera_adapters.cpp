#include "library/stills/still_camera_adapters.h"

#include "library/stills/preview.h"

namespace paci {

PACI_STATUS loadDecoders(Decoders* d) {
    d->jpeg = pavstills::JpegLibrary::load();
    if (!d->jpeg) return PACI_STATUS_DLL_LOAD_ERROR;
    d->scaler = pavstills::ScalerBinding::load();
    if (!d->scaler) d->jpeg.reset();
    return PACI_STATUS_SUCCESS;
}

void releaseDecoders(Decoders* d) {
    d->scaler.reset();
    d->jpeg.reset();
}

PACI_STATUS makePreview(Decoders& d, const std::uint8_t* objectInfo, std::size_t objectInfoLength,
                        const std::function<PACI_STATUS(void*, std::uint32_t)>& readWhole,
                        void* buffer, std::uint32_t length) {
    return pavstills::makePreview(
        d.jpeg.get(), d.scaler.get(), objectInfo, objectInfoLength,
        [&](std::uint8_t* whole, std::uint32_t size) { return readWhole(whole, size); },
        static_cast<std::uint8_t*>(buffer), length);
}

}  // namespace paci
