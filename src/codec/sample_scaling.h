// The final scaling of synthesised samples to 8 bits.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qzr {

// One synthesised sample: n / scale, halves up, clamped to 0..255; a zero
// scale follows IEEE 754 (n > 0 gives 255, else 0).
uint8_t scale_sample(int32_t n, int16_t scale);

// The same for one plane's scale, over rows of samples. A power of two
// divides by a shift; other small positive scales read a table of every
// result from 0 to 255 x scale; beyond that range the result is 0 or 255.
class SampleScaler {
 public:
  // `samples` is how many the plane holds: no table larger than that is made.
  SampleScaler(int16_t scale, size_t samples);
  void operator()(std::span<const int32_t> in, std::span<uint8_t> out) const;

 private:
  int16_t scale_;
  int32_t top_ = 0;
  int shift_ = -1;  // a power-of-two scale's exponent
  std::vector<uint8_t> table_;
};

// A whole plane at once.
void scale_samples(std::span<const int32_t> samples, std::span<uint8_t> out, int16_t scale);

}  // namespace qzr
