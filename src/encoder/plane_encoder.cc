#include "encoder/plane_encoder.h"

#include <algorithm>
#include <cmath>
#include <future>

#include "codec/band_layout.h"
#include "codec/wavelet_synthesis.h"
#include "encoder/forward_wavelet.h"

namespace qzr::enc {

PlaneEncoder::PlaneEncoder(std::span<const float> target, int width, int height, int levels, int16_t scale) {
  layout_ = PlaneLayout{width, height, levels, scale};
  // Samples are stored multiplied by the scale; the decoder divides it out
  // with rounding. A zero scale turns every positive sample into 255 and
  // every other into 0, so the target is then the sample less its midpoint.
  RawVector<float> scaled(target.size());
  for (size_t i = 0; i < target.size(); ++i)
    scaled[i] = scale == 0 ? target[i] - 127.5f : target[i] * static_cast<float>(scale);
  coefficients_ = analyse_refined(scaled, width, height, levels, 1);
  energy_ = band_energies(levels);
}

void PlaneEncoder::change(std::span<const float> change, PlaneScratch& scratch) const {
  const float unit = layout_.scale == 0 ? 1.0f : static_cast<float>(layout_.scale);
  scratch.scaled.resize(change.size());
  for (size_t i = 0; i < change.size(); ++i) scratch.scaled[i] = change[i] * unit;
  // The analysis is linear: the change's coefficients add to the plane's.
  scratch.coefficients = coefficients_;
  analyse_adding(scratch.scaled, scratch.coefficients, layout_.width, layout_.height, layout_.levels, scratch.analysis);
}

std::vector<int16_t> PlaneEncoder::steps_for(double delta, bool negative, std::span<const float> coefficients) const {
  const double unit = layout_.scale == 0 ? 1.0 : std::abs(static_cast<double>(layout_.scale));
  const int32_t count = layout_.width * layout_.height;
  std::vector<int16_t> steps(energy_.size());
  for (size_t b = 0; b < steps.size(); ++b) {
    const int64_t offset = band_offset(count, layout_.levels, static_cast<int>(b));
    const int64_t size = band_size(count, layout_.levels, band_level(static_cast<int>(b)));
    float peak = 0;
    for (int64_t i = offset; i < offset + size; ++i)
      peak = std::max(peak, std::abs(coefficients[static_cast<size_t>(i)]));
    double s = std::round(delta * unit / std::sqrt(energy_[b]));
    // The largest magnitude a code holds is 16383.
    s = std::max(s, std::ceil(peak / (kMaxMagnitude - 1.0)));
    s = std::clamp(s, 1.0, 32767.0);
    steps[b] = static_cast<int16_t>(negative ? -s : s);
  }
  return steps;
}

const QuantizedPlane& PlaneEncoder::quantize_refined(double delta, const QuantizerShape& shape, bool negative_steps,
                                                     double lambda, PlaneScratch& scratch,
                                                     std::span<const float> coefficients, bool two_threads) const {
  if (coefficients.empty()) coefficients = coefficients_;
  QuantizedPlane& plane = scratch.quantized;
  plane.steps = steps_for(delta, negative_steps, coefficients);
  const int32_t count = layout_.width * layout_.height;
  plane.values.resize(static_cast<size_t>(count));
  // Group by group (the band groups of band_groups, whatever groups the
  // stream is written in): each group's values depend on its own
  // coefficients and code alone.
  auto code_group = [&](const std::vector<int>& group, RefineScratch& r) {
    std::vector<SpanBand> bands;
    for (int b : group) {
      const int64_t offset = band_offset(count, layout_.levels, b);
      const int64_t size = band_size(count, layout_.levels, band_level(b));
      const int16_t step = plane.steps[static_cast<size_t>(b)];
      for (int64_t i = offset; i < offset + size; ++i)
        plane.values[static_cast<size_t>(i)] = quantize_value(coefficients[static_cast<size_t>(i)], step, shape);
      SpanBand sb = span_band(layout_, b, step);
      // The low-pass band stays as quantized: it carries flat areas, which
      // come back exactly.
      sb.refine = b != 0;
      bands.push_back(sb);
    }
    if (lambda <= 0) return;
    const GroupSpan at = group_span(count, layout_.levels, group);
    auto span = std::span(plane.values).subspan(at.offset, at.length);
    auto values = coefficients.subspan(at.offset, at.length);
    // Twice: the second pass codes with the lengths the first one left.
    for (int pass = 0; pass < 2; ++pass) refine_span(span, values, bands, lambda, r.book, r.codes, r.errors);
  };
  const auto groups = band_groups(layout_.levels);
  if (two_threads && groups.size() > 1) {
    // The finest level's group, three quarters of the values, on a second
    // thread; the others on this one.
    auto finest = std::async(std::launch::async, [&] { code_group(groups.back(), scratch.refine[1]); });
    for (size_t g = 0; g + 1 < groups.size(); ++g) code_group(groups[g], scratch.refine[0]);
    finest.get();
  } else {
    for (const auto& group : groups) code_group(group, scratch.refine[0]);
  }
  return plane;
}

void reconstruct(const PlaneLayout& layout, const QuantizedPlane& plane, PlaneScratch& scratch) {
  const size_t count = size_t(layout.width) * size_t(layout.height);
  scratch.levels_odd.resize(count / 4);
  scratch.levels_even.resize(count / 16);
  scratch.samples.resize(count);
  const SampleScaler scaler(layout.scale, count);
  synthesise_plane(plane.values, plane.steps, scratch.levels_odd, scratch.levels_even, layout.width, layout.height,
                   layout.levels, scaler, scratch.samples);
}

}  // namespace qzr::enc
