// Expands an LZARI payload (length word, then arithmetic code bits), in two
// forms: decode_lzari and expand_lzari, the fast one the decoder runs
// (lzari_fast.cc, in the vector form chosen at run time), and
// decode_lzari_plain, the plain reference it is checked against
// (lzari_plain.cc).
#pragma once

#include <cstdint>

#include "common/byte_io.h"
#include "common/failure.h"
#include "common/simd_forms.h"
#include "container/lzari_model.h"

namespace qzr {

// Reads the length word and expands the payload into `out`. Returns the
// number of bytes written: the length word, or up to 59 more when the last
// match runs past it, or fewer when the input ended more than
// kMaxBytesAfterInputEnd bytes of output before the length word was reached
// (the missing bits read as ones; what they decode to holds no information,
// and a 20-byte file must not fill a disk with it). A short length word fails
// with status 1, "Read Error". `bits_taken`, when given, gets the number of
// code bits the coder took after the length word, those past the end of the
// input (read as ones) included: a file's audit compares it with the bits
// the file holds. `determined`, when given, gets the number of bytes at the
// start of the output that the input's own bits decide: every continuation
// of a file cut short expands to them. For a whole file from a sound
// encoder that is all of them: its code's last bits leave every
// continuation inside the final interval.
constexpr uint64_t kMaxBytesAfterInputEnd = uint64_t{1} << 20;
// `limit` bounds the bytes produced: a length word above it fails with a
// message before anything is written (for callers that hold the output in
// memory); the default has no bound but the format's own.
constexpr uint64_t kNoLimit = ~uint64_t{0};
Expected<uint64_t> decode_lzari(ByteReader& in, ByteWriter& out, uint64_t limit = kNoLimit,
                                uint64_t* bits_taken = nullptr, uint64_t* determined = nullptr);

// The expansion after the length word: decode_lzari is read_payload_length,
// then this. Throws std::bad_alloc when its state cannot be had.
uint64_t expand_lzari(ByteReader& in, ByteWriter& out, uint32_t length, uint64_t* bits_taken = nullptr,
                      uint64_t* determined = nullptr);

// decode_lzari with the fast form's vector steps in the given form (or the
// best runnable one below it) instead of the chosen one: for the tests,
// fuzzers and benchmarks, which run every form of runnable_simd_forms().
Expected<uint64_t> decode_lzari_as(SimdForm form, ByteReader& in, ByteWriter& out, uint64_t limit = kNoLimit,
                                   uint64_t* bits_taken = nullptr, uint64_t* determined = nullptr);

// Reads the length word; a short one fails with status 1, one above `limit`
// with a message.
Expected<uint32_t> read_payload_length(ByteReader& in, uint64_t limit);

// The same expansion in its plain form, one code bit and one model step at a
// time: the reference the fast form is checked against (tests, fuzzers and
// benchmarks).
Expected<uint64_t> decode_lzari_plain(ByteReader& in, ByteWriter& out, uint64_t limit = kNoLimit,
                                      uint64_t* bits_taken = nullptr, uint64_t* determined = nullptr);

}  // namespace qzr
