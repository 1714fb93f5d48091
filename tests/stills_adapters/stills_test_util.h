// Pictures and independent references for the adapter tests: pictures are
// made with the simulated camera's encoder; the references decode them with
// libjpeg-turbo called directly (top-down RGB) and scale them with a plain
// box mean, so nothing of the adapters' own code judges them.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "library/stills/bitmap.h"
#include "library/stills/jpeg_adapter.h"
#include "library/stills/scaler_adapter.h"
#include "sim/jpeg.h"

namespace stillstest {

using Bytes = std::vector<std::uint8_t>;

// A test-pattern JPEG of the given style.
Bytes picture(int width, int height, std::uint32_t seed, sim::JpegStyle style = {});

// The bitmap block's pixels turned into top-down RGB rows.
Bytes topDownRgb(const pavstills::BitmapBlock& block);

// Mean absolute difference per byte of two equally long buffers.
double meanDifference(const Bytes& a, const Bytes& b);

// The reference preview: the picture decoded at full size, each target pixel
// the plain mean of its source box (the sides divide evenly in the tests).
Bytes boxMean(const Bytes& rgb, int width, int height, int toWidth, int toHeight);

std::uint32_t le32(const std::uint8_t* p);

// The registry's recorded error bits (0 when none).
std::uint32_t recordedErrorBits();

// The bindings the tests use: the system's decoder and the scaler built here.
std::unique_ptr<pavstills::JpegLibrary> jpeg();
std::unique_ptr<pavstills::ScalerBinding> scaler();

}  // namespace stillstest
