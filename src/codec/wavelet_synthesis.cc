#include "codec/wavelet_synthesis.h"

#include <algorithm>
#include <array>
#include <bit>
#include <utility>
#include <vector>

#include "codec/dequantize.h"
#include "common/simd.h"
#include "common/threads.h"

namespace qzr {
namespace {

// 32-bit wrap-around addition, defined for every input.
inline void add_to(int32_t& sample, int32_t value) {
  sample = static_cast<int32_t>(static_cast<uint32_t>(sample) + static_cast<uint32_t>(value));
}

// Level n's output is (width >> n) x (height >> n); its quarters are half that.
// The whole output held at once: the plain form's storage.
inline int32_t wrapped_sum(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

struct Level {
  int32_t* s;
  int W, H, hw, hh;
  void add(int x, int y, int32_t value) const {
    if (x >= 0 && x < W && y >= 0 && y < H) add_to(s[static_cast<int64_t>(y) * W + x], value);
  }
  int32_t* row(int y) const { return s + static_cast<int64_t>(y) * W; }
};

Level make_level(std::span<int32_t> samples, int width, int height, int n) {
  const int W = width >> n, H = height >> n;
  return Level{samples.data(), W, H, W / 2, H / 2};
}

// Only four output rows at once: coefficient row Y adds to output rows 2Y - 1
// to 2Y + 2 and to no others (the border additions included), so row y lives
// in ring slot y mod 4 from the first addition to it until it is final.
struct RingLevel {
  int32_t* ring;  // 4 rows of W
  int W, H, hw, hh;
  void add(int x, int y, int32_t value) const {
    if (x >= 0 && x < W && y >= 0 && y < H) add_to(row(y)[x], value);
  }
  int32_t* row(int y) const { return ring + static_cast<int64_t>(y & 3) * W; }
};

// Horizontal and vertical signs of the quarters' taps: low +1, high -1.
constexpr int kHorizontalSign[4] = {1, 1, -1, -1};
constexpr int kVerticalSign[4] = {1, -1, 1, -1};

// A coefficient away from every border: the base stencil alone, no bound tests.
template <int Q, class L>
inline void scatter_interior(const L& l, int X, int Y, int32_t v) {
  constexpr int hs = kHorizontalSign[Q], vs = kVerticalSign[Q];
  const int32_t t = v >> 1, u = v >> 2;
  const int cx = 2 * X + (hs < 0), cy = 2 * Y + (vs < 0);
  int32_t* above = l.row(cy - 1) + cx;
  int32_t* row = l.row(cy) + cx;
  int32_t* below = l.row(cy + 1) + cx;
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
template <class L>
void scatter_border(const L& l, int q, int X, int Y, int32_t v) {
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

// How a stored value becomes the coefficient that is scattered.
struct AsStored {
  using Stored = int32_t;
  int32_t operator()(int32_t v) const { return v; }
};
struct Dequantized {
  using Stored = int16_t;
  int16_t step;
  int32_t operator()(int16_t v) const { return dequantize_value(step, v); }
};

// Bit k set when p[k] is not zero, for k = 0..15.
inline uint32_t nonzero_mask16(const int32_t* p) {
#if defined(QZR_SSE2)
  const __m128i zero = _mm_setzero_si128();
  uint32_t zeros = 0;
  for (int k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4 * k));
    zeros |= static_cast<uint32_t>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(v, zero)))) << (4 * k);
  }
  return ~zeros & 0xFFFF;
#else
  uint32_t nonzero = 0;
  for (int k = 0; k < 16; ++k) nonzero |= static_cast<uint32_t>(p[k] != 0) << k;
  return nonzero;
#endif
}

inline uint32_t nonzero_mask16(const int16_t* p) {
#if defined(QZR_SSE2)
  const __m128i zero = _mm_setzero_si128();
  const __m128i lo = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), zero);
  const __m128i hi = _mm_cmpeq_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8)), zero);
  return ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(lo, hi))) & 0xFFFF;
#else
  uint32_t nonzero = 0;
  for (int k = 0; k < 16; ++k) nonzero |= static_cast<uint32_t>(p[k] != 0) << k;
  return nonzero;
#endif
}

// Row Y of quarter Q (hw values). Zero values add nothing: they are skipped
// sixteen at a time, which is most of a fine level's detail.
template <int Q, class Value>
void scatter_row(const RingLevel& l, const typename Value::Stored* row, int Y, Value value) {
  const bool interior_row = Y > 0 && Y < l.hh - 1;
  auto one = [&](int X) {
    if (row[X] == 0) return;
    const int32_t v = value(row[X]);
    if (v == 0) return;
    if (interior_row && X > 0 && X < l.hw - 1)
      scatter_interior<Q>(l, X, Y, v);
    else
      scatter_border(l, Q, X, Y, v);
  };
  // A mask of the nonzero values of 16 at a time, then only its set bits.
  int X = 0;
  for (; X + 16 <= l.hw; X += 16) {
    uint32_t nonzero = nonzero_mask16(row + X);
    while (nonzero != 0) {
      one(X + std::countr_zero(nonzero));
      nonzero &= nonzero - 1;
    }
  }
  for (; X < l.hw; ++X) one(X);
}

