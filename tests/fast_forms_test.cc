// Each fast stage against its plain form on many random inputs: the fast
// forms must give the same bytes and integers, whatever the input.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <vector>

#include "codec/dequantize.h"
#include "codec/huffman_codes.h"
#include "codec/sample_scaling.h"
#include "codec/wavelet_synthesis.h"
#include "common/byte_io.h"
#include "common/simd_forms.h"
#include "container/lzari_decoder.h"
#include "encoder/lzari_encoder.h"
#include "output/colour_conversion.h"
#include "stream_builder.h"

namespace qzr {
namespace {

struct Expansion {
  bool ok = false;
  std::string failure;
  uint64_t count = 0;
  uint64_t bits_taken = 0;
  uint64_t determined = 0;
  std::vector<uint8_t> bytes;
};

using Expander = std::function<Expected<uint64_t>(ByteReader&, ByteWriter&, uint64_t, uint64_t*, uint64_t*)>;

Expander expander_in(SimdForm form) {
  return [form](ByteReader& in, ByteWriter& out, uint64_t limit, uint64_t* bits_taken, uint64_t* determined) {
    return decode_lzari_as(form, in, out, limit, bits_taken, determined);
  };
}

Expansion expand_with(const Expander& expand, const std::vector<uint8_t>& payload, uint64_t limit = kNoLimit) {
  Expansion e;
  ByteReader in = memory_reader(payload);
  ByteWriter w = memory_writer(e.bytes);
  Expected<uint64_t> r = expand(in, w, limit, &e.bits_taken, &e.determined);
  w.flush();
  e.ok = r.ok();
  if (r.ok())
    e.count = r.value();
  else
    e.failure = r.failure().text;
  return e;
}

// The fast form in every vector form this CPU runs, and the one the decoder
// chose, against the plain one.
void expect_same_expansion(const std::vector<uint8_t>& payload, uint64_t limit = kNoLimit) {
  const Expansion plain = expand_with(decode_lzari_plain, payload, limit);
  std::vector<std::pair<std::string, Expander>> fast_forms = {{"chosen", decode_lzari}};
  for (SimdForm form : runnable_simd_forms()) fast_forms.emplace_back(simd_form_name(form), expander_in(form));
  for (const auto& [name, expand] : fast_forms) {
    SCOPED_TRACE(name);
    const Expansion fast = expand_with(expand, payload, limit);
    ASSERT_EQ(fast.ok, plain.ok);
    EXPECT_EQ(fast.failure, plain.failure);
    EXPECT_EQ(fast.count, plain.count);
    EXPECT_EQ(fast.bits_taken, plain.bits_taken);  // what an audit compares with the file's bits
    EXPECT_EQ(fast.determined, plain.determined);  // what a salvage keeps
    ASSERT_EQ(fast.bytes.size(), plain.bytes.size());
    EXPECT_TRUE(fast.bytes == plain.bytes);
  }
}

std::vector<uint8_t> length_word(uint32_t n) {
  return {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
          static_cast<uint8_t>(n >> 24)};
}

TEST(FastLzari, MatchesThePlainFormOnRandomCodeBits) {
  // Every bit sequence is a stream: random bits reach every symbol, every
  // renormalisation shape, matches across the ring and the end of the input.
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    const uint32_t length = rng() % (round < 200 ? 3000 : 200000);
    std::vector<uint8_t> payload = length_word(length);
    const size_t code_bytes = rng() % 4 == 0 ? rng() % 16 : rng() % (length + 64);
    const int bias = static_cast<int>(rng() % 3);  // plain, mostly-zero or mostly-one bits
    for (size_t i = 0; i < code_bytes; ++i) {
      uint8_t b = static_cast<uint8_t>(rng());
      if (bias == 1) b &= static_cast<uint8_t>(rng());
      if (bias == 2) b |= static_cast<uint8_t>(rng());
      payload.push_back(b);
    }
    expect_same_expansion(payload);
  }
}

TEST(FastLzari, MatchesThePlainFormOnEncodedData) {
  std::mt19937 rng(12);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    // Skewed and repetitive data: long runs of one model state, rescaling,
    // long matches.
    std::vector<uint8_t> data(rng() % 100000);
    const uint32_t alphabet = 1 + rng() % 256;
    for (size_t i = 0; i < data.size(); ++i) {
      if (i > 100 && rng() % 4 == 0)
        data[i] = data[i - 1 - rng() % 100];
      else
        data[i] = static_cast<uint8_t>((rng() % alphabet) * (rng() % alphabet) / alphabet);
    }
    std::vector<uint8_t> payload = enc::lzari_encode(data);
    expect_same_expansion(payload);
    // Damaged: a few bytes of the code changed, one bit or whole.
    if (payload.size() > 8) {
      for (int k = 0; k < 3; ++k) {
        const size_t at = 4 + rng() % (payload.size() - 4);
        payload[at] = static_cast<uint8_t>(k == 0 ? payload[at] ^ (1u << (rng() % 8)) : rng());
      }
      expect_same_expansion(payload);
    }
  }
}

