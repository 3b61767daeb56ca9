// The payload expansion in its fast form, the one the decoder runs: the same
// model and the same integer steps as the plain form (lzari_plain.cc), with
// the coder's state in registers, the code bits taken from a 64-bit window,
// each renormalisation done in one step instead of a loop over single bits,
// the model's cumulative sums held in 16-bit blocks so that an update and a
// search are a few vector operations, and the divisions done by exact
// reciprocals.
#include <bit>
#include <cstring>
#include <memory>

#include "common/simd.h"
#include "container/lzari_decoder.h"

namespace qzr {
namespace {

constexpr uint32_t kCodeMask = FULL - 1;  // the coder's values have 17 bits

// Code bits, most significant first, from a 64-bit window over the input,
// refilled a whole word at a time while eight bytes are left in the reader's
// buffer. Past the end of the input every byte reads as 0xFF (all bits one);
// the bit position where that began is kept, since the plain form notes the
// end of the input only once it has taken a bit from there.
struct BitSource {
  ByteReader& in;
  const uint8_t* pos;  // the reader's place, held here while decoding
  const uint8_t* end;
  uint64_t window = 0;  // next bits at the top; the bits below may already hold the next byte's
  int available = 0;
  uint64_t loaded = 0;                    // bits moved into the window so far
  uint64_t input_end_bit = ~uint64_t{0};  // bit position of the first byte past the input

  explicit BitSource(ByteReader& reader) : in(reader), pos(reader.pos), end(reader.end) {}
  ~BitSource() { in.pos = pos; }

