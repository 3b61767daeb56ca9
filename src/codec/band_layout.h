// Plane stream syntax and band layout, shared by the plane decoder and the
// encoder.
//
//   plane stream := 0xFF, levels (s8), width (s16), height (s16), scale (s16),
//                   band group...            (integers big-endian)
//   band group   := band header... , 0x00, symbol count (s32), code tree, codes
//   band header  := 0x80 | band index, step (s16)
//
// Band index 0 is the approximation band; 1 + 3k + o is orientation o of
// detail level k, level 0 being the coarsest. With count = width * height,
// level k's bands hold s(k) = count >> 2(L - k) coefficients; band 0 lies at
// offset 0 and band 1 + 3k + o at offset (o + 1) * s(k).
#pragma once

#include <cstdint>

namespace qzr {

constexpr uint8_t kPlaneMarker = 0xFF;
constexpr uint8_t kBandHeaderFlag = 0x80;
constexpr uint8_t kBandIndexMask = 0x7F;
constexpr uint8_t kHeaderListEnd = 0x00;
constexpr int kMaxLevels = 15;  // keeps the shift counts 2(L - k) below 32

// Tree node bytes of the stored (pre-order) code tree.
constexpr uint8_t kTreeInternal = 0x00;
constexpr uint8_t kTreeLeaf = 0x01;

// Coefficient codes: bit 15 set is a run of 2^e zeros (e = bits 4..0; e = 31
// stands for nothing); otherwise bit 14 is the sign and bits 13..0 the magnitude.
constexpr uint16_t kZeroRunFlag = 0x8000;
constexpr uint16_t kRunExponentMask = 0x1F;
constexpr uint16_t kEmptyRunExponent = 31;
constexpr uint16_t kNegativeFlag = 0x4000;
constexpr uint16_t kMagnitudeMask = 0x3FFF;
constexpr int kMaxMagnitude = 0x3FFF;

// The coefficient a value code stands for: bit 14 the sign, bits 13..0 the magnitude.
constexpr int16_t code_value(uint16_t code) {
  const int32_t magnitude = code & kMagnitudeMask;
  return static_cast<int16_t>((code & kNegativeFlag) ? -magnitude : magnitude);
}

constexpr int band_count(int levels) { return 3 * levels + 1; }
// Level of a band index (0 for the approximation band); truncating division.
constexpr int band_level(int band) { return (band - 1) / 3; }
constexpr int32_t band_size(int32_t count, int levels, int level) { return count >> (2 * (levels - level)); }
constexpr int32_t band_offset(int32_t count, int levels, int band) {
  return band == 0 ? 0 : ((band - 1) % 3 + 1) * band_size(count, levels, band_level(band));
}

}  // namespace qzr
