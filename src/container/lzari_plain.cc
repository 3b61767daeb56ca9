// The payload expansion in its plain form, one code bit and one model step
// at a time, as the model describes it: the reference the fast form
// (lzari_fast.cc) is checked against in the tests, fuzzers and benchmarks.
#include "container/lzari_decoder.h"

#include <algorithm>
#include <array>
#include <memory>

namespace qzr {
namespace {

// The plain form's whole state; a fresh record starts a fresh decode.
struct LzariDecoder {
  uint32_t interval_low = 0;
  uint32_t interval_high = FULL;
  uint32_t code_value = 0;
  int32_t bit_buffer = 0;                 // last byte read, or -1 after the end of the input
  uint32_t bit_mask = 0;                  // 0 means a new byte is needed
  uint64_t bits_taken = 0;                // code bits read, those past the end of the input too
  uint64_t input_end_bit = ~uint64_t{0};  // the first bit past the end of the input
  bool undecided = false;                 // the last choice is not the one every continuation of the input makes
  LzariModel model;
  std::array<uint8_t, RING_SIZE> ring{};
};

// Next code bit, most significant first; past the end of the input the byte
// read is -1, so every bit is 1.
inline uint32_t read_bit(LzariDecoder& d, ByteReader& in) {
  d.bit_mask >>= 1;
  ++d.bits_taken;
  if (d.bit_mask == 0) {
    d.bit_buffer = in.read_byte();
    d.bit_mask = 0x80;
    if (d.bit_buffer == kEndOfFile && d.input_end_bit == ~uint64_t{0}) d.input_end_bit = d.bits_taken - 1;
  }
  return (static_cast<uint32_t>(d.bit_buffer) & d.bit_mask) != 0 ? 1u : 0u;
}

inline void renormalise(LzariDecoder& d, ByteReader& in) {
  uint32_t low = d.interval_low, high = d.interval_high, code = d.code_value;
  for (;;) {
    if (low >= HALF) {
      code -= HALF;
      low -= HALF;
      high -= HALF;
    } else if (low >= QUARTER && high <= THREE_QUARTERS) {
      code -= QUARTER;
      low -= QUARTER;
      high -= QUARTER;
    } else if (high > HALF) {
      break;
    }
    low <<= 1;
    high <<= 1;
    code = 2 * code + read_bit(d, in);
  }
  d.interval_low = low;
  d.interval_high = high;
  d.code_value = code;
}

// The smallest symbol s with symbol_cumulative[s] <= x. The table falls, so
// that is one more than the number of symbols 1..314 whose entry exceeds x:
// counted by halving steps without branches (entries past 314 are 0).
inline int find_symbol(const LzariModel& m, uint32_t x) {
  const uint32_t* c = m.symbol_cumulative.data();
  int base = 0;
  for (int step = 256; step > 0; step >>= 1) base += c[base + step] > x ? step : 0;
  return base + 1;
}

// Whether `choose` makes the same choice for every code value the input's
// bits allow: the bits past its end (ones) might as well be zeros, and the
// choice falls with the code value.
template <class Choose>
bool decided_by_input(const LzariDecoder& d, uint32_t total, Choose&& choose, int chosen) {
  if (d.bits_taken <= d.input_end_bit) return true;
  const uint64_t unknown = d.bits_taken - d.input_end_bit;
  if (unknown > CODE_BITS) return false;
  const uint32_t spread = (uint32_t{1} << unknown) - 1;
  const uint32_t offset = d.code_value - d.interval_low;
  if (offset < spread) return false;
  const uint32_t range = d.interval_high - d.interval_low;
  return choose(((offset - spread + 1) * total - 1) / range) == chosen;
}

inline int decode_symbol(LzariDecoder& d, ByteReader& in) {
  LzariModel& m = d.model;
  uint32_t range = d.interval_high - d.interval_low;
  uint32_t total = m.symbol_cumulative[0];
  uint32_t x = ((d.code_value - d.interval_low + 1) * total - 1) / range;
  int s = find_symbol(m, x);
  d.undecided = !decided_by_input(
      d, total, [&m](uint32_t v) { return find_symbol(m, v); }, s);
  uint32_t low = d.interval_low;
  d.interval_high = low + range * m.symbol_cumulative[s - 1] / total;
  d.interval_low = low + range * m.symbol_cumulative[s] / total;
  renormalise(d, in);
  int c = m.symbol_character[s];
  adapt_model(m, s);
  return c;
}

inline int decode_position(LzariDecoder& d, ByteReader& in) {
  const auto& pc = kPositionTable.cumulative;
  uint32_t range = d.interval_high - d.interval_low;
  uint32_t x = ((d.code_value - d.interval_low + 1) * pc[0] - 1) / range;
  int p = find_position(x);
  d.undecided = !decided_by_input(d, pc[0], find_position, p);
  uint32_t low = d.interval_low;
  d.interval_high = low + range * pc[p] / pc[0];
  d.interval_low = low + range * pc[p + 1] / pc[0];
  renormalise(d, in);
  return p;
}

}  // namespace

Expected<uint64_t> decode_lzari_plain(ByteReader& in, ByteWriter& out, uint64_t limit, uint64_t* bits_taken,
                                      uint64_t* determined) {
  Expected<uint32_t> length_word = read_payload_length(in, limit);
  if (!length_word.ok()) return length_word.failure();
  const uint32_t length = length_word.value();
  if (bits_taken != nullptr) *bits_taken = 0;
  if (determined != nullptr) *determined = 0;
  if (length == 0) return uint64_t{0};

  auto d = std::make_unique<LzariDecoder>();
  for (int i = 0; i < CODE_BITS; ++i) d->code_value = 2 * d->code_value + read_bit(*d, in);
  init_model(d->model);
  init_ring(d->ring);
  uint32_t r = RING_START;
  uint64_t count = 0;
  auto& ring = d->ring;
  uint64_t end_of_input_at = kNoLimit;  // count when the input ran out
  uint64_t undecided_at = kNoLimit;     // count when the input's bits first left a choice open
  while (count < length) {
    if (d->bit_buffer == kEndOfFile && end_of_input_at == kNoLimit) end_of_input_at = count;
    // Past the end of the input the bits are all ones and carry nothing: a
    // length word far beyond the data would only spin out filler.
    if (count - end_of_input_at >= kMaxBytesAfterInputEnd && end_of_input_at != kNoLimit) break;
    int c = decode_symbol(*d, in);
    if (d->undecided && undecided_at == kNoLimit) undecided_at = count;
    if (c < 256) {
      out.put(static_cast<uint8_t>(c));
      ring[r] = static_cast<uint8_t>(c);
      r = (r + 1) & RING_MASK;
      ++count;
    } else {
      int p = decode_position(*d, in);
      if (d->undecided && undecided_at == kNoLimit) undecided_at = count;
      uint32_t start = (r - static_cast<uint32_t>(p) - 1) & RING_MASK;
      int len = c - kMatchBase;
      count += static_cast<uint64_t>(len);
      for (int k = 0; k < len; ++k) {
        uint8_t b = ring[(start + static_cast<uint32_t>(k)) & RING_MASK];
        out.put(b);
        ring[r] = b;
        r = (r + 1) & RING_MASK;
      }
    }
  }
  if (bits_taken != nullptr) *bits_taken = d->bits_taken;
  if (determined != nullptr) *determined = std::min(count, undecided_at);
  return count;
}

}  // namespace qzr
