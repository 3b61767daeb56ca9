// A picture's three planes, analysed once and quantized at any quality (the
// bit-rate search codes one picture many times), and the file their plane
// streams make (its layout in encoder.h).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "common/failure.h"
#include "common/raw_vector.h"
#include "encoder/encoder.h"
#include "encoder/plane_encoder.h"

namespace qzr::enc {

// The planes in file order: luma, the first and the second chroma plane.
constexpr int kPlaneCount = 3;

class FileEncoder {
 public:
  // Analyses the picture's planes with up to `levels` wavelet levels (a
  // chroma plane too small for them gets as many as it can hold), their
  // samples stored multiplied by `scale`. `image` must outlive the encoder.
  FileEncoder(ImageView image, int levels, int16_t scale = kDefaultScale);

  // Quantizes the three planes at `quality` (1..100, fractions too): the
  // chroma planes first, then luma, fitted to the chroma as the decoder will
  // have it. With `negative_steps` every step is negative and the values
  // change sign with them: the same picture.
  void quantize(double quality, bool negative_steps = false);

  // Plane p's layout, and after quantize its steps and values.
  const PlaneLayout& layout(int p) const { return planes_[p]->layout(); }
  const QuantizedPlane& quantized(int p) const { return scratch_[p].quantized; }

  // The file at `quality`.
  Expected<std::vector<uint8_t>> encode(double quality);

 private:
  ImageView image_;
  std::unique_ptr<PlaneEncoder> planes_[kPlaneCount];
  RawVector<float> luma_target_;  // the luma plane's target before the chroma is known
  RawVector<float> change_;       // what fitting to the chroma changes in it
  PlaneScratch scratch_[kPlaneCount];
};

// Appends plane p's segment: its marker, then its stream.
void append_segment(std::vector<uint8_t>& segments, int p, std::span<const uint8_t> stream);

// The file of a width x height picture whose payload expands to `segments`:
// the container header, then the LZARI payload. Fails when the segments
// exceed the 4 GiB a file can hold.
Expected<std::vector<uint8_t>> make_file(int width, int height, std::span<const uint8_t> segments);

}  // namespace qzr::enc
