// One plane stream alone, from its first byte behind the segment marker.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/plane_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> stream(data, data + size);
  qzr::ByteReader in = qzr::memory_reader(stream);
  qzr::Expected<qzr::Plane> r = qzr::decode_plane(in, "YSeg", 1 << 16);
  if (r.ok() && r.value().samples.size() != size_t(r.value().width) * size_t(r.value().height)) __builtin_trap();
  if (in.offset() > size) __builtin_trap();
  return 0;
}
