// One plane stream's layout and bytes: the band groups, the coefficient
// codes of a group's span (single values and power-of-two zero runs), and the
// stream itself, an 8-byte header then each group's band headers, code tree
// and code bits, each group starting on a fresh byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

// How the bands of a plane are split into band groups (always adjacent bands
// in layout order).
enum class Grouping {
  kPerLevel,  // bands 0..3, then the three bands of each further level
  kAllInOne,  // one group for every band
  kPerBand,   // one group per band
  kUneven,    // TestKnobs::group_sizes
};

// Corners of the format for the decoder's tests. None of them changes the
// decoded picture except `scale` (precision) and `single_leaf_runs` (none).
struct TestKnobs {
  Grouping grouping = Grouping::kPerLevel;
  // kUneven: bands per group in layout order, the last group taking what is
  // left; empty means 1, 2, 4, then 5 and 2 in turn.
  std::vector<int> group_sizes;
  // A group with no band headers before the first group (its codes fill the
  // empty span) and one after the first group that fills that group's span
  // again with the same codes.
  bool empty_groups = false;
  // Codes with exponent 31 (0x801F, 0xFFFF), which stand for nothing, among
  // the codes.
  bool empty_run_codes = false;
  // Every group's trailing zeros as one run of 2^30, cut at the span's end
  // (by default the trailing run is the next power of two).
  bool overrunning_runs = false;
  // Codes after the span is full, which the decoder reads and drops.
  bool excess_codes = false;
  // Negative steps (the coefficients change sign with them).
  bool negative_steps = false;
  // The planes' scale in place of the default; 0 and negative values work as
  // the final scaling defines them.
  std::optional<int16_t> scale;
  // All-zero groups as one single-zero run per coefficient: a single-leaf
  // tree with many codes and no code bits.
  bool single_leaf_runs = false;
  // Bytes of junk (never a segment marker) before and between the segments.
  int junk_bytes = 0;
};

// Band groups as lists of band indices.
std::vector<std::vector<int>> band_groups(int levels, const TestKnobs& knobs);

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
// two, largest first; the span's trailing run is one code.
void append_span_codes(std::span<const int16_t> quantized, const TestKnobs& knobs, std::vector<uint16_t>& codes);

// Appends one plane stream: the 8-byte header and the band groups. `book`,
// when given, is the scratch space for the groups' codes.
void write_plane_stream(std::vector<uint8_t>& out, const PlaneLayout& layout, std::span<const int16_t> steps,
                        std::span<const int16_t> quantized, const TestKnobs& knobs, CodeBook* book = nullptr);

}  // namespace qzr::enc
