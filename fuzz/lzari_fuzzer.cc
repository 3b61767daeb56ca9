// The LZARI expansion alone: any bits decode, within the length word + 59.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "container/lzari_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> payload(data, data + size);
  qzr::ByteReader in = qzr::memory_reader(payload);
  std::vector<uint8_t> out;
  qzr::ByteWriter w = qzr::memory_writer(out);
  qzr::Expected<uint64_t> r = qzr::decode_lzari(in, w, 1 << 16);
  w.flush();
  if (r.ok()) {
    const uint32_t length = payload[0] | payload[1] << 8 | payload[2] << 16 | uint32_t{payload[3]} << 24;
    if (out.size() != r.value() || out.size() < length || out.size() >= uint64_t{length} + 60) __builtin_trap();
  } else if (size >= 4 && r.failure().exit_status == 1) {
    __builtin_trap();  // "Read Error" only for a short length word
  }
  return 0;
}
