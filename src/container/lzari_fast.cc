// The payload expansion in its fast forms, the one the decoder runs chosen
// at run time (common/simd_forms.h): the same model and the same integer
// steps as the plain form (lzari_plain.cc), with the coder's state in
// registers, the code bits taken from a 64-bit window, each renormalisation
// done in one step instead of a loop over single bits, the model's
// cumulative sums held in 16-bit entries so that an update and a search are
// a few vector operations, and the divisions done by exact reciprocals.
//
// The portable and SSE2 forms hold the sums in blocks of 16 (BlockModel);
// the AVX2 and AVX-512 forms in one flat array searched and updated whole
// (FlatModel), with the interval ends taken by one multiplication each. The
// wider forms are functions of their own built for their instructions
// (kAvx2, kAvx512): everything they call is inlined into them (flatten), so
// no code shared with the baseline path holds their instructions.
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <utility>

#include "common/raw_vector.h"
#include "common/simd.h"
#include "common/simd_forms.h"
#include "container/lzari_decoder.h"

#if defined(QZR_X86_DISPATCH)
#include <immintrin.h>
#endif

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
  // How many of the bits taken lie past the end of the input.
  uint64_t taken_past_input() const { return past_input() ? taken() - input_end_bit : 0; }
};

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
// quotient by b - a of the dividend shifted down by n, so with kReciprocal
// b - a's reciprocal is taken while n is being found, and the next division
// is a multiplication. Without, the division is done as it stands: where
// the divider's time follows the quotient's bits (15 here, 63 for the
// reciprocal), that is the shorter way.
template <bool kReciprocal>
struct Coder {
  uint32_t low = 0, range = FULL, offset = 0;
  int shift = 0;                                         // n
  decltype(reciprocal(1)) per_width = reciprocal(FULL);  // of range >> shift

  // ((offset + 1) * total - 1) / range.
  uint32_t scaled_code(uint32_t total) const {
    if constexpr (kReciprocal)
      return divide(((offset + 1) * total - 1) >> shift, per_width);
    else
      return ((offset + 1) * total - 1) / range;
  }

  // The scaled code had the last `unknown` bits taken, those past the end of
  // the input (ones), been zeros: the lowest any continuation of the file
  // gives. Code values are linear in their bits, so that is the offset less
  // 2^unknown - 1. False when that leaves the interval (a bit past the
  // window's 17 is unknown): then the file's bits decide nothing.
  bool lowest_scaled_code(uint32_t total, uint64_t unknown, uint32_t& x) const {
    if (unknown > CODE_BITS) return false;
    const uint32_t spread = (uint32_t{1} << unknown) - 1;
    if (offset < spread) return false;
    Coder lowest = *this;
    lowest.offset -= spread;
    x = lowest.scaled_code(total);
    return true;
  }

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
    if constexpr (kReciprocal) per_width = reciprocal(b - a);
    shift = n;
    offset = ((offset - a) << n) | bits.take(n);
    range = (b - a) << n;
  }
};

// Masks adding 1 to the lanes before a given one: lanes_before[n][k] is -1
// for k < n. Row n of a 16-lane block, row b of the tail.
constexpr int kBlocks = 20;
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

// The rescale: every frequency halved, rounding up.
inline void halve_frequencies(uint16_t* frequency) {
  for (int i = 1; i <= SYMBOL_COUNT; ++i) frequency[i] = static_cast<uint16_t>((frequency[i] + 1) >> 1);
}

// first[f]: the first symbol of frequency f, for each frequency held (the
// frequencies fall, so each is held by one run of symbols).
inline void find_runs(uint16_t* first, const uint16_t* frequency) {
  for (int i = SYMBOL_COUNT; i >= 1; --i) first[frequency[i]] = static_cast<uint16_t>(i);
}

// Counts symbol s in a model's frequencies, characters and runs, but not in
// its sums (rescaling first when the total has reached MAX_TOTAL), and
// returns the symbol i that gained: cumulative(j) grows by 1 for j < i.
// s's character moves to the first symbol of its run, whose frequency goes
// up: that symbol leaves the run (which now starts one later) and becomes
// the run of f + 1's first symbol unless that run lies just before it.
// kSelect takes which one without a branch, as a select (a branch guesses
// it wrong a quarter of the time).
template <bool kSelect, class Model>
inline int count_symbol(Model& m, int s) {
  if (m.total >= MAX_TOTAL) {
    halve_frequencies(m.frequency);
    m.rebuild();
  }
  const uint32_t f = m.frequency[s];
  const int i = m.first[f];
  const uint16_t ci = m.character[i];
  m.character[i] = m.character[s];
  m.character[s] = ci;
  m.first[f] = static_cast<uint16_t>(i + 1);
  if constexpr (kSelect) {
    const uint32_t run_before = m.first[f + 1];
    const uint32_t joins = m.frequency[i - 1] == f + 1 ? ~uint32_t{0} : 0;
    m.first[f + 1] = static_cast<uint16_t>((run_before & joins) | (static_cast<uint32_t>(i) & ~joins));
  } else {
    m.first[f + 1] = m.frequency[i - 1] == f + 1 ? m.first[f + 1] : static_cast<uint16_t>(i);
  }
  m.frequency[i] = static_cast<uint16_t>(f + 1);
  ++m.total;
  return i;
}