TEST(FastLzari, MatchesThePlainFormThroughManyRescales) {
  // One byte over and over drives one symbol's frequency to the top and
  // rescales every few thousand steps; a few bytes of equal weight keep long
  // runs of equal frequencies moving across the 16-symbol blocks; a slowly
  // drifting spread moves symbols between blocks in both directions.
  std::mt19937 rng(15);
  std::vector<std::vector<uint8_t>> inputs;
  inputs.emplace_back(300000, 0x80);
  std::vector<uint8_t> few(200000);
  for (auto& b : few) b = static_cast<uint8_t>(rng() % 5 * 51);
  inputs.push_back(few);
  std::vector<uint8_t> all(200000);
  for (auto& b : all) b = static_cast<uint8_t>(rng());
  inputs.push_back(all);
  std::vector<uint8_t> drift(300000);
  for (size_t i = 0; i < drift.size(); ++i) drift[i] = static_cast<uint8_t>(i / 20000 * 17 + rng() % (1 + i / 30000));
  inputs.push_back(drift);
  for (size_t n = 0; n < inputs.size(); ++n) {
    SCOPED_TRACE(n);
    const std::vector<uint8_t> payload = enc::lzari_encode(inputs[n]);
    expect_same_expansion(payload);
    // Cut short: the missing bits read as ones from wherever the cut falls.
    for (int cut = 0; cut < 4; ++cut) {
      const size_t keep = 4 + rng() % (payload.size() - 4);
      expect_same_expansion(std::vector<uint8_t>(payload.begin(), payload.begin() + static_cast<long>(keep)));
    }
  }
}

TEST(FastLzari, StopsWhereThePlainFormStopsAfterTheInputEnds) {
  std::mt19937 rng(13);
  for (int round = 0; round < 6; ++round) {
    std::vector<uint8_t> payload = length_word(0xFFFFFFFFu - static_cast<uint32_t>(round));
    for (int i = 0; i < round * 9; ++i) payload.push_back(static_cast<uint8_t>(rng()));
    expect_same_expansion(payload);
  }
  // A limit and a short length word fail alike.
  expect_same_expansion(length_word(5000), 4999);
  expect_same_expansion({1, 0});
}

TEST(FastLzari, ReadsAStreamAsItReadsMemory) {
  std::mt19937 rng(14);
  std::vector<uint8_t> payload = length_word(300000);
  for (int i = 0; i < 200000; ++i) payload.push_back(static_cast<uint8_t>(rng()));
  const std::vector<uint8_t> plain = expand_with(decode_lzari_plain, payload).bytes;
  // Buffers of 16 and 17 bytes (the least a reader holds) put an edge inside
  // every other word the bit window takes in.
  for (size_t buffer : {4096, 17, 16}) {
    SCOPED_TRACE(buffer);
    for (SimdForm form : runnable_simd_forms()) {
      SCOPED_TRACE(simd_form_name(form));
      std::FILE* f = std::tmpfile();
      ASSERT_NE(f, nullptr);
      ASSERT_EQ(std::fwrite(payload.data(), 1, payload.size(), f), payload.size());
      std::rewind(f);
      ByteReader in = file_reader(f, buffer);
      std::vector<uint8_t> from_file;
      ByteWriter w = memory_writer(from_file);
      ASSERT_TRUE(decode_lzari_as(form, in, w).ok());
      w.flush();
      std::fclose(f);
      EXPECT_TRUE(from_file == plain);
    }
  }
}

// The form the decoder runs is the best this CPU has at most the cap that
// QZR_SIMD names (scripts/test.sh runs the suite so with each form).
TEST(SimdForms, TheChosenFormIsTheBestRunnableOneUnderTheCap) {
  const std::vector<SimdForm>& forms = runnable_simd_forms();
  ASSERT_FALSE(forms.empty());
  EXPECT_EQ(forms.front(), SimdForm::portable);
  for (SimdForm cap : {SimdForm::portable, SimdForm::sse2, SimdForm::avx2, SimdForm::avx512}) {
    SimdForm best = SimdForm::portable;
    for (SimdForm f : forms)
      if (f <= cap) best = f;
    EXPECT_EQ(best_simd_form(cap), best) << simd_form_name(cap);
  }
  SimdForm cap = SimdForm::avx512;
  if (const char* asked = std::getenv("QZR_SIMD"))
    for (SimdForm f : {SimdForm::portable, SimdForm::sse2, SimdForm::avx2, SimdForm::avx512})
      if (std::string(asked) == simd_form_name(f)) cap = f;
  EXPECT_EQ(chosen_simd_form(), best_simd_form(cap));
}

