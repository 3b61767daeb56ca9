// LZARI payload encoder: LZ77 over the decoder's 4096-byte ring, coded with
// the same adaptive symbol model and fixed position model, so that
// decode_lzari expands its output back into the input byte for byte.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qzr::enc {

// How hard the match finder looks. The defaults keep a 12-megapixel
// picture's intermediate data to well under a second.
struct LzariEffort {
  int max_chain = 48;    // hash-chain candidates tried per position
  int good_length = 32;  // stop searching once a match this long is found
  bool lazy = true;      // defer a match by one byte when the next one is better
};

// Payload bytes: the length word (u32 little-endian) and the code bits.
// Inputs of 2^32 bytes or more do not fit the length word and throw
// std::length_error.
std::vector<uint8_t> lzari_encode(std::span<const uint8_t> data, const LzariEffort& effort);
std::vector<uint8_t> lzari_encode(std::span<const uint8_t> data);

}  // namespace qzr::enc
