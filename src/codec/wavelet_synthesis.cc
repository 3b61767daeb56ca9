#include "codec/wavelet_synthesis.h"

#include <algorithm>
#include <utility>

namespace qzr {
namespace {

// 32-bit wrap-around addition, defined for every input.
inline void add_to(int32_t& sample, int32_t value) {
  sample = static_cast<int32_t>(static_cast<uint32_t>(sample) + static_cast<uint32_t>(value));
}

struct Level {
  int32_t* s;
  int W, H, hw, hh;
  void add(int x, int y, int32_t value) const {
    if (x >= 0 && x < W && y >= 0 && y < H) add_to(s[static_cast<int64_t>(y) * W + x], value);
  }
};

// Level n's output is (width >> n) x (height >> n); its quarters are half that.
Level make_level(std::span<int32_t> samples, int width, int height, int n) {
  const int W = width >> n, H = height >> n;
  return Level{samples.data(), W, H, W / 2, H / 2};
}

// Horizontal and vertical signs of the quarters' taps: low +1, high -1.
constexpr int kHorizontalSign[4] = {1, 1, -1, -1};
constexpr int kVerticalSign[4] = {1, -1, 1, -1};

// A coefficient away from every border: the base stencil alone, no bound tests.
template <int Q>
inline void scatter_interior(const Level& l, int X, int Y, int32_t v) {
  constexpr int hs = kHorizontalSign[Q], vs = kVerticalSign[Q];
  const int32_t t = v >> 1, u = v >> 2;
  const int cx = 2 * X + (hs < 0), cy = 2 * Y + (vs < 0);
  int32_t* row = l.s + static_cast<int64_t>(cy) * l.W + cx;
  int32_t* above = row - l.W;
  int32_t* below = row + l.W;
  const int32_t corner = hs * vs * u, side = hs * t;
  add_to(above[-1], corner);
  add_to(above[0], vs * t);
  add_to(above[1], corner);
  add_to(row[-1], side);
  add_to(row[0], v);
  add_to(row[1], side);
  add_to(below[-1], corner);
  add_to(below[0], vs * 2 * u);
  add_to(below[1], corner);
}

// A coefficient on a border of its quarter: bound tests, the border rule, the
// mirror additions and the corner addition.
void scatter_border(const Level& l, int q, int X, int Y, int32_t v) {
  const int hs = kHorizontalSign[q], vs = kVerticalSign[q];
  const int32_t t = v >> 1, u = v >> 2, n = (-t) >> 1;
  const int cx = 2 * X + (hs < 0), cy = 2 * Y + (vs < 0);
  const int32_t corner = hs * vs * u, side = hs * t;
  const bool on_border = cx == 0 || cx == l.W - 1 || cy == 0 || cy == l.H - 1;
  l.add(cx - 1, cy - 1, corner);
  l.add(cx, cy - 1, vs * t);
  l.add(cx + 1, cy - 1, corner);
  l.add(cx - 1, cy, side);
  l.add(cx, cy, v);
  l.add(cx + 1, cy, side);
  l.add(cx - 1, cy + 1, corner);
  l.add(cx, cy + 1, on_border ? vs * t : vs * 2 * u);
  l.add(cx + 1, cy + 1, corner);
  if (t == 0) return;  // u and n are 0 too: no mirror or corner addition

  const int lastX = l.hw - 1, lastY = l.hh - 1, W1 = l.W - 1, H1 = l.H - 1;
  auto row3 = [&](int y, int x0, int32_t a, int32_t b, int32_t c) {
    l.add(x0, y, a);
    l.add(x0 + 1, y, b);
    l.add(x0 + 2, y, c);
  };
  auto col3 = [&](int x, int y0, int32_t a, int32_t b, int32_t c) {
    l.add(x, y0, a);
    l.add(x, y0 + 1, b);
    l.add(x, y0 + 2, c);
  };
  switch (q) {
    case 0:
      if (Y == lastY) row3(H1, 2 * X - 1, u, t, u);
      if (X == lastX) col3(W1, 2 * Y - 1, u, t, u);
      if (X == lastX && Y == lastY) l.add(W1, H1, u);
      break;
    case 1:
      if (Y == 0) row3(0, 2 * X - 1, n, -t, n);
      if (X == lastX) col3(W1, 2 * Y, -u, t, -u);
      if (X == lastX && Y == 0) l.add(W1, 0, -u);
      break;
    case 2:
      if (Y == lastY) row3(H1, 2 * X, -u, t, -u);
      if (X == 0) col3(0, 2 * Y - 1, n, -t, n);
      if (X == 0 && Y == lastY) l.add(0, H1, -u);
      break;
    default:
      if (Y == 0) row3(0, 2 * X, u, -t, u);
      if (X == 0) col3(0, 2 * Y, u, -t, u);
      if (X == 0 && Y == 0) l.add(0, 0, u);
      break;
  }
}

template <int Q>
inline void scatter(const Level& l, int X, int Y, int32_t v) {
  if (v == 0) return;
  if (X > 0 && Y > 0 && X < l.hw - 1 && Y < l.hh - 1)
    scatter_interior<Q>(l, X, Y, v);
  else
    scatter_border(l, Q, X, Y, v);
}

template <int Q>
void scatter_row_major(const Level& l, const int32_t* quarter) {
  for (int Y = 0; Y < l.hh; ++Y) {
    const int32_t* row = quarter + static_cast<int64_t>(Y) * l.hw;
    for (int X = 0; X < l.hw; ++X) scatter<Q>(l, X, Y, row[X]);
  }
}

}  // namespace

void inverse_wavelet(std::span<int32_t> coefficients, std::span<int32_t> samples, int width, int height,
                     int levels) {
  for (int n = levels - 1; n >= 0; --n) {
    const Level l = make_level(samples, width, height, n);
    const int64_t B = static_cast<int64_t>(l.hw) * l.hh;
    const int64_t area = 4 * B;
    std::fill_n(samples.data(), area, 0);
    const int32_t* c = coefficients.data();
    scatter_row_major<0>(l, c);
    scatter_row_major<1>(l, c + B);
    // Quarter 2 is stored column by column; reading it in that order gives the
    // same sums as transposing it first, without moving it.
    const int32_t* q2 = c + 2 * B;
    for (int X = 0; X < l.hw; ++X) {
      const int32_t* column = q2 + static_cast<int64_t>(X) * l.hh;
      for (int Y = 0; Y < l.hh; ++Y) scatter<2>(l, X, Y, column[Y]);
    }
    scatter_row_major<3>(l, c + 3 * B);
    if (n > 0) std::copy_n(samples.data(), area, coefficients.data());
  }
}

void inverse_wavelet_plain(std::span<int32_t> coefficients, std::span<int32_t> samples, int width, int height,
                           int levels) {
  for (int n = levels - 1; n >= 0; --n) {
    const Level l = make_level(samples, width, height, n);
    const int64_t B = static_cast<int64_t>(l.hw) * l.hh;
    std::fill_n(samples.data(), 4 * B, 0);
    transpose_band(coefficients, 2 * B, l.hw, l.hh);
    for (int q = 0; q < 4; ++q)
      for (int Y = 0; Y < l.hh; ++Y)
        for (int X = 0; X < l.hw; ++X) {
          const int32_t v = coefficients[static_cast<size_t>(q * B + static_cast<int64_t>(Y) * l.hw + X)];
          if (v != 0) scatter_border(l, q, X, Y, v);
        }
    if (n > 0) std::copy_n(samples.data(), 4 * B, coefficients.data());
  }
}

void transpose_band(std::span<int32_t> array, int64_t start, int64_t rows, int64_t columns) {
  const int64_t N = rows * columns;
  const int64_t M = N - 1;
  if (M <= 1) return;
  int32_t* a = array.data() + start;
  for (int64_t i = 1; i <= N - 2; ++i) {
    int64_t j = i;
    do {
      j = (j * columns) % M;
    } while (j < i);
    if (j != i) std::swap(a[i], a[j]);
  }
}

}  // namespace qzr
