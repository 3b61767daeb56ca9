#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "codec/band_layout.h"
#include "codec/dequantize.h"
#include "codec/huffman_codes.h"
#include "codec/wavelet_synthesis.h"
#include "common/byte_io.h"
#include "corner_streams.h"
#include "encoder/forward_wavelet.h"
#include "encoder/plane_encoder.h"

namespace qzr::enc {
namespace {

// Tree and bits through the decoder's reader; returns the codes read back
// and checks that exactly the written bytes were consumed.
std::vector<uint16_t> read_back(const std::vector<uint16_t>& codes) {
  CodeBook book;
  book.build(codes);
  std::vector<uint8_t> bytes = book.tree();
  book.write_codes(codes, bytes);
  bytes.push_back(0xA5);  // the next group's first byte
  ByteReader in = memory_reader(bytes);
  Expected<CodeTree> tree = read_code_tree(in);
  EXPECT_TRUE(tree.ok());
  std::vector<uint16_t> out = decode_codes(in, tree.value(), static_cast<int32_t>(codes.size()));
  EXPECT_EQ(in.read_byte(), 0xA5);
  return out;
}

TEST(CodeBook, TreesAndBitsReadBackThroughTheDecoder) {
  std::mt19937 rng(3);
  std::vector<uint16_t> skewed;  // doubling counts: the deepest tree 20 symbols make
  for (int s = 0; s < 20; ++s) skewed.insert(skewed.end(), size_t{1} << s, static_cast<uint16_t>(0x100 + s));
  std::shuffle(skewed.begin(), skewed.end(), rng);
  std::vector<uint16_t> wide;  // every magnitude and sign, and the run codes
  for (int i = 0; i < 40000; ++i)
    wide.push_back(static_cast<uint16_t>(rng() % 3 ? rng() & 0x7FFF : 0x8000 | rng() % 32));
  for (const auto& codes : {skewed, wide, std::vector<uint16_t>{0x1234, 0x1234, 0x1234}, std::vector<uint16_t>{7, 9}})
    EXPECT_EQ(read_back(codes), codes);
  CodeBook book;
  book.build(std::vector<uint16_t>(5, 0x8003));  // a single leaf: no code bits at all
  EXPECT_EQ(book.tree(), (std::vector<uint8_t>{kTreeLeaf, 0x03, 0x80}));
  EXPECT_EQ(book.length(0x8003), 0);
}

TEST(SpanCodes, ExpandToTheQuantizedValuesWhateverTheKnobs) {
  const std::vector<int16_t> q = {0, 0, 0, 5, -7, 0, 16383, -16383, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0};
  testing::CornerKnobs plain, corners;
  corners.empty_run_codes = corners.overrunning_runs = corners.excess_codes = true;
  for (const testing::CornerKnobs& k : {plain, corners}) {
    std::vector<uint16_t> codes;
    testing::append_corner_codes(q, k, codes);
    std::vector<int16_t> out(q.size() + 2, 99);  // guards on both sides of the span
    expand_codes(codes, static_cast<int32_t>(q.size()), out, 1);
    EXPECT_EQ(std::vector<int16_t>(out.begin() + 1, out.end() - 1), q);
    EXPECT_EQ(out.front(), 99);
    EXPECT_EQ(out.back(), 99);
  }
  std::vector<uint16_t> codes;
  append_span_codes(q, codes);
  EXPECT_EQ(codes.back(), 0x8003);  // five trailing zeros as one run of 8
}

TEST(Quantizer, ReconstructsWithinHalfAStepForBothSignsOfStep) {
  for (int16_t step : {1, 2, 3, 7, 25, 64, 1000, -1, -10, -333}) {
    for (float c = -5000; c <= 5000; c += 1.37f) {
      const int16_t v = quantize_value(c, step, QuantizerShape{0.5, 0.5});
      const double limit = std::abs(step) * 0.82 + 1;  // the cell around zero is the widest
      ASSERT_LE(std::abs(dequantize_value(step, v) - c), limit) << step << " " << c;
    }
  }
  EXPECT_EQ(quantize_value(1e9f, 1, QuantizerShape{}), 16383);
  EXPECT_EQ(quantize_value(-1e9f, -1, QuantizerShape{}), 16383);
  EXPECT_EQ(quantize_value(std::nanf(""), 5, QuantizerShape{}), 0);
}

// The bits of a span's values under their own Huffman code.
size_t bits(const std::vector<int16_t>& v) {
  std::vector<uint16_t> codes;
  append_span_codes(v, codes);
  CodeBook book;
  book.build(codes);
  size_t n = 0;
  for (uint16_t code : codes) n += static_cast<size_t>(book.length(code));
  return n;
}

// Without the bands' geometry, the refinement only ever moves a value toward
// zero, by one step or to zero, never across it; leaves the bands it may not
// touch; and at a higher price of bits gives fewer bits for more error,
// never a worse trade.
TEST(Refinement, MovesValuesTowardZeroWherePaysAndNowhereElse) {
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, 30.0f);
  std::vector<float> c(4000);
  for (float& x : c) x = rng() % 5 == 0 ? noise(rng) : noise(rng) * 0.05f;
  const SpanBand bands[] = {{1000, 9, false}, {3000, 9, true}};
  std::vector<int16_t> q(c.size());
  for (size_t i = 0; i < c.size(); ++i) q[i] = quantize_value(c[i], 9, QuantizerShape{});
  auto error = [&](const std::vector<int16_t>& v) {
    double e = 0;
    for (size_t i = 0; i < c.size(); ++i) e += std::pow(c[i] - dequantize_value(9, v[i]), 2);
    return e;
  };
  CodeBook book;
  std::vector<uint16_t> scratch;
  std::vector<float> errors;
  std::vector<int16_t> same = q;
  refine_span(same, c, bands, 0.0, book, scratch, errors);
  EXPECT_EQ(same, q);
  size_t previous_bits = bits(q);
  double previous_error = error(q);
  for (double lambda : {0.05, 0.2, 1.0}) {
    std::vector<int16_t> r = q;
    refine_span(r, c, bands, lambda, book, scratch, errors);
    for (size_t i = 0; i < c.size(); ++i) {
      if (i < 1000) {
        ASSERT_EQ(r[i], q[i]) << i;
      } else {
        ASSERT_TRUE(r[i] == q[i] || r[i] == 0 || r[i] == q[i] - (q[i] > 0 ? 1 : -1))
            << i << ": " << q[i] << " -> " << r[i];
      }
    }
    const size_t b = bits(r);
    const double e = error(r);
    EXPECT_LT(b, previous_bits) << lambda;
    EXPECT_GE(e, previous_error) << lambda;
    // What it gives up is worth less than the bits it saves at its price.
    EXPECT_LT(e - error(q), lambda * 81 * (static_cast<double>(bits(q)) - b)) << lambda;
    previous_bits = b;
    previous_error = e;
  }
}

// A band's stored rows and overlaps are those of the decoder's synthesis: a
// value's synthesised weights against those of the next value in its
// stored row, and of the value a stored row further, on a plane neither
// square nor of one level, in every orientation and at every level.
TEST(SpanBand, RowsAndOverlapsAreTheSynthesis) {
  const PlaneLayout layout{128, 64, 3, 1};
  const int32_t count = layout.width * layout.height;
  auto synthesised = [&](int64_t at) {
    std::vector<int32_t> coefficients(static_cast<size_t>(count), 0), samples(static_cast<size_t>(count));
    coefficients[static_cast<size_t>(at)] = 1 << 20;  // large: the shifts' rounding is lost in it
    inverse_wavelet(coefficients, samples, layout.width, layout.height, layout.levels);
    return samples;
  };
  auto inner = [](const std::vector<int32_t>& a, const std::vector<int32_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += static_cast<double>(a[i]) * b[i];
    return sum;
  };
  for (int b = 1; b < band_count(layout.levels); ++b) {
    const SpanBand band = span_band(layout, b, 1);
    ASSERT_GT(band.row, 0) << b;
    const int64_t rows = band.length / band.row;
    // A value away from the borders.
    const int64_t at = band_offset(count, layout.levels, b) + rows / 2 * band.row + band.row / 2;
    const auto self = synthesised(at), next = synthesised(at + 1), further = synthesised(at + band.row);
    EXPECT_NEAR(inner(self, next) / inner(self, self), band.along, 1e-4) << "band " << b;
    EXPECT_NEAR(inner(self, further) / inner(self, self), band.across, 1e-4) << "band " << b;
  }
}

// With the bands' geometry and overlaps, the refinement aims each value at
// what lowers the error of the synthesised plane, not of its coefficient
// alone: every detail band comes out of the decoder's synthesis closer to
// the unquantized one, for about the same bits.
TEST(Refinement, CoupledBandsLowerTheErrorOfTheSynthesis) {
  const PlaneLayout layout{128, 64, 2, 1};
  const int32_t count = layout.width * layout.height;
  const int16_t step = 12;
  std::mt19937 rng(11);
  std::exponential_distribution<float> magnitude(1.0f / 10.0f);
  std::vector<float> c(static_cast<size_t>(count));
  for (float& x : c) x = (rng() % 2 ? 1.0f : -1.0f) * magnitude(rng);
  std::vector<int16_t> q(c.size());
  for (size_t i = 0; i < c.size(); ++i) q[i] = quantize_value(c[i], step, QuantizerShape{});
  auto refined = [&](bool coupled) {
    std::vector<int16_t> r = q;
    CodeBook book;
    std::vector<uint16_t> codes;
    std::vector<float> errors;
    for (int b = 1; b < band_count(layout.levels); ++b) {
      SpanBand band = span_band(layout, b, step);
      if (!coupled) band.row = 0;
      const auto at = static_cast<size_t>(band_offset(count, layout.levels, b));
      const auto n = static_cast<size_t>(band.length);
      for (int pass = 0; pass < 2; ++pass)
        refine_span(std::span(r).subspan(at, n), std::span<const float>(c).subspan(at, n), {&band, 1}, 0.02, book,
                    codes, errors);
    }
    return r;
  };
  const std::vector<int16_t> plain = refined(false), coupled = refined(true);
  // The synthesis of one band's errors alone (the error of the plane is the
  // sum of the bands' at the finest level, and nearly so above it).
  auto band_error = [&](const std::vector<int16_t>& r, int b) {
    std::vector<int32_t> coefficients(c.size(), 0), samples(c.size());
    const int64_t at = band_offset(count, layout.levels, b), n = band_size(count, layout.levels, band_level(b));
    // Scaled up by 256, so that the synthesis' shifts round nothing that
    // matters.
    for (int64_t i = at; i < at + n; ++i) {
      const auto k = static_cast<size_t>(i);
      coefficients[k] = static_cast<int32_t>(std::lround((dequantize_value(step, r[k]) - c[k]) * 256.0));
    }
    inverse_wavelet(coefficients, samples, layout.width, layout.height, layout.levels);
    double sum = 0;
    for (int32_t s : samples) sum += std::pow(s / 256.0, 2);
    return sum;
  };
  for (int b = 1; b < band_count(layout.levels); ++b)
    EXPECT_LT(band_error(coupled, b), 0.99 * band_error(plain, b)) << "band " << b;
  EXPECT_LT(bits(coupled), bits(plain) * 1.03);
}

TEST(BandGroups, PartitionTheBandsInLayoutOrder) {
  using testing::Grouping;
  for (Grouping g : {Grouping::kPerLevel, Grouping::kAllInOne, Grouping::kPerBand, Grouping::kUneven}) {
    for (int levels = 1; levels <= 8; ++levels) {
      testing::CornerKnobs k;
      k.grouping = g;
      int next = 0;
      for (const auto& group : testing::corner_band_groups(levels, k))
        for (int b : group) ASSERT_EQ(b, next++);
      EXPECT_EQ(next, band_count(levels));
    }
  }
  testing::CornerKnobs k;
  k.grouping = Grouping::kUneven;
  k.group_sizes = {3, 0, 9};
  EXPECT_EQ(testing::corner_band_groups(2, k).size(), 3u);  // {0,1,2}, {3}, {4,5,6}
}

TEST(ForwardWavelet, IntegerSynthesisReproducesTheTargetAtEveryLevelCount) {
  std::mt19937 rng(9);
  for (int levels = 1; levels <= 8; ++levels) {
    const int w = 256, h = levels <= 4 ? 48 : 512;
    std::vector<float> target(size_t(w) * h);
    for (size_t i = 0; i < target.size(); ++i)
      target[i] = 64.0f * (128 + 90 * std::sin(0.07 * (i % w)) * std::cos(0.05 * (i / w)) + rng() % 32);
    const auto c = analyse_refined(target, w, h, levels, 1);
    std::vector<int32_t> ci(c.size()), s(c.size());
    for (size_t i = 0; i < c.size(); ++i) ci[i] = static_cast<int32_t>(std::lround(c[i]));
    inverse_wavelet(ci, s, w, h, levels);
    double se = 0;
    for (size_t i = 0; i < s.size(); ++i) se += (s[i] - target[i]) * (s[i] - target[i]);
    // What is left is the rounding of the integer synthesis, a few units.
    EXPECT_LT(std::sqrt(se / s.size()), 4.0) << levels;
  }
}

TEST(ForwardWavelet, BandEnergiesMatchTheSynthesis) {
  const int w = 256, levels = 3;
  const std::vector<double> e = band_energies(levels);
  for (int b = 0; b < band_count(levels); ++b) {
    std::vector<int32_t> c(size_t(w) * w, 0), s(c.size());
    const int32_t count = w * w;
    const int32_t size = band_size(count, levels, band_level(b));
    c[static_cast<size_t>(band_offset(count, levels, b) + size / 2 + 5)] = 1 << 16;  // away from the borders
    inverse_wavelet(c, s, w, w, levels);
    double sum = 0;
    for (int32_t v : s) sum += std::pow(v / 65536.0, 2);
    EXPECT_NEAR(sum, e[static_cast<size_t>(b)], 1e-3 * e[static_cast<size_t>(b)]) << b;
  }
}

}  // namespace
}  // namespace qzr::enc
