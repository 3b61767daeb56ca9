#include "image_io.h"

#include <cstring>
#include <memory>
#include <optional>
#include <string>

#ifdef QZR_HAVE_PNG
#include <png.h>
#endif

#include "file_io.h"

namespace qzr::enc {
namespace {

Failure bad(const std::string& name, const std::string& what) {
  return Failure{-1, name + ": " + what + "\n", QZR_ERROR_CORRUPT};
}

std::string str(int64_t v) { return std::to_string(v); }

uint32_t le16(std::span<const uint8_t> b, size_t at) { return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8; }
uint32_t le32(std::span<const uint8_t> b, size_t at) { return le16(b, at) | le16(b, at + 2) << 16; }

// Pictures whose size the encoder could never take are refused before any
// pixel memory is set aside.
std::optional<Failure> size_refused(const std::string& name, int64_t width, int64_t height) {
  if (width < 1 || height < 1) return bad(name, "picture has no pixels (" + str(width) + " x " + str(height) + ")");
  if (width > kMaxPictureSide || height > kMaxPictureSide)
    return bad(name, "picture of " + str(width) + " x " + str(height) + " pixels is too large (at most " +
                         str(kMaxPictureSide) + " x " + str(kMaxPictureSide) + ")");
  return std::nullopt;
}

}  // namespace

Result<Picture> decode_bmp(std::span<const uint8_t> b, const std::string& name) {
  if (b.size() < 26 || b[0] != 'B' || b[1] != 'M') return bad(name, "not a BMP file");
  const uint32_t offset = le32(b, 10);
  const uint32_t info_size = le32(b, 14);
  int64_t width = 0, height = 0;
  uint32_t bits = 0, compression = 0;
  if (info_size == 12) {  // the old core header: 16-bit sizes, always bottom-up
    width = le16(b, 18);
    height = le16(b, 20);
    bits = le16(b, 24);
  } else if (info_size >= 40) {
    if (b.size() < 14 + size_t{40}) return bad(name, "BMP header is cut short");
    width = static_cast<int32_t>(le32(b, 18));
    height = static_cast<int32_t>(le32(b, 22));
    bits = le16(b, 28);
    compression = le32(b, 30);
  } else {
    return bad(name, "unsupported BMP header of " + str(info_size) + " bytes");
  }
  if (bits != 24 || compression != 0)
    return bad(name, "only uncompressed 24-bit BMP files are supported (this one has " + str(bits) +
                         " bits per pixel, compression " + str(compression) + ")");
  const bool top_down = height < 0;
  if (top_down) height = -height;
  if (std::optional<Failure> f = size_refused(name, width, height)) return *f;
  const uint64_t row_size = (3 * static_cast<uint64_t>(width) + 3) & ~uint64_t{3};
  if (offset > b.size() || (b.size() - offset) / row_size < static_cast<uint64_t>(height))
    return bad(name, "BMP pixel data are cut short");
  Picture img;
  img.width = static_cast<int>(width);
  img.height = static_cast<int>(height);
  img.rgb.resize(size_t(width) * size_t(height) * 3);
  for (int64_t r = 0; r < height; ++r) {
    const int64_t file_row = top_down ? r : height - 1 - r;
    const uint8_t* src = b.data() + offset + static_cast<uint64_t>(file_row) * row_size;
    uint8_t* dst = img.rgb.data() + size_t(r) * size_t(width) * 3;
    for (int64_t c = 0; c < width; ++c) {
      dst[3 * c + 0] = src[3 * c + 2];
      dst[3 * c + 1] = src[3 * c + 1];
      dst[3 * c + 2] = src[3 * c + 0];
    }
  }
  return img;
}

Result<Picture> decode_ppm(std::span<const uint8_t> b, const std::string& name) {
  if (b.size() < 2 || b[0] != 'P' || b[1] != '6') return bad(name, "not a binary PPM (P6) file");
  size_t at = 2;
  auto skip_space = [&]() {
    while (at < b.size()) {
      if (b[at] == '#') {
        while (at < b.size() && b[at] != '\n' && b[at] != '\r') ++at;
      } else if (b[at] == ' ' || b[at] == '\t' || b[at] == '\n' || b[at] == '\r' || b[at] == '\v' || b[at] == '\f') {
        ++at;
      } else {
        break;
      }
    }
  };
  auto number = [&](int64_t& v) {
    skip_space();
    if (at >= b.size() || b[at] < '0' || b[at] > '9') return false;
    v = 0;
    while (at < b.size() && b[at] >= '0' && b[at] <= '9') {
      v = v * 10 + (b[at++] - '0');
      if (v > 1000000000) return false;
    }
    return true;
  };
  int64_t width = 0, height = 0, maxval = 0;
  if (!number(width) || !number(height) || !number(maxval)) return bad(name, "malformed PPM header");
  if (maxval < 1 || maxval > 65535)
    return bad(name, "PPM maximum value " + str(maxval) + " is outside 1..65535");
  if (at >= b.size()) return bad(name, "PPM pixel data are missing");
  ++at;  // the single white-space byte before the samples
  if (std::optional<Failure> f = size_refused(name, width, height)) return *f;
  const uint64_t bytes_per_sample = maxval > 255 ? 2 : 1;
  const uint64_t need = static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * 3 * bytes_per_sample;
  if (b.size() - at < need) return bad(name, "PPM pixel data are cut short");
  Picture img;
  img.width = static_cast<int>(width);
  img.height = static_cast<int>(height);
  img.rgb.resize(size_t(width) * size_t(height) * 3);
  const uint8_t* src = b.data() + at;
  for (size_t i = 0; i < img.rgb.size(); ++i) {
    uint32_t v = bytes_per_sample == 2 ? (uint32_t{src[2 * i]} << 8 | src[2 * i + 1]) : src[i];
    if (v > static_cast<uint32_t>(maxval)) v = static_cast<uint32_t>(maxval);
    img.rgb[i] =
        maxval == 255
            ? static_cast<uint8_t>(v)
            : static_cast<uint8_t>((v * 255 + static_cast<uint32_t>(maxval) / 2) / static_cast<uint32_t>(maxval));
  }
  return img;
}

#ifdef QZR_HAVE_PNG
bool png_supported() { return true; }

Result<Picture> decode_png(std::span<const uint8_t> b, const std::string& name) {
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&png, b.data(), b.size()))
    return bad(name, std::string("cannot read PNG: ") + png.message);
  struct Release {
    png_image* p;
    ~Release() { png_image_free(p); }
  } release{&png};
  if (std::optional<Failure> f = size_refused(name, png.width, png.height)) return *f;
  png.format = PNG_FORMAT_RGB;
  Picture img;
  img.width = static_cast<int>(png.width);
  img.height = static_cast<int>(png.height);
  img.rgb.resize(PNG_IMAGE_SIZE(png));
  const png_color white = {255, 255, 255};
  if (!png_image_finish_read(&png, &white, img.rgb.data(), 0, nullptr))
    return bad(name, std::string("cannot read PNG: ") + png.message);
  return img;
}
#else
bool png_supported() { return false; }

Result<Picture> decode_png(std::span<const uint8_t>, const std::string& name) {
  return bad(name, "PNG input is not available in this build (it was built without libpng)");
}
#endif

Result<Picture> decode_image(std::span<const uint8_t> bytes, const std::string& name) {
  static const uint8_t png_signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (bytes.size() >= 2 && bytes[0] == 'B' && bytes[1] == 'M') return decode_bmp(bytes, name);
  if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] == '6') return decode_ppm(bytes, name);
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), png_signature, 8) == 0) return decode_png(bytes, name);
  return bad(name, "unknown picture format (BMP, PNG and binary PPM are read)");
}

Result<Picture> read_image_file(const std::string& path) {
  std::error_code error;
  const std::optional<std::vector<uint8_t>> bytes = tool::read_whole_file(tool::path_from_text(path), error);
  if (!bytes) return Failure{-1, path + ": cannot read: " + error.message() + "\n", QZR_ERROR_IO};
  return decode_image(*bytes, path);
}

}  // namespace qzr::enc
