#include "test_support.h"

#include <algorithm>
#include <cmath>

#include "decode.h"
#include "image_io.h"

namespace qzr::enc::testing {

Expected<Image> decode_qzr(std::span<const uint8_t> file) { return qzr::decode_picture(file); }

Expected<Image> read_picture_file(const std::string& path) {
  Result<Picture> picture = read_image_file(path);
  if (!picture.ok()) return format_failure(picture.failure().text);
  return Image{picture.value().width, picture.value().height, std::move(picture.value().rgb)};
}

double psnr(const Image& a, const Image& b) {
  if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size()) return -1;
  double se = 0;
  for (size_t i = 0; i < a.rgb.size(); ++i) {
    const double d = static_cast<double>(a.rgb[i]) - b.rgb[i];
    se += d * d;
  }
  if (se == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * static_cast<double>(a.rgb.size()) / se);
}

Image synthetic_photo(int width, int height, uint32_t seed) {
  Image img;
  img.width = width;
  img.height = height;
  img.rgb.resize(size_t(width) * size_t(height) * 3);
  uint32_t x = seed * 747796405u + 2891336453u;
  for (int r = 0; r < height; ++r) {
    for (int c = 0; c < width; ++c) {
      x = x * 1664525u + 1013904223u;
      const double noise = static_cast<double>(x >> 24) / 255.0 * 6.0 - 3.0;
      const double u = static_cast<double>(c) / width, v = static_cast<double>(r) / height;
      // Shading, a disc with a hard edge, a striped patch and a sky gradient.
      const double shade = 90 + 60 * std::sin(6.0 * u + 1.0) * std::cos(4.0 * v);
      const double dx = u - 0.62, dy = v - 0.55;
      const bool disc = dx * dx + dy * dy < 0.04;
      const bool stripes = u < 0.35 && v > 0.6 && (c / 3) % 2 == 0;
      double red = shade + 40 * v, green = shade + 20 * std::sin(9.0 * u), blue = 200 - 120 * v;
      if (disc) red = 220, green = 120 + 40 * dx, blue = 40;
      if (stripes) red *= 0.5, green *= 0.5, blue *= 0.5;
      auto px = [&](double value) { return static_cast<uint8_t>(std::clamp(value + noise, 0.0, 255.0)); };
      uint8_t* p = img.rgb.data() + (size_t(r) * size_t(width) + size_t(c)) * 3;
      p[0] = px(red);
      p[1] = px(green);
      p[2] = px(blue);
    }
  }
  return img;
}

Image flat_image(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
  Image img;
  img.width = width;
  img.height = height;
  img.rgb.resize(size_t(width) * size_t(height) * 3);
  for (size_t i = 0; i < img.rgb.size(); i += 3) {
    img.rgb[i] = r;
    img.rgb[i + 1] = g;
    img.rgb[i + 2] = b;
  }
  return img;
}

Image sample_photo() {
  if (!png_supported()) return Image{};
  Expected<Image> img = read_picture_file(QZR_SAMPLES_DIR "/astronaut-256.png");
  return img.ok() ? img.value() : Image{};
}

}  // namespace qzr::enc::testing