struct RandomPlane {
  int width, height, levels;
  std::vector<int32_t> values;
};

// Any shape the band layout allows, any density from empty to full, small
// values and extremes that wrap.
RandomPlane random_plane(std::mt19937& rng, int max_side, int32_t magnitude) {
  RandomPlane p;
  p.levels = 1 + static_cast<int>(rng() % 6);
  const int unit = 1 << p.levels;
  p.width = unit * (1 + static_cast<int>(rng() % static_cast<uint32_t>(max_side / unit)));
  p.height = unit * (1 + static_cast<int>(rng() % static_cast<uint32_t>(max_side / unit)));
  p.values.resize(size_t(p.width) * size_t(p.height));
  const uint32_t density = rng() % 5 == 0 ? 100 : rng() % 60;
  for (auto& v : p.values) {
    const uint32_t r = rng();
    if (r % 100 >= density) continue;
    v = r % 211 == 0 ? static_cast<int32_t>(rng()) : static_cast<int32_t>(rng() % (2 * magnitude + 1)) - magnitude;
  }
  return p;
}

TEST(FastSynthesis, MatchesThePlainFormOnRandomPlanes) {
  std::mt19937 rng(21);
  for (int round = 0; round < 150; ++round) {
    RandomPlane p = random_plane(rng, round < 120 ? 80 : 600, 3000);
    SCOPED_TRACE(testing::Message() << p.width << "x" << p.height << " L" << p.levels);
    std::vector<int32_t> c = p.values, c2 = p.values, s(c.size()), s2(c.size());
    inverse_wavelet(c, s, p.width, p.height, p.levels);
    inverse_wavelet_plain(c2, s2, p.width, p.height, p.levels);
    ASSERT_TRUE(s == s2);
  }
}

TEST(FastSynthesis, WholePlaneMatchesDequantizeSynthesiseAndScale) {
  std::mt19937 rng(22);
  const int16_t scales[] = {1, 2, 4, 7, 16, 255, 256, 300, 32767, 0, -1, -5};
  for (int round = 0; round < 150; ++round) {
    RandomPlane p = random_plane(rng, round < 120 ? 80 : 520, 200);
    for (auto& v : p.values) v = static_cast<int16_t>(v);  // quantized values are 16-bit
    std::vector<int16_t> steps(static_cast<size_t>(3 * p.levels + 1));
    for (auto& st : steps) st = static_cast<int16_t>(rng() % 8 == 0 ? rng() : rng() % 64);
    const int16_t scale = rng() % 3 == 0 ? scales[rng() % std::size(scales)] : static_cast<int16_t>(1 + rng() % 20);
    SCOPED_TRACE(testing::Message() << p.width << "x" << p.height << " L" << p.levels << " scale " << scale);
    const size_t n = p.values.size();

    std::vector<int32_t> c = p.values, s(n);
    dequantize_plane(c, static_cast<int32_t>(n), p.levels, steps);
    inverse_wavelet_plain(c, s, p.width, p.height, p.levels);
    std::vector<uint8_t> expected(n);
    for (size_t i = 0; i < n; ++i) expected[i] = scale_sample(s[i], scale);

    const std::vector<int16_t> quantized(p.values.begin(), p.values.end());
    std::vector<int32_t> odd(n / 4), even(n / 16);
    std::vector<uint8_t> out(n);
    synthesise_plane(quantized, steps, odd, even, p.width, p.height, p.levels, SampleScaler(scale, n), out);
    ASSERT_TRUE(out == expected);
  }
}

// Large levels are cut into bands of rows on threads of their own; where
// two bands meet, their shares are summed. Shapes where a band is one tile
// of rows or a little more, and bands that round to the same boundary.
TEST(FastSynthesis, BandsOnThreadsGiveTheSamePlane) {
  std::mt19937 rng(23);
  struct Shape {
    int width, height, levels;
  };
  const Shape shapes[] = {{2048, 128, 1}, {1024, 132, 2}, {512, 512, 3}, {768, 264, 3}, {4096, 64, 1}, {256, 1024, 4}};
  for (const Shape& sh : shapes) {
    const size_t n = size_t(sh.width) * size_t(sh.height);
    std::vector<int16_t> quantized(n);
    for (auto& v : quantized) v = rng() % 3 == 0 ? static_cast<int16_t>(rng() % 401) - 200 : 0;
    std::vector<int16_t> steps(static_cast<size_t>(3 * sh.levels + 1));
    for (auto& st : steps) st = static_cast<int16_t>(1 + rng() % 40);
    std::vector<int32_t> odd(n / 4), even(n / 16);
    std::vector<uint8_t> one(n), banded(n);
    const SampleScaler scale(static_cast<int16_t>(1 + rng() % 8), n);
    synthesise_plane(quantized, steps, odd, even, sh.width, sh.height, sh.levels, scale, one, 1);
    for (int bands : {2, 3, 4, 9}) {
      SCOPED_TRACE(testing::Message() << sh.width << "x" << sh.height << " L" << sh.levels << " bands " << bands);
      std::fill(banded.begin(), banded.end(), uint8_t{0});
      synthesise_plane(quantized, steps, odd, even, sh.width, sh.height, sh.levels, scale, banded, bands);
      ASSERT_TRUE(banded == one);
    }
  }
}

