// The whole decode of a QZR file held in memory, to the bytes of its BMP
// file: the same stages and messages as the console program, with the
// expanded payload kept in memory instead of temp.tmp.
#pragma once

#include <cstdint>
#include <span>
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

Result<DecodedFile> decode_qzr(std::span<const uint8_t> file, const DecodeLimits& limits = {});

}  // namespace qzr
