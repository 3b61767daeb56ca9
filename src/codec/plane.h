// A decoded plane, as the plane decoder gives it and the output reads it.
#pragma once

#include <cstdint>
#include <vector>

namespace qzr {

// Samples 0..255, row-major, the stream's first row first.
struct Plane {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> samples;
};

}  // namespace qzr
