#include "container/container_header.h"

#include <algorithm>

namespace qzr {

std::string format_size_line(const QzrHeader& h) {
  return format_text("Image width %d, height %d...", static_cast<int>(h.width), static_cast<int>(h.height));
}

Expected<QzrHeader> read_container_header(ByteReader& in, std::string_view input_name) {
  std::array<uint8_t, kHeaderSize> b{};
  if (in.read_block(b.data(), b.size()) != b.size()) {
    std::string name(input_name);
    return format_failure(format_text("error reading QZR header from file %s !\n", name.c_str()), ErrorKind::truncated);
  }
  if (!std::equal(kMagic.begin(), kMagic.end(), b.begin())) {
    return format_failure("Not quorlen wavelet image file!\n", ErrorKind::not_qzr);
  }
  QzrHeader h;
  h.width = static_cast<uint16_t>(b[8] | b[9] << 8);
  h.height = static_cast<uint16_t>(b[10] | b[11] << 8);
  h.padded_width = pad_dimension(h.width);
  h.padded_height = pad_dimension(h.height);
  if (!std::equal(kVersion.begin(), kVersion.end(), b.begin() + 28)) {
    return format_failure(
        format_size_line(h) + "\nThis decompressor supported quorlen qzr images produced with codec v1.1!\n",
        ErrorKind::unsupported_version);
  }
  return h;
}

std::array<uint8_t, kHeaderSize> make_container_header(uint16_t width, uint16_t height) {
  std::array<uint8_t, kHeaderSize> b{};
  std::copy(kMagic.begin(), kMagic.end(), b.begin());
  b[8] = static_cast<uint8_t>(width);
  b[9] = static_cast<uint8_t>(width >> 8);
  b[10] = static_cast<uint8_t>(height);
  b[11] = static_cast<uint8_t>(height >> 8);
  std::copy(kVersion.begin(), kVersion.end(), b.begin() + 28);
  return b;
}

}  // namespace qzr
