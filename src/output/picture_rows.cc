#include "output/picture_rows.h"

#include <utility>
#include <vector>

#include "output/colour_conversion.h"

namespace qzr {

void swap_red_blue(uint8_t* pixels, size_t count) {
  for (size_t k = 0; k < count; ++k, pixels += 3) std::swap(pixels[0], pixels[2]);
}

void write_picture_row(const PictureSource& picture, uint32_t plane_row, PixelOrder order, uint8_t* out,
                       uint8_t* scratch) {
  // The planes are flat sequences: row r starts at luma sample r x
  // padded_width and chroma sample r x padded_width / 2. The conversion
  // gives blue, green, red.
  const size_t chroma_row = picture.padded_width / 2;
  const uint32_t width = picture.width;
  uint8_t* bgr = pixel_bytes(order) == 3 ? out : scratch;
  convert_row(picture.planes[0].samples.data() + size_t{plane_row} * picture.padded_width,
              picture.planes[1].samples.data() + plane_row * chroma_row,
              picture.planes[2].samples.data() + plane_row * chroma_row, bgr, width);
  switch (order) {
    case PixelOrder::bgr: break;
    case PixelOrder::rgb: swap_red_blue(out, width); break;
    case PixelOrder::bgra:
    case PixelOrder::rgba: {
      const int red = order == PixelOrder::rgba ? 0 : 2;
      for (uint32_t x = 0; x < width; ++x, out += 4, bgr += 3) {
        out[red] = bgr[2];
        out[1] = bgr[1];
        out[2 - red] = bgr[0];
        out[3] = 255;
      }
      break;
    }
  }
}

void write_picture_rows(const PictureSource& picture, PixelOrder order, uint8_t* pixels, size_t stride) {
  std::vector<uint8_t> scratch(pixel_bytes(order) == 3 ? 0 : size_t{3} * picture.width);
  for (uint32_t k = 0; k < picture.height; ++k) {
    write_picture_row(picture, picture.height - 1 - k, order, pixels + stride * k, scratch.data());
  }
}

}  // namespace qzr
