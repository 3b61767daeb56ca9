// Inverse wavelet synthesis in scatter form: every coefficient adds weighted
// copies of itself (shifts by 1 and 2) into the 3 x 3 neighbourhood of its
// centre; mirrored borders are carried by mirror and corner additions.
#pragma once

#include <cstdint>
#include <span>

#include "codec/sample_scaling.h"

namespace qzr {

// Quarters of one level's region: 0 approximation (low/low, centre (2X, 2Y)),
// 1 horizontal detail (low/high, (2X, 2Y+1)), 2 vertical detail (high/low,
// (2X+1, 2Y), stored column by column), 3 diagonal (high/high, (2X+1, 2Y+1)).
//
// Requires levels >= 1 and width and height positive multiples of 2^levels.
// Sums wrap at 32 bits. The coefficient array is working storage.
void inverse_wavelet(std::span<int32_t> coefficients, std::span<int32_t> samples, int width, int height, int levels);

// A quantized plane to its 8-bit samples: dequantization with the bands'
// steps (3L + 1, in band index order), the synthesis, and the final scaling,
// row by row, so that the full-size level is never held. The coarser levels
// go through `levels_odd` ((width / 2) x (height / 2) values) and
// `levels_even` (a quarter of that). Each large level is cut into `bands`
// bands of rows (at most kMaxSynthesisBands), synthesised on as many threads;
// the samples are the same however many there are.
constexpr int kMaxSynthesisBands = 4;
void synthesise_plane(std::span<const int16_t> quantized, std::span<const int16_t> steps, std::span<int32_t> levels_odd,
                      std::span<int32_t> levels_even, int width, int height, int levels, const SampleScaler& scale,
                      std::span<uint8_t> out, int bands = 1);
// The same in two steps: the coarser levels, which leave level 1 in
// `levels_odd` (the approximation when there is one level), then the
// finest, which reads only that and the last three detail bands (quantized
// values from (width x height) / 4 on).
void synthesise_coarse_levels(std::span<const int16_t> quantized, std::span<const int16_t> steps,
                              std::span<int32_t> levels_odd, std::span<int32_t> levels_even, int width, int height,
                              int levels, int bands = 1);
void synthesise_finest_level(std::span<const int16_t> quantized, std::span<const int16_t> steps,
                             std::span<const int32_t> levels_odd, int width, int height, int levels,
                             const SampleScaler& scale, std::span<uint8_t> out, int bands = 1);

// The same synthesis in its plainest form: quarter 2 transposed in place
// first, every coefficient through the bound-tested scatter. The reference
// that the fast form is checked against.
void inverse_wavelet_plain(std::span<int32_t> coefficients, std::span<int32_t> samples, int width, int height,
                           int levels);

// Transposes in place the rows x columns matrix at array[start ..]: the value
// at start + r * columns + c moves to start + c * rows + r. No scratch storage.
void transpose_band(std::span<int32_t> array, int64_t start, int64_t rows, int64_t columns);

}  // namespace qzr
