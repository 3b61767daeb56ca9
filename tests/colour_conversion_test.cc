#include "output/colour_conversion.h"

#include <gtest/gtest.h>

#include <vector>

namespace qzr {
namespace {

TEST(ColourConversion, SinglePixelTable) {
  struct Case {
    int y, u, v;
    Pixel3 out;
  };
  const Case cases[] = {{128, 128, 128, {128, 128, 128}}, {0, 0, 0, {0, 136, 0}},
                        {255, 255, 255, {255, 122, 255}}, {0, 255, 0, {178, 0, 0}},
                        {255, 0, 255, {75, 255, 255}},    {100, 129, 127, {101, 101, 98}},
                        {100, 127, 129, {98, 101, 101}},  {0, 128, 128, {0, 0, 0}}};
  for (const Case& c : cases) {
    Plane y{2, 1, {static_cast<uint8_t>(c.y), 0}};
    Plane u{1, 1, {static_cast<uint8_t>(c.u)}};
    Plane v{1, 1, {static_cast<uint8_t>(c.v)}};
    std::vector<uint8_t> px(6);
    convert_to_bgr(y, u, v, px, 2, 1);
    const Pixel3 p = convert_pixel(c.y, c.u, c.v);
    EXPECT_EQ((std::vector<int>{px[0], px[1], px[2]}), (std::vector<int>{c.out.b0, c.out.b1, c.out.b2}))
        << c.y << "," << c.u << "," << c.v;
    EXPECT_EQ((std::vector<int>{p.b0, p.b1, p.b2}), (std::vector<int>{c.out.b0, c.out.b1, c.out.b2}));
  }
}

TEST(ColourConversion, ChromaPairsAndPositionsRunOnAcrossRows) {
  // 4 x 2: luma 0..7; chroma pairs 0..3 each distinct.
  Plane y{4, 2, {10, 20, 30, 40, 50, 60, 70, 80}};
  Plane u{2, 2, {128, 255, 0, 128}};
  Plane v{2, 2, {128, 128, 128, 255}};
  std::vector<uint8_t> px(24);
  convert_to_bgr(y, u, v, px, 4, 2);
  auto at = [&](int r, int c) {
    const uint8_t* p = &px[static_cast<size_t>(3 * (r * 4 + c))];
    return std::vector<int>{p[0], p[1], p[2]};
  };
  auto expect = [](int y, int u, int v) {
    Pixel3 p = convert_pixel(y, u, v);
    return std::vector<int>{p.b0, p.b1, p.b2};
  };
  EXPECT_EQ(at(0, 0), expect(10, 128, 128));
  EXPECT_EQ(at(0, 1), expect(20, 128, 128));  // shares column 0's pair
  EXPECT_EQ(at(0, 2), expect(30, 255, 128));
  EXPECT_EQ(at(1, 0), expect(50, 0, 128));  // row 1 starts at chroma sample width / 2
  EXPECT_EQ(at(1, 3), expect(80, 128, 255));
}

TEST(ColourConversion, PlanesSmallerThanTheImageAreRejected) {
  Plane y{4, 2, RawVector<uint8_t>(8)};
  Plane c{2, 2, RawVector<uint8_t>(4)};
  Plane short_c{2, 1, RawVector<uint8_t>(2)};
  EXPECT_TRUE(check_plane_sizes(y, c, c, 4, 2).ok());
  EXPECT_TRUE(check_plane_sizes(y, c, c, 2, 2).ok());  // larger planes are read from their start
  EXPECT_EQ(check_plane_sizes(y, c, c, 4, 4).failure.text,
            "\nPlane of segment YSeg is too small for a 4 x 4 image !\n");
  EXPECT_EQ(check_plane_sizes(y, short_c, c, 4, 2).failure.text,
            "\nPlane of segment USeg is too small for a 4 x 2 image !\n");
  EXPECT_FALSE(check_plane_sizes(y, c, short_c, 4, 2).ok());
}

}  // namespace
}  // namespace qzr
