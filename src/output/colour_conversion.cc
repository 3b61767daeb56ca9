#include "output/colour_conversion.h"

#include <new>

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

void convert_row(const uint8_t* y, const uint8_t* u, const uint8_t* v, uint8_t* out, uint32_t columns) {
  auto clamp = [](int c) { return static_cast<uint8_t>(c < 0 ? 0 : c > 255 ? 255 : c); };
  for (uint32_t c = 0; c < columns; c += 2) {
    // Columns c and c + 1 share chroma pair c / 2; each product is shifted
    // on its own (arithmetic shifts: floor, not truncation).
    const int du = u[c / 2] - 128, dv = v[c / 2] - 128;
    const int blue = (359 * du) >> 8;
    const int green = -((88 * dv) >> 8) - ((183 * du) >> 8);
    const int red = (454 * dv) >> 8;
    const uint32_t last = c + 1 < columns ? c + 1 : c;
    for (uint32_t k = c; k <= last; ++k) {
      out[0] = clamp(y[k] + blue);
      out[1] = clamp(y[k] + green);
      out[2] = clamp(y[k] + red);
      out += 3;
    }
  }
}

void convert_to_bgr(const Plane& luma, const Plane& first_chroma, const Plane& second_chroma,
                    std::span<uint8_t> pixels, uint32_t padded_width, uint32_t padded_height) {
  // The planes are flat sequences: row r starts at luma sample r x
  // padded_width and chroma sample r x padded_width / 2.
  const size_t chroma_row = padded_width / 2;
  for (uint32_t r = 0; r < padded_height; ++r)
    convert_row(luma.samples.data() + size_t{r} * padded_width, first_chroma.samples.data() + r * chroma_row,
                second_chroma.samples.data() + r * chroma_row, pixels.data() + size_t{3} * r * padded_width,
                padded_width);
}

}  // namespace qzr