// Row Y of quarter 0 when it is not a border row: dense (it holds the
// coarser level's samples), so the stencils go in as whole rows, each odd
// output column taking its two neighbours' shares in one addition.
void scatter_approximation_row(const RingLevel& l, const int32_t* row, int Y) {
  const int last = l.hw - 1;
  scatter_border(l, 0, 0, Y, row[0]);
  if (last >= 1) scatter_border(l, 0, last, Y, row[last]);
  if (last < 2) return;
  int32_t* above = l.row(2 * Y - 1);
  int32_t* centre = l.row(2 * Y);
  int32_t* below = l.row(2 * Y + 1);
  int32_t t_left = 0, u_left = 0;  // column 0's shares are the border form's
  int X = 1;
#if defined(QZR_SSE2)
  // Four columns at a time once the left neighbour is interior too: output
  // columns 2X - 1 .. 2X + 6 take (odd, even) pairs of shares.
  if (last >= 6) {
    auto add8 = [](int32_t* p, __m128i odd, __m128i even) {
      __m128i* lo = reinterpret_cast<__m128i*>(p);
      __m128i* hi = reinterpret_cast<__m128i*>(p + 4);
      _mm_storeu_si128(lo, _mm_add_epi32(_mm_loadu_si128(lo), _mm_unpacklo_epi32(odd, even)));
      _mm_storeu_si128(hi, _mm_add_epi32(_mm_loadu_si128(hi), _mm_unpackhi_epi32(odd, even)));
    };
    {  // column 1 alone: its left neighbour gives nothing here
      const int32_t v = row[1], t = v >> 1, u = v >> 2;
      add_to(above[1], u);
      add_to(centre[1], t);
      add_to(below[1], u);
      add_to(above[2], t);
      add_to(centre[2], v);
      add_to(below[2], 2 * u);
    }
    for (X = 2; X + 3 < last; X += 4) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + X));
      const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + X - 1));
      const __m128i t = _mm_srai_epi32(v, 1), u = _mm_srai_epi32(v, 2);
      const __m128i corners = _mm_add_epi32(_mm_srai_epi32(w, 2), u);
      add8(above + 2 * X - 1, corners, t);
      add8(centre + 2 * X - 1, _mm_add_epi32(_mm_srai_epi32(w, 1), t), v);
      add8(below + 2 * X - 1, corners, _mm_add_epi32(u, u));
    }
    t_left = row[X - 1] >> 1;
    u_left = row[X - 1] >> 2;
  }
#endif
  for (; X < last; ++X) {
    const int32_t v = row[X], t = v >> 1, u = v >> 2;
    const int even = 2 * X, odd = even - 1;
    const int32_t corners = wrapped_sum(u_left, u);
    add_to(above[odd], corners);
    add_to(centre[odd], wrapped_sum(t_left, t));
    add_to(below[odd], corners);
    add_to(above[even], t);
    add_to(centre[even], v);
    add_to(below[even], 2 * u);
    t_left = t;
    u_left = u;
  }
  const int odd = 2 * last - 1;  // the last column's own shares come from its border form
  add_to(above[odd], u_left);
  add_to(centre[odd], t_left);
  add_to(below[odd], u_left);
}

// One synthesis level over coefficient rows Y0 .. Y1 - 1 of its quarters:
// quarters 0, 1 and 3 row by row where they lie, quarter 2 (stored column by
// column) through a tile of its rows: 64 bytes of each column at a time, a
// whole cache line. Every output row these rows alone make final is handed
// to `emit(y, row)`, in order; the ring and the tile are scratch. Output
// rows 2 Y0 - 1 and 2 Y0 also take the shares of the rows before Y0: when Y0
// is not 0 this band's shares of them go to `head` (two rows of W) instead.
// Rows 2 Y1 - 1 and 2 Y1 likewise, when Y1 is not the last row: they are
// left in the ring.
template <class Stored>
constexpr int kTileRows = 64 / sizeof(Stored);

