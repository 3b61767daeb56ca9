// qzrenc's library face: pictures to whole QZR files.
//
//   file := 32-byte container header ("vkQZ", visible width and height,
//           version "0011"), LZARI payload
//   payload expands to: "$YSeg" luma stream, "$USeg" first chroma stream,
//           "$VSeg" second chroma stream
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/failure.h"
#include "common/samples.h"
#include "encoder/colour_forward.h"

namespace qzr::enc {

// The picture: rows top to bottom, R, G, B per pixel.
using Image = RgbImage;

// The largest visible size: a plane stream holds its width and height as
// signed 16-bit values, and planes are padded to multiples of 256.
constexpr int kMaxDimension = 32512;
// The most wavelet levels a picture gets.
constexpr int kMaxEncodeLevels = 8;
constexpr int kDefaultScale = 64;

struct EncodeOptions {
  int quality = 75;       // 1 (smallest) .. 100 (best)
  double target_bpp = 0;  // > 0: the best quality whose file has at most this many bits per pixel
  int levels = 5;         // 1..8; a chroma plane too small for them gets as many as it can hold
};

struct Encoded {
  std::vector<uint8_t> file;
  double quality = 0;          // the quality used (found by the search when a target was given)
  double bits_per_pixel = 0;   // file bits per visible pixel
  bool target_reached = true;  // false when even the lowest quality exceeds target_bpp
};

// The file, with the quality it was made at and its bits per pixel.
Expected<Encoded> encode_image_detailed(ImageView image, const EncodeOptions& options);

// The whole .qzr file.
Expected<std::vector<uint8_t>> encode_image(ImageView image, const EncodeOptions& options);

// The step, in sample units, of the finest level's bands at a quality; the
// bands of coarser levels and of the approximation get smaller steps.
constexpr double kStepPerPercent = 0.36;  // the step at quality 50, a hundredth of it
double base_step(double quality);

// base_step's inverse where the step is above its floor (unclamped: the
// quality may come out beyond 1..100).
double quality_for_step(double step);

}  // namespace qzr::enc
