// How the core reports a fatal condition: a value holding the exact console
// text and the exit status. Only the driver prints it and ends the process;
// the library's faces turn it into their own failure values.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace qzr {

// What went wrong, for callers that act on the kind rather than the text.
// The numbers are the C API's status values.
enum class ErrorKind {
  argument = 1,
  truncated,
  not_qzr,
  unsupported_version,
  corrupt,
  limit,
  out_of_memory,
  io,
  damaged,
};

// A fatal condition: `text` exactly as qzrdec prints it, line feeds included;
// `exit_status` what qzrdec ends with (-1, or 1 for a payload too short to
// hold its length).
struct Error {
  int exit_status = -1;
  std::string text;
  ErrorKind kind = ErrorKind::corrupt;
};

// A value or an error: ok(), value(), failure().
template <class T>
class [[nodiscard]] Expected {
 public:
  Expected(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
  Expected(Error e) : v_(std::move(e)) {}      // NOLINT
  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  Error& failure() { return std::get<1>(v_); }
  const Error& failure() const { return std::get<1>(v_); }

 private:
  std::variant<T, Error> v_;
};

// Status for operations with no value: empty on success.
struct Status {
  bool failed = false;
  Error failure;
  static Status success() { return {}; }
  Status() = default;
  Status(Error f) : failed(true), failure(std::move(f)) {}  // NOLINT
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

// An error of exit status -1.
inline Error format_failure(std::string text, ErrorKind kind = ErrorKind::corrupt) {
  return Error{-1, std::move(text), kind};
}

// An error's text as the library hands it out: without the line feeds that
// frame it on qzrdec's console (the driver prints the text as it is).
constexpr std::string_view message_text(std::string_view console_text) {
  const size_t first = console_text.find_first_not_of('\n');
  if (first == std::string_view::npos) return {};
  return console_text.substr(first, console_text.find_last_not_of('\n') - first + 1);
}

}  // namespace qzr
