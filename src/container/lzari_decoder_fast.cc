// The payload expansion in its fast form: the same model and the same integer
// steps as the plain decoder, with the coder's state in registers, the code
// bits taken from a 64-bit window, each renormalisation done in two shifts
// instead of a loop over single bits, and the model held in 16-bit tables so
// that its update runs eight entries to a vector instruction.
#include <bit>
#include <cstring>
#include <memory>

#include "container/lzari_decoder.h"

namespace qzr {
namespace {

constexpr uint32_t kCodeMask = FULL - 1;  // the coder's values have 17 bits

// Code bits, most significant first, from a 64-bit window over the input.
// Past the end of the input every byte reads as 0xFF (all bits one); the bit
// position where that began is kept, since the plain form notes the end of
// the input only once it has taken a bit from there.
struct BitSource {
  ByteReader& in;
  uint64_t window = 0;  // next bits at the top
  int available = 0;
  uint64_t taken = 0;                 // bits handed out so far
  uint64_t loaded = 0;                // bits moved into the window so far
  uint64_t input_end_bit = ~uint64_t{0};  // bit position of the first byte past the input

  void refill() {
    while (available <= 56) {
      int byte = in.read_byte();
      if (byte == kEndOfFile) {
        if (input_end_bit == ~uint64_t{0}) input_end_bit = loaded;
        byte = 0xFF;
      }
      window |= static_cast<uint64_t>(byte) << (56 - available);
      available += 8;
      loaded += 8;
    }
  }
  // The next n bits (1..32) as a number.
  uint32_t take(int n) {
    if (available < n) refill();
    const uint32_t bits = static_cast<uint32_t>(window >> (64 - n));
    window <<= n;
    available -= n;
    taken += static_cast<uint64_t>(n);
    return bits;
  }
  // True once the plain form would have read past the end of the input.
  bool past_input() const { return taken > input_end_bit; }
};

// The adaptive model in 16-bit entries (the total never exceeds 0x7FFF).
struct FastModel {
  alignas(64) uint16_t cumulative[512];  // entries past 314 stay 0
  alignas(64) uint16_t frequency[SYMBOL_COUNT + 1];
  uint16_t character[SYMBOL_COUNT + 1];
  // first[f]: the first symbol of frequency f, for each frequency held (the
  // frequencies fall, so each is held by one run of symbols).
  uint16_t first[MAX_TOTAL + 2];
};

void index_runs(FastModel& f) {
  for (int i = SYMBOL_COUNT; i >= 1; --i) f.first[f.frequency[i]] = static_cast<uint16_t>(i);
}

void init_fast_model(FastModel& f) {
  LzariModel m;
  init_model(m);
  std::memset(&f, 0, sizeof f);
  for (int i = 0; i <= SYMBOL_COUNT; ++i) {
    f.cumulative[i] = static_cast<uint16_t>(m.symbol_cumulative[static_cast<size_t>(i)]);
    f.frequency[i] = static_cast<uint16_t>(m.symbol_frequency[static_cast<size_t>(i)]);
    f.character[i] = static_cast<uint16_t>(m.symbol_character[static_cast<size_t>(i)]);
  }
  index_runs(f);
}

inline void adapt(FastModel& m, int s) {
  if (m.cumulative[0] >= MAX_TOTAL) {
    uint32_t c = 0;
    for (int i = SYMBOL_COUNT; i >= 1; --i) {
      m.cumulative[i] = static_cast<uint16_t>(c);
      m.frequency[i] = static_cast<uint16_t>((m.frequency[i] + 1) >> 1);
      c += m.frequency[i];
    }
    m.cumulative[0] = static_cast<uint16_t>(c);
    index_runs(m);
  }
  // s's character moves to the first symbol of its run, whose frequency goes
  // up: that symbol leaves the run (which now starts one later) and becomes
  // the run of f + 1's first symbol unless that run lies just before it.
  const uint32_t f = m.frequency[s];
  const int i = m.first[f];
  const uint16_t ci = m.character[i];
  m.character[i] = m.character[s];
  m.character[s] = ci;
  m.first[f] = static_cast<uint16_t>(i + 1);
  m.first[f + 1] = m.frequency[i - 1] == f + 1 ? m.first[f + 1] : static_cast<uint16_t>(i);
  m.frequency[i] = static_cast<uint16_t>(f + 1);
  uint16_t* c = m.cumulative;
  for (int j = 0; j < i; ++j) ++c[j];
}

inline int find_symbol(const FastModel& m, uint32_t x) {
  const uint16_t* c = m.cumulative;
  int base = 0;
  for (int step = 256; step > 0; step >>= 1) base += c[base + step] > x ? step : 0;
  return base + 1;
}

inline int find_position(uint32_t x) {
  const uint32_t* c = kPositionTable.cumulative.data();
  int base = 0;
  for (int step = 2048; step > 0; step >>= 1) base += c[base + step] > x ? step : 0;
  return base;
}

// The arithmetic decoder: low, high (exclusive) and the code value.
struct Coder {
  uint32_t low = 0, high = FULL, code = 0;

