#include "encoder/colour_forward.h"

#include <algorithm>

#include "common/colour_formula.h"
#include "container/container_header.h"
#include "encoder/encoder.h"

namespace qzr::enc {
namespace {

constexpr double kUnit = 1 << colour::kShift;
constexpr double kBlueFromFirst = colour::kBlueFromU / kUnit;     // du -> byte 0
constexpr double kGreenFromFirst = colour::kGreenFromU / kUnit;   // du -> byte 1 (subtracted)
constexpr double kGreenFromSecond = colour::kGreenFromV / kUnit;  // dv -> byte 1 (subtracted)
constexpr double kRedFromSecond = colour::kRedFromV / kUnit;      // dv -> byte 2

// Exact inverse of the conversion for one pixel (without the rounding):
// y = (G + a R + b B) / (1 + a + b) with a = 88/454 and b = 183/359, the
// green factors over the red and blue ones.
constexpr double kA = kGreenFromSecond / kRedFromSecond;
constexpr double kB = kGreenFromFirst / kBlueFromFirst;
constexpr double kLumaNorm = 1.0 / (1.0 + kA + kB);

float clamp255(double v) { return static_cast<float>(std::clamp(v, 0.0, 255.0)); }

}  // namespace

PlaneTargets forward_colour(const Image& image) {
  PlaneTargets t;
  t.width = static_cast<int>(pad_dimension(static_cast<uint32_t>(image.width)));
  t.height = static_cast<int>(pad_dimension(static_cast<uint32_t>(image.height)));
  const size_t pw = static_cast<size_t>(t.width), ph = static_cast<size_t>(t.height);
  const size_t cw = pw / 2;
  t.luma.resize(pw * ph);
  t.first_chroma.resize(cw * ph);
  t.second_chroma.resize(cw * ph);
  const int last_column = image.width - 1, last_row = image.height - 1;

  for (size_t r = 0; r < ph; ++r) {
    // Plane row 0 is the picture's bottom row; rows past the top repeat it.
    const int src_row = last_row - std::min(static_cast<int>(r), last_row);
    const uint8_t* row = image.rgb.data() + static_cast<size_t>(src_row) * static_cast<size_t>(image.width) * 3;
    float* luma = t.luma.data() + r * pw;
    for (size_t j = 0; j < cw; ++j) {
      double red[2], green[2], blue[2];
      double du = 0, dv = 0;
      for (int k = 0; k < 2; ++k) {
        const int c = std::min(static_cast<int>(2 * j) + k, last_column);
        const uint8_t* p = row + static_cast<size_t>(c) * 3;
        red[k] = p[0];
        green[k] = p[1];
        blue[k] = p[2];
        const double y = (green[k] + kA * red[k] + kB * blue[k]) * kLumaNorm;
        du += (blue[k] - y) / kBlueFromFirst;
        dv += (red[k] - y) / kRedFromSecond;
      }
      // The decoder takes floor(factor x du) of an integer du that is itself
      // rounded; half a unit of the product up keeps blue and red unbiased.
      du = std::clamp(du * 0.5 + 0.5 / kBlueFromFirst, -128.0, 127.0);
      dv = std::clamp(dv * 0.5 + 0.5 / kRedFromSecond, -128.0, 127.0);
      t.first_chroma[r * cw + j] = static_cast<float>(du + colour::kChromaZero);
      t.second_chroma[r * cw + j] = static_cast<float>(dv + colour::kChromaZero);
      // Expected offsets the chroma adds to each byte, floors included.
      const double add_blue = kBlueFromFirst * du - 0.5;
      const double add_green = -(kGreenFromSecond * dv - 0.5) - (kGreenFromFirst * du - 0.5);
      const double add_red = kRedFromSecond * dv - 0.5;
      for (int k = 0; k < 2; ++k) {
        const double y = ((blue[k] - add_blue) + (green[k] - add_green) + (red[k] - add_red)) / 3.0;
        luma[2 * j + static_cast<size_t>(k)] = clamp255(y);
      }
    }
  }
  return t;
}

}  // namespace qzr::enc