// The model's frequencies and characters from its initial state (the sums
// are the model's own to set, by rebuild()).
template <class Model>
void init_fast_model(Model& f) {
  LzariModel m;
  init_model(m);
  std::memset(&f, 0, sizeof f);
  for (int i = 0; i <= SYMBOL_COUNT; ++i) {
    f.frequency[i] = static_cast<uint16_t>(m.symbol_frequency[static_cast<size_t>(i)]);
    f.character[i] = static_cast<uint16_t>(m.symbol_character[static_cast<size_t>(i)]);
  }
  f.rebuild();
}

// The adaptive model of the portable and SSE2 forms, in 16-bit entries (the
// total never exceeds 0x7FFF), its cumulative sums split in blocks of 16
// symbols so that an update touches a fixed few vectors and a search takes
// two vector steps:
//
//   cumulative(j) = within[j] + tail[j / 16]
//
// within[j] sums the frequencies of the symbols after j in j's block, tail[b]
// those of all the blocks after b. Blocks 0..19 hold symbols 0..319; the
// entries past 314 and the tail entries past 19 stay 0.
template <bool kSse2>
struct BlockModel {
  alignas(64) int16_t within[kBlocks * 16];
  alignas(64) int16_t tail[24];
  uint32_t total;  // cumulative(0)
  uint16_t frequency[SYMBOL_COUNT + 1];
  uint16_t character[SYMBOL_COUNT + 1];
  uint16_t first[MAX_TOTAL + 2];  // see find_runs

  static constexpr bool kReciprocalWidth = true;

  uint32_t cumulative(int j) const { return static_cast<uint32_t>(within[j] + tail[j >> 4]); }

  void init() { init_fast_model(*this); }

  // Sets within, tail, total and first from the frequencies.
  void rebuild() {
    uint32_t c = 0;
    for (int b = kBlocks - 1; b >= 0; --b) {
      tail[b] = static_cast<int16_t>(c);
      uint32_t w = 0;
      for (int j = b * 16 + 15; j >= b * 16; --j) {
        within[j] = static_cast<int16_t>(w);
        if (j >= 1 && j <= SYMBOL_COUNT) w += frequency[j];
      }
      c += w;
    }
    total = c;
    find_runs(first, frequency);
  }

  void adapt(int s) {
    // cumulative(j) grows for j < i: within i's block, and the tails before it.
    const int i = count_symbol<false>(*this, s);
    const int block = i >> 4;
    const int16_t* in_block = kLanesBefore.row[i & 15];
    const int16_t* tails = kLanesBefore.row[block];
    int16_t* w = within + block * 16;
#if defined(QZR_SSE2)
    if constexpr (kSse2) {
      auto load = [](const int16_t* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); };
      auto store = [](int16_t* p, __m128i v) { _mm_store_si128(reinterpret_cast<__m128i*>(p), v); };
      store(w, _mm_sub_epi16(load(w), _mm_loadu_si128(reinterpret_cast<const __m128i*>(in_block))));
      store(w + 8, _mm_sub_epi16(load(w + 8), _mm_loadu_si128(reinterpret_cast<const __m128i*>(in_block + 8))));
      for (int k = 0; k < 24; k += 8) store(tail + k, _mm_sub_epi16(load(tail + k), load(tails + k)));
      return;
    }
#endif
    for (int k = 0; k < 16; ++k) w[k] = static_cast<int16_t>(w[k] - in_block[k]);
    for (int k = 0; k < 24; ++k) tail[k] = static_cast<int16_t>(tail[k] - tails[k]);
  }

  // The smallest symbol s >= 1 with cumulative(s) <= x. Cumulative sums
  // fall with s, so the entries above x come first: the count of tails above
  // x gives the block, the count of its entries above x - tail the place in
  // it. Symbols 0 .. 16 * block + in_block - 1 lie above x: cumulative(0),
  // the total, always does (see Coder), so s is at least 1.
  int find_symbol(uint32_t x) const {
    // x is below the total (see Coder), so it fits a lane.
    const int xc = static_cast<int>(x);
    int block = 0, in_block = 0;
#if defined(QZR_SSE2)
    if constexpr (kSse2) {
      const __m128i xv = _mm_set1_epi16(static_cast<int16_t>(xc));
      const __m128i* t = reinterpret_cast<const __m128i*>(tail);
      const __m128i t01 = _mm_packs_epi16(_mm_cmpgt_epi16(t[0], xv), _mm_cmpgt_epi16(t[1], xv));
      const __m128i t2 = _mm_cmpgt_epi16(t[2], xv);
      const uint32_t tails_above = static_cast<uint32_t>(_mm_movemask_epi8(t01)) |
                                   static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(t2, t2))) << 16;
      block = std::countr_one(tails_above);
      const __m128i yv = _mm_set1_epi16(static_cast<int16_t>(xc - tail[block]));
      const __m128i* w = reinterpret_cast<const __m128i*>(within + block * 16);
      const __m128i w01 = _mm_packs_epi16(_mm_cmpgt_epi16(w[0], yv), _mm_cmpgt_epi16(w[1], yv));
      in_block = std::countr_one(static_cast<uint32_t>(_mm_movemask_epi8(w01)));
      return block * 16 + in_block;
    }
