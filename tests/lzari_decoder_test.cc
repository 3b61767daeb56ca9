#include "container/lzari_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <random>
#include <utility>
#include <vector>

#include "encoder/lzari_encoder.h"

namespace qzr {
namespace {

struct Expanded {
  bool ok;
  Error failure;
  std::vector<uint8_t> bytes;
  uint64_t consumed;
  uint64_t determined = 0;  // bytes the input's own bits decide
};

using Expander = Expected<uint64_t> (*)(ByteReader&, ByteWriter&, uint64_t, uint64_t*, uint64_t*);

// Expands with the fast form, or with `form`.
Expanded expand(const std::vector<uint8_t>& payload, Expander form = decode_lzari) {
  ByteReader in = memory_reader(payload);
  std::vector<uint8_t> out;
  ByteWriter w = memory_writer(out);
  uint64_t determined = 0;
  Expected<uint64_t> r = form(in, w, kNoLimit, nullptr, &determined);
  w.flush();
  if (!r.ok()) return {false, r.failure(), out, in.offset()};
  EXPECT_EQ(r.value(), out.size());
  return {true, {}, out, in.offset(), determined};
}

TEST(LzariDecoder, ShortLengthWordIsReadErrorWithStatusOne) {
  for (size_t n = 0; n < 4; ++n) {
    Expanded e = expand(std::vector<uint8_t>(n, 0));
    ASSERT_FALSE(e.ok) << n;
    EXPECT_EQ(e.failure.text, "\nRead Error\n");
    EXPECT_EQ(e.failure.exit_status, 1);
    EXPECT_TRUE(e.bytes.empty());
  }
}

TEST(LzariDecoder, LengthZeroReadsNothingMore) {
  Expanded e = expand({0, 0, 0, 0, 0x12, 0x34});
  ASSERT_TRUE(e.ok);
  EXPECT_TRUE(e.bytes.empty());
  EXPECT_EQ(e.consumed, 4u);
}

TEST(LzariDecoder, MissingCodeBitsReadAsOnes) {
  // Only one bits: code_value 0x1FFFF, symbol 1, character 0.
  Expanded e = expand({1, 0, 0, 0});
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.bytes, std::vector<uint8_t>{0x00});
  // 0xFF bytes are the same as the end of the input.
  Expanded f = expand({1, 0, 0, 0, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(f.bytes, e.bytes);
}

TEST(LzariDecoder, ZeroBitsGiveLongestMatchIntoTheInitialRing) {
  // 17 zero bits: symbol 314 (a match of 60) at position 4095, distance 4096,
  // which copies the 60 zero slots 4036..4095: more than the length word.
  Expanded e = expand({1, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.bytes, std::vector<uint8_t>(60, 0x00));
}

TEST(LzariDecoder, AnyInputEndsAtTheLengthWordWithinOneMatch) {
  // Arbitrary bits decode to some output of the requested length (+ < 60).
  uint32_t seed = 12345;
  for (int round = 0; round < 50; ++round) {
    std::vector<uint8_t> payload = {static_cast<uint8_t>(round * 37), static_cast<uint8_t>(round), 0, 0};
    for (int i = 0; i < round * 7; ++i) {
      seed = seed * 1103515245 + 12345;
      payload.push_back(static_cast<uint8_t>(seed >> 16));
    }
    uint32_t length = payload[0] | payload[1] << 8;
    Expanded e = expand(payload);
    ASSERT_TRUE(e.ok);
    EXPECT_GE(e.bytes.size(), length);
    EXPECT_LT(e.bytes.size(), length + 60u);
  }
}

// Code bits that hold the interval at its edges (long runs of one bit keep
// low at 0 or high at the top, alternations keep it straddling the middle)
// and runs cut by random bytes, which move from one to the other: the fast
// form's renormalisation and its division by the width's reciprocal must
// follow the plain form's bit by bit through all of them.
TEST(LzariDecoder, FastFormFollowsThePlainOneAtTheEdgesOfTheInterval) {
  auto plain = [](const std::vector<uint8_t>& payload) {
    ByteReader in = memory_reader(payload);
    std::vector<uint8_t> out;
    ByteWriter w = memory_writer(out);
    Expected<uint64_t> r = decode_lzari_plain(in, w);
    w.flush();
    EXPECT_TRUE(r.ok());
    return out;
  };
  uint32_t seed = 99;
  const uint8_t fills[] = {0x00, 0xFF, 0x80, 0x7F, 0x55, 0xAA, 0x01, 0xFE};
  for (uint8_t fill : fills) {
    for (int cut = 0; cut < 3; ++cut) {
      std::vector<uint8_t> payload = {0x60, 0xEA, 0, 0};  // 60000 bytes
      for (int i = 0; i < 40000; ++i) {
        seed = seed * 1103515245 + 12345;
        // cut 0: the fill alone; 1: a random byte in 16; 2: runs of 64 of each.
        const bool random = cut == 1 ? (seed >> 28) == 0 : cut == 2 && (i / 64) % 2 == 1;
        payload.push_back(random ? static_cast<uint8_t>(seed >> 16) : fill);
      }
      Expanded e = expand(payload);
      ASSERT_TRUE(e.ok);
      EXPECT_EQ(e.bytes, plain(payload)) << int{fill} << " " << cut;
    }
  }
}

TEST(LzariModel, StartsWithUnitFrequenciesAndFixedPositions) {
  LzariModel m;
  init_model(m);
  EXPECT_EQ(m.symbol_cumulative[0], 314u);
  EXPECT_EQ(m.symbol_cumulative[314], 0u);
  EXPECT_EQ(m.symbol_cumulative[100], 214u);
  EXPECT_EQ(m.symbol_character[1], 0);
  EXPECT_EQ(m.symbol_character[314], 313);
  EXPECT_EQ(kPositionTable.cumulative[0] - kPositionTable.cumulative[1], 49u);
  EXPECT_EQ(kPositionTable.cumulative[4095], 2u);
  EXPECT_EQ(kPositionTable.cumulative[0], 28568u);
}

TEST(LzariModel, EqualFrequenciesSwapWithTheFirstOfTheirRun) {
  LzariModel m;
  init_model(m);
  // Symbols 1..4 higher, 5..9 equal: counting symbol 9 moves its character to 5.
  for (int s = 1; s <= 4; ++s) m.symbol_frequency[s] = 10 - s;
  for (int s = 5; s <= 9; ++s) m.symbol_frequency[s] = 5;
  for (int s = 10; s <= 314; ++s) m.symbol_frequency[s] = 1;
  uint32_t c = 0;
  for (int i = 314; i >= 1; --i) {
    m.symbol_cumulative[i] = c;
    c += m.symbol_frequency[i];
  }
  m.symbol_cumulative[0] = c;
  LzariModel before = m;
  adapt_model(m, 9);
  EXPECT_EQ(m.symbol_character[5], before.symbol_character[9]);
  EXPECT_EQ(m.symbol_character[9], before.symbol_character[5]);
  for (int s = 6; s <= 8; ++s) EXPECT_EQ(m.symbol_character[s], before.symbol_character[s]);
  EXPECT_EQ(m.symbol_frequency[5], 6u);
  EXPECT_EQ(m.symbol_frequency[9], 5u);
  for (int j = 0; j <= 4; ++j) EXPECT_EQ(m.symbol_cumulative[j], before.symbol_cumulative[j] + 1) << j;
  for (int j = 5; j <= 314; ++j) EXPECT_EQ(m.symbol_cumulative[j], before.symbol_cumulative[j]) << j;
  EXPECT_EQ(m.character_symbol[static_cast<size_t>(m.symbol_character[5])], 5);
  EXPECT_EQ(m.character_symbol[static_cast<size_t>(m.symbol_character[9])], 9);
}

TEST(LzariModel, RescalesAtTheLimitBeforeCounting) {
  LzariModel m;
  init_model(m);
  // Frequencies 32451, 3, 2 and 311 ones: a total of exactly 0x7FFF.
  m.symbol_frequency[1] = 32451;
  m.symbol_frequency[2] = 3;
  m.symbol_frequency[3] = 2;
  uint32_t c = 0;
  for (int i = 314; i >= 1; --i) {
    m.symbol_cumulative[i] = c;
    c += m.symbol_frequency[i];
  }
  m.symbol_cumulative[0] = c;
  ASSERT_EQ(c, 0x7FFFu);
  const int32_t char3 = m.symbol_character[3], char314 = m.symbol_character[314];
  adapt_model(m, 314);
  // Halving rounds up (3 -> 2, 2 -> 1, 1 stays 1); then symbol 314 counts as
  // the first symbol of frequency 1, which is now symbol 3.
  EXPECT_EQ(m.symbol_frequency[1], 16226u);
  EXPECT_EQ(m.symbol_frequency[2], 2u);
  EXPECT_EQ(m.symbol_frequency[3], 2u);
  EXPECT_EQ(m.symbol_frequency[4], 1u);
  EXPECT_EQ(m.symbol_frequency[314], 1u);
  EXPECT_EQ(m.symbol_character[3], char314);
  EXPECT_EQ(m.symbol_character[314], char3);
  EXPECT_EQ(m.symbol_cumulative[0], 16226u + 2 + 2 + 311);
  EXPECT_EQ(m.symbol_cumulative[3], 311u);
}

}  // namespace
}  // namespace qzr

namespace qzr {
namespace {

TEST(LzariDecoder, StopsSpinningOutFillerSoonAfterTheInputEnds) {
  // A 4 GB length word with no code bytes at all.
  Expanded e = expand({0xFF, 0xFF, 0xFF, 0xFF});
  ASSERT_TRUE(e.ok);
  EXPECT_GE(e.bytes.size(), kMaxBytesAfterInputEnd);
  EXPECT_LT(e.bytes.size(), kMaxBytesAfterInputEnd + 60);
}

}  // namespace
}  // namespace qzr

namespace qzr {
namespace {

// Expands `payload` with the fast form and the plain one; they must agree.
std::vector<uint8_t> expand_both_forms(const std::vector<uint8_t>& payload) {
  const Expanded fast = expand(payload), plain = expand(payload, decode_lzari_plain);
  EXPECT_TRUE(fast.ok && plain.ok);
  EXPECT_EQ(fast.bytes, plain.bytes) << "the fast and the plain form differ";
  return fast.bytes;
}

// A payload: the length word, then code bits given as (bit count, value)
// fields, most significant bit first. The last byte is completed with one
// bits, which is what the end of the input reads as.
std::vector<uint8_t> hand_payload(uint32_t length, std::initializer_list<std::pair<int, uint32_t>> fields) {
  std::vector<uint8_t> p = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                            static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
  uint32_t acc = 0;
  int used = 0;
  auto put = [&](uint32_t bit) {
    acc = acc << 1 | bit;
    if (++used == 8) {
      p.push_back(static_cast<uint8_t>(acc));
      acc = 0;
      used = 0;
    }
  };
  for (const auto& [count, value] : fields)
    for (int i = count - 1; i >= 0; --i) put(value >> i & 1);
  while (used != 0) put(1);
  return p;
}

std::vector<uint8_t> concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// A first symbol depends on the first 17 code bits, c0, alone (total 314,
// range 2^17): c0 <= 416 gives x = 0, symbol 314, a match of 60. Its
// interval [0, 417) takes nine doublings, so the position reads
// c = c0 x 512 + the next nine bits over a range of 213504:
// x = ((c + 1) x 28568 - 1) / 213504, and the position p is the one with
// cumulative[p + 1] <= x < cumulative[p] (cumulative[1] = 28519, and
// cumulative[p] = 2 x (4096 - p) for p >= 3133). The match starts p + 1
// slots behind the write position 4036. Before anything is written, slots
// 0..4035 hold spaces and 4036..4095 zeros.
TEST(LzariDecoder, FirstMatchCopiesTheInitialRingAcrossItsWrap) {
  const std::vector<uint8_t> blanks(60, 0x20);
  struct Case {
    const char* what;
    std::vector<uint8_t> payload, expected;
  } cases[] = {
      // c = 416 x 512 + 511: x = 28567, p = 0, distance 1: slot 4035, then
      // the copy reads what it has just written.
      {"distance 1", hand_payload(60, {{17, 416}}), blanks},
      // c = 512 + 391 = 903: x = 120, p = 4035, distance 4036: slots 0..59.
      {"distance 4036", hand_payload(60, {{17, 1}, {9, 391}}), blanks},
      // c = 512 + 375 = 887: x = 118, p = 4036, distance 4037: the last zero
      // in slot 4095, then slots 0..58.
      {"distance 4037", hand_payload(60, {{17, 1}, {9, 375}}),
       concat({std::vector<uint8_t>(1, 0), std::vector<uint8_t>(59, 0x20)})},
      // c = 512 + 300 = 812: x = 108, p = 4041, distance 4042: slots
      // 4090..4095, then 0..53.
      {"distance 4042", hand_payload(60, {{17, 1}, {9, 300}}),
       concat({std::vector<uint8_t>(6, 0), std::vector<uint8_t>(54, 0x20)})},
      // c = 0: x = 0, p = 4095, distance 4096: slots 4036..4095.
      {"distance 4096", hand_payload(60, {{17, 0}, {9, 0}}), std::vector<uint8_t>(60, 0x00)},
      // c = 11 after 26 bits: x = 1, p = 4095 again, over [0, 14) of 28568,
      // thirteen doublings. The match has moved character 313 to symbol 1
      // (frequency 2, total 315); symbol 66 still stands for 'A'. Code value
      // 11 x 8192 + 300 = 90412 gives x = 248 over the range 114688: 'A'.
      {"a literal after the match", hand_payload(61, {{17, 0}, {9, 11}, {13, 300}}),
       concat({std::vector<uint8_t>(60, 0x00), {'A'}})},
      // The same match for a length word of 2: the whole match is written.
      {"past the length word", hand_payload(2, {{17, 1}, {9, 300}}),
       concat({std::vector<uint8_t>(6, 0), std::vector<uint8_t>(54, 0x20)})},
  };
  for (const Case& c : cases) EXPECT_EQ(expand_both_forms(c.payload), c.expected) << c.what;
}

// The encoder's own picture of the initial ring (zeros oldest, then
// spaces) against the decoder's: data that opens with runs of both can be
// coded as matches into the ring, without a first literal of either byte,
// and comes back whole.
TEST(LzariDecoder, EncodedMatchesIntoTheInitialRingComeBack) {
  std::mt19937 rng(21);
  std::vector<uint8_t> text(20);
  for (auto& b : text) b = static_cast<uint8_t>('a' + rng() % 26);
  auto opening = [&](uint8_t blank, uint8_t zero) {
    return concat({std::vector<uint8_t>(100, blank),
                   std::vector<uint8_t>(40, zero),
                   text,
                   std::vector<uint8_t>(70, zero),
                   {'!'},
                   std::vector<uint8_t>(50, blank)});
  };
  const std::vector<uint8_t> data = opening(0x20, 0x00);
  const std::vector<uint8_t> payload = enc::lzari_encode(data);
  EXPECT_EQ(expand_both_forms(payload), data);
  // The same with bytes in no slot of the initial ring: each run then needs
  // a literal first (8 bits or more, where a far match costs a few bits more
  // than a near one): a byte more, at these sizes.
  const std::vector<uint8_t> other_bytes = opening(0x01, 0x02);
  const std::vector<uint8_t> other_payload = enc::lzari_encode(other_bytes);
  EXPECT_EQ(expand_both_forms(other_payload), other_bytes);
  EXPECT_LT(payload.size(), other_payload.size());
}

// Matches whose source runs over the ring's last slot into its first, and
// whose destination does: copies of earlier stretches of random bytes that
// cross the outputs 60, 4156 and 8252, where the write position wraps.
TEST(LzariDecoder, EncodedMatchesAcrossTheRingsWrapComeBack) {
  std::mt19937 rng(22);
  std::vector<uint8_t> data(13000);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  // Byte by byte, as a match copies: an overlapping copy repeats its start.
  auto copy = [&](size_t from, size_t to, size_t n) {
    for (size_t k = 0; k < n; ++k) data[to + k] = data[from + k];
  };
  copy(30, 500, 60);      // reads slots 4066..4095, then 0..29
  copy(4120, 4140, 57);   // 20 back, written over the wrap at 4156
  copy(4200, 8230, 45);   // 4030 back, written over the wrap at 8252
  copy(8240, 12000, 59);  // reads over the wrap at 8252, from 3760 back
  EXPECT_EQ(expand_both_forms(enc::lzari_encode(data)), data);
}

}  // namespace
}  // namespace qzr

namespace qzr {
namespace {

TEST(LzariDecoder, ACutPayloadDecidesAPrefixOfTheWholeOne) {
  std::mt19937 rng(5);
  std::vector<uint8_t> data(30000);
  for (size_t i = 0; i < data.size(); ++i)
    data[i] = i > 100 && rng() % 4 == 0 ? data[i - 1 - rng() % 100] : static_cast<uint8_t>(rng() % 16);
  const std::vector<uint8_t> payload = enc::lzari_encode(data);
  // A sound encoder's code decides every byte, whatever follows it.
  const Expanded whole = expand(payload);
  ASSERT_EQ(whole.bytes, data);
  EXPECT_EQ(whole.determined, data.size());
  std::vector<uint8_t> padded = payload;
  padded.insert(padded.end(), 8, 0x00);  // zeros instead of the ones the end reads as
  EXPECT_EQ(expand(padded).bytes, data);

  uint64_t previous = 0;
  std::vector<size_t> cuts;
  for (size_t cut = 4; cut < payload.size(); cut += payload.size() / 61 + 1) cuts.push_back(cut);
  cuts.push_back(payload.size() - 1);
  for (size_t cut : cuts) {
    SCOPED_TRACE(cut);
    const std::vector<uint8_t> part(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(cut));
    const Expanded fast = expand(part), plain = expand(part, decode_lzari_plain);
    EXPECT_EQ(fast.determined, plain.determined);
    ASSERT_LE(fast.determined, data.size());
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(fast.determined),
                           fast.bytes.begin()));
    EXPECT_GE(fast.determined, previous);
    previous = fast.determined;
  }
  // The last byte's few symbols are all that one byte less loses.
  EXPECT_GE(previous + 200, data.size());
}

}  // namespace
}  // namespace qzr
