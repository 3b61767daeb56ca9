#include "decode.h"

#include <algorithm>
#include <new>
#include <optional>

#include "common/growing_bytes.h"
#include "common/threads.h"
#include "container/segment_locator.h"
#include "output/bmp_writer.h"
#include "output/colour_conversion.h"
#include "output/picture_rows.h"

namespace qzr {

PayloadStore memory_store(std::vector<uint8_t>& bytes) {
  return {memory_writer(bytes), [] { return Status::success(); },
          [&bytes]() -> Result<ByteReader> { return memory_reader(bytes); }};
}

namespace {

const char* const kSegmentNames[3] = {"YSeg", "USeg", "VSeg"};

// The largest payload held in memory to be read as it is expanded; a
// larger one (far beyond any real picture's) is expanded first, into the
// store alone.
constexpr uint32_t kMaxPipedPayload = uint32_t{1} << 28;

// The luma and the two chroma planes in turn (YSeg, USeg, VSeg), each
// segment search going on where the previous plane stream ended. The luma
// plane's working arrays go before the chroma planes, half its size, take
// theirs: the peak stays that of the luma plane.
Status read_planes_in_turn(ByteReader& segments, int64_t max_samples, Plane (&planes)[3]) {
  PlaneWorkspace work;
  for (int i = 0; i < 3; ++i) {
    if (Status found = find_segment(segments, kSegmentNames[i]); !found.ok()) return found;
    Result<Plane> plane = decode_plane(segments, kSegmentNames[i], max_samples, work);
    if (!plane.ok()) return plane.failure();
    planes[i] = std::move(plane.value());
    if (i == 0) work.release();
  }
  return Status::success();
}

// The same on two threads: each plane's synthesis runs in the background
// while this thread reads the next plane's stream, one synthesis at a time
// (the last plane's on this thread), so that besides one plane being
// synthesised there is only the next one's quantized values. A synthesis
// shares its large levels among `threads` threads. Failures are reported in
// stream order, as the planes in turn would meet them.
Status read_planes_overlapped(ByteReader& segments, int64_t max_samples, int threads, Plane (&planes)[3]) {
  PlaneWorkspace work[3];
  PlaneCoefficients coefficients[3];
  std::optional<Result<Plane>> synthesised[3];
  std::optional<Failure> unread;  // the failure that stopped the reading
  int read = 0;                   // planes read
  {
    Background synthesis;
    for (; read < 3; ++read) {
      const int i = read;
      if (Status found = find_segment(segments, kSegmentNames[i]); !found.ok()) {
        unread = found.failure;
        break;
      }
      Result<PlaneCoefficients> c = read_plane(segments, kSegmentNames[i], max_samples, work[i]);
      if (!c.ok()) {
        unread = c.failure();
        break;
      }
      coefficients[i] = std::move(c.value());
      auto task = [&, i] {
        synthesised[i] = synthesise(coefficients[i], kSegmentNames[i], work[i], threads);
        work[i].release();
      };
      if (i < 2)
        synthesis.start(task);
      else
        task();
    }
  }
  for (int i = 0; i < read; ++i) {
    if (!synthesised[i]->ok()) return synthesised[i]->failure();
    planes[i] = std::move(synthesised[i]->value());
  }
  if (unread) return *unread;
  return Status::success();
}

// Expands the payload into the store, keeps it, and reads the planes back.
Status expand_then_read(ByteReader& in, uint32_t length, PayloadStore& store, int64_t max_samples, Plane (&planes)[3]) {
  expand_lzari(in, store.writer, length);
  store.writer.flush();
  if (Status kept = store.finish(); !kept.ok()) return kept;
  Result<ByteReader> segments = store.reread();
  if (!segments.ok()) return segments.failure();
  return read_planes_in_turn(segments.value(), max_samples, planes);
}

// The expansion on a thread of its own, into the store and into memory that
// this thread reads the planes from as their bytes arrive (synthesising
// them on a third). Nothing is reread: that memory holds the same bytes.
// What a serial run would report first still wins: a failure to keep the
// bytes comes before any the planes meet, so the expansion always runs to
// its end. Returns nothing when the payload is too large to hold or its
// memory is refused, before anything was read.
std::optional<Status> expand_while_reading(ByteReader& in, uint32_t length, PayloadStore& store, int64_t max_samples,
                                           int threads, Plane (&planes)[3]) {
  if (length > kMaxPipedPayload) return std::nullopt;
  std::optional<GrowingBytes> payload;
  try {
    payload.emplace(size_t{length} + MAX_MATCH);  // the last match may run past the length
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  // A memory store keeps the bytes only to read them back.
  std::vector<uint8_t>* const memory = store.writer.memory;
  store.writer.memory = nullptr;
  store.writer.growing = &*payload;
  Status kept, read;
  auto expand = [&] {
    try {
      expand_lzari(in, store.writer, length);
      store.writer.flush();
      kept = store.finish();
    } catch (const std::bad_alloc&) {
      kept = format_failure("\nOut of memory !\n", QZR_ERROR_OUT_OF_MEMORY);
    }
    payload->close();
  };
  {
    // With no thread to be had the expansion runs here first, and the
    // planes are read from its finished bytes.
    Background expander;
    expander.start(expand);
    ByteReader segments = growing_reader(*payload);
    read = read_planes_overlapped(segments, max_samples, threads, planes);
  }
  store.writer.growing = nullptr;
  store.writer.memory = memory;
  return kept.ok() ? read : kept;
}

}  // namespace

int decode_threads(const DecodeLimits& limits) { return limits.threads > 0 ? limits.threads : available_cores(); }

Result<DecodedPlanes> decode_planes(ByteReader& in, std::string_view input_name, PayloadStore& store,
                                    const DecodeLimits& limits, const HeaderSeen& header_seen) {
  Result<QzrHeader> header = read_container_header(in, input_name);
  if (!header.ok()) return header.failure();
  DecodedPlanes d;
  d.header = header.value();
  const QzrHeader& h = d.header;
  if (header_seen) header_seen(h);

  Result<uint32_t> length = read_payload_length(in, limits.max_payload);
  if (!length.ok()) return length.failure();
  const int64_t max_samples = std::min(limits.max_plane_samples, plane_sample_limit(h));
  const int threads = decode_threads(limits);
  std::optional<Status> planes;
  if (threads > 1) planes = expand_while_reading(in, length.value(), store, max_samples, threads, d.planes);
  if (!planes) planes = expand_then_read(in, length.value(), store, max_samples, d.planes);
  if (!planes->ok()) return planes->failure;

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
  return decode_in_memory<DecodedFile>(file, limits, input_name, [&limits](const DecodedPlanes& d) {
    const QzrHeader& h = d.header;
    DecodedFile decoded;
    decoded.header = h;
    ByteWriter out = memory_writer(decoded.bmp, 1 << 18);
    write_bmp_from_planes(out, d.planes, h.width, h.height, h.padded_width, decode_threads(limits));
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
