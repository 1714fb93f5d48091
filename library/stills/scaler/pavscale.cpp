// Area averaging: every target pixel is the mean of the source area it
// covers, each source pixel weighted by the share of it that lies inside.
// It suits the scaler's one real use, shrinking pictures to 80 x 60 thumbnails
// and previews: every source pixel counts (point sampling and bilinear
// filtering skip most of them at 1/8 and alias fine patterns into moire), an
// integer ratio gives the plain box mean, and the weights are exact integers,
// so the result does not depend on rounding order. Enlarging falls out of the
// same rule (a target pixel inside one source pixel takes its value; one on
// a border blends the two).
#include "pavscale.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr std::uint32_t kMagic = 0x53564150;  // "PAVS"
constexpr std::uint32_t kMaxSide = 65535;

// For every target index along one axis: the source indices it covers and
// their weights, in units of 1/target of a source pixel; the weights of one
// target index add up to the source length.
struct Axis {
    std::vector<std::uint32_t> first;   // first source index per target index
    std::vector<std::uint32_t> offset;  // into weight, per target index, plus one at the end
    std::vector<std::uint32_t> weight;
    std::uint32_t total = 0;  // the sum of each target index's weights

    void build(std::uint32_t source, std::uint32_t target) {
        total = source;
        first.resize(target);
        offset.resize(target + 1);
        offset[0] = 0;
        for (std::uint32_t t = 0; t < target; ++t) {
            // Target t covers [t * source, (t + 1) * source); source i covers
            // [i * target, (i + 1) * target), both counted in the same unit.
            const std::uint64_t lo = static_cast<std::uint64_t>(t) * source;
            const std::uint64_t hi = lo + source;
            const auto i0 = static_cast<std::uint32_t>(lo / target);
            first[t] = i0;
            for (std::uint64_t i = i0; i * target < hi; ++i) {
                const std::uint64_t a = std::max<std::uint64_t>(lo, i * target);
                const std::uint64_t b = std::min<std::uint64_t>(hi, (i + 1) * target);
                weight.push_back(static_cast<std::uint32_t>(b - a));  // never 0
            }
            offset[t + 1] = static_cast<std::uint32_t>(weight.size());
        }
    }
};

struct Scaler {
    std::uint32_t magic = kMagic;
    std::uint32_t sourceWidth, sourceHeight, targetWidth, targetHeight;
    Axis x, y;
    std::vector<std::uint32_t> rowSum;  // one source row scaled across, 3 per target pixel
    std::vector<std::uint64_t> column;  // the target row being gathered
};

bool sideOk(std::uint32_t v) {
    return v > 0 && v <= kMaxSide;
}

Scaler* handleIn(void** slot) {
    if (!slot || !*slot) return nullptr;
    auto* s = static_cast<Scaler*>(*slot);
    return s->magic == kMagic ? s : nullptr;
}

void scaleRow(const Scaler& s, const std::uint8_t* row, std::uint32_t* out) {
    for (std::uint32_t t = 0; t < s.targetWidth; ++t) {
        std::uint32_t b = 0, g = 0, r = 0;
        const std::uint8_t* p = row + static_cast<std::size_t>(s.x.first[t]) * 3;
        for (std::uint32_t k = s.x.offset[t]; k < s.x.offset[t + 1]; ++k, p += 3) {
            const std::uint32_t w = s.x.weight[k];
            b += w * p[0];
            g += w * p[1];
            r += w * p[2];
        }
        out[t * 3] = b;
        out[t * 3 + 1] = g;
        out[t * 3 + 2] = r;
    }
}

}  // namespace

extern "C" {

PAVSCALE_API uint32_t PAVScaleHandleOpen(void** slot, uint32_t sourceWidth, uint32_t sourceHeight,
                                         uint32_t targetWidth, uint32_t targetHeight) {
    if (!slot) return PAVSCALE_BAD_PARAMETER;
    *slot = nullptr;
    if (!sideOk(sourceWidth) || !sideOk(sourceHeight) || !sideOk(targetWidth) ||
        !sideOk(targetHeight))
        return PAVSCALE_BAD_PARAMETER;
    // Byte counts travel in 32 bits.
    if (static_cast<std::uint64_t>(sourceWidth) * sourceHeight * 3 > 0xFFFFFFFFu ||
        static_cast<std::uint64_t>(targetWidth) * targetHeight * 3 > 0xFFFFFFFFu)
        return PAVSCALE_BAD_PARAMETER;
    try {
        auto* s = new Scaler{kMagic, sourceWidth, sourceHeight, targetWidth, targetHeight, {}, {},
                             {}, {}};
        s->x.build(sourceWidth, targetWidth);
        s->y.build(sourceHeight, targetHeight);
        s->rowSum.resize(static_cast<std::size_t>(targetWidth) * 3);
        s->column.resize(static_cast<std::size_t>(targetWidth) * 3);
        *slot = s;
        return PAVSCALE_OK;
    } catch (...) {
        return PAVSCALE_ALLOC_FAILED;
    }
}

PAVSCALE_API uint32_t PAVScaleProcess(void** slot, const uint8_t* source, uint32_t sourceBytes,
                                      uint8_t* target, uint32_t targetBytes) {
    Scaler* s = handleIn(slot);
    if (!s) return PAVSCALE_BAD_HANDLE;
    if (!source || !target) return PAVSCALE_BAD_PARAMETER;
    const std::size_t sourceRow = static_cast<std::size_t>(s->sourceWidth) * 3;
    const std::size_t targetRow = static_cast<std::size_t>(s->targetWidth) * 3;
    if (sourceBytes < sourceRow * s->sourceHeight || targetBytes < targetRow * s->targetHeight)
        return PAVSCALE_BUFFER_TOO_SMALL;
    if (s->sourceWidth == s->targetWidth && s->sourceHeight == s->targetHeight) {
        std::memcpy(target, source, targetRow * s->targetHeight);
        return PAVSCALE_OK;
    }
    const std::uint64_t divisor = static_cast<std::uint64_t>(s->x.total) * s->y.total;
    std::uint32_t rowDone = 0xFFFFFFFFu;  // the source row now in rowSum
    for (std::uint32_t t = 0; t < s->targetHeight; ++t) {
        std::fill(s->column.begin(), s->column.end(), 0);
        std::uint32_t i = s->y.first[t];
        for (std::uint32_t k = s->y.offset[t]; k < s->y.offset[t + 1]; ++k, ++i) {
            // Neighbouring target rows share their border source row.
            if (i != rowDone) {
                scaleRow(*s, source + sourceRow * i, s->rowSum.data());
                rowDone = i;
            }
            const std::uint64_t w = s->y.weight[k];
            for (std::size_t c = 0; c < targetRow; ++c) s->column[c] += w * s->rowSum[c];
        }
        std::uint8_t* out = target + targetRow * t;
        for (std::size_t c = 0; c < targetRow; ++c)
            out[c] = static_cast<std::uint8_t>((s->column[c] + divisor / 2) / divisor);
    }
    return PAVSCALE_OK;
}

PAVSCALE_API uint32_t PAVScaleHandleClose(void** slot) {
    Scaler* s = handleIn(slot);
    if (!s) return PAVSCALE_BAD_HANDLE;
    s->magic = 0;
    delete s;
    *slot = nullptr;
    return PAVSCALE_OK;
}

}  // extern "C"
