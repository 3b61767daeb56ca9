// The 32-byte container header at the start of every QZR file:
//
//   offset  size  field
//        0     4  magic "vkQZ"
//        4     4  (not examined)
//        8     2  width,  unsigned little-endian (visible pixels)
//       10     2  height, unsigned little-endian
//       12    16  (not examined)
//       28     4  version "0011"
//
// The LZARI payload follows at byte 32.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/byte_io.h"
#include "common/failure.h"

namespace qzr {

constexpr size_t kHeaderSize = 32;
constexpr std::array<uint8_t, 4> kMagic = {'v', 'k', 'Q', 'Z'};
constexpr std::array<uint8_t, 4> kVersion = {'0', '0', '1', '1'};

struct QzrHeader {
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t padded_width = 0;   // width rounded up to a multiple of 256 (up to 65536)
  uint32_t padded_height = 0;  // height likewise
};

// d itself when its low 8 bits are zero, else the next multiple of 256.
constexpr uint32_t pad_dimension(uint32_t d) { return (d & 0xFF) == 0 ? d : (d & ~0xFFu) + 256; }

// The largest plane worth decoding for an image: the conversion reads at
// most padded_width x padded_height samples of a plane, so a plane beyond a
// few times that only costs memory. Bounds the decoder's memory by the
// image size the header gives.
constexpr int64_t kPlaneSizeFactor = 4;
constexpr int64_t plane_sample_limit(const QzrHeader& h) {
  const int64_t needed = int64_t{h.padded_width} * h.padded_height;
  return needed * kPlaneSizeFactor > (int64_t{1} << 16) ? needed * kPlaneSizeFactor : (int64_t{1} << 16);
}

// "Image width %d, height %d..." (no line end; the time report completes it).
std::string format_size_line(const QzrHeader& h);

// Reads and checks the header. The version failure's text begins with the
// size line, which the format prints after the magic check and before the
// version check; on success the caller prints format_size_line itself.
Expected<QzrHeader> read_container_header(ByteReader& in, std::string_view input_name);

// Builds a header with the given size (used by the encoder and tests).
std::array<uint8_t, kHeaderSize> make_container_header(uint16_t width, uint16_t height);

}  // namespace qzr
