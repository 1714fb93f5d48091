#include "twain/source/image_adapters.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "twain/source/still_camera_binding.h"

namespace pavtw {

namespace {
// TurboJPEG's values (its public API).
constexpr int kTjPixelFormatBgr = 1;
constexpr int kTjFlagBottomUp = 2;
using InitFn = void* (*)();
using HeaderFn = int (*)(void*, const unsigned char*, unsigned long, int*, int*, int*, int*);
using DecompressFn = int (*)(void*, const unsigned char*, unsigned long, unsigned char*, int, int, int, int, int);
using DestroyFn = int (*)(void*);
}  // namespace

void initInfoHeader(BitmapInfoHeader* h, std::int32_t width, std::int32_t height) {
    std::memset(h, 0, sizeof *h);
    h->biSize = kInfoHeaderSize;
    h->biWidth = width;
    h->biHeight = height;
    h->biPlanes = 1;
    h->biBitCount = 24;
    h->biSizeImage = static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height) * 3;
}

JpegBinding::JpegBinding() {
    module_ = ::dlopen("libturbojpeg.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!module_) return;
    init_ = ::dlsym(module_, "tjInitDecompress");
    header_ = ::dlsym(module_, "tjDecompressHeader3");
    decompress_ = ::dlsym(module_, "tjDecompress2");
    destroy_ = ::dlsym(module_, "tjDestroy");
}

JpegBinding::~JpegBinding() {
    if (module_) ::dlclose(module_);
}

bool JpegBinding::entryPointsPresent() const { return init_ && header_ && decompress_ && destroy_; }

int JpegBinding::decode(const std::uint8_t* jpeg, std::size_t size, std::uint8_t* pixels, int width,
                        int height) {
    if (!entryPointsPresent()) return 1;
    void* tj = reinterpret_cast<InitFn>(init_)();
    if (!tj) return 1;
    int w = 0, h = 0, sub = 0, space = 0;
    int status = 0;
    if (reinterpret_cast<HeaderFn>(header_)(tj, jpeg, size, &w, &h, &sub, &space) != 0)
        status = 2;
    else if (w != width || h != height)
        status = 3;
    else if (reinterpret_cast<DecompressFn>(decompress_)(tj, jpeg, size, pixels, width, width * 3, height,
                                                         kTjPixelFormatBgr, kTjFlagBottomUp) != 0)
        status = 4;
    reinterpret_cast<DestroyFn>(destroy_)(tj);
    return status;
}

std::string scalerLibraryName() {
    const char* name = std::getenv("PAV512_SCALER_LIBRARY");
    return name && *name ? name : "libpavscale.so";
}

bool scalePixels(const std::uint8_t* src, int sw, int sh, std::uint8_t* dst, int dw, int dh) {
    if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return false;
    using OpenFn = std::uint32_t (*)(void**, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t);
    using ProcessFn = std::uint32_t (*)(void**, const std::uint8_t*, std::uint32_t, std::uint8_t*, std::uint32_t);
    using CloseFn = std::uint32_t (*)(void**);
    void* module = openBeside(scalerLibraryName());
    if (!module) return false;
    auto open = reinterpret_cast<OpenFn>(::dlsym(module, "PAVScaleHandleOpen"));
    auto process = reinterpret_cast<ProcessFn>(::dlsym(module, "PAVScaleProcess"));
    auto close = reinterpret_cast<CloseFn>(::dlsym(module, "PAVScaleHandleClose"));
    bool ok = false;
    void* slot = nullptr;
    if (open && process && close &&
        open(&slot, static_cast<std::uint32_t>(sw), static_cast<std::uint32_t>(sh), static_cast<std::uint32_t>(dw),
             static_cast<std::uint32_t>(dh)) == 0) {
        const std::uint64_t in = static_cast<std::uint64_t>(sw) * sh * 3, out = static_cast<std::uint64_t>(dw) * dh * 3;
        ok = in <= 0xFFFFFFFFu && out <= 0xFFFFFFFFu &&
             process(&slot, src, static_cast<std::uint32_t>(in), dst, static_cast<std::uint32_t>(out)) == 0;
        close(&slot);
    }
    ::dlclose(module);
    return ok;
}

}  // namespace pavtw
