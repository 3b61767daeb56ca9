#include "console.h"

#include <cstdarg>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include "file_io.h"
#include "win32.h"
// After windows.h, which it needs.
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace qzr::tool {

#ifdef _WIN32
namespace {

// The console `stream` writes to, or null when it goes elsewhere.
HANDLE console_of(std::FILE* stream) {
  const auto h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode;
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : nullptr;
}

}  // namespace

std::vector<std::string> utf8_arguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return {argv, argv + argc};
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(utf8_of(wide[i]));
  LocalFree(wide);
  return out;
}

bool is_terminal(std::FILE* stream) {
  const HANDLE h = console_of(stream);
  DWORD mode;
  return h != nullptr && GetConsoleMode(h, &mode) &&
         ((mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
          SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0);
}

void write_text(std::FILE* stream, std::string_view text) {
  if (const HANDLE h = console_of(stream)) {
    std::fflush(stream);
    const std::wstring wide = wide_of(std::string(text));
    DWORD written;
    WriteConsoleW(h, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stream);
}

void set_binary(std::FILE* stream) { _setmode(_fileno(stream), _O_BINARY); }
#else
std::vector<std::string> utf8_arguments(int argc, char** argv) { return {argv, argv + argc}; }

bool is_terminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

void write_text(std::FILE* stream, std::string_view text) { std::fwrite(text.data(), 1, text.size(), stream); }

void set_binary(std::FILE*) {}
#endif

void print(std::FILE* stream, const char* format, ...) {
  std::va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (size > 0) {
    std::string text(static_cast<size_t>(size) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, again);
    text.pop_back();
    write_text(stream, text);
  }
  va_end(again);
}

}  // namespace qzr::tool
