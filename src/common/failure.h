// How the core reports a fatal condition: a value holding the exact console
// text and the exit status. Only the driver prints it and ends the process.
// Failure and Result are the public header's, so that the library's values
// reach its users as they are.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>

#include "qzr/qzr.h"

namespace qzr {

// Status for operations with no value: empty on success.
struct Status {
  bool failed = false;
  Failure failure;
  static Status success() { return {}; }
  Status() = default;
  Status(Failure f) : failed(true), failure(std::move(f)) {}  // NOLINT
  bool ok() const { return !failed; }
};

// printf-style formatting into a string; the result is console text, never a
// format string itself (file names may hold '%').
template <class... Args>
std::string format_text(const char* fmt, Args... args) {
  int n = std::snprintf(nullptr, 0, fmt, args...);
  if (n <= 0) return std::string();
  std::string s(static_cast<size_t>(n), '\0');
  std::snprintf(s.data(), s.size() + 1, fmt, args...);
  return s;
}

// A failure of status -1; `status` is its kind for the C API.
inline Failure format_failure(std::string text, qzr_status status = QZR_ERROR_CORRUPT) {
  return Failure{-1, std::move(text), status};
}

// A failure's text as the library hands it out: without the line feeds that
// frame it on qzrdec's console (the driver prints the text as it is).
constexpr std::string_view message_text(std::string_view console_text) {
  const size_t first = console_text.find_first_not_of('\n');
  if (first == std::string_view::npos) return {};
  return console_text.substr(first, console_text.find_last_not_of('\n') - first + 1);
}

}  // namespace qzr
