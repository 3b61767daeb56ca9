// The C API's options as the C API targets take them from an input's flag
// byte: its two low bits the pixel format, bit 3 a message buffer of one
// byte (room for the ending 0 alone); limits that keep each run small.
#pragma once

#include <cstdint>

#include "qzr/decode.h"

namespace qzr::fuzz {

struct COptions {
  char message[64];
  qzr_decode_options o;

  explicit COptions(uint8_t flags) {
    qzr_decode_options_init(&o);
    o.format = static_cast<qzr_pixel_format>(flags & 3);
    o.max_pixels = 1 << 18;
    o.max_payload = 1 << 16;
    o.message = message;
    o.message_size = flags & 8 ? 1 : sizeof message;
  }
  COptions(const COptions&) = delete;  // o points into it
  COptions& operator=(const COptions&) = delete;
};

}  // namespace qzr::fuzz
