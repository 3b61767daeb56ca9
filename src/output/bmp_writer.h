// Uncompressed 24-bit BMP: 14-byte file header, 40-byte info header, rows
// padded to 4 bytes, buffer row 0 first (shown at the bottom).
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "common/samples.h"
#include "common/byte_io.h"

namespace qzr {

constexpr uint32_t kBmpHeaderSize = 54;

constexpr uint32_t bmp_row_size(uint32_t width) { return (3 * width + 3) & ~3u; }

// The 54 header bytes; the size fields are 32-bit as the format has them.
std::array<uint8_t, kBmpHeaderSize> make_bmp_header(uint32_t width, uint32_t height);

// Header and the visible rows of the pixel buffer into `out`.
void write_bmp_rows(ByteWriter& out, std::span<const uint8_t> pixels, uint32_t width, uint32_t height,
                    uint32_t padded_width);

// The same picture converted row by row straight from the three planes, with
// no padded pixel buffer: the same bytes in a fraction of the memory. The
// planes must have passed check_plane_sizes. (They bound the picture to
// under 2^30 pixels, so the 32-bit size fields always hold.) With
// `threads` above 1, rows are converted on a second thread while the
// previous ones are written.
void write_bmp_from_planes(ByteWriter& out, const Plane (&planes)[3], uint32_t width, uint32_t height,
                           uint32_t padded_width, int threads = 1);

}  // namespace qzr
