#include "encoder/encoder.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <optional>
#include <stdexcept>

#include "encoder/file_encoder.h"

namespace qzr::enc {
namespace {

Status check(ImageView image, const EncodeOptions& options) {
  if (image.width < 1 || image.height < 1)
    return format_failure(format_text("empty picture (%d x %d)\n", image.width, image.height), ErrorKind::argument);
  if (image.width > kMaxDimension || image.height > kMaxDimension)
    return format_failure(format_text("picture of %d x %d is too large: QZR holds at most %d x %d pixels\n",
                                      image.width, image.height, kMaxDimension, kMaxDimension),
                          ErrorKind::argument);
  if (image.rgb.size() != size_t(image.width) * size_t(image.height) * 3)
    return format_failure(
        format_text("picture data hold %zu bytes, not 3 x %d x %d\n", image.rgb.size(), image.width, image.height),
        ErrorKind::argument);
  if (options.quality < 1 || options.quality > 100)
    return format_failure(format_text("quality %d is outside 1..100\n", options.quality), ErrorKind::argument);
  if (options.levels < 1 || options.levels > kMaxEncodeLevels)
    return format_failure(format_text("levels %d is outside 1..%d\n", options.levels, kMaxEncodeLevels),
                          ErrorKind::argument);
  if (!(options.target_bpp >= 0) || !std::isfinite(options.target_bpp))
    return format_failure("the bit-rate target must be a positive number\n", ErrorKind::argument);
  return Status::success();
}

double bits_per_pixel(const std::vector<uint8_t>& file, ImageView image) {
  return 8.0 * static_cast<double>(file.size()) / (static_cast<double>(image.width) * image.height);
}

Expected<Encoded> encode_checked(ImageView image, const EncodeOptions& options) {
  if (Status s = check(image, options); !s.ok()) return s.failure;
  FileEncoder encoder(image, options.levels);
  Encoded result;
  if (options.target_bpp <= 0) {
    Expected<std::vector<uint8_t>> file = encoder.encode(options.quality);
    if (!file.ok()) return file.failure();
    result.file = std::move(file.value());
    result.quality = options.quality;
    result.bits_per_pixel = bits_per_pixel(result.file, image);
    return result;
  }
  // The file grows as the step shrinks, its logarithm about linearly with
  // the step's: Newton steps on that line (a typical slope until two files
  // give one) aim a little below the target, then the bracket closes in by
  // interpolating, kept inside the middle of the bracket so that it shrinks
  // at every step, until the file is within half a percent below the target
  // or the bracket is narrow. Photographs take three to five files.
  auto attempt = [&](double q) -> Expected<Encoded> {
    Expected<std::vector<uint8_t>> file = encoder.encode(q);
    if (!file.ok()) return file.failure();
    Encoded e;
    e.file = std::move(file.value());
    e.quality = q;
    e.bits_per_pixel = bits_per_pixel(e.file, image);
    return e;
  };
  // Qualities on a grid of 1/1024: the logarithms may differ in their last
  // bit from one system's libm to another's, and the files must not.
  auto on_grid = [](double q) { return std::clamp(std::round(q * 1024.0) / 1024.0, 1.0, 100.0); };
  auto log_step = [](double q) { return std::log(base_step(q)); };
  const double target = options.target_bpp;
  const double aim = std::log(0.997 * target);
  constexpr double kTypicalSlope = -1.3;  // d log(size) / d log(step), photographs
  std::optional<Encoded> below, above;    // the best file within the target, the least beyond it
  double last_q = 75.0, last_log_size = 0, slope = kTypicalSlope;
  bool have_last = false;
  double q = last_q;
  for (int i = 0; i < 24; ++i) {
    Expected<Encoded> e = attempt(q);
    if (!e.ok()) return e.failure();
    const double log_size = std::log(std::max(e.value().bits_per_pixel, 1e-9));
    if (have_last && q != last_q) {
      const double s = (log_size - last_log_size) / (log_step(q) - log_step(last_q));
      if (std::isfinite(s) && s < -0.2) slope = s;
    }
    have_last = true;
    last_q = q;
    last_log_size = log_size;
    if (e.value().bits_per_pixel <= target) {
      if (!below || q > below->quality) below = std::move(e.value());
    } else if (!above || q < above->quality) {
      above = std::move(e.value());
    }
    if (below && below->bits_per_pixel >= 0.995 * target) break;
    double next;
    if (below && above) {
      if (above->quality - below->quality <= 0.05) break;
      const double x0 = log_step(below->quality), x1 = log_step(above->quality);
      const double y0 = std::log(below->bits_per_pixel), y1 = std::log(above->bits_per_pixel);
      double t = (aim - y0) / (y1 - y0);
      if (!std::isfinite(t)) t = 0.5;
      next = std::clamp(quality_for_step(std::exp(x0 + (x1 - x0) * std::clamp(t, 0.1, 0.9))), below->quality,
                        above->quality);
    } else {
      if (below && q >= 100.0) break;  // even the best quality fits
      if (above && q <= 1.0) {         // even the least does not
        above->target_reached = false;
        return std::move(*above);
      }
      next = quality_for_step(std::exp(log_step(q) + (aim - log_size) / slope));
      if (!std::isfinite(next)) next = below ? 100.0 : 1.0;
    }
    const double stepped = on_grid(next);
    q = stepped != q ? stepped : on_grid(q + (below && !above ? 1.0 : -1.0) / 1024.0);
    if ((below && q == below->quality) || (above && q == above->quality)) break;
  }
  if (!below) {
    above->target_reached = false;
    return std::move(*above);
  }
  return std::move(*below);
}

}  // namespace

double base_step(double quality) {
  // Percentages of the step at quality 50, the curve JPEG users know: 5000 / q
  // below 50, 200 - 2q above; quality 100 keeps a small step.
  const double q = std::clamp(quality, 1.0, 100.0);
  const double percent = q < 50 ? 5000.0 / q : 200.0 - 2.0 * q;
  return std::max(0.5, kStepPerPercent * percent);
}

double quality_for_step(double step) {
  const double percent = step / kStepPerPercent;
  return percent <= 100 ? 100.0 - percent / 2 : 5000.0 / percent;
}

Expected<Encoded> encode_image_detailed(ImageView image, const EncodeOptions& options) {
  try {
    return encode_checked(image, options);
  } catch (const std::bad_alloc&) {
    return format_failure("out of memory while encoding the picture\n", ErrorKind::out_of_memory);
  } catch (const std::length_error&) {
    return format_failure("the picture is too large to encode\n", ErrorKind::limit);
  }
}

Expected<std::vector<uint8_t>> encode_image(ImageView image, const EncodeOptions& options) {
  Expected<Encoded> e = encode_image_detailed(image, options);
  if (!e.ok()) return e.failure();
  return std::move(e.value().file);
}

}  // namespace qzr::enc
