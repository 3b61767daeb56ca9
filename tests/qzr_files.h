// Whole QZR files around hand-built intermediate data, for the tests that
// run the complete decode: the container header, then the payload as the
// library's encoder packs it.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "container/container_header.h"
#include "encoder/lzari_encoder.h"
#include "stream_builder.h"

namespace qzr::test {

inline std::vector<uint8_t> qzr_file(uint16_t width, uint16_t height, const std::vector<uint8_t>& intermediate) {
  auto h = make_container_header(width, height);
  std::vector<uint8_t> file(h.begin(), h.end());
  const std::vector<uint8_t> payload = enc::lzari_encode(intermediate);
  file.insert(file.end(), payload.begin(), payload.end());
  return file;
}

inline std::vector<uint8_t> qzr_file(uint16_t width, uint16_t height, const Bytes& intermediate) {
  return qzr_file(width, height, intermediate.b);
}

// One level, value `c` in every coefficient of the approximation band at
// step 1 and zeros elsewhere: a plane of `c` everywhere when c is a multiple
// of 4 (then t = 2u, and every sample sums back to c).
inline Bytes flat_plane(int width, int height, int c) {
  const int quarter = width * height / 4;
  Bytes s = plane_header(1, width, height, 1);
  s.append(single_leaf_group({{0, 1}}, quarter, value_code(c)));
  s.append(single_leaf_group({{1, 1}, {2, 1}, {3, 1}}, 3, run_code(std::countr_zero(unsigned(quarter)))));
  return s;
}

}  // namespace qzr::test
