// The picture files qzr writes: PNG (through libpng, or zlib alone where
// there is no libpng), binary PPM, and the BMP file exactly as qzrdec
// writes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qzr/qzr.h"

namespace qzr::tool {

enum class FileFormat { png, bmp, ppm };

// "png", "bmp", "ppm": the format's name and its file extension.
const char* format_name(FileFormat format);

// The whole file for a picture (rows top to bottom, R, G, B). `png_level`
// is zlib's compression level, 0 (none) to 9 (smallest). Empty on failure
// (out of memory).
std::vector<uint8_t> png_file(const Picture& picture, int png_level);
// The same picture as png_file's, written with zlib alone: png_file itself
// in builds without libpng.
std::vector<uint8_t> deflated_png_file(const Picture& picture, int png_level);
std::vector<uint8_t> ppm_file(const Picture& picture);

}  // namespace qzr::tool
