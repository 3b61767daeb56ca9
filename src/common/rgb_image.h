// The picture the core makes and takes: 8-bit RGB, `height` rows of `width`
// pixels, the top row first, each pixel three bytes R, G, B, no padding
// between rows, so that rgb.size() == 3 * width * height.
#pragma once

#include <cstdint>
#include <vector>

namespace qzr {

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgb;
};

}  // namespace qzr
