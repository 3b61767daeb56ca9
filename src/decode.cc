#include "decode.h"

#include <algorithm>
#include <new>

#include "output/bmp_writer.h"
#include "output/colour_conversion.h"
#include "output/picture_rows.h"

namespace qzr {

PayloadStore memory_store(std::vector<uint8_t>& bytes) {
  return {memory_writer(bytes), [] { return Status::success(); },
          [&bytes]() -> Result<ByteReader> { return memory_reader(bytes); }};
}

Result<DecodedPlanes> decode_planes(ByteReader& in, std::string_view input_name, PayloadStore& store,
                                    const DecodeLimits& limits, const HeaderSeen& header_seen) {
  Result<QzrHeader> header = read_container_header(in, input_name);
  if (!header.ok()) return header.failure();
  DecodedPlanes d;
  d.header = header.value();
  const QzrHeader& h = d.header;
  if (header_seen) header_seen(h);

  Result<uint64_t> expanded = decode_lzari(in, store.writer, limits.max_payload);
  if (!expanded.ok()) return expanded.failure();
  store.writer.flush();
  if (Status kept = store.finish(); !kept.ok()) return kept.failure;

  Result<ByteReader> segments = store.reread();
  if (!segments.ok()) return segments.failure();
  if (Status decoded = decode_three_planes(segments.value(), d.planes,
                                           std::min(limits.max_plane_samples, plane_sample_limit(h)));
      !decoded.ok())
    return decoded.failure;

  if (Status sizes = check_plane_sizes(d.planes[0], d.planes[1], d.planes[2], h.padded_width, h.padded_height);
      !sizes.ok())
    return sizes.failure;
  return d;
}

namespace {

// The pipeline on a file in memory, the payload freed once the planes hold
// the picture; then `finish` on the planes.
template <class T, class Finish>
Result<T> decode_in_memory(std::span<const uint8_t> file, const DecodeLimits& limits, std::string_view input_name,
                           Finish&& finish) {
  try {
    Result<DecodedPlanes> d = [&] {
      std::vector<uint8_t> payload;
      PayloadStore store = memory_store(payload);
      ByteReader in = memory_reader(file);
      return decode_planes(in, input_name, store, limits);
    }();
    if (!d.ok()) return d.failure();
    return finish(d.value());
  } catch (const std::bad_alloc&) {
    return format_failure("\nOut of memory !\n", QZR_ERROR_OUT_OF_MEMORY);
  }
}

}  // namespace

Result<DecodedFile> decode_qzr(std::span<const uint8_t> file, const DecodeLimits& limits,
                               std::string_view input_name) {
  return decode_in_memory<DecodedFile>(file, limits, input_name, [](const DecodedPlanes& d) {
    const QzrHeader& h = d.header;
    DecodedFile decoded;
    decoded.header = h;
    ByteWriter out = memory_writer(decoded.bmp, 1 << 18);
    write_bmp_from_planes(out, d.planes, h.width, h.height, h.padded_width);
    out.flush();
    return decoded;
  });
}

Result<Picture> decode_picture(std::span<const uint8_t> file, const DecodeLimits& limits,
                               std::string_view input_name) {
  return decode_in_memory<Picture>(file, limits, input_name, [](const DecodedPlanes& d) {
    const QzrHeader& h = d.header;
    Picture picture;
    picture.width = h.width;
    picture.height = h.height;
    picture.rgb.resize(size_t{3} * h.width * h.height);
    write_picture_rows({d.planes, h.width, h.height, h.padded_width}, PixelOrder::rgb, RowOrder::top_down,
                       picture.rgb.data(), size_t{3} * h.width);
    return picture;
  });
}

}  // namespace qzr
