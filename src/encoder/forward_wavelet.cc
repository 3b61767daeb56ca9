#include "encoder/forward_wavelet.h"

#include <algorithm>
#include <cmath>

#include "codec/wavelet_synthesis.h"

namespace qzr::enc {
namespace {

// The tridiagonal system of one line of n = N/2 low-pass values a:
//   row 0:        1.5 a[0] + 0.5 a[1]               = x[0] + x[1]
//   row k:        a[k-1]/4 + 1.5 a[k] + a[k+1]/4    = x[2k] + (x[2k-1] + x[2k+1]) / 2
//   row n-1:      a[n-2]/4 + 1.75 a[n-1]            = x[2n-2] + (x[2n-3] + x[2n-1]) / 2
// (n = 1: a[0] = (x[0] + x[1]) / 2). Then d[k] = x[2k+1] - (a[k] + a[k+1]) / 2
// with a[n] = a[n-1]. The elimination factors depend on n alone.
struct LineSolver {
  int n = 0;
  std::vector<float> inv;    // 1 / pivot of row k
  std::vector<float> upper;  // eliminated upper coefficient of row k

  explicit LineSolver(int length) : n(length), inv(static_cast<size_t>(length)), upper(static_cast<size_t>(length)) {
    if (n == 1) {
      inv[0] = 0.5f;
      upper[0] = 0;
      return;
    }
    double prev_upper = 0;
    for (int k = 0; k < n; ++k) {
      const double lower = k == 0 ? 0.0 : 0.25;
      const double diag = k == 0 ? 1.5 : (k == n - 1 ? 1.75 : 1.5);
      const double up = k == 0 ? 0.5 : (k == n - 1 ? 0.0 : 0.25);
      const double pivot = diag - lower * prev_upper;
      inv[static_cast<size_t>(k)] = static_cast<float>(1.0 / pivot);
      prev_upper = up / pivot;
      upper[static_cast<size_t>(k)] = static_cast<float>(prev_upper);
    }
  }

  // One line: x has 2n samples at stride `step`; low and high get n values.
  void solve(const float* x, ptrdiff_t step, float* low, float* high) const {
    auto even = [&](int k) { return x[2 * k * step]; };
    auto odd = [&](int k) { return x[(2 * k + 1) * step]; };
    if (n == 1) {
      low[0] = (even(0) + odd(0)) * 0.5f;
      high[0] = odd(0) - low[0];
      return;
    }
    low[0] = (even(0) + odd(0)) * inv[0];
    for (int k = 1; k < n; ++k) {
      const float rhs = even(k) + 0.5f * (odd(k - 1) + odd(k));
      low[k] = (rhs - 0.25f * low[k - 1]) * inv[static_cast<size_t>(k)];
    }
    for (int k = n - 2; k >= 0; --k) low[k] -= upper[static_cast<size_t>(k)] * low[k + 1];
    for (int k = 0; k < n - 1; ++k) high[k] = odd(k) - 0.5f * (low[k] + low[k + 1]);
    high[n - 1] = odd(n - 1) - low[n - 1];
  }