#endif
    while (tail[block] > xc) ++block;
    const int y = xc - tail[block];
    while (within[block * 16 + in_block] > y) ++in_block;
    return block * 16 + in_block;
  }

  // Symbol s's share of an interval `range` wide: [range * cumulative(s) /
  // total, range * cumulative(s - 1) / total).
  std::pair<uint32_t, uint32_t> share(int s, uint32_t range) const {
    const auto per_total = reciprocal(total);
    return {divide(range * cumulative(s), per_total), divide(range * cumulative(s - 1), per_total)};
  }
};

#if defined(QZR_X86_DISPATCH)
// The wider forms' code: a function given one of these is built for those
// instructions, and runs only where the CPU has them.
#define QZR_TARGET_AVX2 __attribute__((target("avx2,bmi,bmi2,lzcnt,popcnt")))
#define QZR_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx2,bmi,bmi2,lzcnt,popcnt")))

// The high 64 bits of a 64 by 64-bit product.
inline uint64_t high_product(uint64_t a, uint64_t b) { return static_cast<uint64_t>((static_cast<uint128>(a) * b) >> 64); }

// The adaptive model of the AVX2 and AVX-512 forms: cumulative(j) for
// symbols 0..319 in one array of 16-bit entries (the total never exceeds
// 0x7FFF), 20 vectors of 16 lanes or 10 of 32; the entries past 314 stay 0.
// A search counts the entries above x in every vector, an update adds 1 to
// every entry before a symbol.
constexpr int kFlatEntries = 320;
struct FlatModel {
  alignas(64) int16_t cumulative[kFlatEntries];
  uint32_t total;  // cumulative[0]
  uint16_t frequency[SYMBOL_COUNT + 1];
  uint16_t character[SYMBOL_COUNT + 1];
  uint16_t first[MAX_TOTAL + 2];  // see find_runs
  // ceil(2^48 / t) for every total t the model can hold (1 .. MAX_TOTAL):
  // the interval ends' scale (see share), in storage that lasts as long as
  // the expansion (not the process: it is a quarter of a megabyte).
  uint64_t* scale_of_total;

  static constexpr bool kReciprocalWidth = false;

  void init(uint64_t* scales) {
    init_fast_model(*this);
    scale_of_total = scales;
    scales[0] = 0;
    for (uint64_t t = 1; t <= MAX_TOTAL; ++t) scales[t] = ((uint64_t{1} << 48) + t - 1) / t;
  }

  // Sets cumulative, total and first from the frequencies.
  void rebuild() {
    uint32_t c = 0;
    for (int j = kFlatEntries - 1; j >= 0; --j) {
      cumulative[j] = static_cast<int16_t>(c);
      if (j >= 1 && j <= SYMBOL_COUNT) c += frequency[j];
    }
    total = c;
    find_runs(first, frequency);
  }


