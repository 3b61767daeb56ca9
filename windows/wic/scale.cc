#include "scale.h"

#include <algorithm>
#include <new>
#include <vector>

namespace qzr_wic {
namespace {

// On a source axis of n_in pixels mapped onto n_out <= n_in, measured in
// units of which a source pixel spans n_out and an output pixel n_in: each
// source pixel j overlaps output pixel to[j] by first[j] units and the next
// one by the rest of its n_out.
struct Axis {
  std::vector<uint32_t> to, first;
  Axis(uint32_t n_in, uint32_t n_out) : to(n_in), first(n_in) {
    for (uint32_t j = 0; j < n_in; ++j) {
      const uint64_t start = uint64_t{j} * n_out, end = start + n_out;
      const uint32_t o = static_cast<uint32_t>(start / n_in);
      const uint64_t edge = (uint64_t{o} + 1) * n_in;
      to[j] = o;
      first[j] = static_cast<uint32_t>(end <= edge ? n_out : edge - start);
    }
  }
};

}  // namespace

bool area_average_bgra(const uint8_t* bgr, uint32_t width, uint32_t height, uint8_t* bgra, uint32_t out_width,
                       uint32_t out_height) {
  try {
    const Axis x(width, out_width), y(height, out_height);
    const size_t n = 3 * size_t{out_width};
    std::vector<uint64_t> across(n), row(n), next(n);  // one source row scaled across; two output rows
    const uint64_t divisor = uint64_t{width} * height;
    uint32_t at = 0;  // the output row that `row` holds
    const auto emit = [&] {
      uint8_t* out = bgra + 4 * size_t{out_width} * at;
      for (uint32_t i = 0; i < out_width; ++i)
        for (int c = 0; c < 4; ++c)
          out[4 * i + c] = c == 3 ? 255 : static_cast<uint8_t>((row[3 * i + c] + divisor / 2) / divisor);
      row.swap(next);
      std::fill(next.begin(), next.end(), 0);
      ++at;
    };
    for (uint32_t sy = 0; sy < height; ++sy) {
      std::fill(across.begin(), across.end(), 0);
      const uint8_t* src = bgr + 3 * size_t{width} * sy;
      for (uint32_t sx = 0; sx < width; ++sx) {
        const uint32_t o = x.to[sx], w1 = x.first[sx], w2 = out_width - w1;
        for (int c = 0; c < 3; ++c) {
          across[3 * o + c] += uint64_t{w1} * src[3 * sx + c];
          if (w2 != 0) across[3 * (o + 1) + c] += uint64_t{w2} * src[3 * sx + c];
        }
      }
      while (at < y.to[sy]) emit();
      const uint32_t w1 = y.first[sy], w2 = out_height - w1;
      for (size_t i = 0; i < n; ++i) {
        row[i] += w1 * across[i];
        next[i] += w2 * across[i];
      }
    }
    while (at < out_height) emit();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace qzr_wic