  // The same for `lanes` columns at once: line sample k of every column is
  // the row at rows[k * row_stride], so each step runs along whole rows.
  void solve_columns(const float* rows, ptrdiff_t row_stride, int lanes, float* low, float* high,
                     ptrdiff_t out_stride) const {
    auto even = [&](int k) { return rows + 2 * k * row_stride; };
    auto odd = [&](int k) { return rows + (2 * k + 1) * row_stride; };
    auto lo = [&](int k) { return low + k * out_stride; };
    auto hi = [&](int k) { return high + k * out_stride; };
    if (n == 1) {
      for (int c = 0; c < lanes; ++c) {
        lo(0)[c] = (even(0)[c] + odd(0)[c]) * 0.5f;
        hi(0)[c] = odd(0)[c] - lo(0)[c];
      }
      return;
    }
    for (int c = 0; c < lanes; ++c) lo(0)[c] = (even(0)[c] + odd(0)[c]) * inv[0];
    for (int k = 1; k < n; ++k) {
      const float f = inv[static_cast<size_t>(k)];
      const float* e = even(k);
      const float* o0 = odd(k - 1);
      const float* o1 = odd(k);
      const float* prev = lo(k - 1);
      float* out = lo(k);
      for (int c = 0; c < lanes; ++c) out[c] = (e[c] + 0.5f * (o0[c] + o1[c]) - 0.25f * prev[c]) * f;
    }
    for (int k = n - 2; k >= 0; --k) {
      const float up = upper[static_cast<size_t>(k)];
      const float* next = lo(k + 1);
      float* out = lo(k);
      for (int c = 0; c < lanes; ++c) out[c] -= up * next[c];
    }
    for (int k = 0; k < n; ++k) {
      const float* o = odd(k);
      const float* a0 = lo(k);
      const float* a1 = lo(k + 1 < n ? k + 1 : k);
      float* out = hi(k);
      if (k + 1 < n)
        for (int c = 0; c < lanes; ++c) out[c] = o[c] - 0.5f * (a0[c] + a1[c]);
      else
        for (int c = 0; c < lanes; ++c) out[c] = o[c] - a0[c];
    }
  }
};

// Sizes the scratch space for a plane of `count` samples; kept across the
// refinement rounds, so that large planes are not allocated (and their pages
// cleared) again each time.
AnalysisScratch& sized(AnalysisScratch& ws, size_t count) {
  ws.rows.resize(count);
  ws.cols.resize(count);
  ws.approximation.resize(count / 4);
  return ws;
}

// Stores the analysis in `coefficients`, or adds it there when `accumulate`.
void analyse_with(std::span<const float> samples, std::span<float> coefficients, int width, int height, int levels,
                  AnalysisScratch& ws, bool accumulate) {
  auto put = [accumulate](const float* from, const float* to, float* out) {
    if (accumulate)
      for (; from != to; ++from, ++out) *out += *from;
    else
      std::copy(from, to, out);
  };
  const float* input = samples.data();  // the level's input picture, W x H
  for (int level = 0; level < levels; ++level) {
    const int W = width >> level, H = height >> level;
    const int hw = W / 2, hh = H / 2;
    const size_t B = size_t(hw) * size_t(hh);
    // Rows: low half then high half of every row.
    const LineSolver row_solver(hw);
    for (int y = 0; y < H; ++y) {
      float* out = ws.rows.data() + size_t(y) * size_t(W);
      row_solver.solve(input + size_t(y) * size_t(W), 1, out, out + hw);
    }
    // Columns: the low rows then the high rows.
    const LineSolver column_solver(hh);
    column_solver.solve_columns(ws.rows.data(), W, W, ws.cols.data(), ws.cols.data() + size_t(hh) * size_t(W), W);
    // cols now holds, as a W x H picture: top-left low/low, top-right
    // high/low (quarter 2), bottom-left low/high (quarter 1), bottom-right
    // high/high (quarter 3). Low/low is the next level's input.
    float* q0 = level == levels - 1 ? coefficients.data() : ws.approximation.data();
    float* q1 = coefficients.data() + B;
    float* q2 = coefficients.data() + 2 * B;
    float* q3 = coefficients.data() + 3 * B;
    for (int Y = 0; Y < hh; ++Y) {
      const float* top = ws.cols.data() + size_t(Y) * size_t(W);
      const float* bottom = ws.cols.data() + size_t(Y + hh) * size_t(W);
      if (level == levels - 1)
        put(top, top + hw, q0 + size_t(Y) * size_t(hw));
      else
        std::copy(top, top + hw, q0 + size_t(Y) * size_t(hw));
      put(bottom, bottom + hw, q1 + size_t(Y) * size_t(hw));
      put(bottom + hw, bottom + W, q3 + size_t(Y) * size_t(hw));
      if (accumulate)
        for (int X = 0; X < hw; ++X) q2[size_t(X) * size_t(hh) + size_t(Y)] += top[hw + X];
      else
        for (int X = 0; X < hw; ++X) q2[size_t(X) * size_t(hh) + size_t(Y)] = top[hw + X];
    }
    input = ws.approximation.data();
  }
}

}  // namespace

void analyse(std::span<const float> samples, std::span<float> coefficients, int width, int height, int levels) {
  AnalysisScratch ws;
  analyse_with(samples, coefficients, width, height, levels, sized(ws, size_t(width) * size_t(height)), false);
}

void analyse_adding(std::span<const float> samples, std::span<float> coefficients, int width, int height, int levels,
                    AnalysisScratch& scratch) {
  analyse_with(samples, coefficients, width, height, levels, sized(scratch, size_t(width) * size_t(height)), true);
}

RawVector<float> analyse_refined(std::span<const float> target, int width, int height, int levels, int iterations) {
  const size_t count = size_t(width) * size_t(height);
  AnalysisScratch scratch;
  AnalysisScratch& ws = sized(scratch, count);
  RawVector<float> coefficients(count);
  analyse_with(target, coefficients, width, height, levels, ws, false);
  if (iterations <= 0) return coefficients;
  RawVector<int32_t> rounded(count);
  RawVector<int32_t> synthesised(count);
  RawVector<float> residual(count);
  for (int it = 0; it < iterations; ++it) {
    for (size_t i = 0; i < count; ++i) {
      // Round half away from zero; the clamp keeps the conversion defined.
      const float c = std::clamp(coefficients[i], -1.0e9f, 1.0e9f);
      rounded[i] = static_cast<int32_t>(c < 0 ? c - 0.5f : c + 0.5f);
    }
    inverse_wavelet(rounded, synthesised, width, height, levels);
    for (size_t i = 0; i < count; ++i) residual[i] = target[i] - static_cast<float>(synthesised[i]);
    analyse_with(residual, coefficients, width, height, levels, ws, true);
  }
  return coefficients;
}

namespace {

// One-dimensional synthesis weights of a low-pass or a high-pass coefficient
// of the j-th level counted from the finest (j = 1): each further level
// spreads the previous weights onto every other sample and smooths them with
// 1/2, 1, 1/2.
std::vector<double> synthesis_weights(int j, bool high) {
  std::vector<double> w = high ? std::vector<double>{-0.5, 1.0, -0.5} : std::vector<double>{0.5, 1.0, 0.5};
  for (int level = 1; level < j; ++level) {
    std::vector<double> out(2 * w.size() + 1, 0.0);
    for (size_t i = 0; i < w.size(); ++i) {
      out[2 * i] += 0.5 * w[i];
      out[2 * i + 1] += w[i];
      out[2 * i + 2] += 0.5 * w[i];
    }
    w = std::move(out);
  }
  return w;
}

double energy(const std::vector<double>& w) {
  double e = 0;
  for (double v : w) e += v * v;
  return e;
}

}  // namespace

std::vector<double> band_energies(int levels) {
  std::vector<double> low_energy(static_cast<size_t>(levels) + 1), high_energy(static_cast<size_t>(levels) + 1);
  for (int j = 1; j <= levels; ++j) {
    low_energy[static_cast<size_t>(j)] = energy(synthesis_weights(j, false));
    high_energy[static_cast<size_t>(j)] = energy(synthesis_weights(j, true));
  }
  std::vector<double> e(static_cast<size_t>(3 * levels + 1));
  e[0] = low_energy[static_cast<size_t>(levels)] * low_energy[static_cast<size_t>(levels)];
  for (int k = 0; k < levels; ++k) {  // band level k, the coarsest first
    const size_t j = static_cast<size_t>(levels - k);
    e[static_cast<size_t>(1 + 3 * k + 0)] = low_energy[j] * high_energy[j];  // horizontal low, vertical high
    e[static_cast<size_t>(1 + 3 * k + 1)] = high_energy[j] * low_energy[j];
    e[static_cast<size_t>(1 + 3 * k + 2)] = high_energy[j] * high_energy[j];
  }
  return e;
}

double neighbour_overlap(int j, bool high) {
  const std::vector<double> w = synthesis_weights(j, high);
  const size_t shift = size_t{1} << j;  // a neighbour's weights lie 2^j samples on
  double overlap = 0;
  for (size_t i = 0; i + shift < w.size(); ++i) overlap += w[i] * w[i + shift];
  return overlap / energy(w);
}

}  // namespace qzr::enc
