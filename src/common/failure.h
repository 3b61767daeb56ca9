// How the core reports a fatal condition: a value holding the exact console
// text and the exit status. Only the driver prints it and ends the process.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <variant>

namespace qzr {

struct Failure {
  int exit_status = -1;  // -1 for format, file and usage failures; 1 for "Read Error"
  std::string text;      // the exact console text, line feeds included
};

// A result or a failure. Small on purpose: ok(), value(), failure().
template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Failure f) : v_(std::move(f)) {}    // NOLINT
  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  Failure& failure() { return std::get<1>(v_); }
  const Failure& failure() const { return std::get<1>(v_); }

 private:
  std::variant<T, Failure> v_;
};

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

inline Failure format_failure(std::string text) { return Failure{-1, std::move(text)}; }

}  // namespace qzr