  // Symbol s's share of an interval `range` wide: [range * cumulative(s) /
  // total, range * cumulative(s - 1) / total), each end the high half of
  // (c << 16) * (range * ceil(2^48 / total)). Exactly so: with
  // ceil(2^48 / t) = (2^48 + e) / t, 0 <= e < t, that is the floor of
  // c * range / t + d where d = c * range * e / (t * 2^48) < c * range / 2^48
  // <= t * 2^17 / 2^48 = t / 2^31 (c <= t, range <= FULL), and as t <=
  // MAX_TOTAL < 2^15, d < 1 / t: too little to reach the next whole number
  // from a quotient by t that is not whole. No product wraps: range *
  // ceil(2^48 / t) < 2^17 * 2^40 (t >= 314, every symbol weighing at least
  // 1), and c << 16 < 2^31.
  std::pair<uint32_t, uint32_t> share(int s, uint32_t range) const {
    const uint64_t scaled_range = uint64_t{range} * scale_of_total[total];
    const auto end = [&](int j) {
      return static_cast<uint32_t>(high_product(static_cast<uint64_t>(cumulative[j]) << 16, scaled_range));
    };
    return {end(s), end(s - 1)};
  }
};

// The lane numbers 0..319, to mark the lanes before a symbol.
struct LaneNumbers {
  alignas(64) int16_t of[kFlatEntries];
};
constexpr LaneNumbers make_lane_numbers() {
  LaneNumbers t{};
  for (int j = 0; j < kFlatEntries; ++j) t.of[j] = static_cast<int16_t>(j);
  return t;
}
alignas(64) constexpr LaneNumbers kLaneNumbers = make_lane_numbers();

// Both searches count the entries above x, symbol 0's (the total, above x:
// see Coder) included: that is the smallest symbol s >= 1 with
// cumulative(s) <= x. x is below the total, so it fits a lane.
struct Avx2Model : FlatModel {
  QZR_TARGET_AVX2 int find_symbol(uint32_t x) const {
    const __m256i xv = _mm256_set1_epi16(static_cast<int16_t>(x));
    const __m256i* c = reinterpret_cast<const __m256i*>(cumulative);
    int above = 0;
    for (int v = 0; v < kFlatEntries / 16; v += 2) {
      const __m256i both = _mm256_packs_epi16(_mm256_cmpgt_epi16(c[v], xv), _mm256_cmpgt_epi16(c[v + 1], xv));
      above += __builtin_popcount(static_cast<uint32_t>(_mm256_movemask_epi8(both)));
    }
    return above;
  }
  QZR_TARGET_AVX2 void adapt(int s) {
    const __m256i iv = _mm256_set1_epi16(static_cast<int16_t>(count_symbol<true>(*this, s)));
    __m256i* c = reinterpret_cast<__m256i*>(cumulative);
    const __m256i* lane = reinterpret_cast<const __m256i*>(kLaneNumbers.of);
    for (int v = 0; v < kFlatEntries / 16; ++v) c[v] = _mm256_sub_epi16(c[v], _mm256_cmpgt_epi16(iv, lane[v]));
  }
};

struct Avx512Model : FlatModel {
  QZR_TARGET_AVX512 int find_symbol(uint32_t x) const {
    const __m512i xv = _mm512_set1_epi16(static_cast<int16_t>(x));
    const __m512i* c = reinterpret_cast<const __m512i*>(cumulative);
    int above = 0;
    for (int v = 0; v < kFlatEntries / 32; v += 2)
      above += __builtin_popcountll(
          _mm512_kunpackd(_mm512_cmpgt_epi16_mask(c[v + 1], xv), _mm512_cmpgt_epi16_mask(c[v], xv)));
    return above;
  }
  QZR_TARGET_AVX512 void adapt(int s) {
    const __m512i iv = _mm512_set1_epi16(static_cast<int16_t>(count_symbol<true>(*this, s)));
    const __m512i one = _mm512_set1_epi16(1);
    __m512i* c = reinterpret_cast<__m512i*>(cumulative);
    const __m512i* lane = reinterpret_cast<const __m512i*>(kLaneNumbers.of);
    for (int v = 0; v < kFlatEntries / 32; ++v)
      c[v] = _mm512_mask_add_epi16(c[v], _mm512_cmplt_epi16_mask(lane[v], iv), c[v], one);
  }
};
#endif  // QZR_X86_DISPATCH

