#include "codec/plane_decoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "stream_builder.h"

namespace qzr {
namespace {

using test::Bytes;
using test::explicit_group;
using test::plane_header;
using test::run_code;
using test::single_leaf_group;
using test::value_code;

struct Groups {
  Status status;
  std::vector<int16_t> q;
  std::vector<int16_t> steps;
  uint64_t consumed;
};

// Reads band groups of a plane of `count` coefficients into arrays preset to -1.
Groups read_groups(const Bytes& groups, int levels, int count) {
  std::vector<int16_t> q(static_cast<size_t>(count), -1);
  std::vector<int16_t> steps(static_cast<size_t>(3 * levels + 1), -1);
  ByteReader in = memory_reader(groups.b);
  Status s = read_band_groups(in, levels, q, steps, "USeg");
  return {s, q, steps, in.offset()};
}

// Runs of equal values: (value, length) pairs.
std::vector<std::pair<int, int>> runs(const std::vector<int16_t>& v) {
  std::vector<std::pair<int, int>> r;
  for (int x : v) {
    if (r.empty() || r.back().first != x)
      r.push_back({x, 1});
    else
      ++r.back().second;
  }
  return r;
}

TEST(PlaneStream, GroupSpansFollowTheBandLayout) {
  // L = 3, 64 x 64: groups {0..3}, {4, 5, 6}, {7, 8, 9}; nothing is read after the third.
  Bytes g;
  g.append(single_leaf_group({{0, 1}, {1, 2}, {2, 3}, {3, 4}}, 256, value_code(1)));
  g.append(single_leaf_group({{4, 5}, {5, 6}, {6, 7}}, 768, value_code(2)));
  g.append(single_leaf_group({{7, 8}, {8, 9}, {9, 10}}, 3072, value_code(3)));
  const size_t size = g.b.size();
  g.u8(0x99);
  Groups r = read_groups(g, 3, 4096);
  ASSERT_TRUE(r.status.ok()) << r.status.failure.text;
  EXPECT_EQ(runs(r.q), (std::vector<std::pair<int, int>>{{1, 256}, {2, 768}, {3, 3072}}));
  EXPECT_EQ(r.steps, (std::vector<int16_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  EXPECT_EQ(r.consumed, size);
}

TEST(PlaneStream, SpanStartsAtTheFirstListedBand) {
  // L = 2, 64 x 64: s(1) = 1024, bands 5 and 6 at 2048 and 3072.
  auto spans = [](std::initializer_list<std::pair<int, int>> bands) {
    Bytes g;
    g.append(single_leaf_group(bands, 100000, value_code(5)));
    g.append(single_leaf_group({{0, 1}, {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}}, 0, value_code(0)));
    return runs(read_groups(g, 2, 4096).q);
  };
  EXPECT_EQ(spans({{5, 1}, {6, 1}}), (std::vector<std::pair<int, int>>{{-1, 2048}, {5, 2048}}));
  // 6 then 5: the span starts at band 6 and runs past the array, cut at its end.
  EXPECT_EQ(spans({{6, 1}, {5, 1}}), (std::vector<std::pair<int, int>>{{-1, 3072}, {5, 1024}}));
  // 2 then 1 at level 0 (s(0) = 256): the span covers bands 2 and 3.
  EXPECT_EQ(spans({{2, 1}, {1, 1}}), (std::vector<std::pair<int, int>>{{-1, 512}, {5, 512}, {-1, 3072}}));
}

TEST(PlaneStream, GroupWithoutHeadersReusesTheLastSpan) {
  Bytes g;
  g.append(single_leaf_group({}, 50, value_code(9)));  // span (0, 0): writes nothing
  g.append(single_leaf_group({{0, 1}, {1, 1}}, 1, run_code(31)));
  g.append(single_leaf_group({}, 1000, value_code(4)));                        // again over bands 0 and 1
  g.append(single_leaf_group({{2, 3}, {3, 1}, {2, 7}}, 1000, value_code(6)));  // band 2 twice
  Groups r = read_groups(g, 1, 64);
  ASSERT_TRUE(r.status.ok()) << r.status.failure.text;
  EXPECT_EQ(runs(r.q), (std::vector<std::pair<int, int>>{{4, 32}, {6, 32}}));
  EXPECT_EQ(r.steps[2], 7);  // the later header's step wins
}

TEST(PlaneStream, MalformedGroupsFailWithClearMessages) {
  struct Case {
    Bytes groups;
    const char* text;
  };
  Bytes nonzero_end = Bytes().u8(0x80).be16(1).u8(0x05);
  Bytes truncated_header = Bytes().u8(0x80).be16(1).u8(0x81);
  Bytes truncated_list = Bytes().u8(0x80).be16(1);
  Bytes high_band = Bytes().u8(0x80 | 5).be16(1).u8(0);
  Bytes bad_tree = Bytes().u8(0x80).be16(1).u8(0).be32(4).u8(0x02);
  const Case cases[] = {
      {nonzero_end, "\nBad band header list in segment USeg !\n"},
      {truncated_header, "\nUnexpected end of file in segment USeg !\n"},
      {truncated_list, "\nUnexpected end of file in segment USeg !\n"},
      {Bytes(), "\nUnexpected end of file in segment USeg !\n"},
      {high_band, "\nBand index 5 out of range in segment USeg !\n"},
      {bad_tree, "Error reading Huffman Tree!\n"},
  };
  for (const Case& c : cases) {
    Groups r = read_groups(c.groups, 1, 64);
    ASSERT_FALSE(r.status.ok()) << c.text;
    EXPECT_EQ(r.status.failure.text, c.text);
    EXPECT_EQ(r.status.failure.exit_status, -1);
  }
}

TEST(PlaneStream, EndlessRefillsOfTheSameSpanAreRefused) {
  // After a group over the whole plane, groups without headers refill it
  // from 8 bytes each: refused once the plane is filled many times over.
  Bytes g;
  g.append(single_leaf_group({{0, 1}, {1, 1}, {2, 1}}, 3, run_code(14)));  // 3 x 16384 of 65536
  for (int i = 0; i < 100; ++i) g.append(single_leaf_group({}, 1, run_code(30)));
  g.append(single_leaf_group({{3, 1}}, 1, run_code(14)));
  Groups r = read_groups(g, 1, 65536);
  ASSERT_FALSE(r.status.ok());
  EXPECT_EQ(r.status.failure.text, "\nBand groups refill the plane without end in segment USeg !\n");
  // A few refills are fine.
  Bytes h;
  h.append(single_leaf_group({{0, 1}, {1, 1}, {2, 1}}, 3, run_code(14)));
  for (int i = 0; i < 3; ++i) h.append(single_leaf_group({}, 1, run_code(30)));
  h.append(single_leaf_group({{3, 1}}, 1, run_code(14)));
  EXPECT_TRUE(read_groups(h, 1, 65536).status.ok());
}

Expected<Plane> decode(const Bytes& stream) {
  ByteReader in = memory_reader(stream.b);
  return decode_plane(in, "YSeg");
}

TEST(PlaneStream, HeaderFieldsOutsideTheLayoutAreRejected) {
  EXPECT_EQ(decode(Bytes().u8(0xFE)).failure().text, "\nNot QUORLEN QZR file!\n");
  for (int levels : {0, -1, 16, 127})
    EXPECT_EQ(decode(plane_header(levels, 64, 64, 1)).failure().text,
              format_text("\nUnsupported number of levels %d in segment YSeg !\n", levels));
  EXPECT_EQ(decode(plane_header(3, 60, 64, 1)).failure().text,
            "\nBad plane size 60 x 64 for 3 levels in segment YSeg !\n");
  EXPECT_FALSE(decode(plane_header(1, 0, 64, 1)).ok());
  EXPECT_FALSE(decode(plane_header(1, 64, -64, 1)).ok());
  // A plane beyond the caller's limit is refused before storage is taken.
  const Bytes big_header = plane_header(1, 32766, 32766, 1);
  ByteReader big = memory_reader(big_header.b);
  EXPECT_EQ(decode_plane(big, "VSeg", 1 << 20).failure().text,
            "\nPlane of 32766 x 32766 samples is too large for the image in segment VSeg !\n");
  // The end of the data right after the header fields.
  EXPECT_EQ(decode(plane_header(1, 2, 2, 1)).failure().text, "\nUnexpected end of file in segment YSeg !\n");
}

TEST(PlaneStream, SmallPlaneDecodesEndToEnd) {
  // 2 x 2, one level, one coefficient per quarter: 100, 10, 20, 30 at step 1.
  Bytes s = plane_header(1, 2, 2, 1);
  s.append(explicit_group({{0, 1}, {1, 1}, {2, 1}, {3, 1}},
                          {value_code(100), value_code(10), value_code(20), value_code(30)}));
  s.u8('$');
  ByteReader in = memory_reader(s.b);
  Expected<Plane> p = decode_plane(in, "YSeg");
  ASSERT_TRUE(p.ok()) << p.failure().text;
  EXPECT_EQ(p.value().width, 2);
  EXPECT_EQ(p.value().height, 2);
  EXPECT_EQ(p.value().samples, (RawVector<uint8_t>{98, 81, 60, 160}));
  EXPECT_EQ(in.read_byte(), '$');  // left on the first byte after the last group
  // Scale 2 halves them, halves rounding up; a missing band decodes as zeros.
  Bytes t = plane_header(1, 2, 2, 2);
  t.append(explicit_group({{0, 1}, {1, 1}, {2, 1}}, {value_code(100), value_code(10), value_code(20)}));
  t.append(single_leaf_group({{3, 1}}, 0, 0));
  EXPECT_EQ(decode(t).value().samples, (RawVector<uint8_t>{35, 56, 45, 65}));
}

TEST(FinalScaling, HalvesUpAndClamps) {
  struct Case {
    int32_t n;
    int16_t scale;
    uint8_t out;
  };
  const Case cases[] = {{5, 2, 3},     {509, 2, 255},    {510, 2, 255},        {511, 2, 255},
                        {-1, 2, 0},    {764, 3, 255},    {766, 3, 255},        {763, 3, 254},
                        {4, 1, 4},     {-3, -3, 1},      {3, -3, 0},           {7, 0, 255},
                        {0, 0, 0},     {-7, 0, 0},       {2147483647, 1, 255}, {-2147483647 - 1, -1, 255},
                        {1, 32767, 0}, {16384, 32767, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(scale_sample(c.n, c.scale), c.out) << c.n << "/" << c.scale;
    // Same as the double-precision rule for every case.
    const double q = static_cast<double>(c.n) / c.scale;
    const int expected = !(q >= 0.0) ? 0 : q > 255.0 ? 255 : static_cast<int>(q + 0.5);
    EXPECT_EQ(c.out, expected);
  }
}

TEST(FinalScaling, PlaneFormMatchesTheSampleForm) {
  std::vector<int32_t> samples;
  for (int32_t n = -3000; n <= 70000; n += 7) samples.push_back(n);
  samples.insert(samples.end(), {2147483647, -2147483647 - 1, 0, 255, 256});
  for (int16_t scale : {1, 2, 3, 4, 16, 64, 255, 256, 257, 1000, 32767, 0, -1, -3, -32768}) {
    std::vector<uint8_t> out(samples.size());
    scale_samples(samples, out, scale);
    for (size_t i = 0; i < samples.size(); ++i)
      ASSERT_EQ(out[i], scale_sample(samples[i], scale)) << samples[i] << "/" << scale;
  }
}

}  // namespace
}  // namespace qzr
