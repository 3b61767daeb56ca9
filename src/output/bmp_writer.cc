#include "output/bmp_writer.h"

#include <vector>

#include "output/picture_rows.h"

namespace qzr {
namespace {

void put_le(uint8_t* p, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::array<uint8_t, kBmpHeaderSize> make_bmp_header(uint32_t width, uint32_t height) {
  std::array<uint8_t, kBmpHeaderSize> h{};
  const uint32_t image = bmp_row_size(width) * height;
  h[0] = 'B';
  h[1] = 'M';
  put_le(&h[2], kBmpHeaderSize + image, 4);  // bfSize
  put_le(&h[10], kBmpHeaderSize, 4);         // bfOffBits
  put_le(&h[14], 40, 4);                     // biSize
  put_le(&h[18], width, 4);
  put_le(&h[22], height, 4);
  put_le(&h[26], 1, 2);   // biPlanes
  put_le(&h[28], 24, 2);  // biBitCount
  put_le(&h[34], image, 4);
  return h;
}

void write_bmp_rows(ByteWriter& out, std::span<const uint8_t> pixels, uint32_t width, uint32_t height,
                    uint32_t padded_width) {
  const auto header = make_bmp_header(width, height);
  out.write(header.data(), header.size());
  const uint8_t zeros[3] = {0, 0, 0};
  const size_t row_bytes = 3 * size_t{width};
  const size_t fill = bmp_row_size(width) - row_bytes;
  for (uint32_t r = 0; r < height; ++r) {
    out.write(pixels.data() + size_t{r} * 3 * padded_width, row_bytes);
    out.write(zeros, fill);
  }
}

void write_bmp_from_planes(ByteWriter& out, const Plane (&planes)[3], uint32_t width, uint32_t height,
                           uint32_t padded_width) {
  const auto header = make_bmp_header(width, height);
  out.write(header.data(), header.size());
  std::vector<uint8_t> row(bmp_row_size(width), 0);  // the fill bytes stay 0
  const PictureSource picture{planes, width, height, padded_width};
  for (uint32_t r = 0; r < height; ++r) {
    write_picture_row(picture, r, PixelOrder::bgr, row.data(), nullptr);
    out.write(row.data(), row.size());
  }
}

}  // namespace qzr
