#include "encoder/quantizer.h"

#include <algorithm>
#include <cmath>

#include "codec/band_layout.h"
#include "codec/dequantize.h"
#include "codec/wavelet_synthesis.h"
#include "encoder/forward_wavelet.h"

namespace qzr::enc {

int16_t quantize_value(float c, int16_t step, const QuantizerShape& shape) {
  if (step == 0) return 0;
  const double magnitude_step = std::abs(static_cast<double>(step));
  const double a = std::abs(static_cast<double>(c)) / magnitude_step;
  if (!(a >= shape.zero_zone)) return 0;  // also catches a NaN
  const int sign = (c < 0) != (step < 0) ? -1 : 1;
  int k = static_cast<int>(std::min(std::floor(a + 0.18 + shape.rounding), static_cast<double>(kMaxMagnitude)));
  k = std::max(k, 1);
  if (magnitude_step <= 4) {
    // Small steps: the rounding of the reconstruction matters; take the
    // nearest of the neighbouring cells outright.
    int best = k;
    double best_error = 1e300;
    for (int cand = std::max(1, k - 1); cand <= std::min(kMaxMagnitude, k + 1); ++cand) {
      const double err = std::abs(static_cast<double>(c) - dequantize_value(step, static_cast<int16_t>(sign * cand)));
      if (err < best_error) {
        best_error = err;
        best = cand;
      }
    }
    k = best;
  }
  return static_cast<int16_t>(sign * k);
}

SpanBand span_band(const PlaneLayout& layout, int band, int16_t step) {
  const int32_t count = layout.width * layout.height;
  SpanBand sb{band_size(count, layout.levels, band_level(band)), step};
  if (band == 0) return sb;
  // Orientation 0 is low-pass along x and high-pass along y, stored row by
  // row; 1 the other way round, stored column by column; 2 high-pass both
  // ways, row by row.
  const int orientation = (band - 1) % 3, j = layout.levels - band_level(band);
  const double x = neighbour_overlap(j, orientation != 0), y = neighbour_overlap(j, orientation != 1);
  const bool by_columns = orientation == 1;
  sb.row = (by_columns ? layout.height : layout.width) >> j;
  sb.along = by_columns ? y : x;
  sb.across = by_columns ? x : y;
  return sb;
}

void refine_span(std::span<int16_t> quantized, std::span<const float> coefficients, std::span<const SpanBand> bands,
                 double lambda, CodeBook& book, std::vector<uint16_t>& codes, std::vector<float>& errors) {
  if (lambda <= 0 || quantized.empty()) return;
  codes.clear();
  append_span_codes(quantized, codes);
  book.build(codes);
  // Bits of a code; one the group does not use yet costs a little more than
  // its rarest.
  int longest = 1;
  for (uint16_t c : codes) longest = std::max(longest, book.length(c));
  auto bits = [&](uint16_t c) {
    const int l = book.length(c);
    return l > 0 ? static_cast<double>(l) : longest + 2.0;
  };
  double run_bits[kLargestRunExponent + 1];
  for (int e = 0; e <= kLargestRunExponent; ++e) run_bits[e] = bits(run_code(e));
  // A run of n zeros inside the span: its power-of-two pieces; 0 for none.
  auto run_cost = [&](uint64_t n) {
    double b = 0;
    for (; n != 0; n &= n - 1) b += run_bits[std::countr_zero(n)];
    return b;
  };
  const size_t n = quantized.size();
  auto band_step = [&](size_t b) { return bands.empty() ? int16_t{1} : bands[b].step; };

  // Each value's current error, where the bands' overlaps couple them.
  const bool coupled = std::any_of(bands.begin(), bands.end(), [](const SpanBand& b) { return b.row > 0 && b.refine; });
  if (coupled) {
    errors.resize(n);
    size_t b = 0;
    for (int64_t k = 0, end = bands[0].length; k < static_cast<int64_t>(n); ++k) {
      while (b + 1 < bands.size() && k >= end) end += bands[++b].length;
      const int16_t v = quantized[static_cast<size_t>(k)];
      errors[static_cast<size_t>(k)] = coefficients[static_cast<size_t>(k)] -
                                       (v == 0 ? 0.0f : static_cast<float>(dequantize_value(bands[b].step, v)));
    }
  }
  // What value i of a band starting at `start` aims at: its coefficient plus
  // the overlapping part of its neighbours' errors.
  auto aim = [&](size_t i, const SpanBand& sb, int64_t start) {
    double a = coefficients[i];
    if (sb.row <= 0) return a;
    const int64_t at = static_cast<int64_t>(i) - start, x = at % sb.row, y = at / sb.row, rows = sb.length / sb.row;
    for (int dy = -1; dy <= 1; ++dy) {
      if (y + dy < 0 || y + dy >= rows) continue;
      for (int dx = -1; dx <= 1; ++dx) {
        if ((dx == 0 && dy == 0) || x + dx < 0 || x + dx >= sb.row) continue;
        const double w = (dx != 0 ? sb.along : 1.0) * (dy != 0 ? sb.across : 1.0);
        a += w * errors[static_cast<size_t>(static_cast<int64_t>(i) + dy * sb.row + dx)];
      }
    }
    return a;
  };

  size_t i = 0, run_before = 0;  // zeros just before i
  size_t next_value = 0;         // the first value after i, once looked for
  size_t band = 0;
  int64_t band_end = bands.empty() ? static_cast<int64_t>(n) : bands[0].length;
  while (i < n) {
    while (band + 1 < bands.size() && static_cast<int64_t>(i) >= band_end) band_end += bands[++band].length;
    const bool refine = bands.empty() || bands[band].refine;
    const bool coupled_band = refine && !bands.empty() && bands[band].row > 0;
    const int16_t step = band_step(band);
    // A zero is reconsidered only in a coupled band, and only when its
    // coefficient is within reach of the dead zone's edge: the others are
    // passed over in one tight loop.
    const float reach = coupled_band ? 0.3f * std::abs(static_cast<float>(step)) : HUGE_VALF;
    const size_t limit = std::min(n, static_cast<size_t>(band_end));
    const size_t zeros_from = i;
    while (i < limit && quantized[i] == 0 && !(std::abs(coefficients[i]) >= reach)) ++i;
    run_before += i - zeros_from;
    if (i == limit) continue;
    const int16_t v = quantized[i];
    if (!refine) {
      run_before = v == 0 ? run_before + 1 : 0;
      ++i;
      continue;
    }
    const double target = coupled_band ? aim(i, bands[band], band_end - bands[band].length) : coefficients[i];
    const int16_t nearest = coupled_band ? quantize_value(static_cast<float>(target), step, QuantizerShape{}) : 0;
    if (v == 0 && nearest == 0) {
      ++run_before;
      ++i;
      continue;
    }
    const double weight = lambda * static_cast<double>(step) * step;
    // Zeros just after i, up to the next value or the span's end (where the
    // trailing run is one code, which this leaves as it is). Nothing past i
    // has changed since the last look, so a run is scanned once.
    if (next_value <= i) {
      next_value = i + 1;
      while (next_value < n && quantized[next_value] == 0) ++next_value;
    }
    const size_t j = next_value;
    const size_t run_after = j - i - 1;
    const bool trailing = j == n;
    const double keep_runs = run_cost(run_before) + (trailing ? 0 : run_cost(run_after));
    const double merged = trailing ? (run_before > 0 ? run_cost(run_before) : 0) : run_cost(run_before + 1 + run_after);
    auto cost = [&](int16_t k) {
      const double d = target - dequantize_value(step, k);
      return d * d + weight * (k == 0 ? merged : bits(value_code(k)) + keep_runs);
    };
    // The current value first, so that it stays on a tie.
    int16_t choice = v;
    double best = cost(v);
    auto consider = [&](int16_t k) {
      if (k == choice) return;
      const double c = cost(k);
      if (c < best) {
        best = c;
        choice = k;
      }
    };
    if (v != 0) {
      consider(static_cast<int16_t>(v > 0 ? v - 1 : v + 1));
      if (nearest != 0 && (nearest > 0) == (v > 0)) consider(nearest);
    } else {
      consider(nearest);
    }
    consider(0);
    quantized[i] = choice;
    if (coupled) errors[i] = coefficients[i] - static_cast<float>(dequantize_value(step, choice));
    run_before = choice == 0 ? run_before + 1 : 0;
    ++i;
  }
}

}  // namespace qzr::enc
