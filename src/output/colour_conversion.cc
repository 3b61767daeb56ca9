#include "output/colour_conversion.h"

#include <new>

#include "common/simd.h"

namespace qzr {

Status check_plane_sizes(const Plane& luma, const Plane& first_chroma, const Plane& second_chroma,
                         uint32_t padded_width, uint32_t padded_height) {
  const uint64_t luma_needed = uint64_t{padded_width} * padded_height;
  const uint64_t chroma_needed = uint64_t{padded_width / 2} * padded_height;
  const char* short_plane = nullptr;
  if (luma.samples.size() < luma_needed)
    short_plane = "YSeg";
  else if (first_chroma.samples.size() < chroma_needed)
    short_plane = "USeg";
  else if (second_chroma.samples.size() < chroma_needed)
    short_plane = "VSeg";
  if (short_plane == nullptr) return Status::success();
  return format_failure(format_text("\nPlane of segment %s is too small for a %u x %u image !\n", short_plane,
                                    padded_width, padded_height));
}

namespace {

void convert_pixels(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, uint32_t columns) {
  for (uint32_t k = 0; k < columns; ++k) {
    const Pixel3 p = convert_pixel(y[k], u[k / 2], v[k / 2]);
    out[3 * k] = p.b0;
    out[3 * k + 1] = p.b1;
    out[3 * k + 2] = p.b2;
  }
}

#if defined(QZR_SSE2)
// 16 pixels (8 chroma pairs) at a time. (d * c) >> 8 for a chroma difference
// d of -128..127 is the high half of (d << 8) * c, which fits 16 bits; the
// clamp is the unsigned saturation of the pack. Stores write 2 bytes past the
// 48 of the block, which the next block's pixels overwrite.
uint32_t convert_blocks(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, uint32_t columns) {
  using namespace colour;
  static_assert(kShift == 8, "the high half of a 16-bit product is the shift by 8 of a value times 2^8");
  const __m128i zero = _mm_setzero_si128(), bias = _mm_set1_epi16(kChromaZero);
  const __m128i kb = _mm_set1_epi16(kBlueFromU), kgu = _mm_set1_epi16(kGreenFromU), kgv = _mm_set1_epi16(kGreenFromV),
                kr = _mm_set1_epi16(kRedFromV);
  const __m128i low3 = _mm_set1_epi64x(0x0000000000FFFFFF), high3 = _mm_set1_epi64x(0x0000FFFFFF000000);
  uint32_t k = 0;
  for (; k + 16 < columns; k += 16) {
    const __m128i du = _mm_slli_epi16(
        _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(u + k / 2)), zero), bias), 8);
    const __m128i dv = _mm_slli_epi16(
        _mm_sub_epi16(_mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(v + k / 2)), zero), bias), 8);
    const __m128i cb = _mm_mulhi_epi16(du, kb), cr = _mm_mulhi_epi16(dv, kr);
    const __m128i cg = _mm_sub_epi16(_mm_sub_epi16(zero, _mm_mulhi_epi16(dv, kgv)), _mm_mulhi_epi16(du, kgu));
    const __m128i luma = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + k));
    const __m128i ylo = _mm_unpacklo_epi8(luma, zero), yhi = _mm_unpackhi_epi8(luma, zero);
    auto channel = [&](__m128i c) {
      return _mm_packus_epi16(_mm_add_epi16(ylo, _mm_unpacklo_epi16(c, c)),
                              _mm_add_epi16(yhi, _mm_unpackhi_epi16(c, c)));
    };
    const __m128i b = channel(cb), g = channel(cg), r = channel(cr);
    const __m128i bg_lo = _mm_unpacklo_epi8(b, g), bg_hi = _mm_unpackhi_epi8(b, g);
    const __m128i r_lo = _mm_unpacklo_epi8(r, zero), r_hi = _mm_unpackhi_epi8(r, zero);
    const __m128i quads[4] = {_mm_unpacklo_epi16(bg_lo, r_lo), _mm_unpackhi_epi16(bg_lo, r_lo),
                              _mm_unpacklo_epi16(bg_hi, r_hi), _mm_unpackhi_epi16(bg_hi, r_hi)};
    uint8_t* o = out + size_t{3} * k;
    for (int j = 0; j < 4; ++j) {
      // Two pixels of 4 bytes in each 64-bit half become 6 bytes.
      const __m128i q = _mm_or_si128(_mm_and_si128(quads[j], low3), _mm_and_si128(_mm_srli_epi64(quads[j], 8), high3));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 12 * j), q);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 12 * j + 6), _mm_srli_si128(q, 8));
    }
  }
  return k;
}
#else
uint32_t convert_blocks(const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*, uint32_t) { return 0; }
#endif

}  // namespace

void convert_row_plain(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, uint32_t columns) {
  convert_pixels(y, u, v, out, columns);
}

void convert_row(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, uint32_t columns) {
  const uint32_t done = convert_blocks(y, u, v, out, columns);  // even
  convert_pixels(y + done, u + done / 2, v + done / 2, out + size_t{3} * done, columns - done);
}

void convert_to_bgr(const Plane& luma, const Plane& first_chroma, const Plane& second_chroma, std::span<uint8_t> pixels,
                    uint32_t padded_width, uint32_t padded_height) {
  // The planes are flat sequences: row r starts at luma sample r x
  // padded_width and chroma sample r x padded_width / 2.
  const size_t chroma_row = padded_width / 2;
  for (uint32_t r = 0; r < padded_height; ++r)
    convert_row(luma.samples.data() + size_t{r} * padded_width, first_chroma.samples.data() + r * chroma_row,
                second_chroma.samples.data() + r * chroma_row, pixels.data() + size_t{3} * r * padded_width,
                padded_width);
}

}  // namespace qzr
