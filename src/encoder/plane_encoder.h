// One plane's coding: its analysed coefficients, quantized at the steps of
// a base step (quantizer.h) into the values a plane stream holds
// (plane_stream.h), with the working storage kept between the attempts of
// the bit-rate search.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/raw_vector.h"
#include "encoder/code_book.h"
#include "encoder/forward_wavelet.h"
#include "encoder/plane_stream.h"
#include "encoder/quantizer.h"

namespace qzr::enc {

// A plane's steps (by band index) and quantized values (in the band layout).
struct QuantizedPlane {
  std::vector<int16_t> steps;
  RawVector<int16_t> values;
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