// The expansion after the length word with one form of the model.
template <class Model>
uint64_t expand_with(ByteReader& in, ByteWriter& out, uint32_t length, uint64_t* bits_taken, uint64_t* determined) {
  if (bits_taken != nullptr) *bits_taken = 0;
  if (determined != nullptr) *determined = 0;
  if (length == 0) return 0;

  struct State {
    Model model;
    std::array<uint8_t, RING_SIZE> ring;
    uint8_t output[1 << 14];  // bytes on their way to `out`
  };
  auto state = std::make_unique<State>();
  Model& model = state->model;
  auto& ring = state->ring;
  RawVector<uint64_t> total_scales;  // the flat models' (FlatModel::scale_of_total)
  if constexpr (Model::kReciprocalWidth) {
    model.init();
  } else {
    total_scales.resize(MAX_TOTAL + 1);
    model.init(total_scales.data());
  }
  init_ring(ring);

  uint8_t* const output = state->output;
  size_t held = 0;  // bytes in output
  BitSource bits{in};
  Coder<Model::kReciprocalWidth> coder;
  bits.refill();
  coder.offset = bits.take(CODE_BITS);
  uint32_t r = RING_START;
  uint64_t count = 0;
  uint64_t end_of_input_at = kNoLimit;  // count when the input ran out
  uint64_t undecided_at = kNoLimit;     // count when the input's bits first left a choice open
  // Whether a choice made with bits past the end of the input is the one
  // every continuation of the file makes (rare: only near the end).
  const auto decided_by_input = [&](uint32_t total, auto&& choose, int chosen) {
    uint32_t lowest = 0;
    return coder.lowest_scaled_code(total, bits.taken_past_input(), lowest) && choose(lowest) == chosen;
  };
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

    const uint32_t x = coder.scaled_code(model.total);
    const int s = model.find_symbol(x);
    const auto find_symbol = [&model](uint32_t v) { return model.find_symbol(v); };
    if (undecided_at == kNoLimit && bits.past_input() && !decided_by_input(model.total, find_symbol, s)) [[unlikely]]
      undecided_at = count;
    const auto [a, b] = model.share(s, coder.range);
    coder.narrow(a, b, bits);
    const int c = model.character[s];
    model.adapt(s);

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
    if (undecided_at == kNoLimit && bits.past_input() && !decided_by_input(pc[0], find_position, p)) [[unlikely]]
      undecided_at = count;
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
  if (determined != nullptr) *determined = std::min(count, undecided_at);
  return count;
}

using Expansion = uint64_t (*)(ByteReader&, ByteWriter&, uint32_t, uint64_t*, uint64_t*);

uint64_t expand_portable(ByteReader& in, ByteWriter& out, uint32_t length, uint64_t* bits_taken, uint64_t* determined) {
  return expand_with<BlockModel<false>>(in, out, length, bits_taken, determined);
}
#if defined(QZR_SSE2)
uint64_t expand_sse2(ByteReader& in, ByteWriter& out, uint32_t length, uint64_t* bits_taken, uint64_t* determined) {
  return expand_with<BlockModel<true>>(in, out, length, bits_taken, determined);
}
#endif
#if defined(QZR_X86_DISPATCH)
QZR_TARGET_AVX2 __attribute__((flatten)) uint64_t expand_avx2(ByteReader& in, ByteWriter& out, uint32_t length,
                                                                uint64_t* bits_taken, uint64_t* determined) {
  return expand_with<Avx2Model>(in, out, length, bits_taken, determined);
}
QZR_TARGET_AVX512 __attribute__((flatten)) uint64_t expand_avx512(ByteReader& in, ByteWriter& out, uint32_t length,
                                                                    uint64_t* bits_taken, uint64_t* determined) {
  return expand_with<Avx512Model>(in, out, length, bits_taken, determined);
}
#endif

// The form's expansion, or that of the best runnable form below it.
Expansion expansion_of(SimdForm form) {
  switch (best_simd_form(form)) {
#if defined(QZR_X86_DISPATCH)
    case SimdForm::avx512:
      return expand_avx512;
    case SimdForm::avx2:
      return expand_avx2;
#endif
#if defined(QZR_SSE2)
    case SimdForm::sse2:
      return expand_sse2;
#endif
    default:
      return expand_portable;
  }
}

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

Expected<uint64_t> decode_lzari(ByteReader& in, ByteWriter& out, uint64_t limit, uint64_t* bits_taken,
                                uint64_t* determined) {
  return decode_lzari_as(chosen_simd_form(), in, out, limit, bits_taken, determined);
}

uint64_t expand_lzari(ByteReader& in, ByteWriter& out, uint32_t length, uint64_t* bits_taken, uint64_t* determined) {
  static const Expansion chosen = expansion_of(chosen_simd_form());
  return chosen(in, out, length, bits_taken, determined);
}

Expected<uint64_t> decode_lzari_as(SimdForm form, ByteReader& in, ByteWriter& out, uint64_t limit,
                                   uint64_t* bits_taken, uint64_t* determined) {
  Expected<uint32_t> length = read_payload_length(in, limit);
  if (!length.ok()) return length.failure();
  return expansion_of(form)(in, out, length.value(), bits_taken, determined);
}

}  // namespace qzr
