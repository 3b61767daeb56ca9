#include "decode.h"

#include <algorithm>
#include <new>

#include "container/segment_locator.h"
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
  // The luma and the two chroma planes in turn (YSeg, USeg, VSeg), each
  // segment search going on where the previous plane stream ended. The luma
  // plane's working arrays go before the chroma planes, half its size, take
  // theirs: the peak stays that of the luma plane.
  const int64_t max_samples = std::min(limits.max_plane_samples, plane_sample_limit(h));
  PlaneWorkspace work;
  const char* names[3] = {"YSeg", "USeg", "VSeg"};
  for (int i = 0; i < 3; ++i) {
    if (Status found = find_segment(segments.value(), names[i]); !found.ok()) return found.failure;
    Result<Plane> plane = decode_plane(segments.value(), names[i], max_samples, work);
    if (!plane.ok()) return plane.failure();
    d.planes[i] = std::move(plane.value());
    if (i == 0) work.release();
  }

  if (Status sizes = check_plane_sizes(d.planes[0], d.planes[1], d.planes[2], h.padded_width, h.padded_height);
      !sizes.ok())
    return sizes.failure;
  return d;
}

Result<DecodedPlanes> decode_planes_in_memory(std::span<const uint8_t> file, const DecodeLimits& limits,
                                              std::string_view input_name) {
  std::vector<uint8_t> payload;
  PayloadStore store = memory_store(payload);
  ByteReader in = memory_reader(file);
  return decode_planes(in, input_name, store, limits);
}

namespace {

// The pipeline on a file in memory, then `finish` on the planes; out of
// memory is a failure.
template <class T, class Finish>
Result<T> decode_in_memory(std::span<const uint8_t> file, const DecodeLimits& limits, std::string_view input_name,
                           Finish&& finish) {
  try {
    Result<DecodedPlanes> d = decode_planes_in_memory(file, limits, input_name);
    if (!d.ok()) return d.failure();
    return finish(d.value());
  } catch (const std::bad_alloc&) {
    return format_failure("\nOut of memory !\n", QZR_ERROR_OUT_OF_MEMORY);
  }
}

}  // namespace

Result<DecodedFile> decode_qzr(std::span<const uint8_t> file, const DecodeLimits& limits, std::string_view input_name) {
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

Result<Picture> decode_picture(std::span<const uint8_t> file, const DecodeLimits& limits, std::string_view input_name) {
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
