// One plane stream's layout and bytes: the band groups, the coefficient
// codes of a group's span (single values and power-of-two zero runs), and the
// stream itself, an 8-byte header then each group's band headers, code tree
// and code bits, each group starting on a fresh byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/band_layout.h"
#include "encoder/code_book.h"

namespace qzr::enc {

// A plane's size, wavelet levels and scale, as its stream header holds them.
struct PlaneLayout {
  int width = 0;
  int height = 0;
  int levels = 0;
  int16_t scale = 1;
};

// The band groups, as lists of band indices: bands 0..3, then the three
// bands of each further level.
std::vector<std::vector<int>> band_groups(int levels);

// Where a band group's values lie in the plane: offset and length.
struct GroupSpan {
  size_t offset;
  size_t length;
};
GroupSpan group_span(int32_t count, int levels, std::span<const int> bands);

constexpr int kLargestRunExponent = 30;  // 2^30 zeros; 31 stands for nothing

// The code of a single value, and of a run of 2^exponent zeros.
inline uint16_t value_code(int16_t v) {
  return v < 0 ? static_cast<uint16_t>(kNegativeFlag | (-v & kMagnitudeMask)) : static_cast<uint16_t>(v);
}
inline uint16_t run_code(int exponent) { return static_cast<uint16_t>(kZeroRunFlag | exponent); }

// Codes of one group span in stored order. Zero runs are split into powers of
// two, largest first; the span's trailing run is one code, the next power of
// two at or above its length.
void append_span_codes(std::span<const int16_t> quantized, std::vector<uint16_t>& codes);

// A plane stream's 8-byte header.
void append_plane_header(std::vector<uint8_t>& out, const PlaneLayout& layout);

// One band group: the headers of `bands` with their steps (none: the group
// fills the span of the group before it), the code count, the code tree and
// the code bits, built in `book`.
void append_band_group(std::vector<uint8_t>& out, std::span<const int> bands, std::span<const int16_t> steps,
                       std::span<const uint16_t> codes, CodeBook& book);

// Appends one plane stream: the 8-byte header and the band groups. `book`,
// when given, is the scratch space for the groups' codes.
void write_plane_stream(std::vector<uint8_t>& out, const PlaneLayout& layout, std::span<const int16_t> steps,
                        std::span<const int16_t> quantized, CodeBook* book = nullptr);

}  // namespace qzr::enc
