// Quantization of a plane's analysed coefficients: the cells values fall
// into, and the rate-distortion refinement of a band group's values.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "encoder/code_book.h"
#include "encoder/plane_stream.h"

namespace qzr::enc {

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
// A band of a plane with its step, its stored rows and its overlaps.
SpanBand span_band(const PlaneLayout& layout, int band, int16_t step);
void refine_span(std::span<int16_t> quantized, std::span<const float> coefficients, std::span<const SpanBand> bands,
                 double lambda, CodeBook& book, std::vector<uint16_t>& codes, std::vector<float>& errors);

// refine_span's scratch space, one for each thread refining a plane.
struct RefineScratch {
  CodeBook book;
  std::vector<uint16_t> codes;
  std::vector<float> errors;
};

}  // namespace qzr::enc
