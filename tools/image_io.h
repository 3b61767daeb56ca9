// Picture input for qzrenc: 24-bit BMP (bottom-up and top-down), PNG (any
// kind libpng reads; alpha is laid over white) and binary PPM (P6). The
// format is told by the file's first bytes, not by its name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "qzr/qzr.h"

namespace qzr::enc {

// Every failure names the file and says what is wrong with it.
Result<Picture> decode_image(std::span<const uint8_t> bytes, const std::string& name);
Result<Picture> read_image_file(const std::string& path);

Result<Picture> decode_bmp(std::span<const uint8_t> bytes, const std::string& name);
Result<Picture> decode_ppm(std::span<const uint8_t> bytes, const std::string& name);
Result<Picture> decode_png(std::span<const uint8_t> bytes, const std::string& name);

// True when this build reads PNG files.
bool png_supported();

}  // namespace qzr::enc
