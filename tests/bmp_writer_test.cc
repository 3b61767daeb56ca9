#include "output/bmp_writer.h"

#include "container/container_header.h"
#include "output/colour_conversion.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <utility>
#include <vector>

namespace qzr {
namespace {

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::vector<uint8_t> bmp(uint32_t width, uint32_t height, uint32_t padded_width, uint32_t padded_height) {
  std::vector<uint8_t> pixels(size_t{3} * padded_width * padded_height);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7 + 1);
  std::vector<uint8_t> out;
  ByteWriter w = memory_writer(out);
  write_bmp_rows(w, pixels, width, height, padded_width);
  w.flush();
  return out;
}

TEST(BmpWriter, HeaderSizesFollowThePaddedRows) {
  struct Case {
    uint32_t width, height, padded_width, row_size;
  };
  const Case cases[] = {{640, 480, 768, 1920}, {1, 1, 256, 4}, {2, 1, 256, 8}, {3, 2, 256, 12},
                        {300, 3, 512, 900},    {0, 5, 0, 0},   {5, 0, 256, 16}};
  for (const Case& c : cases) {
    std::vector<uint8_t> b = bmp(c.width, c.height, c.padded_width, c.height + 1);
    const uint32_t image = c.row_size * c.height;
    ASSERT_EQ(b.size(), 54 + image) << c.width;
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(le32(b, 2), 54 + image);
    EXPECT_EQ(le32(b, 6), 0u);
    EXPECT_EQ(le32(b, 10), 54u);
    EXPECT_EQ(le32(b, 14), 40u);
    EXPECT_EQ(le32(b, 18), c.width);
    EXPECT_EQ(le32(b, 22), c.height);
    EXPECT_EQ(b[26] | b[27] << 8, 1);
    EXPECT_EQ(b[28] | b[29] << 8, 24);
    EXPECT_EQ(le32(b, 30), 0u);
    EXPECT_EQ(le32(b, 34), image);
    for (size_t at = 38; at < 54; at += 4) EXPECT_EQ(le32(b, at), 0u);
  }
  EXPECT_EQ(le32(bmp(640, 480, 768, 512), 2), 921654u);
}

TEST(BmpWriter, RowsComeFromTheBufferFirstRowFirstWithZeroFill) {
  // 3 x 2 visible out of a 4 x 3 buffer: each row takes 9 bytes, then 3 zeros.
  std::vector<uint8_t> pixels(3 * 4 * 3);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(100 + i);
  std::vector<uint8_t> out;
  ByteWriter w = memory_writer(out);
  write_bmp_rows(w, pixels, 3, 2, 4);
  w.flush();
  ASSERT_EQ(out.size(), 54u + 24);
  std::vector<uint8_t> rows(out.begin() + 54, out.end());
  std::vector<uint8_t> expected;
  for (int r = 0; r < 2; ++r) {
    for (int i = 0; i < 9; ++i) expected.push_back(static_cast<uint8_t>(100 + 12 * r + i));
    expected.insert(expected.end(), 3, 0);
  }
  EXPECT_EQ(rows, expected);
}

// On two threads, pictures of several blocks of rows (about 1 MiB each),
// the last one partly filled.
TEST(BmpWriter, RowsStraightFromThePlanesMatchThePixelBuffer) {
  std::mt19937 rng(5);
  for (auto [width, height] :
       {std::pair{300u, 7u}, {257u, 3u}, {1u, 1u}, {255u, 256u}, {0u, 4u}, {5u, 0u}, {2048u, 600u}, {1500u, 1337u}}) {
    const uint32_t pw = pad_dimension(width) ? pad_dimension(width) : 256,
                   ph = pad_dimension(height) ? pad_dimension(height) : 256;
    Plane planes[3] = {{int(pw), int(ph), RawVector<uint8_t>(size_t{pw} * ph)},
                       {int(pw / 2), int(ph), RawVector<uint8_t>(size_t{pw} / 2 * ph)},
                       {int(pw / 2), int(ph), RawVector<uint8_t>(size_t{pw} / 2 * ph)}};
    for (Plane& p : planes)
      for (uint8_t& x : p.samples) x = static_cast<uint8_t>(rng());
    std::vector<uint8_t> pixels(size_t{3} * pw * ph);
    convert_to_bgr(planes[0], planes[1], planes[2], pixels, pw, ph);
    std::vector<uint8_t> via_buffer;
    ByteWriter a = memory_writer(via_buffer);
    write_bmp_rows(a, pixels, width, height, pw);
    a.flush();
    for (int threads : {1, 2}) {
      std::vector<uint8_t> direct;
      ByteWriter b = memory_writer(direct);
      write_bmp_from_planes(b, planes, width, height, pw, threads);
      b.flush();
      EXPECT_EQ(direct, via_buffer) << width << " x " << height << " on " << threads;
    }
  }
}

}  // namespace
}  // namespace qzr
