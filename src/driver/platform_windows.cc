// The platform layer on Windows: the tick counter, the console keyboard,
// file views and the claim on temp.tmp, through the Win32 API.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "driver/platform.h"

namespace qzr {
namespace {

// The console input handle, when standard input is a console: a pipe, a
// file or NUL has no console mode (_isatty would take NUL for a console).
HANDLE console_input() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode;
  if (in == nullptr || in == INVALID_HANDLE_VALUE || !GetConsoleMode(in, &mode)) return nullptr;
  return in;
}

// Keys without a character that still count as a key press: the function,
// cursor and editing keys. Modifiers and lock keys alone do not.
bool extended_key(WORD vk) {
  return (vk >= VK_PRIOR && vk <= VK_DOWN) || vk == VK_INSERT || vk == VK_DELETE || vk == VK_CLEAR ||
         (vk >= VK_F1 && vk <= VK_F24);
}

// Identifies the file behind a handle (volume and file index).
bool file_identity(HANDLE h, BY_HANDLE_FILE_INFORMATION& info) { return GetFileInformationByHandle(h, &info) != 0; }

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace

uint32_t tick_count_ms() { return static_cast<uint32_t>(GetTickCount()); }

bool console_available() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode;
  return console_input() != nullptr && out != nullptr && out != INVALID_HANDLE_VALUE && GetConsoleMode(out, &mode);
}

void wait_for_key() {
  if (!console_available()) return;
  HANDLE in = console_input();
  // Each console input event is read and dropped until a key-down that gives
  // a character or is an extended key: key releases, modifiers alone, mouse
  // and focus events do not end the wait. The read blocks, so the wait takes
  // no processor time; events queued during the decode are read first.
  INPUT_RECORD event;
  DWORD got = 0;
  while (ReadConsoleInputW(in, &event, 1, &got)) {
    if (got != 1 || event.EventType != KEY_EVENT) continue;
    const KEY_EVENT_RECORD& key = event.Event.KeyEvent;
    if (key.bKeyDown && (key.uChar.UnicodeChar != 0 || extended_key(key.wVirtualKeyCode))) return;
  }
}

MappedFile::~MappedFile() {
  if (data != nullptr) UnmapViewOfFile(data);
  if (handle != nullptr) CloseHandle(handle);
}

bool map_file(std::FILE* file, MappedFile& view) {
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
  LARGE_INTEGER size;
  if (h == INVALID_HANDLE_VALUE || !GetFileSizeEx(h, &size) || size.QuadPart <= 0) return false;
  if (static_cast<unsigned long long>(size.QuadPart) > SIZE_MAX) return false;
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

IntermediateLock::~IntermediateLock() {
  if (fd >= 0) _close(fd);  // closes the last handle of the file: the claim ends
}

std::FILE* create_intermediate(const char* name, IntermediateLock& lock) {
  // The claim is a lock on one byte far past any data: Windows locks bar
  // reads and writes through other handles, and this run reads the file
  // again through one. Every handle shares reading, writing and deleting,
  // so that the run before this one can still delete the file it made.
  constexpr DWORD kLockOffsetHigh = 0x40000000;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    // A reparse point (a symbolic link or junction) is opened itself, not
    // followed, and then refused below.
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      // A file that another run has deleted but still holds open refuses
      // to be opened for a moment.
      if (GetLastError() == ERROR_ACCESS_DENIED && attempt + 1 < 1000) {
        Sleep(10);
        continue;
      }
      return nullptr;
    }
    // Only a plain file of its own is written: not a reparse point, a
    // device or a file with a second name.
    BY_HANDLE_FILE_INFORMATION opened;
    if (GetFileType(h) != FILE_TYPE_DISK || !file_identity(h, opened) ||
        (opened.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        opened.nNumberOfLinks > 1) {
      CloseHandle(h);
      return nullptr;
    }
    OVERLAPPED at{};
    at.OffsetHigh = kLockOffsetHigh;
    const bool locked = LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at) != 0;
    // The run we waited for may have deleted the file: then it is no longer
    // the one the name denotes, and we start again with the name's.
    BY_HANDLE_FILE_INFORMATION held, named;
    bool current = false;
    if (locked && file_identity(h, held)) {
      HANDLE again = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (again != INVALID_HANDLE_VALUE) {
        current = file_identity(again, named) && same_file(held, named);
        CloseHandle(again);
      }
    }
    if (current && held.nNumberOfLinks != 1) {  // a second name made while we waited
      CloseHandle(h);
      return nullptr;
    }
    if (current) {
      LARGE_INTEGER zero{};
      if (!SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) {
        CloseHandle(h);
        return nullptr;
      }
      const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
      if (fd < 0) {
        CloseHandle(h);
        return nullptr;
      }
      lock.fd = _dup(fd);  // another handle of the same open file: holds the claim after the stream is closed
      std::FILE* f = _fdopen(fd, "wb");
      if (f == nullptr) _close(fd);
      return f;
    }
    CloseHandle(h);
    if (!locked) return nullptr;
  }
  return nullptr;
}

std::FILE* reopen_intermediate(const IntermediateLock& lock) {
  if (lock.fd < 0) return nullptr;
  HANDLE held = reinterpret_cast<HANDLE>(_get_osfhandle(lock.fd));
  HANDLE h = nullptr;
  if (held == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), held, GetCurrentProcess(), &h, 0, FALSE, DUPLICATE_SAME_ACCESS))
    return nullptr;
  LARGE_INTEGER zero{};
  const int fd = SetFilePointerEx(h, zero, nullptr, FILE_BEGIN)
                     ? _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY | _O_BINARY)
                     : -1;
  if (fd < 0) {
    CloseHandle(h);
    return nullptr;
  }
  std::FILE* f = _fdopen(fd, "rb");
  if (f == nullptr) _close(fd);
  return f;
}

}  // namespace qzr
