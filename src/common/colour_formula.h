// The colour formula: a pixel from its luma sample y and the chroma samples
// u, v of its pixel pair (du = u - 128, dv = v - 128):
//
//   blue  = y + 359 du / 256
//   green = y -  88 dv / 256 - 183 du / 256
//   red   = y + 454 dv / 256
//
// Exact integer form: each product is shifted right by 8 on its own (an
// arithmetic shift, rounding down), the terms are added, and the sum is
// clamped to 0..255. The decoder computes this; the encoder inverts it.
#pragma once

namespace qzr::colour {

constexpr int kBlueFromU = 359;
constexpr int kGreenFromU = 183;  // subtracted
constexpr int kGreenFromV = 88;   // subtracted
constexpr int kRedFromV = 454;
constexpr int kShift = 8;         // the products' divisor, 2^8
constexpr int kChromaZero = 128;  // the chroma sample of no colour

// What a pixel pair's chroma samples add to each byte of its pixels, before
// the clamp: byte 0 (blue), 1 (green), 2 (red).
struct ChromaAdditions {
  int byte0, byte1, byte2;
};
constexpr ChromaAdditions chroma_additions(int first_chroma, int second_chroma) {
  const int du = first_chroma - kChromaZero, dv = second_chroma - kChromaZero;
  return {(kBlueFromU * du) >> kShift, -((kGreenFromV * dv) >> kShift) - ((kGreenFromU * du) >> kShift),
          (kRedFromV * dv) >> kShift};
}

}  // namespace qzr::colour
