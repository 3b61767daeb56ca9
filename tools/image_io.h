// Picture input for qzrenc: 24-bit BMP (bottom-up and top-down), PNG (any
// kind libpng reads; alpha is laid over white) and binary PPM (P6). The
// format is told by the file's first bytes, not by its name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/failure.h"
#include "encoder/encoder.h"

namespace qzr::enc {

// Every failure names the file and says what is wrong with it.
Result<Image> decode_image(std::span<const uint8_t> bytes, const std::string& name);
Result<Image> read_image_file(const std::string& path);

Result<Image> decode_bmp(std::span<const uint8_t> bytes, const std::string& name);
Result<Image> decode_ppm(std::span<const uint8_t> bytes, const std::string& name);
Result<Image> decode_png(std::span<const uint8_t> bytes, const std::string& name);

// True when this build reads PNG files.
bool png_supported();

}  // namespace qzr::enc