  // Tops the window up to at least 56 bits. A window filled byte by byte
  // can hold 64, and a symbol may take none of them: then there is nothing
  // to add (a word load would shift by the full width).
  void refill() {
    if (available > 56) return;
    if (end - pos >= 8) {
      uint64_t word;
      std::memcpy(&word, pos, 8);
      if constexpr (std::endian::native == std::endian::little) word = byteswap64(word);
      window |= word >> available;
      const int bytes = (63 - available) >> 3;
      pos += bytes;
      available += bytes * 8;
      loaded += static_cast<uint64_t>(bytes) * 8;
      return;
    }
    in.pos = pos;
    while (available <= 56) {
      int byte = in.read_byte();
      if (byte == kEndOfFile) {
        if (input_end_bit == ~uint64_t{0}) input_end_bit = loaded;
        byte = 0xFF;
      }
      // Clears what a word load put below the window's bits before setting them.
      window = (window & ~(~uint64_t{0} >> available)) | static_cast<uint64_t>(byte) << (56 - available);
      available += 8;
      loaded += 8;
    }
    pos = in.pos;
    end = in.end;
  }
  static uint64_t byteswap64(uint64_t v) {
#if defined(__GNUC__)
    return __builtin_bswap64(v);
#else
    uint64_t r = 0;
    for (int i = 0; i < 8; ++i) r = r << 8 | ((v >> (8 * i)) & 0xFF);
    return r;
#endif
  }
  // The next n bits (0..32) as a number; refill() must have left n.
  uint32_t take(int n) {
    const uint32_t bits = static_cast<uint32_t>((window >> 1) >> (63 - n));
    window <<= n;
    available -= n;
    return bits;
  }
  // Bits taken so far.
  uint64_t taken() const { return loaded - static_cast<uint64_t>(available); }
  // True once the plain form would have read past the end of the input.
  bool past_input() const { return taken() > input_end_bit; }
};

// The adaptive model in 16-bit entries (the total never exceeds 0x7FFF), its
// cumulative sums split in blocks of 16 symbols so that an update touches a
// fixed few vectors and a search takes two vector steps:
//
//   cumulative(j) = within[j] + tail[j / 16]
//
// within[j] sums the frequencies of the symbols after j in j's block, tail[b]
// those of all the blocks after b. Blocks 0..19 hold symbols 0..319; the
// entries past 314 and the tail entries past 19 stay 0.
constexpr int kBlocks = 20;
struct FastModel {
  alignas(64) int16_t within[kBlocks * 16];
  alignas(64) int16_t tail[24];
  uint32_t total;  // cumulative(0)
  uint16_t frequency[SYMBOL_COUNT + 1];
  uint16_t character[SYMBOL_COUNT + 1];
  // first[f]: the first symbol of frequency f, for each frequency held (the
  // frequencies fall, so each is held by one run of symbols).
  uint16_t first[MAX_TOTAL + 2];
};

// Masks adding 1 to the lanes before a given one: lanes_before[n][k] is -1
// for k < n. Row n of a 16-lane block, row b of the tail.
struct LaneMasks {
  alignas(16) int16_t row[kBlocks + 1][24];
};
constexpr LaneMasks make_lane_masks() {
  LaneMasks t{};
  for (int n = 0; n <= kBlocks; ++n)
    for (int k = 0; k < 24; ++k) t.row[n][k] = k < n ? -1 : 0;
  return t;
}
alignas(64) constexpr LaneMasks kLanesBefore = make_lane_masks();

inline uint32_t cumulative(const FastModel& m, int j) { return static_cast<uint32_t>(m.within[j] + m.tail[j >> 4]); }

// Sets within, tail, total and first from the frequencies.
void rebuild(FastModel& m) {
  uint32_t c = 0;
  for (int b = kBlocks - 1; b >= 0; --b) {
    m.tail[b] = static_cast<int16_t>(c);
    uint32_t w = 0;
    for (int j = b * 16 + 15; j >= b * 16; --j) {
      m.within[j] = static_cast<int16_t>(w);
      if (j >= 1 && j <= SYMBOL_COUNT) w += m.frequency[j];
    }
    c += w;
  }
  m.total = c;
  for (int i = SYMBOL_COUNT; i >= 1; --i) m.first[m.frequency[i]] = static_cast<uint16_t>(i);
}

void init_fast_model(FastModel& f) {
  LzariModel m;
  init_model(m);
  std::memset(&f, 0, sizeof f);
  for (int i = 0; i <= SYMBOL_COUNT; ++i) {
    f.frequency[i] = static_cast<uint16_t>(m.symbol_frequency[static_cast<size_t>(i)]);
    f.character[i] = static_cast<uint16_t>(m.symbol_character[static_cast<size_t>(i)]);
  }
  rebuild(f);
}

inline void adapt(FastModel& m, int s) {
  if (m.total >= MAX_TOTAL) {
    for (int i = 1; i <= SYMBOL_COUNT; ++i) m.frequency[i] = static_cast<uint16_t>((m.frequency[i] + 1) >> 1);
    rebuild(m);
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
  // cumulative(j) grows for j < i: within i's block, and the tails before it.
  ++m.total;
  const int block = i >> 4;
  const int16_t* in_block = kLanesBefore.row[i & 15];
  const int16_t* tails = kLanesBefore.row[block];
  int16_t* w = m.within + block * 16;
#if defined(QZR_SSE2)
  auto load = [](const int16_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); };
  auto store = [](int16_t* p, __m128i v) { _mm_store_si128(reinterpret_cast<__m128i*>(p), v); };
  store(w, _mm_sub_epi16(load(w), _mm_loadu_si128(reinterpret_cast<const __m128i*>(in_block))));
  store(w + 8, _mm_sub_epi16(load(w + 8), _mm_loadu_si128(reinterpret_cast<const __m128i*>(in_block + 8))));
  for (int k = 0; k < 24; k += 8) store(m.tail + k, _mm_sub_epi16(load(m.tail + k), load(tails + k)));
#else
  for (int k = 0; k < 16; ++k) w[k] = static_cast<int16_t>(w[k] - in_block[k]);
  for (int k = 0; k < 24; ++k) m.tail[k] = static_cast<int16_t>(m.tail[k] - tails[k]);
#endif
}

// The smallest symbol s >= 1 with cumulative(s) <= x. Cumulative sums fall
// with s, so the entries above x come first: the count of tails above x gives
// the block, the count of its entries above x - tail the place in it.
inline int find_symbol(const FastModel& m, uint32_t x) {
  // x is below the total (see Coder), so it fits a lane.
  const int xc = static_cast<int>(x);
#if defined(QZR_SSE2)
  const __m128i xv = _mm_set1_epi16(static_cast<int16_t>(xc));
  const __m128i* t = reinterpret_cast<const __m128i*>(m.tail);
  const __m128i t01 = _mm_packs_epi16(_mm_cmpgt_epi16(t[0], xv), _mm_cmpgt_epi16(t[1], xv));
  const __m128i t2 = _mm_cmpgt_epi16(t[2], xv);
  const uint32_t tails_above = static_cast<uint32_t>(_mm_movemask_epi8(t01)) |
                               static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(t2, t2))) << 16;
  const int block = std::countr_one(tails_above);
  const __m128i yv = _mm_set1_epi16(static_cast<int16_t>(xc - m.tail[block]));
  const __m128i* w = reinterpret_cast<const __m128i*>(m.within + block * 16);
  const __m128i w01 = _mm_packs_epi16(_mm_cmpgt_epi16(w[0], yv), _mm_cmpgt_epi16(w[1], yv));
  const int in_block = std::countr_one(static_cast<uint32_t>(_mm_movemask_epi8(w01)));
#else
  int block = 0;
  while (m.tail[block] > xc) ++block;
  const int y = xc - m.tail[block];
  int in_block = 0;
  while (m.within[block * 16 + in_block] > y) ++in_block;
#endif
  // Symbols 0 .. 16 * block + in_block - 1 lie above x: cumulative(0), the
  // total, always does (see Coder), so this is at least 1.
  return block * 16 + in_block;
}

