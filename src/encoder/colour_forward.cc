#include "encoder/colour_forward.h"

#include <algorithm>
#include <cmath>
#include <future>

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

// The picture's pixels at plane positions: plane row 0 is the picture's
// bottom row; rows past the top and columns past the right edge repeat the
// edge.
const uint8_t* source_row(ImageView image, size_t plane_row) {
  const int last_row = image.height - 1;
  const int row = last_row - std::min(static_cast<int>(plane_row), last_row);
  return image.rgb.data() + static_cast<size_t>(row) * static_cast<size_t>(image.width) * 3;
}
const uint8_t* source_pixel(ImageView image, const uint8_t* row, size_t plane_column) {
  return row + static_cast<size_t>(std::min(static_cast<int>(plane_column), image.width - 1)) * 3;
}

// Squared error of a pixel (red, green, blue) decoded from luma y with the
// chroma's additions.
double luma_error(double y, const uint8_t* rgb, const int add[3]) {
  double e = 0;
  for (int ch = 0; ch < 3; ++ch) {
    const double d = std::clamp(y + add[ch], 0.0, 255.0) - rgb[ch];
    e += d * d;
  }
  return e;
}

// The luma for one pixel. Each byte alone is best at luma p = its value less
// the chroma's addition, and its error grows away from p on either side. A
// byte's clamp only ever flattens its error, so wherever the set of clamped
// bytes changes the slope of the total drops: the least error lies at 0, at
// 255, or where the error of one set of unclamped bytes is least, the mean of
// their p. The best of those is the target. Rounded, it must give the best
// whole luma too, which beside a clamp it may not: that luma is then the
// target itself.
float best_luma(const uint8_t* rgb, const int add[3]) {
  const double p[3] = {static_cast<double>(rgb[0] - add[0]), static_cast<double>(rgb[1] - add[1]),
                       static_cast<double>(rgb[2] - add[2])};
  // Between the least and the greatest p no byte clamped: one quadratic,
  // least at the mean; the p are whole, so the mean rounds within it too.
  const double low = std::min({p[0], p[1], p[2]}), high = std::max({p[0], p[1], p[2]});
  if (low >= 0 && high <= 255 && low + std::min({add[0], add[1], add[2]}) >= 0 &&
      high + std::max({add[0], add[1], add[2]}) <= 255)
    return static_cast<float>((p[0] + p[1] + p[2]) / 3.0);
  double candidates[9] = {0.0, 255.0};
  int n = 2;
  for (int set = 1; set < 8; ++set) {
    double sum = 0;
    int count = 0;
    for (int ch = 0; ch < 3; ++ch)
      if (set >> ch & 1) {
        sum += p[ch];
        ++count;
      }
    // Only a mean at which exactly these bytes are unclamped is a least
    // point of the error.
    const double m = sum / count;
    bool fits = m > 0 && m < 255;
    for (int ch = 0; ch < 3 && fits; ++ch) {
      const double v = m + add[ch];
      fits = (set >> ch & 1) ? v >= 0 && v <= 255 : v <= 0 || v >= 255;
    }
    if (fits) candidates[n++] = m;
  }
  double best_real = 0, best_real_error = 1e300, best_whole = 0, best_whole_error = 1e300;
  for (int i = 0; i < n; ++i) {
    const double y = candidates[i];
    const double e = luma_error(y, rgb, add);
    if (e < best_real_error) {
      best_real_error = e;
      best_real = y;
    }
    for (double w : {std::floor(y), std::ceil(y)}) {
      const double we = luma_error(w, rgb, add);
      if (we < best_whole_error) {
        best_whole_error = we;
        best_whole = w;
      }
    }
  }
  if (luma_error(std::floor(best_real + 0.5), rgb, add) > best_whole_error) return static_cast<float>(best_whole);
  return static_cast<float>(best_real);
}

}  // namespace

PlaneTargets forward_colour(ImageView image) {
  PlaneTargets t;
  t.width = static_cast<int>(pad_dimension(static_cast<uint32_t>(image.width)));
  t.height = static_cast<int>(pad_dimension(static_cast<uint32_t>(image.height)));
  const size_t pw = static_cast<size_t>(t.width), ph = static_cast<size_t>(t.height);
  const size_t cw = pw / 2;
  t.luma.resize(pw * ph);
  t.first_chroma.resize(cw * ph);
  t.second_chroma.resize(cw * ph);
  for (size_t r = 0; r < ph; ++r) {
    const uint8_t* row = source_row(image, r);
    float* luma = t.luma.data() + r * pw;
    for (size_t j = 0; j < cw; ++j) {
      double red[2], green[2], blue[2];
      double du = 0, dv = 0;
      for (int k = 0; k < 2; ++k) {
        const uint8_t* p = source_pixel(image, row, 2 * j + static_cast<size_t>(k));
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

void luma_for_chroma(ImageView image, int width, int height, std::span<const uint8_t> first,
                     std::span<const uint8_t> second, RawVector<float>& luma) {
  const size_t pw = static_cast<size_t>(width), ph = static_cast<size_t>(height), cw = pw / 2;
  luma.resize(pw * ph);
  auto rows = [&](size_t from, size_t to) {
    for (size_t r = from; r < to; ++r) {
      const uint8_t* row = source_row(image, r);
      for (size_t j = 0; j < cw; ++j) {
        // What the chroma adds to red, green and blue, as the decoder adds it.
        const colour::ChromaAdditions a = colour::chroma_additions(first[r * cw + j], second[r * cw + j]);
        const int add[3] = {a.byte2, a.byte1, a.byte0};
        for (size_t k = 0; k < 2; ++k) luma[r * pw + 2 * j + k] = best_luma(source_pixel(image, row, 2 * j + k), add);
      }
    }
  };
  // Each pixel stands alone: the lower half of the rows on a second thread.
  auto lower = std::async(std::launch::async, rows, size_t{0}, ph / 2);
  rows(ph / 2, ph);
  lower.get();
}

}  // namespace qzr::enc
