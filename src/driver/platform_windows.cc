#include <conio.h>
#include <io.h>
#include <windows.h>

#include "driver/platform.h"

namespace qzr {

uint32_t tick_count_ms() { return static_cast<uint32_t>(GetTickCount()); }

bool console_available() { return _isatty(_fileno(stdin)) != 0; }

void wait_for_key() {
  if (!console_available()) return;
  // _kbhit reports key-downs that yield a character or an extended key; an
  // extended key arrives as two codes (0 or 0xE0, then the key), read both.
  while (!_kbhit()) {
  }
  int c = _getch();
  if (c == 0 || c == 0xE0) _getch();
}

}  // namespace qzr
