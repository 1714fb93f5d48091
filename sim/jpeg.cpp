#include "sim/jpeg.h"

#include <turbojpeg.h>

#include <algorithm>

namespace sim {

std::vector<std::uint8_t> encodeJpeg(const std::uint8_t* rgb, int width, int height, int quality,
                                     JpegStyle style) {
    std::vector<std::uint8_t> out;
    if (!rgb || width <= 0 || height <= 0) return out;
    tjhandle h = tjInitCompress();
    if (!h) return out;
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    const int flags = TJFLAG_FASTDCT | (style.progressive ? TJFLAG_PROGRESSIVE : 0);
    if (tjCompress2(h, rgb, width, 0, height, TJPF_RGB, &buf, &size,
                    style.greyscale ? TJSAMP_GRAY : TJSAMP_420, std::clamp(quality, 1, 100),
                    flags) == 0) {
        out.assign(buf, buf + size);
    }
    tjFree(buf);
    tjDestroy(h);
    return out;
}

std::vector<std::uint8_t> greyRgb(const std::vector<std::uint8_t>& rgb) {
    std::vector<std::uint8_t> out(rgb.size());
    for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) {
        const int y = (19595 * rgb[i] + 38470 * rgb[i + 1] + 7471 * rgb[i + 2] + 32768) >> 16;
        out[i] = out[i + 1] = out[i + 2] = static_cast<std::uint8_t>(y);
    }
    return out;
}

std::vector<std::uint8_t> testPattern(int width, int height, std::uint32_t seed) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
    if (width <= 0 || height <= 0) return rgb;
    std::uint32_t s = seed * 2654435761u + 12345u;
    int hueShift = static_cast<int>(s % 256);
    int blockX = static_cast<int>((seed * 37u) % static_cast<std::uint32_t>(width));
    int blockY = static_cast<int>((seed * 23u) % static_cast<std::uint32_t>(height));
    int block = std::max(8, std::min(width, height) / 6);
    // Red and the seed bar follow the column, green the row: worked out once
    // each, since every camera that starts video at a new size waits for this.
    std::vector<std::uint8_t> red(static_cast<std::size_t>(width));
    std::vector<std::uint8_t> barOn(static_cast<std::size_t>(width));
    for (int x = 0; x < width; ++x) {
        red[x] = static_cast<std::uint8_t>((x * 255 / std::max(width - 1, 1) + hueShift) & 0xFF);
        barOn[x] = static_cast<std::uint8_t>((seed >> (x * 8 / width)) & 1);
    }
    for (int y = 0; y < height; ++y) {
        std::uint8_t* p = &rgb[static_cast<std::size_t>(y) * width * 3];
        if (y < height / 10) {  // a bar of eight colours that identifies the seed
            for (int x = 0; x < width; ++x, p += 3) {
                p[0] = p[1] = barOn[x] ? 255 : 0;
                p[2] = barOn[x] ? 0 : 255;
            }
            continue;
        }
        const auto green =
            static_cast<std::uint8_t>((y * 255 / std::max(height - 1, 1) + hueShift / 2) & 0xFF);
        const bool inBlockRows = y >= blockY && y < blockY + block;
        for (int x = 0; x < width; ++x, p += 3) {
            int b = ((x / 16 + y / 16) % 2) ? 200 : 60;
            if (inBlockRows && x >= blockX && x < blockX + block) {
                p[0] = p[1] = p[2] = static_cast<std::uint8_t>(255 - b);
            } else {
                p[0] = red[x];
                p[1] = green;
                p[2] = static_cast<std::uint8_t>(b);
            }
        }
    }
    return rgb;
}

std::vector<std::uint8_t> scaleRgb(const std::vector<std::uint8_t>& rgb, int width, int height,
                                   int toWidth, int toHeight) {
    std::vector<std::uint8_t> out(static_cast<std::size_t>(toWidth) * toHeight * 3);
    for (int y = 0; y < toHeight; ++y) {
        int y0 = y * height / toHeight, y1 = std::max(y0 + 1, (y + 1) * height / toHeight);
        for (int x = 0; x < toWidth; ++x) {
            int x0 = x * width / toWidth, x1 = std::max(x0 + 1, (x + 1) * width / toWidth);
            unsigned sum[3] = {0, 0, 0};
            unsigned n = 0;
            for (int yy = y0; yy < y1 && yy < height; ++yy)
                for (int xx = x0; xx < x1 && xx < width; ++xx, ++n)
                    for (int c = 0; c < 3; ++c)
                        sum[c] += rgb[(static_cast<std::size_t>(yy) * width + xx) * 3 + c];
            for (int c = 0; c < 3; ++c)
                out[(static_cast<std::size_t>(y) * toWidth + x) * 3 + c] =
                    static_cast<std::uint8_t>(n ? sum[c] / n : 0);
        }
    }
    return out;
}

bool decodeJpeg(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>* rgb,
                int* width, int* height) {
    tjhandle h = tjInitDecompress();
    if (!h) return false;
    int w = 0, hh = 0, sub = 0, cs = 0;
    bool ok =
        tjDecompressHeader3(h, data, static_cast<unsigned long>(size), &w, &hh, &sub, &cs) == 0 &&
        w > 0 && hh > 0;
    if (ok) {
        rgb->resize(static_cast<std::size_t>(w) * hh * 3);
        ok = tjDecompress2(h, data, static_cast<unsigned long>(size), rgb->data(), w, 0, hh,
                           TJPF_RGB, 0) == 0;
    }
    tjDestroy(h);
    if (ok) {
        *width = w;
        *height = hh;
    }
    return ok;
}

}  // namespace sim