// q / d for every q < 2^32 and divisor 1 <= d <= 2^17 by a multiplication:
// with r = ceil(2^63 / d) = d's reciprocal (2^63, not 2^64, so that d = 1
// has one), q * r / 2^63 exceeds q / d by less than q / 2^63 < 1 / d, too
// little to reach the next whole number.
#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 uint128;
inline uint64_t reciprocal(uint32_t d) { return (~uint64_t{0} >> 1) / d + 1; }
inline uint32_t divide(uint32_t q, uint64_t r) {
  return static_cast<uint32_t>((static_cast<uint128>(uint64_t{q} << 1) * r) >> 64);
}
#else
inline uint32_t reciprocal(uint32_t d) { return d; }
inline uint32_t divide(uint32_t q, uint32_t d) { return q / d; }
#endif

// The place of the highest bit set in a nonzero word.
inline int highest_bit(uint32_t v) { return 31 - std::countl_zero(v); }

// The arithmetic decoder, kept as the interval's low end, its width and the
// code value's offset from low: the plain form's code - low, which the
// renormalisation only doubles and feeds with code bits (whatever it takes
// off code it takes off low too), so the next symbol's division needs neither
// low nor a subtraction.
//
// The code value never leaves the interval: the symbol found is the one whose
// share holds it (cumulative(s) * range < (offset + 1) * total <=
// cumulative(s - 1) * range), and a share is never empty, the width being
// above a quarter, 0x8000, after each renormalisation and the total at most
// 0x7FFF. So offset < range, the search's x is below the total, and nothing
// wraps.
//
// The width is the narrowed one, b - a, shifted by n: a quotient by it is the
// quotient by b - a of the dividend shifted down by n, so b - a's reciprocal
// is taken while n is being found, and the next division is a multiplication.
struct Coder {
  uint32_t low = 0, range = FULL, offset = 0;
  int shift = 0;                                         // n
  decltype(reciprocal(1)) per_width = reciprocal(FULL);  // of range >> shift

  // ((offset + 1) * total - 1) / range.
  uint32_t scaled_code(uint32_t total) const { return divide(((offset + 1) * total - 1) >> shift, per_width); }

  // Narrows the interval to [low + a, low + b) and doubles it until it
  // straddles the middle and is wider than a quarter: n times, n at most 17,
  // as it is at least 1 wide. The width ends in (0x8000, 0x20000], so n is
  // one of two counts, n0 or n0 + 1, fixed by the width w = b - a alone.
  // Which one: after j steps the interval lies in a window of 2^(17-j)
  // starting at a multiple of 2^(16-j) (a half of the last window, or its
  // middle), and a step is taken exactly when it fits such a window one
  // level down, so the extra step is taken when first and last, cut to their
  // bits above 2^(15-n0), differ by at most one. Either kind of step leaves
  // low's later bits in order and its leading bit 0.
  void narrow(uint32_t a, uint32_t b, BitSource& bits) {
    const uint32_t first = low + a;
    const uint32_t last = low + b - 1;
    // n0 = 16 - bit_width(w - 1); the cut is at 2^(15-n0), made on the
    // doubled values so that w = 1 needs no shift by -1 (it always takes 17
    // steps: first == last).
    const int cut = highest_bit(2 * (b - a) - 1);  // bit_width(w - 1), w >= 1
    const int n = 16 - cut + (((last << 1) >> cut) - ((first << 1) >> cut) <= 1 ? 1 : 0);
    low = (first << n) & (kCodeMask >> 1);
    per_width = reciprocal(b - a);
    shift = n;
    offset = ((offset - a) << n) | bits.take(n);
    range = (b - a) << n;
  }
};

}  // namespace

