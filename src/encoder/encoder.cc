#include "encoder/encoder.h"

#include <algorithm>
#include <cmath>
#include <future>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>

#include "codec/band_layout.h"
#include "common/colour_formula.h"
#include "container/container_header.h"
#include "encoder/colour_forward.h"

namespace qzr::enc {
namespace {

// Chroma errors reach the red, green and blue bytes with the conversion's
// factors, and every chroma sample serves two pixels; the steps shrink by the
// square root of that weight against luma's, which adds its error to all
// three bytes once. Measured on photographs, a fifth more than that pays:
// chroma holds little fine detail, so its finest bands are mostly noise.
double chroma_step_factor(double factor_a, double factor_b) {
  const double weight = 2.0 * (factor_a * factor_a + factor_b * factor_b) / 3.0;
  return 1.2 / std::sqrt(weight);
}

// The price of a bit in squared error, in units of the band's step squared,
// for the rate-distortion refinement of the quantized values. At high rates
// a uniform quantizer's error falls by 2 ln 2 of itself per bit, about 0.12
// step^2; measured on photographs (not those of bench/encoder.sh), 0.09 gives
// the most PSNR at a given size, about 0.3 dB more than no refinement.
constexpr double kRdoLambda = 0.09;

int levels_for_plane(int width, int height, int wanted) {
  int levels = 1;
  while (levels < wanted && levels < qzr::kMaxLevels && width % (2 << levels) == 0 && height % (2 << levels) == 0)
    ++levels;
  return levels;
}

// Junk that is never taken for a segment marker: no "$" among its last four
// bytes, and every "$" in it followed by four bytes that do not end in "Seg".
std::vector<uint8_t> junk(int n, uint32_t seed) {
  std::vector<uint8_t> out;
  uint32_t x = seed * 2654435761u + 12345u;
  for (int i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    uint8_t b = static_cast<uint8_t>(x >> 24);
    if (b == '$') b = 'S';
    out.push_back(b);
  }
  static const char* decoys[] = {"$$Sex", "$YSeh", "$VSe!"};
  for (size_t d = 0, at = 1; d < 3 && at + 9 <= out.size(); ++d, at += 9) {
    const char* s = decoys[d];
    for (size_t k = 0; s[k] != 0; ++k) out[at + k] = static_cast<uint8_t>(s[k]);
  }
  return out;
}

class FileEncoder {
 public:
  FileEncoder(const Image& image, const EncodeOptions& options, const TestKnobs& knobs) : image_(image), knobs_(knobs) {
    PlaneTargets t = forward_colour(image);
    const int16_t scale = knobs.scale.value_or(kDefaultScale);
    const int cw = t.width / 2;
    // Luma on a second thread, the two chroma planes (as many samples
    // together) on this one.
    auto luma = std::async(std::launch::async, [&] {
      return std::make_unique<PlaneEncoder>(t.luma, t.width, t.height,
                                            levels_for_plane(t.width, t.height, options.levels), scale);
    });
    planes_[1] = std::make_unique<PlaneEncoder>(t.first_chroma, cw, t.height,
                                                levels_for_plane(cw, t.height, options.levels), scale);
    RawVector<float>().swap(t.first_chroma);
    planes_[2] = std::make_unique<PlaneEncoder>(t.second_chroma, cw, t.height,
                                                levels_for_plane(cw, t.height, options.levels), scale);
    planes_[0] = luma.get();  // rethrows what the thread threw
    luma_target_ = std::move(t.luma);
  }

