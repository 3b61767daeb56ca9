// The whole decode of a QZR file held in memory: the same stages and
// messages as the console program, with the expanded payload kept in memory
// instead of temp.tmp. To the bytes of its BMP file (what the console
// program writes) or to the public RGB picture.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/failure.h"
#include "container/container_header.h"
#include "codec/plane_decoder.h"
#include "container/lzari_decoder.h"

namespace qzr {

struct DecodeLimits {
  uint64_t max_payload = kNoLimit;         // bytes of expanded payload held at once
  int64_t max_plane_samples = kAnyPlaneSize;  // samples of one plane
};

struct DecodedFile {
  QzrHeader header;
  std::vector<uint8_t> bmp;  // the whole BMP file
};

// `input_name` names the file in the header's messages.
Result<DecodedFile> decode_qzr(std::span<const uint8_t> file, const DecodeLimits& limits = {},
                               std::string_view input_name = "(memory)");

// The visible picture, rows top to bottom (the BMP's first row is the
// picture's bottom row), R, G, B.
Result<Picture> decode_picture(std::span<const uint8_t> file, const DecodeLimits& limits = {},
                               std::string_view input_name = "(memory)");

}  // namespace qzr