Expected<uint32_t> read_payload_length(ByteReader& in, uint64_t limit) {
  uint8_t word[4];
  if (in.read_block(word, 4) != 4) return Error{1, "\nRead Error\n", ErrorKind::truncated};
  const uint32_t length = static_cast<uint32_t>(word[0]) | static_cast<uint32_t>(word[1]) << 8 |
                          static_cast<uint32_t>(word[2]) << 16 | static_cast<uint32_t>(word[3]) << 24;
  if (uint64_t{length} > limit)
    return format_failure(format_text("\nPayload of %u bytes is beyond the limit of %llu bytes !\n", length,
                                      static_cast<unsigned long long>(limit)),
                          ErrorKind::limit);
  return length;
}

Expected<uint64_t> decode_lzari(ByteReader& in, ByteWriter& out, uint64_t limit, uint64_t* bits_taken) {
  Expected<uint32_t> length = read_payload_length(in, limit);
  if (!length.ok()) return length.failure();
  return expand_lzari(in, out, length.value(), bits_taken);
}

uint64_t expand_lzari(ByteReader& in, ByteWriter& out, uint32_t length, uint64_t* bits_taken) {
  if (bits_taken != nullptr) *bits_taken = 0;
  if (length == 0) return 0;

  struct State {
    FastModel model;
    std::array<uint8_t, RING_SIZE> ring;
    uint8_t output[1 << 14];  // bytes on their way to `out`
  };
  auto state = std::make_unique<State>();
  FastModel& model = state->model;
  auto& ring = state->ring;
  init_fast_model(model);
  init_ring(ring);

  uint8_t* const output = state->output;
  size_t held = 0;  // bytes in output
  BitSource bits{in};
  Coder coder;
  bits.refill();
  coder.offset = bits.take(CODE_BITS);
  uint32_t r = RING_START;
  uint64_t count = 0;
  uint64_t end_of_input_at = kNoLimit;  // count when the input ran out
  while (count < length) {
    if (end_of_input_at == kNoLimit && bits.past_input()) end_of_input_at = count;
    // Past the end of the input the bits are all ones and carry nothing: a
    // length word far beyond the data would only spin out filler.
    if (end_of_input_at != kNoLimit && count - end_of_input_at >= kMaxBytesAfterInputEnd) break;
    if (held > sizeof state->output - MAX_MATCH) {
      out.write(output, held);
      held = 0;
    }
    // Enough bits for a symbol and a position, at most 17 each.
    bits.refill();

    const uint32_t total = model.total;
    const auto per_total = reciprocal(total);
    const uint32_t x = coder.scaled_code(total);
    const int s = find_symbol(model, x);
    coder.narrow(divide(coder.range * cumulative(model, s), per_total),
                 divide(coder.range * cumulative(model, s - 1), per_total), bits);
    const int c = model.character[s];
    adapt(model, s);

    if (c < 256) {
      output[held++] = static_cast<uint8_t>(c);
      ring[r] = static_cast<uint8_t>(c);
      r = (r + 1) & RING_MASK;
      ++count;
      continue;
    }
    const auto& pc = kPositionTable.cumulative;
    const uint32_t y = coder.scaled_code(pc[0]);
    const int p = find_position(y);
    coder.narrow(coder.range * pc[static_cast<size_t>(p) + 1] / pc[0], coder.range * pc[static_cast<size_t>(p)] / pc[0],
                 bits);

    const uint32_t start = (r - static_cast<uint32_t>(p) - 1) & RING_MASK;
    const int len = c - kMatchBase;
    count += static_cast<uint64_t>(len);
    for (int k = 0; k < len; ++k) {
      const uint8_t b = ring[(start + static_cast<uint32_t>(k)) & RING_MASK];
      output[held++] = b;
      ring[r] = b;
      r = (r + 1) & RING_MASK;
    }
  }
  out.write(output, held);
  if (bits_taken != nullptr) *bits_taken = bits.taken();
  return count;
}

}  // namespace qzr
