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

void convert_to_bgr(const Plane& luma, const Plane& first_chroma, const Plane& second_chroma,
                    std::span<uint8_t> pixels, uint32_t padded_width, uint32_t padded_height) {
  const uint8_t* y = luma.samples.data();
  const uint8_t* u = first_chroma.samples.data();
  const uint8_t* v = second_chroma.samples.data();
  uint8_t* out = pixels.data();
  const uint64_t pairs = uint64_t{padded_width / 2} * padded_height;
  for (uint64_t i = 0; i < pairs; ++i) {
    const int du = u[i] - 128, dv = v[i] - 128;
    const int blue = (359 * du) >> 8;
    const int green = -((88 * dv) >> 8) - ((183 * du) >> 8);
    const int red = (454 * dv) >> 8;
    for (int k = 0; k < 2; ++k) {
      const int luma_sample = y[2 * i + static_cast<uint64_t>(k)];
      auto clamp = [](int c) { return static_cast<uint8_t>(c < 0 ? 0 : c > 255 ? 255 : c); };
      out[0] = clamp(luma_sample + blue);
      out[1] = clamp(luma_sample + green);
      out[2] = clamp(luma_sample + red);
      out += 3;
    }
  }
}

Result<std::vector<uint8_t>> planes_to_pixels(Plane (&planes)[3], uint32_t padded_width, uint32_t padded_height) {
  if (Status sizes = check_plane_sizes(planes[0], planes[1], planes[2], padded_width, padded_height); !sizes.ok())
    return sizes.failure;
  std::vector<uint8_t> pixels;
  try {
    pixels.resize(size_t{3} * padded_width * padded_height);
  } catch (const std::bad_alloc&) {
    return format_failure("\nOut of memory for the pixel buffer !\n");
  }
  convert_to_bgr(planes[0], planes[1], planes[2], pixels, padded_width, padded_height);
  for (Plane& p : planes) std::vector<uint8_t>().swap(p.samples);
  return pixels;
}

}  // namespace qzr
