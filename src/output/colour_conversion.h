// Luma and two half-width chroma planes (4:2:2) to 3-byte pixels.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/samples.h"
#include "common/colour_formula.h"
#include "common/failure.h"

namespace qzr {

struct Pixel3 {
  uint8_t b0, b1, b2;  // byte 0 (blue in the BMP), 1 (green), 2 (red)
};

// One pixel from its luma and the pair's chroma samples, by the colour
// formula's integer form.
constexpr Pixel3 convert_pixel(int y, int first_chroma, int second_chroma) {
  const colour::ChromaAdditions add = colour::chroma_additions(first_chroma, second_chroma);
  auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
  return Pixel3{clamp(y + add.byte0), clamp(y + add.byte1), clamp(y + add.byte2)};
}

// The planes must hold at least what the conversion reads: luma
// padded_width x padded_height samples, each chroma padded_width / 2 per row.
Status check_plane_sizes(const Plane& luma, const Plane& first_chroma, const Plane& second_chroma,
                         uint32_t padded_width, uint32_t padded_height);

// Converts the first `columns` pixels of one row: luma samples y[0..],
// chroma pairs u[0..] and v[0..], one pair for columns 2k and 2k + 1.
void convert_row(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, uint32_t columns);
// The same one pixel at a time through convert_pixel: the reference.
void convert_row_plain(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, uint32_t columns);

// Fills 3 x padded_width x padded_height bytes; the planes are read as flat
// sequences, the chroma positions running on across rows.
void convert_to_bgr(const Plane& luma, const Plane& first_chroma, const Plane& second_chroma, std::span<uint8_t> pixels,
                    uint32_t padded_width, uint32_t padded_height);

}  // namespace qzr
