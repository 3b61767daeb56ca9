#include "container/lzari_decoder.h"

#include <gtest/gtest.h>

#include <vector>

namespace qzr {
namespace {

struct Expanded {
  bool ok;
  Failure failure;
  std::vector<uint8_t> bytes;
  uint64_t consumed;
};

Expanded expand(const std::vector<uint8_t>& payload) {
  ByteReader in = memory_reader(payload);
  std::vector<uint8_t> out;
  ByteWriter w = memory_writer(out);
  Result<uint64_t> r = decode_lzari(in, w);
  w.flush();
  if (!r.ok()) return {false, r.failure(), out, in.offset()};
  EXPECT_EQ(r.value(), out.size());
  return {true, {}, out, in.offset()};
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
    Result<uint64_t> r = decode_lzari_plain(in, w);
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
