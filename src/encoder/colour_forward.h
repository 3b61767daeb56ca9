// Pictures to the three planes the decoder combines: luma at full size and
// two chroma planes at half width (one sample per pixel pair), padded to
// multiples of 256 by repeating the edge pixels, the picture's bottom row in
// plane row 0 (the decoder's first BMP row, which a viewer shows at the
// bottom).
// The planes invert the colour formula (common/colour_formula.h).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/raw_vector.h"
#include "common/samples.h"

namespace qzr::enc {

using Image = RgbImage;

// The picture as the encoder reads it: the caller's pixels in place, rows
// top to bottom, R, G, B, rgb.size() == 3 x width x height.
struct ImageView {
  int width = 0;
  int height = 0;
  std::span<const uint8_t> rgb;
  ImageView(int w, int h, std::span<const uint8_t> pixels) : width(w), height(h), rgb(pixels) {}
  ImageView(const Image& image) : ImageView(image.width, image.height, image.rgb) {}  // NOLINT: a view of it
};

struct PlaneTargets {
  int width = 0;                   // padded luma width; the chroma planes are width / 2 wide
  int height = 0;                  // padded height
  RawVector<float> luma;           // width x height, sample units 0..255
  RawVector<float> first_chroma;   // (width / 2) x height, drives byte 0 (blue)
  RawVector<float> second_chroma;  // (width / 2) x height, drives byte 2 (red)
};

// The picture's planes as real-valued targets. The chroma of a pixel pair is
// the mean of the pair's exact chroma; each pixel's luma is then the value
// that brings the decoded red, green and blue closest to the picture's, with
// the decoder's downward rounding of the shifts allowed for.
PlaneTargets forward_colour(ImageView image);

// The luma target once the chroma planes are known as the decoder will have
// them (`first` and `second`, (width / 2) x height samples each, in the
// planes' row order): each pixel's luma is the value whose decoded red, green
// and blue come closest to the picture's, so that luma takes up the part of
// the chroma's coding error that lies along grey. Into `luma`, width x height.
void luma_for_chroma(ImageView image, int width, int height, std::span<const uint8_t> first,
                     std::span<const uint8_t> second, RawVector<float>& luma);

}  // namespace qzr::enc
