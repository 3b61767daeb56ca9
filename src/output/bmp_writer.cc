#include "output/bmp_writer.h"

#include <algorithm>
#include <vector>

#include "common/threads.h"
#include "common/zeroed_storage.h"

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
  // With threads, one more converts blocks of rows ahead of the one being
  // written, each written at once past the writer's buffer, in a ring of
  // 2 MiB: a single huge page where the system gives them, since faulting
  // in fresh memory page by page costs about as much as the writes.
  constexpr size_t kRing = size_t{2} << 20, kDepth = 4;
  const uint32_t block_rows = static_cast<uint32_t>(
      std::min<size_t>(height, std::max<size_t>(1, kRing / kDepth / std::max<size_t>(row_size, 1))));
  const uint32_t blocks = height == 0 ? 0 : (height - 1) / block_rows + 1;
  if (threads <= 1 || blocks <= 1) {
    std::vector<uint8_t> row(row_size, 0);  // the fill bytes stay 0
    for (uint32_t r = 0; r < height; ++r) {
      write_picture_row(picture, r, PixelOrder::bgr, row.data(), nullptr);
      out.write(row.data(), row.size());
    }
    return;
  }
  const ZeroedArray<uint8_t> ring(kDepth * block_rows * row_size);  // the fill bytes stay 0
  auto block = [&](uint64_t k) { return ring.get() + k % kDepth * block_rows * row_size; };
  auto rows_of = [&](uint64_t k) {
    return std::min<uint32_t>(height - static_cast<uint32_t>(k) * block_rows, block_rows);
  };
  produce_ahead(
      blocks, kDepth,
      [&](uint64_t k) {
        for (uint32_t r = 0; r < rows_of(k); ++r)
          write_picture_row(picture, static_cast<uint32_t>(k) * block_rows + r, PixelOrder::bgr,
                            block(k) + r * row_size, nullptr);
      },
      [&](uint64_t k) { out.write(block(k), rows_of(k) * row_size); });
}

}  // namespace qzr
