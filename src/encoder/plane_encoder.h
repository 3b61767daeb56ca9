// One plane stream: quantization of the analysed coefficients, coefficient
// codes (single values and power-of-two zero runs), a Huffman code tree per
// band group built from the group's code frequencies and stored in
// pre-order, the codes' bits least significant first, each group starting on
// a fresh byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "encoder/forward_wavelet.h"

namespace qzr::enc {

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

// How values fall into quantization cells: zero below zero_zone steps, else
// the magnitude floor(|c| / step + 0.18 + rounding). The rate-distortion
// refinement then moves values toward zero where that pays.
struct QuantizerShape {
  double zero_zone = 0.6;
  double rounding = 0.45;
};

// The quantized value for coefficient c at a nonzero step (either sign),
// magnitude at most 16383.
int16_t quantize_value(float c, int16_t step, const QuantizerShape& shape);

// Rate-distortion refinement of one group span's quantized values, in
// place: with the group's code lengths from its current values, each nonzero
// value may move one step toward zero or become zero where the squared error
// it adds, in the band's coefficient units, costs less than `lambda` x the
// band's step squared per bit saved (zeros merge the runs around them).
// `bands` are the span's bands in order; those without `refine` keep their
// values. A band that gives its stored rows and its neighbour overlaps
// (neighbour_overlap) has its values chosen for the error the synthesis
// makes of them: each value aims at its coefficient plus the overlapping
// part of its eight neighbours' current errors, so a value may also move to
// the nearest level of that aim, and a zero become a value where that pays.
// `book`, `codes` and `errors` are scratch space, kept between calls.
struct SpanBand {
  int64_t length;
  int16_t step;
  bool refine = true;
  int64_t row = 0;    // values in a stored row; 0: the band's geometry is not given
  double along = 0;   // overlap with the next value in a stored row
  double across = 0;  // overlap with the value a stored row further
};
class CodeBook;
struct PlaneLayout;
// A band of a plane with its step, its stored rows and its overlaps.
SpanBand span_band(const PlaneLayout& layout, int band, int16_t step);
void refine_span(std::span<int16_t> quantized, std::span<const float> coefficients, std::span<const SpanBand> bands,
                 double lambda, CodeBook& book, std::vector<uint16_t>& codes, std::vector<float>& errors);

// Codes of one group span in stored order. Zero runs are split into powers of
// two, largest first; the span's trailing run is one code.
void append_span_codes(std::span<const int16_t> quantized, const TestKnobs& knobs, std::vector<uint16_t>& codes);

// A Huffman code for the codes of one group.
class CodeBook {
 public:
  CodeBook();
  void build(std::span<const uint16_t> codes);
  // Pre-order: 0x00 internal node then its zero and one subtrees; 0x01 leaf
  // then the code, low byte first.
  const std::vector<uint8_t>& tree() const { return tree_; }
  // Appends the codes' bits, least significant bit of each byte first,
  // completing the last byte with zero bits.
  void write_codes(std::span<const uint16_t> codes, std::vector<uint8_t>& out) const;
  int length(uint16_t code) const { return length_[code]; }

 private:
  std::vector<uint64_t> count_;
  std::vector<uint64_t> bits_;
  std::vector<uint8_t> length_;
  std::vector<uint16_t> used_;
  std::vector<uint8_t> tree_;
};

struct PlaneLayout {
  int width = 0;
  int height = 0;
  int levels = 0;
  int16_t scale = 1;
};

// Appends one plane stream: the 8-byte header and the band groups. `book`,
// when given, is the scratch space for the groups' codes.
void write_plane_stream(std::vector<uint8_t>& out, const PlaneLayout& layout, std::span<const int16_t> steps,
                        std::span<const int16_t> quantized, const TestKnobs& knobs, CodeBook* book = nullptr);

// A plane's steps (by band index) and quantized values (in the band layout).
struct QuantizedPlane {
  std::vector<int16_t> steps;
  RawVector<int16_t> values;
};

// refine_span's scratch space, one for each thread refining a plane.
struct RefineScratch {
  CodeBook book;
  std::vector<uint16_t> codes;
  std::vector<float> errors;
};

// Working storage of one plane's coding, kept from one attempt of the
// bit-rate search to the next so that the large buffers are neither
// allocated nor cleared again each time. A plane is coded by one caller at a
// time, with its own.
struct PlaneScratch {
  CodeBook book;            // the plane stream's
  RefineScratch refine[2];  // refine_span's, one for each thread
  QuantizedPlane quantized;
  RawVector<float> coefficients;  // a changed plane's (PlaneEncoder::change)
  RawVector<float> scaled;
  AnalysisScratch analysis;
  RawVector<int32_t> levels_odd, levels_even;
  RawVector<uint8_t> samples;  // reconstruct's
};

// The 8-bit samples the decoder makes of a quantized plane, in
// scratch.samples.
void reconstruct(const PlaneLayout& layout, const QuantizedPlane& plane, PlaneScratch& scratch);

// Holds one plane's analysed coefficients so that it can be coded at many
// step sizes (the bit-rate search) without analysing it again.
class PlaneEncoder {
 public:
  // `target` holds width x height samples in units 0..255.
  PlaneEncoder(std::span<const float> target, int width, int height, int levels, int16_t scale);

  // The coefficients of the plane with `change` (width x height samples, in
  // units 0..255) added to its target, in scratch.coefficients.
  void change(std::span<const float> change, PlaneScratch& scratch) const;

  // Steps for a base step of `delta` sample units at the finest level, each
  // band's step shrinking with the weight of its coefficients; at least 1 and
  // large enough that no magnitude of `coefficients` exceeds 16383.
  std::vector<int16_t> steps_for(double delta, bool negative, std::span<const float> coefficients) const;

  // Quantizes `coefficients` (the plane's own when empty) at the steps for
  // `delta` and refines each band group's values for rate (refine_span;
  // lambda 0 leaves them), into scratch.quantized; with `two_threads` the
  // finest level's group on a second thread (the same values).
  const QuantizedPlane& quantize_refined(double delta, const QuantizerShape& shape, bool negative_steps, double lambda,
                                         PlaneScratch& scratch, std::span<const float> coefficients = {},
                                         bool two_threads = false) const;

  const PlaneLayout& layout() const { return layout_; }
  std::span<const float> coefficients() const { return coefficients_; }

 private:
  PlaneLayout layout_;
  RawVector<float> coefficients_;
  std::vector<double> energy_;
};

}  // namespace qzr::enc
