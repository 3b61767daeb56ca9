// The whole decode of a file held in memory. Sizes are capped so the fuzzer
// explores the format's logic rather than the allocator.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decode.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> file(data, data + size);  // exact size: over-reads are caught
  qzr::DecodeLimits limits;
  limits.max_payload = 1 << 16;
  limits.max_plane_samples = 1 << 18;
  qzr::Expected<qzr::DecodedBmp> r = qzr::decode_to_bmp(file, limits);
  if (r.ok()) {
    const auto& h = r.value().header;
    const size_t row = (3 * size_t{h.width} + 3) & ~size_t{3};
    if (r.value().bmp.size() != 54 + row * h.height) __builtin_trap();
  } else if (r.failure().text.empty()) {
    __builtin_trap();  // every failure carries its message
  }
  return 0;
}
