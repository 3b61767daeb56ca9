#include "codec/wavelet_synthesis.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>
#include <vector>

namespace qzr {
namespace {

using Samples = std::map<std::pair<int, int>, int32_t>;  // (x, y) -> nonzero sample

// Synthesises a plane holding one coefficient at `position`, both forms.
Samples one_coefficient(int size, int levels, int64_t position, int32_t value) {
  const int64_t count = int64_t{size} * size;
  std::vector<int32_t> c(static_cast<size_t>(count), 0), s(static_cast<size_t>(count), 0);
  c[static_cast<size_t>(position)] = value;
  std::vector<int32_t> c2 = c, s2 = s;
  inverse_wavelet(c, s, size, size, levels);
  inverse_wavelet_plain(c2, s2, size, size, levels);
  EXPECT_EQ(s, s2) << "fast and plain forms differ";
  Samples out;
  for (int y = 0; y < size; ++y)
    for (int x = 0; x < size; ++x)
      if (int32_t v = s[static_cast<size_t>(y * size + x)]; v != 0) out[{x, y}] = v;
  return out;
}

// Rows y0.., columns x0..: expected values row by row.
Samples block(int x0, int y0, std::vector<std::vector<int32_t>> rows) {
  Samples out;
  for (size_t r = 0; r < rows.size(); ++r)
    for (size_t c = 0; c < rows[r].size(); ++c)
      if (rows[r][c] != 0) out[{x0 + static_cast<int>(c), y0 + static_cast<int>(r)}] = rows[r][c];
  return out;
}

TEST(WaveletSynthesis, ApproximationQuarterStencils) {
  // 8 x 8, one level: B = 16, quarter 0 row by row with hw = 4.
  EXPECT_EQ(one_coefficient(8, 1, 0, 16), block(0, 0, {{16, 8}, {8, 4}}));
  // (1, 1) = 6: the sample below the centre gets 2u = 2, the one above t = 3.
  EXPECT_EQ(one_coefficient(8, 1, 5, 6), block(1, 1, {{1, 3, 1}, {3, 6, 3}, {1, 2, 1}}));
  // (3, 3) = 7, the last: mirror and corner additions.
  EXPECT_EQ(one_coefficient(8, 1, 15, 7), block(5, 5, {{1, 3, 2}, {3, 7, 6}, {2, 5, 4}}));
}

TEST(WaveletSynthesis, DetailQuarterStencils) {
  // Quarter 3's (0, 0) = 7, centre (1, 1).
  EXPECT_EQ(one_coefficient(8, 1, 48, 7), block(0, 0, {{4, -6, 2}, {-6, 7, -3}, {2, -2, 1}}));
  // Quarter 1's (1, 0), centre (2, 1): n = (-t) >> 1 on row 0, not -u.
  EXPECT_EQ(one_coefficient(8, 1, 17, -1), block(1, 0, {{1, 2, 1}, {-1, -1, -1}, {1, 2, 1}}));
  EXPECT_EQ(one_coefficient(8, 1, 17, -6), block(1, 0, {{3, 6, 3}, {-3, -6, -3}, {2, 4, 2}}));
  // Quarter 2 is stored column by column: position 33 is (0, 1), centre (1, 2).
  EXPECT_EQ(one_coefficient(8, 1, 33, 10), block(0, 1, {{-5, 5, -2}, {-10, 10, -5}, {-5, 4, -2}}));
}

TEST(WaveletSynthesis, SmallestPlanesPutEveryCoefficientOnTheBorder) {
  std::vector<int32_t> c = {100, 10, 20, 30}, s(4);
  std::vector<int32_t> c2 = c, s2(4);
  inverse_wavelet(c, s, 2, 2, 1);
  inverse_wavelet_plain(c2, s2, 2, 2, 1);
  EXPECT_EQ(s, (std::vector<int32_t>{98, 81, 60, 160}));
  EXPECT_EQ(s2, s);
}

TEST(WaveletSynthesis, LevelsRunCoarsestFirst) {
  Samples flat;
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 4; ++x) flat[{x, y}] = 64;
  EXPECT_EQ(one_coefficient(4, 2, 0, 64), flat);
  EXPECT_EQ(one_coefficient(4, 2, 0, 7), block(0, 0, {{7, 6, 6, 6}, {6, 4, 5, 4}, {6, 5, 4, 4}, {6, 4, 4, 4}}));
}

TEST(WaveletSynthesis, CoefficientOfOneTouchesOnlyItsCentre) {
  for (int64_t position : {0, 5, 15, 17, 33, 40, 63})
    EXPECT_EQ(one_coefficient(8, 1, position, 1).size(), 1u) << position;
}

TEST(WaveletSynthesis, FastFormMatchesPlainFormOnRandomPlanes) {
  std::mt19937 rng(7);
  struct Shape {
    int w, h, levels;
  };
  for (Shape sh :
       {Shape{16, 16, 1}, Shape{64, 32, 3}, Shape{32, 64, 5}, Shape{256, 256, 8}, Shape{8, 128, 3}, Shape{96, 40, 2}}) {
    const size_t count = size_t(sh.w) * sh.h;
    std::vector<int32_t> c(count);
    for (auto& v : c) {
      uint32_t r = rng();
      // Mostly zeros, some small values, a few extremes that wrap.
      v = (r % 4 != 0) ? 0 : (r % 97 == 0) ? static_cast<int32_t>(rng()) : static_cast<int32_t>(r % 2001) - 1000;
    }
    std::vector<int32_t> c2 = c, s(count), s2(count);
    inverse_wavelet(c, s, sh.w, sh.h, sh.levels);
    inverse_wavelet_plain(c2, s2, sh.w, sh.h, sh.levels);
    EXPECT_EQ(s, s2) << sh.w << "x" << sh.h << " L" << sh.levels;
  }
}

TEST(WaveletSynthesis, TransposeBandGivesTheTransposeInPlace) {
  // rows 3, columns 2: a0..a5 become a0, a2, a4, a1, a3, a5.
  std::vector<int32_t> a = {9, 0, 1, 2, 3, 4, 5, 9};
  transpose_band(a, 1, 3, 2);
  EXPECT_EQ(a, (std::vector<int32_t>{9, 0, 2, 4, 1, 3, 5, 9}));
  for (auto [rows, cols] : {std::pair{1, 7}, {7, 1}, {1, 1}, {1, 2}, {2, 2}, {4, 6}, {13, 5}, {64, 64}, {31, 17}}) {
    const int n = rows * cols;
    std::vector<int32_t> m(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) m[static_cast<size_t>(i)] = i;
    transpose_band(m, 0, rows, cols);
    for (int r = 0; r < rows; ++r)
      for (int c = 0; c < cols; ++c)
        ASSERT_EQ(m[static_cast<size_t>(c * rows + r)], r * cols + c) << rows << "x" << cols;
  }
}

}  // namespace
}  // namespace qzr
