// The picture's rows from its three planes, in the pixel order and stride a
// caller asks for: the one row writer behind the BMP file, the
// library's pictures and a caller's own buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/samples.h"

namespace qzr {

enum class PixelOrder { rgb, bgr, rgba, bgra };  // the alpha byte is 255

constexpr size_t pixel_bytes(PixelOrder order) { return order == PixelOrder::rgb || order == PixelOrder::bgr ? 3 : 4; }

// The planes as a picture of width x height: the plane rows and their
// sizes, which must have passed check_plane_sizes.
struct PictureSource {
  const Plane (&planes)[3];
  uint32_t width, height, padded_width;
};

// One row, plane row `plane_row`, into `out` (width x pixel_bytes bytes).
// `scratch` holds 3 x width bytes for the four-byte orders.
void write_picture_row(const PictureSource& picture, uint32_t plane_row, PixelOrder order, uint8_t* out,
                       uint8_t* scratch);

// Every row, upright, `stride` bytes apart from `pixels` (stride >= width x
// pixel_bytes): the planes' first row is the picture's bottom row (the BMP
// writer's order, which it takes row by row), so the last comes first. The
// bytes between rows are left as they are.
void write_picture_rows(const PictureSource& picture, PixelOrder order, uint8_t* pixels, size_t stride);

// Swaps the first and third byte of each of `count` three-byte pixels: RGB
// to BGR and back.
void swap_red_blue(uint8_t* pixels, size_t count);

}  // namespace qzr
