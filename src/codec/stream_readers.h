// Integer readers of the plane stream: big-endian, each byte taken as its low
// 8 bits, so at the end of the data a byte reads as 0xFF.
#pragma once

#include <cstdint>

#include "common/byte_io.h"

namespace qzr {

inline int read_be16(ByteReader& in) {
  int hi = in.read_byte() & 0xFF;
  int lo = in.read_byte() & 0xFF;
  return hi * 256 + lo;
}

inline int32_t read_be32(ByteReader& in) {
  uint32_t hi = static_cast<uint32_t>(read_be16(in));
  uint32_t lo = static_cast<uint32_t>(read_be16(in));
  return static_cast<int32_t>(hi << 16 | lo);
}

}  // namespace qzr
