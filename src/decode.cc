#include "decode.h"

#include <algorithm>
#include <new>

#include "codec/plane_decoder.h"
#include "output/bmp_writer.h"
#include "output/colour_conversion.h"

namespace qzr {
namespace {

// Header, payload and the three planes, checked for the conversion.
struct DecodedPlanes {
  QzrHeader header;
  Plane planes[3];
};

Result<DecodedPlanes> decode_planes(std::span<const uint8_t> file, const DecodeLimits& limits,
                                    std::string_view input_name) {
  ByteReader in = memory_reader(file);
  Result<QzrHeader> header = read_container_header(in, input_name);
  if (!header.ok()) return header.failure();
  DecodedPlanes d;
  d.header = header.value();
  const QzrHeader& h = d.header;

  std::vector<uint8_t> payload;
  {
    ByteWriter out = memory_writer(payload);
    Result<uint64_t> expanded = decode_lzari(in, out, limits.max_payload);
    if (!expanded.ok()) return expanded.failure();
    out.flush();
  }
  {
    ByteReader segments = memory_reader(payload);
    if (Status decoded = decode_three_planes(segments, d.planes, std::min(limits.max_plane_samples, plane_sample_limit(h)));
        !decoded.ok())
      return decoded.failure;
  }
  std::vector<uint8_t>().swap(payload);

  if (Status sizes = check_plane_sizes(d.planes[0], d.planes[1], d.planes[2], h.padded_width, h.padded_height);
      !sizes.ok())
    return sizes.failure;
  return d;
}

Result<DecodedFile> decode_unguarded(std::span<const uint8_t> file, const DecodeLimits& limits,
                                     std::string_view input_name) {
  Result<DecodedPlanes> d = decode_planes(file, limits, input_name);
  if (!d.ok()) return d.failure();
  const QzrHeader& h = d.value().header;
  DecodedFile decoded;
  decoded.header = h;
  ByteWriter out = memory_writer(decoded.bmp, 1 << 18);
  write_bmp_from_planes(out, d.value().planes, h.width, h.height, h.padded_width);
  out.flush();
  return decoded;
}

Result<Picture> picture_unguarded(std::span<const uint8_t> file, const DecodeLimits& limits,
                                  std::string_view input_name) {
  Result<DecodedPlanes> d = decode_planes(file, limits, input_name);
  if (!d.ok()) return d.failure();
  const QzrHeader& h = d.value().header;
  const Plane(&planes)[3] = d.value().planes;
  Picture picture;
  picture.width = h.width;
  picture.height = h.height;
  picture.rgb.resize(size_t{3} * h.width * h.height);
  // The same rows as the BMP writer's, the BMP's first (bottom) row last,
  // with blue and red swapped.
  const size_t chroma_row = h.padded_width / 2;
  for (uint32_t r = 0; r < h.height; ++r) {
    uint8_t* row = picture.rgb.data() + size_t{3} * h.width * (h.height - 1 - r);
    convert_row(planes[0].samples.data() + size_t{r} * h.padded_width, planes[1].samples.data() + r * chroma_row,
                planes[2].samples.data() + r * chroma_row, row, h.width);
    for (uint32_t x = 0; x < h.width; ++x) std::swap(row[3 * x], row[3 * x + 2]);
  }
  return picture;
}

}  // namespace

Result<DecodedFile> decode_qzr(std::span<const uint8_t> file, const DecodeLimits& limits,
                               std::string_view input_name) {
  try {
    return decode_unguarded(file, limits, input_name);
  } catch (const std::bad_alloc&) {
    return format_failure("\nOut of memory !\n");
  }
}

Result<Picture> decode_picture(std::span<const uint8_t> file, const DecodeLimits& limits,
                               std::string_view input_name) {
  try {
    return picture_unguarded(file, limits, input_name);
  } catch (const std::bad_alloc&) {
    return format_failure("\nOut of memory !\n");
  }
}

}  // namespace qzr