  // Doubles the interval until it straddles the middle and is wider than a
  // quarter. While the leading bits of low and high - 1 agree, each step
  // shifts that bit out; after that, while low is 01... and high - 1 is
  // 10..., each step drops the second bit. The k shifts of the first kind
  // come before the m of the second, so both go in one step each.
  void renormalise(BitSource& bits) {
    uint32_t last = high - 1;
    const uint32_t differ = low ^ last;
    const int k = differ == 0 ? CODE_BITS : std::countl_zero(differ) - (32 - CODE_BITS);
    if (k > 0) {
      const uint32_t ones = (uint32_t{1} << k) - 1;
      code = ((code << k) | bits.take(k)) & kCodeMask;
      low = (low << k) & kCodeMask;
      last = ((last << k) | ones) & kCodeMask;
    }
    const int m = std::countl_one((low & ~last) << (32 - CODE_BITS + 1));
    if (m > 0) {
      const uint32_t ones = (uint32_t{1} << m) - 1, drop = ones << (CODE_BITS - 1);
      code = (code << m) - drop + bits.take(m);
      low = (low << m) - drop;
      last = (last << m) - drop + ones;
    }
    high = last + 1;
  }
};

}  // namespace

Result<uint64_t> decode_lzari(ByteReader& in, ByteWriter& out, uint64_t limit) {
  Result<uint32_t> length_word = read_payload_length(in, limit);
  if (!length_word.ok()) return length_word.failure();
  const uint32_t length = length_word.value();
  if (length == 0) return uint64_t{0};

  struct State {
    FastModel model;
    std::array<uint8_t, RING_SIZE> ring;
  };
  auto state = std::make_unique<State>();
  FastModel& model = state->model;
  auto& ring = state->ring;
  init_fast_model(model);
  init_ring(ring);

  BitSource bits{in};
  Coder coder;
  coder.code = bits.take(CODE_BITS);
  uint32_t r = RING_START;
  uint64_t count = 0;
  uint64_t end_of_input_at = kNoLimit;  // count when the input ran out
  while (count < length) {
    if (end_of_input_at == kNoLimit && bits.past_input()) end_of_input_at = count;
    // Past the end of the input the bits are all ones and carry nothing: a
    // length word far beyond the data would only spin out filler.
    if (end_of_input_at != kNoLimit && count - end_of_input_at >= kMaxBytesAfterInputEnd) break;

    uint32_t range = coder.high - coder.low;
    const uint32_t total = model.cumulative[0];
    const uint32_t x = ((coder.code - coder.low + 1) * total - 1) / range;
    const int s = find_symbol(model, x);
    coder.high = coder.low + range * model.cumulative[s - 1] / total;
    coder.low += range * model.cumulative[s] / total;
    coder.renormalise(bits);
    const int c = model.character[s];
    adapt(model, s);

    if (c < 256) {
      out.put(static_cast<uint8_t>(c));
      ring[r] = static_cast<uint8_t>(c);
      r = (r + 1) & RING_MASK;
      ++count;
      continue;
    }
    const auto& pc = kPositionTable.cumulative;
    range = coder.high - coder.low;
    const uint32_t y = ((coder.code - coder.low + 1) * pc[0] - 1) / range;
    const int p = find_position(y);
    coder.high = coder.low + range * pc[static_cast<size_t>(p)] / pc[0];
    coder.low += range * pc[static_cast<size_t>(p) + 1] / pc[0];
    coder.renormalise(bits);

    const uint32_t start = (r - static_cast<uint32_t>(p) - 1) & RING_MASK;
    const int len = c - kMatchBase;
    count += static_cast<uint64_t>(len);
    for (int k = 0; k < len; ++k) {
      const uint8_t b = ring[(start + static_cast<uint32_t>(k)) & RING_MASK];
      out.put(b);
      ring[r] = b;
      r = (r + 1) & RING_MASK;
    }
  }
  return count;
}

}  // namespace qzr