  Expected<std::vector<uint8_t>> encode(double quality) {
    static const char* markers[3] = {"$YSeg", "$USeg", "$VSeg"};
    const double delta = base_step(quality);
    const QuantizerShape shape;
    constexpr double kUnit = 1 << colour::kShift;
    const double factor[3] = {1.0, chroma_step_factor(colour::kBlueFromU / kUnit, colour::kGreenFromU / kUnit),
                              chroma_step_factor(colour::kRedFromV / kUnit, colour::kGreenFromV / kUnit)};
    std::vector<uint8_t> streams[3];
    const double lambda = kRdoLambda;
    // The chroma planes first, each on a thread of its own; then luma, fitted
    // to the chroma as the decoder will have it.
    auto code_chroma = [&](int p) {
      PlaneScratch& s = scratch_[p];
      const QuantizedPlane& q =
          planes_[p]->quantize_refined(delta * factor[p], shape, knobs_.negative_steps, lambda, s);
      write_plane_stream(streams[p], planes_[p]->layout(), q.steps, q.values, knobs_, &s.book);
      reconstruct(planes_[p]->layout(), q, s);
    };
    auto second = std::async(std::launch::async, [&] { code_chroma(2); });
    code_chroma(1);
    second.get();
    const PlaneLayout& l = planes_[0]->layout();
    PlaneScratch& s = scratch_[0];
    luma_for_chroma(image_, l.width, l.height, scratch_[1].samples, scratch_[2].samples, change_);
    for (size_t i = 0; i < change_.size(); ++i) change_[i] -= luma_target_[i];
    planes_[0]->change(change_, s);
    const QuantizedPlane& q =
        planes_[0]->quantize_refined(delta * factor[0], shape, knobs_.negative_steps, lambda, s, s.coefficients, true);
    write_plane_stream(streams[0], l, q.steps, q.values, knobs_, &s.book);
    std::vector<uint8_t> data;
    const int junk_bytes = std::max(knobs_.junk_bytes, 0);
    for (int p = 0; p < 3; ++p) {
      if (junk_bytes > 0) {
        const auto j = junk(junk_bytes, static_cast<uint32_t>(p));
        data.insert(data.end(), j.begin(), j.end());
      }
      data.insert(data.end(), markers[p], markers[p] + 5);
      data.insert(data.end(), streams[p].begin(), streams[p].end());
      std::vector<uint8_t>().swap(streams[p]);
    }
    if (data.size() > 0xFFFFFFFFu)
      return format_failure("the picture's coded data exceed the 4 GiB a QZR file can hold; lower the quality\n",
                            ErrorKind::limit);
    const auto header =
        make_container_header(static_cast<uint16_t>(image_.width), static_cast<uint16_t>(image_.height));
    std::vector<uint8_t> payload = lzari_encode(data);
    std::vector<uint8_t> file(header.begin(), header.end());
    file.insert(file.end(), payload.begin(), payload.end());
    return file;
  }

 private:
  const Image& image_;
  const TestKnobs& knobs_;
  std::unique_ptr<PlaneEncoder> planes_[3];
  RawVector<float> luma_target_;  // the luma plane's target before the chroma is known
  RawVector<float> change_;       // what fitting to the chroma changes in it
  PlaneScratch scratch_[3];
};

Status check(const Image& image, const EncodeOptions& options) {
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

double bits_per_pixel(const std::vector<uint8_t>& file, const Image& image) {
  return 8.0 * static_cast<double>(file.size()) / (static_cast<double>(image.width) * image.height);
}

Expected<Encoded> encode_checked(const Image& image, const EncodeOptions& options, const TestKnobs& knobs) {
  if (Status s = check(image, options); !s.ok()) return s.failure;
  FileEncoder encoder(image, options, knobs);
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

Expected<Encoded> encode_image_detailed(const Image& image, const EncodeOptions& options, const TestKnobs& knobs) {
  try {
    return encode_checked(image, options, knobs);
  } catch (const std::bad_alloc&) {
    return format_failure("out of memory while encoding the picture\n", ErrorKind::out_of_memory);
  } catch (const std::length_error&) {
    return format_failure("the picture is too large to encode\n", ErrorKind::limit);
  }
}

Expected<std::vector<uint8_t>> encode_image(const Image& image, const EncodeOptions& options, const TestKnobs& knobs) {
  Expected<Encoded> e = encode_image_detailed(image, options, knobs);
  if (!e.ok()) return e.failure();
  return std::move(e.value().file);
}

}  // namespace qzr::enc
