#include "codec/huffman_codes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

#include "stream_builder.h"

namespace qzr {
namespace {

using test::Bytes;

TEST(HuffmanCodes, SingleLeafTreeTakesNoBits) {
  std::vector<uint8_t> bytes = {0x01, 0x34, 0x12, 0xAB};
  ByteReader in = memory_reader(bytes);
  Expected<CodeTree> tree = read_code_tree(in);
  ASSERT_TRUE(tree.ok());
  EXPECT_EQ(tree.value()[0].code, 0x1234);
  EXPECT_EQ(decode_codes(in, tree.value(), 5), std::vector<uint16_t>(5, 0x1234));
  EXPECT_EQ(in.read_byte(), 0xAB);
}

TEST(HuffmanCodes, BitsAreTakenLeastSignificantFirst) {
  std::vector<uint8_t> bytes = {0x00, 0x01, 0x05, 0x00, 0x01, 0x00, 0x80, 0x06, 0x77};
  ByteReader in = memory_reader(bytes);
  Expected<CodeTree> tree = read_code_tree(in);
  ASSERT_TRUE(tree.ok());
  std::vector<uint16_t> codes = decode_codes(in, tree.value(), 3);
  EXPECT_EQ(codes, (std::vector<uint16_t>{0x0005, 0x8000, 0x8000}));
  EXPECT_EQ(in.read_byte(), 0x77);  // the rest of 0x06 is dropped
  std::vector<int16_t> q(5, 9);
  expand_codes(codes, 3, q, 1);
  EXPECT_EQ(q, (std::vector<int16_t>{9, 5, 0, 0, 9}));
}

TEST(HuffmanCodes, BadNodeByteOrEndOfDataFailsTheTree) {
  for (std::vector<uint8_t> bytes :
       {std::vector<uint8_t>{0x02}, std::vector<uint8_t>{}, std::vector<uint8_t>{0x00, 0x01, 0x00, 0x00}}) {
    ByteReader in = memory_reader(bytes);
    Expected<CodeTree> tree = read_code_tree(in);
    ASSERT_FALSE(tree.ok());
    EXPECT_EQ(tree.failure().text, "Error reading Huffman Tree!\n");
    EXPECT_EQ(tree.failure().exit_status, -1);
  }
}

TEST(HuffmanCodes, MissingLeafBytesReadAsFF) {
  std::vector<uint8_t> one = {0x01, 0x34};
  ByteReader in = memory_reader(one);
  EXPECT_EQ(read_code_tree(in).value()[0].code, 0xFF34);
  std::vector<uint8_t> none = {0x01};
  ByteReader in2 = memory_reader(none);
  EXPECT_EQ(read_code_tree(in2).value()[0].code, 0xFFFF);
}

TEST(HuffmanCodes, DeepTreeIsReadWithoutRecursion) {
  // A comb a million levels deep: internal nodes whose zero child is a leaf.
  Bytes b;
  const int depth = 1'000'000;
  for (int i = 0; i < depth; ++i) b.raw({0x00, 0x01, 0x07, 0x00});
  b.raw({0x01, 0x09, 0x00});
  b.u8(0x00);  // code bits: 0 -> first leaf
  ByteReader in = memory_reader(b.b);
  Expected<CodeTree> tree = read_code_tree(in);
  ASSERT_TRUE(tree.ok());
  EXPECT_EQ(tree.value().size(), size_t{2 * depth + 1});
  EXPECT_EQ(decode_codes(in, tree.value(), 1), std::vector<uint16_t>{7});
}

TEST(HuffmanCodes, EndOfDataBitsAreOnes) {
  std::vector<uint8_t> bytes = {0x00, 0x01, 0x01, 0x00, 0x01, 0x02, 0x00, 0x00};
  ByteReader in = memory_reader(bytes);
  Expected<CodeTree> tree = read_code_tree(in);
  ASSERT_TRUE(tree.ok());
  std::vector<uint16_t> codes = decode_codes(in, tree.value(), 12);
  std::vector<uint16_t> expected(8, 1);
  expected.resize(12, 2);
  EXPECT_EQ(codes, expected);
}

TEST(HuffmanCodes, CodeFormsExpandAsRunsAndValues) {
  struct Case {
    uint16_t code;
    std::vector<int16_t> out;  // over a span of 20 preset to 7
  };
  auto zeros_then = [](int n) {
    std::vector<int16_t> v(20, 7);
    for (int i = 0; i < n; ++i) v[static_cast<size_t>(i)] = 0;
    return v;
  };
  auto value = [](int16_t x) {
    std::vector<int16_t> v(20, 7);
    v[0] = x;
    return v;
  };
  const Case cases[] = {{0x8004, zeros_then(16)}, {0x80E3, zeros_then(8)}, {0x801F, zeros_then(0)},
                        {0xFFFF, zeros_then(0)},  {0x4000, value(0)},      {0x3FFF, value(16383)},
                        {0x7FFF, value(-16383)},  {0x4001, value(-1)},     {0x8005, zeros_then(20)}};
  for (const Case& c : cases) {
    std::vector<int16_t> q(20, 7);
    const uint16_t code[] = {c.code};
    expand_codes(code, 20, q, 0);
    EXPECT_EQ(q, c.out) << std::hex << c.code;
  }
}

TEST(HuffmanCodes, ExpansionStaysInsideTheSpan) {
  std::vector<int16_t> q(6, 7);
  const uint16_t run4[] = {0x8002};
  expand_codes(run4, 3, q, 2);
  EXPECT_EQ(q, (std::vector<int16_t>{7, 7, 0, 0, 0, 7}));
  // Codes beyond a full span are not read; a zero-length span writes nothing.
  std::vector<int16_t> r(4, 7);
  const uint16_t many[] = {1, 2, 3, 4};
  expand_codes(many, 2, r, 0);
  EXPECT_EQ(r, (std::vector<int16_t>{1, 2, 7, 7}));
  expand_codes(many, 0, r, 0);
  expand_codes(many, -5, r, 0);
  EXPECT_EQ(r, (std::vector<int16_t>{1, 2, 7, 7}));
  // A span reaching past the array is cut at its end.
  std::vector<int16_t> s(4, 7);
  expand_codes(run4, 100, s, 1);
  EXPECT_EQ(s, (std::vector<int16_t>{7, 0, 0, 0}));
}

TEST(HuffmanCodes, HugeSymbolCountAfterTheDataEndsIsCheap) {
  // Two billion codes of a two-leaf tree with no code bytes: all ones.
  std::vector<uint8_t> bytes = {0x00, 0x01, 0x05, 0x00, 0x01, 0x03, 0x80};
  ByteReader in = memory_reader(bytes);
  Expected<CodeTree> tree = read_code_tree(in);
  ASSERT_TRUE(tree.ok());
  std::vector<int16_t> q(64, 1);
  SpanExpander span = make_span_expander(q, 0, 64);
  decode_and_expand(in, tree.value(), 2'000'000'000, span);
  EXPECT_EQ(q, std::vector<int16_t>(64, 0));  // 0x8003 runs fill the span
  EXPECT_TRUE(in.at_end());
}

}  // namespace
}  // namespace qzr

namespace qzr {
namespace {

// A random tree of up to `leaves` leaves, stored pre-order.
TEST(HuffmanCodes, TableWalkMatchesBitwiseWalkToTheByte) {
  std::mt19937 rng(11);
  for (int round = 0; round < 60; ++round) {
    std::vector<uint8_t> stream;
    test::random_code_tree(rng, 0, 1 + static_cast<int>(rng() % 24), stream,
                           [&] { return static_cast<uint16_t>(rng()); });
    const size_t tree_size = stream.size();
    const size_t code_bytes = rng() % 9000;
    for (size_t i = 0; i < code_bytes; ++i) stream.push_back(static_cast<uint8_t>(rng() % 5 == 0 ? 0xFF : rng()));
    const int32_t count = static_cast<int32_t>(rng() % 30000);

    ByteReader mem = memory_reader(stream);
    Expected<CodeTree> tree = read_code_tree(mem);
    ASSERT_TRUE(tree.ok());
    ASSERT_EQ(mem.offset(), tree_size);
    std::vector<uint16_t> fast = decode_codes(mem, tree.value(), count);

    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    std::fwrite(stream.data(), 1, stream.size(), f);
    std::rewind(f);
    ByteReader file = file_reader(f, 64);  // small refills cross many buffer ends
    ASSERT_TRUE(read_code_tree(file).ok());
    std::vector<uint16_t> plain = decode_codes(file, tree.value(), count);
    EXPECT_EQ(fast, plain) << "round " << round;
    EXPECT_EQ(mem.offset(), file.offset()) << "round " << round;
    std::fclose(f);
  }
}

}  // namespace
}  // namespace qzr

namespace qzr {
namespace {

TEST(HuffmanCodes, StoppingAtTheEndExpandsOnlyWhatTheDataDecide) {
  std::mt19937 rng(12);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    std::vector<uint8_t> tree_bytes;
    test::random_code_tree(rng, 0, 2 + static_cast<int>(rng() % 24), tree_bytes, [&] {
      return rng() % 4 == 0 ? test::run_code(static_cast<int>(rng() % 4)) : test::value_code(static_cast<int>(rng() % 200));
    });
    ByteReader t = memory_reader(tree_bytes);
    const CodeTree tree = read_code_tree(t).value();
    std::vector<uint8_t> codes(1 + rng() % 3000);
    for (uint8_t& b : codes) b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> longer = codes;  // the data as they might have gone on
    for (int i = 0; i < 64; ++i) longer.push_back(static_cast<uint8_t>(rng()));
    const auto expand = [&](const std::vector<uint8_t>& data, CodeWalk walk, bool stop, uint64_t* consumed) {
      std::vector<int16_t> values(1 << 18, 7);  // more than the codes fill
      SpanExpander span = make_span_expander(values, 0, static_cast<int64_t>(values.size()));
      ByteReader in = memory_reader(data);
      decode_and_expand(in, tree, 1 << 18, span, false, walk, stop);
      if (consumed != nullptr) *consumed = in.offset();
      values.resize(static_cast<size_t>(span.filled));
      return values;
    };
    const std::vector<int16_t> whole = expand(longer, CodeWalk::bitwise, false, nullptr);
    uint64_t bitwise_consumed = 0, lookup_consumed = 0;
    const std::vector<int16_t> bitwise = expand(codes, CodeWalk::bitwise, true, &bitwise_consumed);
    const std::vector<int16_t> lookup = expand(codes, CodeWalk::lookup, true, &lookup_consumed);
    EXPECT_EQ(bitwise, lookup);
    EXPECT_EQ(bitwise_consumed, lookup_consumed);
    ASSERT_LE(bitwise.size(), whole.size());
    EXPECT_TRUE(std::equal(bitwise.begin(), bitwise.end(), whole.begin()));
    if (codes.size() >= 3) {
      EXPECT_FALSE(bitwise.empty());  // codes are at most 24 bits long
    }
    // Without the stop, the ones past the end decode to something.
    EXPECT_GE(expand(codes, CodeWalk::bitwise, false, nullptr).size(), bitwise.size());
  }
}

}  // namespace
}  // namespace qzr
