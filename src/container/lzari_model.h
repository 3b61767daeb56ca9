// The LZARI stream model, shared by the payload decoder and the encoder:
// LZ77 over a 4096-byte ring with matches of 3 to 60 bytes, coded by a 17-bit
// integer arithmetic coder with one adaptive model for literals and match
// lengths (314 symbols) and one fixed model for match positions (4096).
//
//   payload := length word (u32 little-endian) , code bits (MSB of each byte first)
//
// Every constant, table and order here is part of the stream format.
#pragma once

#include <array>
#include <cstdint>

namespace qzr {

constexpr int RING_SIZE = 4096;
constexpr uint32_t RING_MASK = RING_SIZE - 1;
constexpr int MAX_MATCH = 60;
constexpr int MIN_MATCH = 3;
constexpr int RING_START = RING_SIZE - MAX_MATCH;  // 4036: first write position
constexpr int SYMBOL_COUNT = 314;                  // 256 literals + 58 match lengths
constexpr uint32_t QUARTER = 0x8000;
constexpr uint32_t HALF = 0x10000;
constexpr uint32_t THREE_QUARTERS = 0x18000;
constexpr uint32_t FULL = 0x20000;
constexpr uint32_t MAX_TOTAL = 0x7FFF;
constexpr int CODE_BITS = 17;  // bits loaded into code_value at the start

// Characters 256..313 stand for a match of length character - 253.
constexpr int kMatchBase = 256 - MIN_MATCH;  // 253

// Fixed cumulative weights of the match positions: position p weighs
// 10000 / (p + 201); position_cumulative[4096] = 0, [0] = 28568.
struct PositionTable {
  std::array<uint32_t, RING_SIZE + 1> cumulative{};
};
constexpr PositionTable make_position_table() {
  PositionTable t;
  t.cumulative[RING_SIZE] = 0;
  for (uint32_t i = RING_SIZE; i >= 1; --i) t.cumulative[i - 1] = t.cumulative[i] + 10000 / (i + 200);
  return t;
}
inline constexpr PositionTable kPositionTable = make_position_table();
static_assert(kPositionTable.cumulative[0] == 28568);

// The position p with position_cumulative[p] > x >= position_cumulative[p + 1]
// (x below position_cumulative[0]), by halving steps without branches.
inline int find_position(uint32_t x) {
  const uint32_t* c = kPositionTable.cumulative.data();
  int base = 0;
  for (int step = 2048; step > 0; step >>= 1) base += c[base + step] > x ? step : 0;
  return base;
}

// The adaptive symbol model. Symbols 1..314 stand in order of non-increasing
// frequency; symbol_cumulative[i] is the sum of frequencies above i.
struct LzariModel {
  std::array<uint32_t, SYMBOL_COUNT + 1> symbol_frequency{};
  // Entries past 314 stay 0, so that a search may probe up to index 511.
  std::array<uint32_t, 512> symbol_cumulative{};
  std::array<int32_t, SYMBOL_COUNT + 1> symbol_character{};
  std::array<int32_t, SYMBOL_COUNT> character_symbol{};  // inverse, for the encoder
};

// Initial model: every symbol frequency 1, symbol s stands for character s-1.
void init_model(LzariModel& m);

// Counts one more occurrence of symbol s: rescales when the total has reached
// MAX_TOTAL, moves s's character to the first symbol of equal frequency.
inline void adapt_model(LzariModel& m, int s) {
  if (m.symbol_cumulative[0] >= MAX_TOTAL) {
    uint32_t c = 0;
    for (int i = SYMBOL_COUNT; i >= 1; --i) {
      m.symbol_cumulative[i] = c;
      m.symbol_frequency[i] = (m.symbol_frequency[i] + 1) >> 1;
      c += m.symbol_frequency[i];
    }
    m.symbol_cumulative[0] = c;
  }
  int i = s;
  while (m.symbol_frequency[i] == m.symbol_frequency[i - 1]) --i;  // entry 0 is 0: stops
  if (i < s) {
    int32_t ci = m.symbol_character[i];
    int32_t cs = m.symbol_character[s];
    m.symbol_character[i] = cs;
    m.symbol_character[s] = ci;
    m.character_symbol[cs] = i;
    m.character_symbol[ci] = s;
  }
  ++m.symbol_frequency[i];
  for (int j = i - 1; j >= 0; --j) ++m.symbol_cumulative[j];
}

// The ring's initial content: spaces in slots 0..4035, zeros in 4036..4095.
void init_ring(std::array<uint8_t, RING_SIZE>& ring);

}  // namespace qzr
