// JPEG content for the simulated camera, encoded with libjpeg-turbo.
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

// How a picture is coded: baseline or progressive, colour (4:2:0) or one
// grey component. Cameras write baseline colour; the other forms are what
// pictures copied onto a memory card from elsewhere may be.
struct JpegStyle {
    bool progressive = false;
    bool greyscale = false;
};

// Encodes top-down RGB rows (3 bytes per pixel) as a JPEG of the given style
// (a greyscale one keeps the luminance). Empty on failure.
std::vector<std::uint8_t> encodeJpeg(const std::uint8_t* rgb, int width, int height, int quality,
                                     JpegStyle style = {});
// The picture in grey, still three bytes a pixel (ITU-R BT.601 luminance, as
// the JPEG encoder computes it).
std::vector<std::uint8_t> greyRgb(const std::vector<std::uint8_t>& rgb);
// A test picture in RGB, distinct for every seed: colour gradients, bars and
// a block pattern that moves with the seed (so clip frames differ).
std::vector<std::uint8_t> testPattern(int width, int height, std::uint32_t seed);
// Shrinks an RGB picture to width x height by box averaging.
std::vector<std::uint8_t> scaleRgb(const std::vector<std::uint8_t>& rgb, int width, int height,
                                   int toWidth, int toHeight);
// Decodes a JPEG to RGB (for checks); false when it does not decode.
bool decodeJpeg(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>* rgb,
                int* width, int* height);

}  // namespace sim