template <class Value, class Emit>
void synthesise_level(const int32_t* q0, const typename Value::Stored* details, int W, int H,
                      const std::array<Value, 3>& detail, std::span<int32_t> ring,
                      std::span<typename Value::Stored> tile, int Y0, int Y1, int32_t* head, Emit emit) {
  using Stored = typename Value::Stored;
  const RingLevel l{ring.data(), W, H, W / 2, H / 2};
  const int64_t B = static_cast<int64_t>(l.hw) * l.hh;
  const Stored *q1 = details + B, *q2 = details + 2 * B, *q3 = details + 3 * B;
  std::fill_n(ring.data(), 4 * static_cast<int64_t>(W), 0);
  for (int Y = Y0; Y < Y1; ++Y) {
    const int in_tile = (Y - Y0) % kTileRows<Stored>;
    if (in_tile == 0) {
      const int rows = std::min(kTileRows<Stored>, Y1 - Y);
      for (int X = 0; X < l.hw; ++X) {
        const Stored* column = q2 + static_cast<int64_t>(X) * l.hh + Y;
        for (int k = 0; k < rows; ++k) tile[static_cast<size_t>(k) * l.hw + X] = column[k];
      }
    }
    if (Y > 0 && Y < l.hh - 1)
      scatter_approximation_row(l, q0 + static_cast<int64_t>(Y) * l.hw, Y);
    else
      scatter_row<0>(l, q0 + static_cast<int64_t>(Y) * l.hw, Y, AsStored{});
    scatter_row<1>(l, q1 + static_cast<int64_t>(Y) * l.hw, Y, detail[0]);
    scatter_row<2>(l, tile.data() + static_cast<int64_t>(in_tile) * l.hw, Y, detail[1]);
    scatter_row<3>(l, q3 + static_cast<int64_t>(Y) * l.hw, Y, detail[2]);
    // Rows 2Y - 1 and 2Y get nothing from later coefficient rows.
    for (int y = std::max(0, 2 * Y - 1); y <= 2 * Y + (Y == l.hh - 1 ? 1 : 0); ++y) {
      int32_t* done = l.row(y);
      if (Y == Y0 && Y0 > 0)
        std::copy_n(done, W, head + static_cast<int64_t>(y - (2 * Y0 - 1)) * W);
      else
        emit(y, done);
      std::fill_n(done, W, 0);
    }
  }
}

// Scratch rows of one synthesis band: the ring, the tile of quarter 2 and
// the band's shares of the two rows it begins with.
template <class Stored>
struct LevelScratch {
  std::vector<int32_t> ring;
  std::vector<Stored> tile;
  std::vector<int32_t> head;
  explicit LevelScratch(int width)
      : ring(4 * static_cast<size_t>(width)),
        tile(static_cast<size_t>(kTileRows<Stored>) * static_cast<size_t>(width / 2)),
        head(2 * static_cast<size_t>(width)) {}
};

// Levels smaller than this are not worth a thread.
constexpr int64_t kMinBandedSamples = int64_t{1} << 16;

// One level in up to `scratch.size()` bands of coefficient rows, each but the
// first on a thread of its own, then the rows where two bands meet: the sum
// of both bands' shares (sums wrap, so the order of the additions does not
// matter). `emit` is called from several threads, never twice for a row.
template <class Value, class Emit>
void synthesise_level_banded(const int32_t* q0, const typename Value::Stored* details, int W, int H,
                             const std::array<Value, 3>& detail,
                             std::vector<LevelScratch<typename Value::Stored>>& scratch, Emit emit) {
  using Stored = typename Value::Stored;
  const int hh = H / 2;
  // Band boundaries on whole tiles of quarter 2.
  std::array<int, kMaxSynthesisBands + 1> start{};
  int bands = 1;
  const int wanted = int64_t{W} * H >= kMinBandedSamples ? static_cast<int>(scratch.size()) : 1;
  for (int k = 1; k < wanted; ++k) {
    const int Y = static_cast<int>(int64_t{hh} * k / wanted) / kTileRows<Stored> * kTileRows<Stored>;
    if (Y > start[static_cast<size_t>(bands) - 1]) start[static_cast<size_t>(bands++)] = Y;
  }
  start[static_cast<size_t>(bands)] = hh;
  auto band = [&](int k) {
    LevelScratch<Stored>& s = scratch[static_cast<size_t>(k)];
    synthesise_level(q0, details, W, H, detail, s.ring, s.tile, start[static_cast<size_t>(k)],
                     start[static_cast<size_t>(k) + 1], s.head.data(), emit);
  };
  {
    std::array<Background, kMaxSynthesisBands> threads;
    for (int k = 1; k < bands; ++k) threads[static_cast<size_t>(k)].start([&band, k] { band(k); });
    band(0);
  }
  for (int k = 1; k < bands; ++k) {
    const int first = 2 * start[static_cast<size_t>(k)] - 1;
    const RingLevel before{scratch[static_cast<size_t>(k) - 1].ring.data(), W, H, W / 2, hh};
    const int32_t* head = scratch[static_cast<size_t>(k)].head.data();
    for (int r = 0; r < 2; ++r) {
      int32_t* row = before.row(first + r);
      for (int x = 0; x < W; ++x) add_to(row[x], head[static_cast<int64_t>(r) * W + x]);
      emit(first + r, row);
    }
  }
}

}  // namespace

