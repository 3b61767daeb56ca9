// Dequantization: a nonzero quantized value v at step x is reconstructed at
// x * (|v| - 0.18), rounded, halves away from zero, with the sign of v.
#pragma once

#include <cstdint>
#include <span>

namespace qzr {

// Exact integer form of the reconstruction (64-bit; 100 * step * v overflows
// 32 bits): trunc((100 step v -/+ (18 step - 50)) / 100). The terms that
// depend on the step alone are formed once, for a whole band.
struct Dequantizer {
  int64_t step100, bias;
  constexpr explicit Dequantizer(int16_t step) : step100(int64_t{100} * step), bias(int64_t{18} * step - 50) {}
  constexpr int32_t operator()(int32_t v) const {
    if (v == 0) return 0;
    const int64_t p = step100 * v;
    return static_cast<int32_t>((v > 0 ? p - bias : p + bias) / 100);
  }
};

constexpr int32_t dequantize_value(int16_t step, int16_t v) { return Dequantizer(step)(v); }

// Dequantizes `count` values from `position` in place: the array holds the
// quantized values (signed 16-bit, in 32-bit slots) and receives the
// coefficients.
void dequantize_band(std::span<int32_t> coefficients, int64_t position, int64_t count, int16_t step);

// All 3L + 1 bands in band index order; level 0's bands hold count >> 2L values.
void dequantize_plane(std::span<int32_t> coefficients, int32_t count, int levels, std::span<const int16_t> steps);

}  // namespace qzr
