#include "output/picture_rows.h"

#include <gtest/gtest.h>

#include <vector>

namespace qzr {
namespace {

// A 3 x 2 picture in planes padded to 4 x 2. Chroma pairs of (132, 128)
// add 5 to blue and take 2 from green; pairs of (128, 132) add 7 to red and
// take 1 from green: every pixel's three bytes differ, each channel in its
// own way.
//   plane row 0: luma 10 20 30, pairs (132, 128) for columns 0-1, (128, 132) for 2
//   plane row 1: luma 40 50 60, pairs (128, 132) for columns 0-1, (132, 128) for 2
// The padding column's luma (99) is never shown.
TEST(PictureRows, EveryPixelOrderUprightWithWideStrides) {
  const Plane planes[3] = {
      {4, 2, {10, 20, 30, 99, 40, 50, 60, 99}}, {2, 2, {132, 128, 128, 132}}, {2, 2, {128, 132, 132, 128}}};
  const PictureSource picture{planes, 3, 2, 4};
  using Row = std::vector<uint8_t>;
  struct Case {
    PixelOrder order;
    const char* name;
    Row plane_row0, plane_row1;
  } cases[] = {
      {PixelOrder::rgb, "rgb", {10, 8, 15, 20, 18, 25, 37, 29, 30}, {47, 39, 40, 57, 49, 50, 60, 58, 65}},
      {PixelOrder::bgr, "bgr", {15, 8, 10, 25, 18, 20, 30, 29, 37}, {40, 39, 47, 50, 49, 57, 65, 58, 60}},
      {PixelOrder::rgba,
       "rgba",
       {10, 8, 15, 255, 20, 18, 25, 255, 37, 29, 30, 255},
       {47, 39, 40, 255, 57, 49, 50, 255, 60, 58, 65, 255}},
      {PixelOrder::bgra,
       "bgra",
       {15, 8, 10, 255, 25, 18, 20, 255, 30, 29, 37, 255},
       {40, 39, 47, 255, 50, 49, 57, 255, 65, 58, 60, 255}},
  };
  constexpr uint8_t kUntouched = 0xEE;
  for (const Case& c : cases) {
    const size_t row_bytes = 3 * pixel_bytes(c.order), stride = row_bytes + 5;
    // Upright: plane row 1 first, rows `stride` apart; the 5 bytes after
    // each row stay as they were.
    Row expected = c.plane_row1;
    expected.resize(stride, kUntouched);
    expected.insert(expected.end(), c.plane_row0.begin(), c.plane_row0.end());
    expected.resize(2 * stride, kUntouched);

    Row pixels(2 * stride, kUntouched);
    write_picture_rows(picture, c.order, pixels.data(), stride);
    EXPECT_EQ(pixels, expected) << c.name;
  }
}

}  // namespace
}  // namespace qzr
