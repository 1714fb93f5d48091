#include "twain/source/image_adapters.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

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

bool scalePixels(const std::uint8_t* src, int sw, int sh, std::uint8_t* dst, int dw, int dh) {
    if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return false;
    for (int y = 0; y < dh; ++y) {
        int y0 = static_cast<int>(static_cast<long long>(y) * sh / dh);
        int y1 = std::max(y0 + 1, static_cast<int>(static_cast<long long>(y + 1) * sh / dh));
        y1 = std::min(y1, sh);
        for (int x = 0; x < dw; ++x) {
            int x0 = static_cast<int>(static_cast<long long>(x) * sw / dw);
            int x1 = std::max(x0 + 1, static_cast<int>(static_cast<long long>(x + 1) * sw / dw));
            x1 = std::min(x1, sw);
            unsigned sum[3] = {0, 0, 0};
            unsigned n = 0;
            for (int yy = y0; yy < y1; ++yy)
                for (int xx = x0; xx < x1; ++xx) {
                    const std::uint8_t* p = src + (static_cast<std::size_t>(yy) * sw + xx) * 3;
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                    ++n;
                }
            std::uint8_t* q = dst + (static_cast<std::size_t>(y) * dw + x) * 3;
            for (int c = 0; c < 3; ++c) q[c] = static_cast<std::uint8_t>((sum[c] + n / 2) / n);
        }
    }
    return true;
}

}  // namespace pavtw
