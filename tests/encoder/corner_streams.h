// Files that reach the format's corners, for the decoder's tests: the
// encoder's quantized planes written with other band groupings, empty
// groups, codes that stand for nothing, overrunning runs, excess codes,
// single-leaf trees, and junk before and between the segments.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/failure.h"
#include "encoder/encoder.h"
#include "encoder/plane_stream.h"

namespace qzr::enc::testing {

// How the bands of a plane are split into band groups (always adjacent bands
// in layout order).
enum class Grouping {
  kPerLevel,  // the encoder's own: bands 0..3, then the three bands of each further level
  kAllInOne,  // one group for every band
  kPerBand,   // one group per band
  kUneven,    // CornerKnobs::group_sizes
};

// None of these changes the decoded picture except `scale` (precision) and
// `single_leaf_runs` (none); the defaults make the encoder's ordinary file.
struct CornerKnobs {
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
std::vector<std::vector<int>> corner_band_groups(int levels, const CornerKnobs& knobs);

// Codes of one group span in stored order, with the knobs' odd codes.
void append_corner_codes(std::span<const int16_t> quantized, const CornerKnobs& knobs, std::vector<uint16_t>& codes);

// Appends one plane stream written with the knobs.
void write_corner_stream(std::vector<uint8_t>& out, const PlaneLayout& layout, std::span<const int16_t> steps,
                         std::span<const int16_t> quantized, const CornerKnobs& knobs);

// The whole file at options.quality and options.levels (no bit-rate
// target), written with the knobs. The picture must be valid.
Expected<std::vector<uint8_t>> encode_corners(const Image& image, const EncodeOptions& options, const CornerKnobs& knobs);

}  // namespace qzr::enc::testing
