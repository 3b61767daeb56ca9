#include "codec/sample_scaling.h"

#include <algorithm>
#include <bit>

#include "common/simd.h"

namespace qzr {

uint8_t scale_sample(int32_t n, int16_t scale) {
  if (scale > 0) {
    // Exact rational form: floor(n / scale + 1/2), clamped.
    if (n <= 0) return 0;
    int64_t r = (2 * static_cast<int64_t>(n) + scale) / (2 * static_cast<int64_t>(scale));
    return static_cast<uint8_t>(r > 255 ? 255 : r);
  }
  double q = static_cast<double>(n) / static_cast<double>(scale);
  if (!(q >= 0.0)) return 0;  // negative or not a number
  if (q > 255.0) return 255;
  return static_cast<uint8_t>(static_cast<int>(q + 0.5));
}

SampleScaler::SampleScaler(int16_t scale, size_t samples) : scale_(scale) {
  const int64_t top = 255 * int64_t{scale};
  if (scale > 0 && std::has_single_bit(static_cast<uint16_t>(scale))) {
    // floor(n / 2^j + 1/2) is (n + 2^j / 2) >> j: no table, and vector code.
    shift_ = std::countr_zero(static_cast<uint16_t>(scale));
    top_ = static_cast<int32_t>(top);
    return;
  }
  if (scale <= 0 || top >= int64_t{1} << 16 || static_cast<size_t>(top) >= samples) return;
  top_ = static_cast<int32_t>(top);
  // One entry past the top, so that clamped samples read 255 from the table.
  table_.resize(static_cast<size_t>(top) + 2);
  for (int32_t n = 0; n <= top_ + 1; ++n) table_[static_cast<size_t>(n)] = scale_sample(n, scale);
}

void SampleScaler::operator()(std::span<const int32_t> in, std::span<uint8_t> out) const {
  if (shift_ >= 0) {
    // floor(n / 2^j + 1/2) is n >> j plus bit j - 1 of n, with no addition
    // that could overflow; the clamp to 0..255 is two saturating packs.
    const int shift = shift_;
    size_t i = 0;
#if defined(QZR_SSE2)
    const __m128i count = _mm_cvtsi32_si128(shift), below = _mm_cvtsi32_si128(shift == 0 ? 0 : shift - 1);
    const __m128i one = _mm_set1_epi32(shift == 0 ? 0 : 1);
    auto scaled = [&](size_t k) {
      const __m128i n = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in.data() + k));
      return _mm_add_epi32(_mm_sra_epi32(n, count), _mm_and_si128(_mm_sra_epi32(n, below), one));
    };
    for (; i + 16 <= in.size(); i += 16) {
      const __m128i lo = _mm_packs_epi32(scaled(i), scaled(i + 4)), hi = _mm_packs_epi32(scaled(i + 8), scaled(i + 12));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + i), _mm_packus_epi16(lo, hi));
    }
#endif
    const int32_t top = top_, half = (int32_t{1} << shift) >> 1;
    for (; i < in.size(); ++i) out[i] = static_cast<uint8_t>((std::clamp(in[i], 0, top) + half) >> shift);
    return;
  }
  if (table_.empty()) {
    for (size_t i = 0; i < in.size(); ++i) out[i] = scale_sample(in[i], scale_);
    return;
  }
  // Negative samples read entry 0 and those above the top the last entry:
  // both clamps without a branch.
  const uint8_t* table = table_.data();
  const int32_t last = top_ + 1;
  for (size_t i = 0; i < in.size(); ++i) out[i] = table[std::clamp(in[i], 0, last)];
}

void scale_samples(std::span<const int32_t> samples, std::span<uint8_t> out, int16_t scale) {
  SampleScaler(scale, samples.size())(samples, out);
}

}  // namespace qzr
