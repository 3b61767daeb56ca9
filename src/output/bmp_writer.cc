#include "output/bmp_writer.h"

#include <algorithm>
#include <vector>

#include "common/threads.h"

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
                           uint32_t padded_width, int threads) {
  const auto header = make_bmp_header(width, height);
  out.write(header.data(), header.size());
  const size_t row_size = bmp_row_size(width);
  const PictureSource picture{planes, width, height, padded_width};
  // Rows in blocks of about 1 MiB; with threads, the next block is converted
  // on another while this one is written.
  const uint32_t block_rows =
      static_cast<uint32_t>(std::max<size_t>(1, (size_t{1} << 20) / std::max<size_t>(row_size, 1)));
  if (threads <= 1 || height <= block_rows) {
    std::vector<uint8_t> row(row_size, 0);  // the fill bytes stay 0
    for (uint32_t r = 0; r < height; ++r) {
      write_picture_row(picture, r, PixelOrder::bgr, row.data(), nullptr);
      out.write(row.data(), row.size());
    }
    return;
  }
  std::vector<uint8_t> blocks(2 * block_rows * row_size, 0);
  auto block = [&](uint32_t first) { return blocks.data() + (first / block_rows % 2) * block_rows * row_size; };
  auto rows_from = [&](uint32_t first) { return std::min(height - first, block_rows); };
  auto convert = [&](uint32_t first) {
    for (uint32_t r = 0; r < rows_from(first); ++r)
      write_picture_row(picture, first + r, PixelOrder::bgr, block(first) + r * row_size, nullptr);
  };
  convert(0);
  for (uint32_t first = 0; first < height; first += block_rows) {
    Background next;
    if (const uint32_t following = first + block_rows; following < height)
      next.start([&, following] { convert(following); });
    out.write(block(first), rows_from(first) * row_size);
  }
}

}  // namespace qzr
