#include "encoder/file_encoder.h"

#include <cmath>
#include <future>

#include "common/colour_formula.h"
#include "container/container_header.h"
#include "encoder/colour_forward.h"
#include "encoder/lzari_encoder.h"

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

}  // namespace

FileEncoder::FileEncoder(ImageView image, int levels, int16_t scale) : image_(image) {
  PlaneTargets t = forward_colour(image);
  const int cw = t.width / 2;
  // Luma on a second thread, the two chroma planes (as many samples
  // together) on this one.
  auto luma = std::async(std::launch::async, [&] {
    return std::make_unique<PlaneEncoder>(t.luma, t.width, t.height, levels_for_plane(t.width, t.height, levels),
                                          scale);
  });
  planes_[1] =
      std::make_unique<PlaneEncoder>(t.first_chroma, cw, t.height, levels_for_plane(cw, t.height, levels), scale);
  RawVector<float>().swap(t.first_chroma);
  planes_[2] =
      std::make_unique<PlaneEncoder>(t.second_chroma, cw, t.height, levels_for_plane(cw, t.height, levels), scale);
  planes_[0] = luma.get();  // rethrows what the thread threw
  luma_target_ = std::move(t.luma);
}

void FileEncoder::quantize(double quality, bool negative_steps) {
  const double delta = base_step(quality);
  const QuantizerShape shape;
  constexpr double kUnit = 1 << colour::kShift;
  const double factor[kPlaneCount] = {1.0, chroma_step_factor(colour::kBlueFromU / kUnit, colour::kGreenFromU / kUnit),
                                      chroma_step_factor(colour::kRedFromV / kUnit, colour::kGreenFromV / kUnit)};
  const double lambda = kRdoLambda;
  // The chroma planes first, each on a thread of its own; then luma, fitted
  // to the chroma as the decoder will have it.
  auto code_chroma = [&](int p) {
    PlaneScratch& s = scratch_[p];
    reconstruct(planes_[p]->layout(), planes_[p]->quantize_refined(delta * factor[p], shape, negative_steps, lambda, s),
                s);
  };
  auto second = std::async(std::launch::async, [&] { code_chroma(2); });
  code_chroma(1);
  second.get();
  const PlaneLayout& l = planes_[0]->layout();
  PlaneScratch& s = scratch_[0];
  luma_for_chroma(image_, l.width, l.height, scratch_[1].samples, scratch_[2].samples, change_);
  for (size_t i = 0; i < change_.size(); ++i) change_[i] -= luma_target_[i];
  planes_[0]->change(change_, s);
  planes_[0]->quantize_refined(delta * factor[0], shape, negative_steps, lambda, s, s.coefficients, true);
}

Expected<std::vector<uint8_t>> FileEncoder::encode(double quality) {
  quantize(quality);
  std::vector<uint8_t> streams[kPlaneCount];
  auto write = [&](int p) {
    const QuantizedPlane& q = quantized(p);
    write_plane_stream(streams[p], layout(p), q.steps, q.values, &scratch_[p].book);
  };
  // The chroma planes on a second thread, luma (as many samples) on this one.
  auto chroma = std::async(std::launch::async, [&] {
    write(1);
    write(2);
  });
  write(0);
  chroma.get();
  std::vector<uint8_t> segments;
  for (int p = 0; p < kPlaneCount; ++p) {
    append_segment(segments, p, streams[p]);
    std::vector<uint8_t>().swap(streams[p]);
  }
  return make_file(image_.width, image_.height, segments);
}

void append_segment(std::vector<uint8_t>& segments, int p, std::span<const uint8_t> stream) {
  static const char* markers[kPlaneCount] = {"$YSeg", "$USeg", "$VSeg"};
  segments.insert(segments.end(), markers[p], markers[p] + 5);
  segments.insert(segments.end(), stream.begin(), stream.end());
}

Expected<std::vector<uint8_t>> make_file(int width, int height, std::span<const uint8_t> segments) {
  if (segments.size() > 0xFFFFFFFFu)
    return format_failure("the picture's coded data exceed the 4 GiB a QZR file can hold; lower the quality\n",
                          ErrorKind::limit);
  const auto header = make_container_header(static_cast<uint16_t>(width), static_cast<uint16_t>(height));
  std::vector<uint8_t> payload = lzari_encode(segments);
  std::vector<uint8_t> file(header.begin(), header.end());
  file.insert(file.end(), payload.begin(), payload.end());
  return file;
}

}  // namespace qzr::enc
