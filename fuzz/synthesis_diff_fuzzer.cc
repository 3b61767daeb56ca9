// Dequantization, synthesis and scaling of a whole plane in the fast form
// (row by row, zeros skipped, scaled straight into 8 bits) against the plain
// steps one after the other, and the fast full-size synthesis against the
// plain one. The working levels start with stale values, as when a plane
// reuses an earlier plane's storage.
#include <algorithm>
#include <vector>

#include "codec/band_layout.h"
#include "codec/dequantize.h"
#include "codec/sample_scaling.h"
#include "codec/wavelet_synthesis.h"
#include "fuzz_input.h"

using namespace qzr;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput input{{data, size}};
  // Up to 9 levels and 128 samples a side (one unit of 2^levels above that):
  // every shape of band layout, small enough for many cases a second.
  const int levels = 1 + input.u8() % 9;
  const int unit = 1 << levels;
  const int width = unit * (1 + input.u8() % std::max(1, 128 / unit));
  const int height = unit * (1 + input.u8() % std::max(1, 128 / unit));
  const int16_t scale = static_cast<int16_t>(input.u16());
  const uint8_t density = input.u8();  // how many values the bytes give before the rest stay zero
  std::vector<int16_t> steps(static_cast<size_t>(band_count(levels)));
  for (auto& s : steps) s = static_cast<int16_t>(input.u16());

  const size_t n = size_t(width) * size_t(height);
  std::vector<int16_t> quantized(n, 0);
  // The values spread over the plane with a stride, so a short input still
  // reaches every band.
  const size_t stride = 1 + density % 64;
  for (size_t i = 0; i < n; i += stride) {
    if (input.rest().empty()) break;
    quantized[i] = static_cast<int16_t>(input.u16());
  }

  std::vector<int32_t> coefficients(quantized.begin(), quantized.end()), samples(n);
  dequantize_plane(coefficients, static_cast<int32_t>(n), levels, steps);
  std::vector<int32_t> dequantized = coefficients;
  inverse_wavelet_plain(coefficients, samples, width, height, levels);
  std::vector<uint8_t> expected(n);
  for (size_t i = 0; i < n; ++i) expected[i] = scale_sample(samples[i], scale);

  std::vector<int32_t> odd(n / 4, 0x5A5A5A5A), even(n / 16, -7);
  std::vector<uint8_t> out(n, 0xA5);
  synthesise_plane(quantized, steps, odd, even, width, height, levels, SampleScaler(scale, n), out);
  if (out != expected) fuzz::differs();

  std::vector<uint8_t> scaled(n);
  scale_samples(samples, scaled, scale);
  if (scaled != expected) fuzz::differs();

  std::vector<int32_t> fast_samples(n, 1);
  inverse_wavelet(dequantized, fast_samples, width, height, levels);
  if (fast_samples != samples) fuzz::differs();
  return 0;
}
