// The command line and the console, alike on every system: arguments in
// UTF-8, and UTF-8 text shown as it is meant on a Windows console too.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#ifdef __MINGW32__
#define QZR_PRINTF_LIKE(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define QZR_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define QZR_PRINTF_LIKE(f, a)
#endif

namespace qzr::tool {

// The program's arguments, argv[0] first, in UTF-8: on Windows from the
// wide command line whatever the code page (`argv` would have lost the
// characters it cannot hold), elsewhere as given.
std::vector<std::string> utf8_arguments(int argc, char** argv);

// Whether `stream` (standard output or error) is a terminal that redraws a
// line in place ("\r", "\033[K"): a tty, or a Windows console (not NUL, not
// a pipe) that takes those sequences.
bool is_terminal(std::FILE* stream);

// Writes UTF-8 text to `stream`: to a Windows console as UTF-16
// (WriteConsoleW), so that every name shows whatever the console's code
// page; anywhere else the bytes as they are.
void write_text(std::FILE* stream, std::string_view text);

// printf into write_text.
void print(std::FILE* stream, const char* format, ...) QZR_PRINTF_LIKE(2, 3);

// Bytes to `stream` unchanged: on Windows no "\n" becomes "\r\n".
void set_binary(std::FILE* stream);

}  // namespace qzr::tool