// Leaf codes of values, short runs, long runs and empty runs.
uint16_t random_leaf_code(std::mt19937& rng) {
  const uint32_t kind = rng() % 10;
  if (kind < 4) return static_cast<uint16_t>(rng() & 0x7FFF);
  if (kind < 8) return static_cast<uint16_t>(0x8000 | (rng() % 7));
  if (kind < 9) return static_cast<uint16_t>(0x8000 | 31);
  return static_cast<uint16_t>(0x8000 | (rng() & 0x7FFF));
}

TEST(FastCodeExpansion, OverZerosMatchesWritingEveryRun) {
  std::mt19937 rng(41);
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> stream;
    test::random_code_tree(rng, 0, 1 + static_cast<int>(rng() % 14), stream, [&] { return random_leaf_code(rng); });
    const size_t code_bytes = rng() % 6000;
    for (size_t i = 0; i < code_bytes; ++i) stream.push_back(static_cast<uint8_t>(rng()));
    const int64_t count = rng() % 4 == 0 ? rng() % 100 : rng() % 20000;
    const size_t size = 1 + rng() % 30000;
    const int64_t offset = rng() % size, length = rng() % 4 == 0 ? int64_t{1} << 40 : rng() % 25000;
    SCOPED_TRACE(testing::Message() << "round " << round);

    std::vector<int16_t> plain(size), fast(size);
    ByteReader a = memory_reader(stream), b = memory_reader(stream);
    Expected<CodeTree> tree = read_code_tree(a);
    ASSERT_TRUE(read_code_tree(b).ok());
    if (!tree.ok()) continue;
    SpanExpander sp = make_span_expander(plain, offset, length), sf = make_span_expander(fast, offset, length);
    decode_and_expand(a, tree.value(), count, sp, false);
    decode_and_expand(b, tree.value(), count, sf, true);
    EXPECT_EQ(sf.filled, sp.filled);
    EXPECT_EQ(b.offset(), a.offset());
    ASSERT_TRUE(fast == plain);
  }
}

TEST(FastScaling, EveryScaleMatchesTheSampleRule) {
  std::mt19937 rng(51);
  for (int round = 0; round < 400; ++round) {
    const int16_t scale = round < 64 ? static_cast<int16_t>(1 << (round % 15)) : static_cast<int16_t>(rng());
    std::vector<int32_t> in(rng() % 200);
    for (auto& n : in) {
      const uint32_t kind = rng() % 8;
      n = kind == 0   ? static_cast<int32_t>(rng())  // anything, extremes too
          : kind == 1 ? (rng() % 2 ? 2147483647 : -2147483647 - 1)
                      : static_cast<int32_t>(rng() % 600) * scale / 2 - 50 * scale;  // around 0..255
    }
    std::vector<uint8_t> out(in.size());
    SampleScaler(scale, rng() % 2 ? in.size() : 1u << 20)(in, out);
    for (size_t i = 0; i < in.size(); ++i) ASSERT_EQ(out[i], scale_sample(in[i], scale)) << in[i] << " / " << scale;
  }
}

TEST(FastColour, RowsMatchThePixelFormAndStayInTheirBytes) {
  std::mt19937 rng(31);
  for (uint32_t columns = 0; columns < 300; ++columns) {
    // Extreme samples now and then: the clamps at both ends.
    auto sample = [&] { return static_cast<uint8_t>(rng() % 4 == 0 ? (rng() % 2) * 255 : rng()); };
    std::vector<uint8_t> y(columns + 1), u(columns / 2 + 2), v(columns / 2 + 2);
    for (auto& x : y) x = sample();
    for (auto& x : u) x = sample();
    for (auto& x : v) x = sample();
    const size_t offset = rng() % 16;  // any alignment
    std::vector<uint8_t> fast(3 * columns + 40, 0xA5), plain = fast;
    convert_row(y.data(), u.data(), v.data(), fast.data() + offset, columns);
    convert_row_plain(y.data(), u.data(), v.data(), plain.data() + offset, columns);
    ASSERT_TRUE(fast == plain) << columns;
  }
}

}  // namespace
}  // namespace qzr
