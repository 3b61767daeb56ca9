#include "output/bmp_writer.h"

#include <cstdio>
#include <filesystem>
#include <vector>

#include "output/colour_conversion.h"

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
  const size_t chroma_row = padded_width / 2;
  for (uint32_t r = 0; r < height; ++r) {
    convert_row(planes[0].samples.data() + size_t{r} * padded_width, planes[1].samples.data() + r * chroma_row,
                planes[2].samples.data() + r * chroma_row, row.data(), width);
    out.write(row.data(), row.size());
  }
}

namespace {

// Creates the file, lets `fill` write it, and checks every write and the
// close. A truncated picture must not be left looking like a good one, so a
// failed write removes what was written of a plain file (a device such as
// /dev/full is left alone).
template <class Fill>
Status write_output_file(const std::string& output_name, Fill&& fill) {
  std::FILE* f = std::fopen(output_name.c_str(), "wb");
  if (f == nullptr) return format_failure(format_text("\nerror opening output file %s !\n", output_name.c_str()));
  ByteWriter out = file_writer(f, 1 << 18);
  fill(out);
  out.flush();
  const bool closed = close_checked(f);
  if (out.failed || !closed) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(std::filesystem::symlink_status(output_name, ec)))
      std::filesystem::remove(output_name, ec);
    return format_failure(format_text("\nerror writing output file %s !\n", output_name.c_str()));
  }
  return Status::success();
}

}  // namespace

Status write_bmp(const std::string& output_name, std::span<const uint8_t> pixels, uint32_t width,
                 uint32_t height, uint32_t padded_width) {
  return write_output_file(output_name,
                           [&](ByteWriter& out) { write_bmp_rows(out, pixels, width, height, padded_width); });
}

Status write_bmp(const std::string& output_name, const Plane (&planes)[3], uint32_t width, uint32_t height,
                 uint32_t padded_width) {
  return write_output_file(output_name,
                           [&](ByteWriter& out) { write_bmp_from_planes(out, planes, width, height, padded_width); });
}

}  // namespace qzr
