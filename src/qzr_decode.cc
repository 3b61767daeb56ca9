// The C++ face of the decoder (qzr/qzr.h) over the pipeline.
#include "qzr/qzr.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "common/failure.h"
#include "decode.h"
#include "face.h"
#include "output/bmp_writer.h"
#include "output/picture_rows.h"

namespace qzr {

std::string Failure::message() const { return std::string(message_text(text)); }

namespace {

Result<Picture> public_result(Expected<RgbImage> image) {
  if (!image.ok()) return public_failure(std::move(image.failure()));
  return public_picture(std::move(image.value()));
}

}  // namespace

Result<Picture> decode_buffer(std::span<const uint8_t> file) { return public_result(decode_picture(file)); }

namespace {

DecodeLimits limits_of(const DecodeOptions& options) {
  DecodeLimits limits;
  limits.max_payload = options.max_payload;
  limits.threads = options.threads;
  return limits;
}

}  // namespace

Result<Decoded> decode(std::span<const uint8_t> file, const DecodeOptions& options) {
  if (Expected<qzr_info> info = limited_info(file, options.max_pixels, options.max_payload, options.name); !info.ok())
    return public_failure(std::move(info.failure()));
  Decoded d;
  Expected<RgbImage> p = decode_picture(file, limits_of(options), options.name, &d.damage);
  if (!p.ok()) return public_failure(std::move(p.failure()));
  d.picture = public_picture(std::move(p.value()));
  return d;
}

Result<Salvaged> salvage(std::span<const uint8_t> file, const DecodeOptions& options) {
  if (Expected<qzr_info> info = limited_info(file, options.max_pixels, options.max_payload, options.name); !info.ok())
    return public_failure(std::move(info.failure()));
  Expected<SalvagedPlanes> s = salvage_planes_in_memory(file, limits_of(options), options.name);
  if (!s.ok()) return public_failure(std::move(s.failure()));
  try {
    Salvaged salvaged;
    salvaged.picture = public_picture(picture_of(s.value().decoded));
    salvaged.report = public_report(s.value().report);
    salvaged.failure = s.value().report.failure;
    return salvaged;
  } catch (const std::bad_alloc&) {
    return Failure{-1, "\nOut of memory !\n", QZR_ERROR_OUT_OF_MEMORY};
  }
}

Result<std::vector<std::string>> check(std::span<const uint8_t> file, const DecodeOptions& options) {
  if (Expected<qzr_info> info = limited_info(file, options.max_pixels, options.max_payload, options.name); !info.ok())
    return public_failure(std::move(info.failure()));
  Expected<DecodedPlanes> d = decode_planes_in_memory(file, limits_of(options), options.name);
  if (!d.ok()) return public_failure(std::move(d.failure()));
  return std::move(d.value().damage);
}

Result<Picture> decode_file(const std::string& path) {
  std::vector<uint8_t> bytes;
  {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return Failure{-1, format_text("error opening file %s !\n", path.c_str()), QZR_ERROR_IO};
    // A read error ends the data as the end of the file would: qzrdec reads
    // its input as a stream and meets the same.
    try {
      uint8_t chunk[1 << 16];
      size_t got;
      while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    } catch (const std::bad_alloc&) {
      std::fclose(f);
      return Failure{-1, "\nOut of memory !\n", QZR_ERROR_OUT_OF_MEMORY};
    }
    std::fclose(f);
  }
  return public_result(decode_picture(bytes, {}, path));
}

std::vector<uint8_t> to_bmp(const Picture& picture) {
  const int64_t w = picture.width, h = picture.height;
  if (w < 0 || h < 0 || picture.rgb.size() != static_cast<uint64_t>(3 * w * h)) return {};
  if (w > 0xFFFF || h > 0xFFFF) return {};
  const uint32_t width = static_cast<uint32_t>(w), height = static_cast<uint32_t>(h);
  const uint64_t size = kBmpHeaderSize + uint64_t{bmp_row_size(width)} * height;
  if (size > 0xFFFFFFFFu) return {};  // the BMP's size fields are 32-bit
  std::vector<uint8_t> bmp;
  try {
    bmp.reserve(static_cast<size_t>(size));
    const auto header = make_bmp_header(width, height);
    bmp.assign(header.begin(), header.end());
    bmp.resize(static_cast<size_t>(size), 0);  // the rows' fill bytes stay 0
    for (uint32_t r = 0; r < height; ++r) {    // the bottom row first
      uint8_t* row = bmp.data() + kBmpHeaderSize + size_t{bmp_row_size(width)} * r;
      std::copy_n(picture.rgb.data() + size_t{3} * width * (height - 1 - r), size_t{3} * width, row);
      swap_red_blue(row, width);
    }
  } catch (const std::bad_alloc&) {
    return {};
  }
  return bmp;
}

}  // namespace qzr
