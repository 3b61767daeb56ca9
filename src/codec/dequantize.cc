#include "codec/dequantize.h"

namespace qzr {

void dequantize_band(std::span<int32_t> coefficients, int64_t position, int64_t count, int16_t step) {
  const Dequantizer dequantize(step);
  int32_t* c = coefficients.data() + position;
  for (int64_t i = 0; i < count; ++i) c[i] = dequantize(c[i]);
}

void dequantize_plane(std::span<int32_t> coefficients, int32_t count, int levels, std::span<const int16_t> steps) {
  int64_t size = count >> (2 * levels);
  int64_t position = 0;
  int band = 0;
  for (int level = 0; level < levels; ++level) {
    int bands = level == 0 ? 4 : 3;
    for (int i = 0; i < bands; ++i) {
      dequantize_band(coefficients, position, size, steps[static_cast<size_t>(band)]);
      position += size;
      ++band;
    }
    size *= 4;
  }
}

}  // namespace qzr