void inverse_wavelet(std::span<int32_t> coefficients, std::span<int32_t> samples, int width, int height, int levels) {
  // Each level but the last goes to `samples` and from there becomes the
  // next level's quarter 0; the last level's rows go to `samples` for good.
  LevelScratch<int32_t> scratch(width);
  const std::array<AsStored, 3> as_stored{};
  for (int n = levels - 1; n >= 0; --n) {
    const int W = width >> n, H = height >> n;
    int32_t* out = samples.data();
    synthesise_level(coefficients.data(), coefficients.data(), W, H, as_stored, scratch.ring, scratch.tile, 0, H / 2,
                     nullptr,
                     [&](int y, const int32_t* row) { std::copy_n(row, W, out + static_cast<int64_t>(y) * W); });
    if (n > 0) std::copy_n(out, static_cast<int64_t>(W) * H, coefficients.data());
  }
}

namespace {

// Level n's dequantization of its three detail bands.
std::array<Dequantized, 3> detail_steps(std::span<const int16_t> steps, int levels, int n) {
  const size_t k = static_cast<size_t>(levels - 1 - n);  // detail level, 0 the coarsest
  return {Dequantized{steps[1 + 3 * k]}, Dequantized{steps[2 + 3 * k]}, Dequantized{steps[3 + 3 * k]}};
}

std::vector<LevelScratch<int16_t>> synthesis_scratch(int width, int bands) {
  std::vector<LevelScratch<int16_t>> scratch;
  for (int k = 0; k < std::clamp(bands, 1, kMaxSynthesisBands); ++k) scratch.emplace_back(width);
  return scratch;
}

}  // namespace

void synthesise_coarse_levels(std::span<const int16_t> quantized, std::span<const int16_t> steps,
                              std::span<int32_t> levels_odd, std::span<int32_t> levels_even, int width, int height,
                              int levels, int bands) {
  // Level n's output (n >= 1) goes to the buffer of n's parity, from which
  // level n - 1 reads it as its quarter 0. The approximation band is
  // dequantized into the buffer of level `levels`' parity; the detail bands
  // as their values are scattered, so that their zeros cost nothing.
  auto buffer = [&](int n) { return (n & 1) ? levels_odd.data() : levels_even.data(); };
  const int64_t count = int64_t{width} * height;
  const int64_t approximation = count >> (2 * levels);
  int32_t* top = buffer(levels);
  for (int64_t i = 0; i < approximation; ++i) top[i] = dequantize_value(steps[0], quantized[static_cast<size_t>(i)]);

  std::vector<LevelScratch<int16_t>> scratch = synthesis_scratch(width, bands);
  for (int n = levels - 1; n >= 1; --n) {
    const int W = width >> n, H = height >> n;
    int32_t* level_out = buffer(n);
    synthesise_level_banded(buffer(n + 1), quantized.data(), W, H, detail_steps(steps, levels, n), scratch,
                            [&](int y, const int32_t* row) { std::copy_n(row, W, level_out + static_cast<int64_t>(y) * W); });
  }
}

void synthesise_finest_level(std::span<const int16_t> quantized, std::span<const int16_t> steps,
                             std::span<const int32_t> levels_odd, int width, int height, int levels,
                             const SampleScaler& scale, std::span<uint8_t> out, int bands) {
  std::vector<LevelScratch<int16_t>> scratch = synthesis_scratch(width, bands);
  synthesise_level_banded(levels_odd.data(), quantized.data(), width, height, detail_steps(steps, levels, 0), scratch,
                          [&](int y, const int32_t* row) {
                            scale(std::span<const int32_t>(row, static_cast<size_t>(width)),
                                  out.subspan(static_cast<size_t>(y) * static_cast<size_t>(width),
                                              static_cast<size_t>(width)));
                          });
}

void synthesise_plane(std::span<const int16_t> quantized, std::span<const int16_t> steps, std::span<int32_t> levels_odd,
                      std::span<int32_t> levels_even, int width, int height, int levels, const SampleScaler& scale,
                      std::span<uint8_t> out, int bands) {
  synthesise_coarse_levels(quantized, steps, levels_odd, levels_even, width, height, levels, bands);
  synthesise_finest_level(quantized, steps, levels_odd, width, height, levels, scale, out, bands);
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
