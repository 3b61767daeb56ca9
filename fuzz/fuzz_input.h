// Splits a fuzz input into the parameters of one case: integers taken from
// the front, the rest left as data. Past the end every integer reads as 0,
// so every input, however short, is one well-formed case.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace qzr::fuzz {

struct FuzzInput {
  std::span<const uint8_t> bytes;

  uint32_t take(int count) {  // `count` bytes, little-endian
    uint32_t v = 0;
    for (int i = 0; i < count && !bytes.empty(); ++i) {
      v |= uint32_t{bytes[0]} << (8 * i);
      bytes = bytes.subspan(1);
    }
    return v;
  }
  uint8_t u8() { return static_cast<uint8_t>(take(1)); }
  uint16_t u16() { return static_cast<uint16_t>(take(2)); }
  std::span<const uint8_t> rest() { return bytes; }
};

// A difference between a fast form and its plain form: abort, so that the
// fuzzer keeps the input, and the replay fails.
[[noreturn]] inline void differs() { __builtin_trap(); }

}  // namespace qzr::fuzz
