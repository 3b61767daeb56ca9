#include "encoder/colour_forward.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "output/colour_conversion.h"

namespace qzr::enc {
namespace {

// Squared error of one pixel (red, green, blue) as the decoder makes it.
int pixel_error(int y, int first, int second, const uint8_t* rgb) {
  const Pixel3 p = convert_pixel(y, first, second);
  const int decoded[3] = {p.b2, p.b1, p.b0};
  int e = 0;
  for (int c = 0; c < 3; ++c) e += (decoded[c] - rgb[c]) * (decoded[c] - rgb[c]);
  return e;
}

TEST(LumaForChroma, RoundsToTheBestLumaForTheDecodedChroma) {
  // Any chroma at all, near or far from the picture's, saturated colours
  // included: the luma target, rounded as the decoder rounds it, gives each
  // pixel the least error any luma sample could.
  std::mt19937 rng(5);
  const int width = 64, height = 48;
  Image image{width, height, std::vector<uint8_t>(size_t(width) * height * 3)};
  for (uint8_t& v : image.rgb) v = static_cast<uint8_t>(rng() % 4 == 0 ? (rng() % 2) * 255 : rng() % 256);
  std::vector<uint8_t> first(size_t(width / 2) * height), second(first.size());
  for (size_t i = 0; i < first.size(); ++i) {
    first[i] = static_cast<uint8_t>(rng() % 256);
    second[i] = static_cast<uint8_t>(rng() % 256);
  }
  RawVector<float> luma;
  luma_for_chroma(image, width, height, first, second, luma);
  int worse = 0;
  for (int r = 0; r < height; ++r) {
    // Plane row r holds picture row height - 1 - r.
    const uint8_t* row = image.rgb.data() + size_t(height - 1 - r) * width * 3;
    for (int c = 0; c < width; ++c) {
      const size_t chroma = size_t(r) * (width / 2) + c / 2;
      const int u = first[chroma], v = second[chroma];
      int best = 1 << 30;
      for (int y = 0; y < 256; ++y) best = std::min(best, pixel_error(y, u, v, row + 3 * c));
      const float target = luma[size_t(r) * width + c];
      ASSERT_GE(target, 0.0f);
      ASSERT_LE(target, 255.0f);
      const int got = pixel_error(static_cast<int>(std::floor(target + 0.5f)), u, v, row + 3 * c);
      if (got > best) ++worse;
    }
  }
  EXPECT_EQ(worse, 0);
}

}  // namespace
}  // namespace qzr::enc
