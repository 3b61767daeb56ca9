#include "decode.h"

#include <algorithm>
#include <new>

#include "codec/plane_decoder.h"
#include "output/bmp_writer.h"
#include "output/colour_conversion.h"

namespace qzr {
namespace {

Result<DecodedFile> decode_unguarded(std::span<const uint8_t> file, const DecodeLimits& limits) {
  ByteReader in = memory_reader(file);
  Result<QzrHeader> header = read_container_header(in, "(memory)");
  if (!header.ok()) return header.failure();
  const QzrHeader h = header.value();

  std::vector<uint8_t> payload;
  {
    ByteWriter out = memory_writer(payload);
    Result<uint64_t> expanded = decode_lzari(in, out, limits.max_payload);
    if (!expanded.ok()) return expanded.failure();
    out.flush();
  }

  Plane planes[3];
  {
    ByteReader segments = memory_reader(payload);
    if (Status decoded = decode_three_planes(segments, planes, std::min(limits.max_plane_samples, plane_sample_limit(h))); !decoded.ok()) return decoded.failure;
  }
  std::vector<uint8_t>().swap(payload);

  if (Status sizes = check_plane_sizes(planes[0], planes[1], planes[2], h.padded_width, h.padded_height);
      !sizes.ok())
    return sizes.failure;

  DecodedFile decoded;
  decoded.header = h;
  ByteWriter out = memory_writer(decoded.bmp, 1 << 18);
  write_bmp_from_planes(out, planes, h.width, h.height, h.padded_width);
  out.flush();
  return decoded;
}

}  // namespace

Result<DecodedFile> decode_qzr(std::span<const uint8_t> file, const DecodeLimits& limits) {
  try {
    return decode_unguarded(file, limits);
  } catch (const std::bad_alloc&) {
    return format_failure("\nOut of memory !\n");
  }
}

}  // namespace qzr
