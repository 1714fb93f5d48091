#include "library/stills/jpeg_adapter.h"

#include <turbojpeg.h>

#include "library/stills/error_bits.h"

namespace pavstills {

// The entry points are bound by name, so the decoder is a run-time choice
// and its absence an answer; only the prototypes come from its header.
struct JpegLibrary::EntryPoints {
    decltype(&::tjInitDecompress) init = nullptr;
    decltype(&::tjDecompressHeader3) readHeader = nullptr;
    decltype(&::tjDecompress2) decompress = nullptr;
    decltype(&::tjDestroy) destroy = nullptr;
};

namespace {

template <typename F>
bool bind(const Module& module, const char* name, F* into) {
    *into = reinterpret_cast<F>(module.symbol(name));
    return *into != nullptr;
}

// A decoder instance for one picture, freed on every way out.
class Instance {
  public:
    explicit Instance(const JpegLibrary::EntryPoints& e) : e_(e), h_(e.init()) {}
    ~Instance() {
        if (h_) e_.destroy(h_);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    tjhandle get() const { return h_; }

  private:
    const JpegLibrary::EntryPoints& e_;
    tjhandle h_;
};

std::uint32_t header(const JpegLibrary::EntryPoints& e, tjhandle h, const std::uint8_t* data,
                     std::size_t size, std::uint32_t* width, std::uint32_t* height) {
    if (!data || size == 0 || size > 0xFFFFFFFFu) return kDecodeHeaderFailed;
    int w = 0, hh = 0, subsampling = 0, colourspace = 0;
    if (e.readHeader(h, data, static_cast<unsigned long>(size), &w, &hh, &subsampling,
                     &colourspace) != 0 ||
        w <= 0 || hh <= 0)
        return kDecodeHeaderFailed;
    *width = static_cast<std::uint32_t>(w);
    *height = static_cast<std::uint32_t>(hh);
    return kDecoded;
}

// The decoder writes exactly width x height pixels of 3 bytes, rows of
// width x 3 bytes with no padding, the last picture row first.
std::uint32_t decompress(const JpegLibrary::EntryPoints& e, tjhandle h, const std::uint8_t* data,
                         std::size_t size, BitmapBlock& target) {
    const int w = static_cast<int>(target.width());
    const int hh = static_cast<int>(target.height());
    if (e.decompress(h, data, static_cast<unsigned long>(size), target.pixels(), w, w * 3, hh,
                     TJPF_BGR, TJFLAG_BOTTOMUP) != 0)
        return kDecodeReadFailed;
    return kDecoded;
}

std::uint32_t noted(std::uint32_t status) {
    if (status == kDecodeSizeMismatch)
        recordErrorBits(kErrorDecodeSizeMismatch);
    else if (status != kDecoded)
        recordErrorBits(kErrorDecodeFailed);
    return status;
}

std::uint32_t scaledSide(std::uint32_t side, std::uint32_t eighths) {
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(side) * eighths + 7) / 8);
}

}  // namespace

std::unique_ptr<JpegLibrary> JpegLibrary::load(const std::string& name, LoadResult* result) {
    LoadResult dummy;
    LoadResult& r = result ? *result : dummy;
    std::unique_ptr<Module> module = Module::load(name);
    if (!module) {
        r = LoadResult::kLibraryMissing;
        recordErrorBits(kErrorJpegLibraryMissing);
        return nullptr;
    }
    auto entry = std::make_unique<EntryPoints>();
    // One at a time, in the order the decoder is used.
    if (!bind(*module, "tjInitDecompress", &entry->init) ||
        !bind(*module, "tjDestroy", &entry->destroy) ||
        !bind(*module, "tjDecompressHeader3", &entry->readHeader) ||
        !bind(*module, "tjDecompress2", &entry->decompress)) {
        r = LoadResult::kEntryPointMissing;
        recordErrorBits(kErrorJpegLibraryMissing);
        return nullptr;
    }
    std::unique_ptr<JpegLibrary> library(new JpegLibrary());
    library->module_ = std::move(module);
    library->entry_ = std::move(entry);
    r = LoadResult::kLoaded;
    return library;
}

JpegLibrary::~JpegLibrary() = default;

std::uint32_t JpegLibrary::readHeader(const std::uint8_t* data, std::size_t size,
                                      std::uint32_t* width, std::uint32_t* height) const {
    Instance instance(*entry_);
    if (!instance.get()) return noted(kDecodeInitFailed);
    return noted(header(*entry_, instance.get(), data, size, width, height));
}

std::uint32_t JpegLibrary::decode(const std::uint8_t* data, std::size_t size,
                                  BitmapBlock& target) const {
    Instance instance(*entry_);
    if (!instance.get()) return noted(kDecodeInitFailed);
    std::uint32_t w = 0, h = 0;
    if (std::uint32_t s = header(*entry_, instance.get(), data, size, &w, &h)) return noted(s);
    if (target.empty() || w != target.width() || h != target.height())
        return noted(kDecodeSizeMismatch);
    return noted(decompress(*entry_, instance.get(), data, size, target));
}

std::uint32_t JpegLibrary::decodeReduced(const std::uint8_t* data, std::size_t size,
                                         std::uint32_t expectedWidth,
                                         std::uint32_t expectedHeight, std::uint32_t minWidth,
                                         std::uint32_t minHeight, BitmapBlock& target,
                                         bool* allocFailed) const {
    if (allocFailed) *allocFailed = false;
    target.release();
    Instance instance(*entry_);
    if (!instance.get()) return noted(kDecodeInitFailed);
    std::uint32_t w = 0, h = 0;
    if (std::uint32_t s = header(*entry_, instance.get(), data, size, &w, &h)) return noted(s);
    if (w != expectedWidth || h != expectedHeight) return noted(kDecodeSizeMismatch);
    // libjpeg-turbo reduces by k/8 inside the inverse transform (1/8 takes
    // only each block's mean), so a picture eight times the preview's size
    // costs a fraction of its full decode.
    std::uint32_t eighths = 1;
    while (eighths < 8 && (scaledSide(w, eighths) < minWidth || scaledSide(h, eighths) < minHeight))
        ++eighths;
    if (!target.allocate(scaledSide(w, eighths), scaledSide(h, eighths))) {
        if (allocFailed) *allocFailed = true;
        return kDecodeInitFailed;
    }
    return noted(decompress(*entry_, instance.get(), data, size, target));
}

}  // namespace pavstills
