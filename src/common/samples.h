// The 8-bit sample arrays the core hands from stage to stage: one plane, as
// the plane decoder gives it and the output reads it, and an RGB picture,
// as the decode makes it and the encoder takes it.
#pragma once

#include <cstdint>
#include <vector>

#include "common/raw_vector.h"

namespace qzr {

// Samples 0..255, row-major, the stream's first row first. The synthesis
// writes every sample, so a new plane's storage is not cleared first.
struct Plane {
  int width = 0;
  int height = 0;
  RawVector<uint8_t> samples;
};

// `height` rows of `width` pixels, the top row first, each pixel three bytes
// R, G, B, no padding between rows: rgb.size() == 3 * width * height.
struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

}  // namespace qzr
