#include "text.h"

#include <cstdio>
#include <locale>
#include <stdexcept>

#include "win32.h"

namespace qzr::tool {

namespace {

// The length of the valid UTF-8 sequence at s[i] (1 to 4) with its code
// point in `cp`, or 0 when the bytes there are not one: no overlong forms,
// no surrogates, nothing past U+10FFFF.
size_t utf8_at(const std::string& s, size_t i, char32_t& cp) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = byte(i);
  if (b < 0x80) {
    cp = b;
    return 1;
  }
  size_t n;
  char32_t min;
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2, min = 0x80, cp = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3, min = 0x800, cp = b & 0x0F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4, min = 0x10000, cp = b & 0x07;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (byte(i + k) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Unicode's lower case where the C library knows it (null without C.UTF-8).
const std::ctype<wchar_t>* unicode_case() {
  static const std::ctype<wchar_t>* const facet = []() -> const std::ctype<wchar_t>* {
    if constexpr (sizeof(wchar_t) < 4) return nullptr;
    try {
      static const std::locale utf8("C.UTF-8");
      return &std::use_facet<std::ctype<wchar_t>>(utf8);
    } catch (const std::runtime_error&) {
      return nullptr;
    }
  }();
  return facet;
}

}  // namespace

std::string json_string(const std::string& s) {
  std::string out = "\"";
  char buf[8];
  for (size_t i = 0; i < s.size();) {
    char32_t cp;
    const size_t n = utf8_at(s, i, cp);
    if (n == 0) {  // a stray byte: 0x80 to 0xff
      std::snprintf(buf, sizeof buf, "\\u%04x", 0xDC00 + static_cast<unsigned char>(s[i]));
      out += buf;
      i += 1;
      continue;
    }
    if (cp == '"' || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp < 0x20) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
      out += buf;
    } else {
      out.append(s, i, n);
    }
    i += n;
  }
  return out + "\"";
}

std::string fold_case(const std::string& s) {
  const std::ctype<wchar_t>* const unicode = unicode_case();
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    char32_t cp;
    const size_t n = utf8_at(s, i, cp);
    if (n == 0) {
      out += s[i++];
      continue;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp >= 'A' && cp <= 'Z' ? cp + ('a' - 'A') : cp);
#ifdef _WIN32
    } else if (cp < 0x10000) {  // as the system folds them; the few letters past U+FFFF are kept
      wchar_t letter = static_cast<wchar_t>(cp);
      CharLowerBuffW(&letter, 1);
      append_utf8(out, letter);
#endif
    } else if (unicode != nullptr) {
      append_utf8(out, static_cast<char32_t>(unicode->tolower(static_cast<wchar_t>(cp))));
    } else {
      out.append(s, i, n);
    }
    i += n;
  }
  return out;
}

}  // namespace qzr::tool
