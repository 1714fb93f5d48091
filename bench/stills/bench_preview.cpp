// The preview of a picture against decoding it: the 80 x 60 preview of the
// default camera's 640 x 480 picture (whole-object read from the downloaded
// bytes, decode and scale, as the still-camera interface makes it) against
// libjpeg-turbo decoding the same picture at full size into BGR and nothing
// else, in the same run. The figure is the preview's time over the full
// decode's (below 1: the preview is cheaper than the decode alone), each the
// median of many interleaved runs.
#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/quick.h"
#include "library/stills/preview.h"
#include "sim/object_store.h"

namespace {

using Clock = std::chrono::steady_clock;

int fail(const char* what) {
    std::fprintf(stderr, "bench_preview: %s\n", what);
    std::printf("preview ratio: n/a\n");
    return pavbench::quick() ? 0 : 1;
}

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main() {
    const sim::ObjectStore store = sim::ObjectStore::defaultContent();
    const sim::StoredObject* vga = nullptr;
    for (const sim::StoredObject& o : store.memory(0).objects())
        if ((o.kind == sim::ObjectKind::Picture || o.kind == sim::ObjectKind::PictureWithThumbnail) &&
            o.directoryEntry[73] == 0x02 && o.directoryEntry[74] == 0x80 &&
            o.directoryEntry[75] == 0x01 && o.directoryEntry[76] == 0xE0)
            vga = &o;
    if (!vga) return fail("the default camera has no 640 x 480 picture");
    const std::vector<std::uint8_t>& jpeg = vga->picture;

    auto decoder = pavstills::JpegLibrary::load();
    auto scaler = pavstills::ScalerBinding::load(PAV_SCALER_PATH);
    if (!decoder || !scaler) return fail("the decoder or the scaler did not load");

    // The object information as the camera reports it.
    std::uint8_t info[52] = {};
    info[4] = 0x01;
    info[5] = 0x38;
    put32(info + 8, static_cast<std::uint32_t>(jpeg.size()));
    put32(info + 26, 640);
    put32(info + 30, 480);
    const pavstills::ReadWholeObject read = [&](std::uint8_t* buffer, std::uint32_t length) {
        if (length < jpeg.size()) return std::uint32_t{3};
        std::memcpy(buffer, jpeg.data(), jpeg.size());
        return std::uint32_t{0};
    };
    std::vector<std::uint8_t> preview(pavstills::kPreviewBytes);
    std::vector<std::uint8_t> full(640 * 480 * 3);

    auto previewOnce = [&] {
        return pavstills::makePreview(decoder.get(), scaler.get(), info, sizeof info, read,
                                      preview.data(), pavstills::kPreviewBytes) == 0;
    };
    auto decodeOnce = [&] {
        tjhandle h = tjInitDecompress();
        if (!h) return false;
        int w = 0, hh = 0, sub = 0, cs = 0;
        bool ok = tjDecompressHeader3(h, jpeg.data(), jpeg.size(), &w, &hh, &sub, &cs) == 0 &&
                  w == 640 && hh == 480 &&
                  tjDecompress2(h, jpeg.data(), jpeg.size(), full.data(), w, w * 3, hh, TJPF_BGR,
                                TJFLAG_BOTTOMUP) == 0;
        tjDestroy(h);
        return ok;
    };

    // For comparison only: the same preview made by decoding at full size
    // and scaling 640 x 480 down, which is what the reduced decode saves.
    pavstills::BitmapBlock fullBlock, small;
    auto fullSizeOnce = [&] {
        if (!fullBlock.allocate(640, 480) || !small.allocate(80, 60)) return false;
        if (decoder->decode(jpeg.data(), jpeg.size(), fullBlock) != 0) return false;
        void* slot = nullptr;
        if (scaler->open(&slot, 640, 480, 80, 60) != 0) return false;
        const bool ok = scaler->process(&slot, fullBlock.pixels(), 640 * 480 * 3, small.pixels(),
                                        pavstills::kPreviewPixelBytes) == 0;
        scaler->close(&slot);
        return ok;
    };

    const int runs = pavbench::scaled(400, 3);
    std::vector<double> fullSizeTimes;
    std::vector<double> previewTimes, decodeTimes;
    for (int i = 0; i < 20 && !pavbench::quick(); ++i) previewOnce(), decodeOnce();  // warm up
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        if (!previewOnce()) return fail("the preview failed");
        previewTimes.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        start = Clock::now();
        if (!decodeOnce()) return fail("the full decode failed");
        decodeTimes.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        start = Clock::now();
        if (!fullSizeOnce()) return fail("the full-size preview failed");
        fullSizeTimes.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    const double p = median(previewTimes), d = median(decodeTimes);
    std::printf("640 x 480 picture of %zu bytes: preview %.3f ms, full decode %.3f ms (medians of %d)\n",
                jpeg.size(), p * 1e3, d * 1e3, runs);
    std::printf("full-size decode then scale: %.3f ms (ratio %.3f)\n", median(fullSizeTimes) * 1e3,
                median(fullSizeTimes) / d);
    std::printf("preview ratio: %.3f\n", p / d);
    return 0;
}
