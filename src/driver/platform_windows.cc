#include <conio.h>
#include <io.h>
#include <share.h>
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

MappedFile::~MappedFile() {
  if (data != nullptr) UnmapViewOfFile(data);
  if (handle != nullptr) CloseHandle(handle);
}

bool map_file(std::FILE* file, MappedFile& view) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  LARGE_INTEGER size;
  if (h == INVALID_HANDLE_VALUE || !GetFileSizeEx(h, &size) || size.QuadPart <= 0) return false;
  HANDLE mapping = CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return false;
  void* p = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
  if (p == nullptr) {
    CloseHandle(mapping);
    return false;
  }
  view.handle = mapping;
  view.data = static_cast<const uint8_t*>(p);
  view.size = static_cast<size_t>(size.QuadPart);
  return true;
}

IntermediateLock::~IntermediateLock() {}

std::FILE* create_intermediate(const char* name, IntermediateLock&) {
  // The file is opened without sharing for writing, which keeps another run
  // from writing into it meanwhile.
  return _fsopen(name, "wb", _SH_DENYWR);
}

}  // namespace qzr
