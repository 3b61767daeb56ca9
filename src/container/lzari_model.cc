#include "container/lzari_model.h"

namespace qzr {

void init_model(LzariModel& m) {
  m.symbol_cumulative[SYMBOL_COUNT] = 0;
  for (int s = SYMBOL_COUNT; s >= 1; --s) {
    m.symbol_character[s] = s - 1;
    m.character_symbol[s - 1] = s;
    m.symbol_frequency[s] = 1;
    m.symbol_cumulative[s - 1] = m.symbol_cumulative[s] + 1;
  }
  m.symbol_frequency[0] = 0;  // sentinel for the equal-frequency search
  m.symbol_character[0] = 0;
}

void init_ring(std::array<uint8_t, RING_SIZE>& ring) {
  for (int i = 0; i < RING_START; ++i) ring[i] = 0x20;
  for (int i = RING_START; i < RING_SIZE; ++i) ring[i] = 0x00;
}

}  // namespace qzr
