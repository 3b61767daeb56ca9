#include "picture_files.h"

#include <string>

#ifndef QZR_PNG_BY_ZLIB
#include <png.h>

#include <csetjmp>
#endif

namespace qzr::tool {

const char* format_name(FileFormat format) {
  switch (format) {
    case FileFormat::png: return "png";
    case FileFormat::bmp: return "bmp";
    case FileFormat::ppm: return "ppm";
  }
  return "";
}

#ifdef QZR_PNG_BY_ZLIB
std::vector<uint8_t> png_file(const Picture& picture, int png_level) { return deflated_png_file(picture, png_level); }
#else
namespace {

void append(png_structp png, png_bytep data, png_size_t size) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + size);
}

void no_flush(png_structp) {}

}  // namespace

std::vector<uint8_t> png_file(const Picture& picture, int png_level) {
  std::vector<uint8_t> out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    return {};
  }
  // libpng reports failures (out of memory) by a long jump back here.
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, append, no_flush);
  png_set_IHDR(png, info, static_cast<png_uint_32>(picture.width), static_cast<png_uint_32>(picture.height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, png_level);
  // One cheap filter for every row: most of the gain of the adaptive choice
  // at a fraction of its time.
  png_set_filter(png, PNG_FILTER_TYPE_BASE, png_level == 0 ? PNG_FILTER_NONE : PNG_FILTER_SUB);
  png_write_info(png, info);
  const size_t row = size_t{3} * static_cast<size_t>(picture.width);
  for (int y = 0; y < picture.height; ++y)
    png_write_row(png, const_cast<png_bytep>(picture.rgb.data() + row * static_cast<size_t>(y)));
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}
#endif

std::vector<uint8_t> ppm_file(const Picture& picture) {
  const std::string header = "P6\n" + std::to_string(picture.width) + " " + std::to_string(picture.height) + "\n255\n";
  std::vector<uint8_t> out(header.begin(), header.end());
  out.insert(out.end(), picture.rgb.begin(), picture.rgb.end());
  return out;
}

}  // namespace qzr::tool
