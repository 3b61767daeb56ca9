#include <gtest/gtest.h>

#include <random>

#include "common/byte_io.h"
#include "container/lzari_decoder.h"
#include "encoder/lzari_encoder.h"

namespace qzr::enc {
namespace {

std::vector<uint8_t> expand(const std::vector<uint8_t>& payload) {
  ByteReader in = memory_reader(payload);
  std::vector<uint8_t> out;
  ByteWriter w = memory_writer(out);
  uint64_t bits_taken = 0;
  Expected<uint64_t> n = decode_lzari(in, w, kNoLimit, &bits_taken);
  w.flush();
  EXPECT_TRUE(n.ok());
  // The code ends within the decoder's window of its end: a file's audit
  // takes a code that needs more than 15 bits past the file for a cut one
  // (the last bytes stay even when they are 0xFF).
  const uint64_t code_bits = 8 * (payload.size() - 4);
  EXPECT_LE(bits_taken, code_bits + 15);
  EXPECT_LT(code_bits, bits_taken + 8) << "a whole byte of code that the decoder never reads";
  return out;
}

void expect_round_trip(const std::vector<uint8_t>& data, const LzariEffort& effort = {}) {
  const std::vector<uint8_t> payload = lzari_encode(data, effort);
  ASSERT_GE(payload.size(), 4u);
  const uint32_t word = payload[0] | payload[1] << 8 | payload[2] << 16 | uint32_t{payload[3]} << 24;
  EXPECT_EQ(word, data.size());
  // The decoder writes whole matches; the encoder never lets one run past the end.
  EXPECT_EQ(expand(payload), data);
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed, int alphabet = 256) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> d(n);
  for (auto& b : d) b = static_cast<uint8_t>(rng() % static_cast<uint32_t>(alphabet));
  return d;
}

TEST(LzariEncoder, RoundTripsAroundTheRingAndMatchSizes) {
  for (size_t n : {0, 1, 2, 3, 4, 59, 60, 61, 62, 4035, 4036, 4095, 4096, 4097, 8193, 70000}) {
    SCOPED_TRACE(n);
    expect_round_trip(random_bytes(n, static_cast<uint32_t>(n)));
    expect_round_trip(random_bytes(n, static_cast<uint32_t>(n) + 7, 3));  // many short matches
    expect_round_trip(std::vector<uint8_t>(n, 0x41));                     // one long run
  }
  EXPECT_EQ(lzari_encode(std::vector<uint8_t>{}).size(), 4u);
}

TEST(LzariEncoder, StructuredDataCompressesAndRoundTrips) {
  // Text-like lines, a run, a block repeated at exactly the ring's distance,
  // and bytes that match the ring's initial spaces and zeros.
  std::vector<uint8_t> d;
  for (int i = 0; i < 3000; ++i) {
    const std::string line = "line " + std::to_string(i % 97) + ": the quick brown fox\n";
    d.insert(d.end(), line.begin(), line.end());
  }
  d.insert(d.end(), 200000, 0x00);
  const auto block = random_bytes(4096, 5);
  for (int i = 0; i < 20; ++i) d.insert(d.end(), block.begin(), block.end());
  d.insert(d.end(), 5000, ' ');
  expect_round_trip(d);
  EXPECT_LT(lzari_encode(d).size(), d.size() / 8);
  const std::vector<uint8_t> spaces(100, ' ');  // matches the initial ring from the first byte
  EXPECT_LT(lzari_encode(spaces).size(), 12u);
  expect_round_trip(spaces);
}

TEST(LzariEncoder, SeveralMegabytesAtEveryEffort) {
  std::vector<uint8_t> d = random_bytes(3 << 20, 11, 16);
  for (size_t i = 0; i < d.size(); i += 1000) d[i] = 0xFF;  // 0xFF tails are dropped from the output
  expect_round_trip(d);
  expect_round_trip(d, LzariEffort{1, 3, false});
  expect_round_trip(random_bytes(1 << 20, 12), LzariEffort{200, 60, true});
  EXPECT_EQ(lzari_encode(d), lzari_encode(d));
}

}  // namespace
}  // namespace qzr::enc
