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

// What the expansion did: the bytes it produced and the code bits it took.
struct Expansion {
  uint64_t produced = 0;
  uint64_t bits_taken = 0;
};

// Finds the next segment, noting the bytes skipped between the previous
// plane stream and its marker: a sound payload has none. (What comes before
// the first segment is the encoder's own.)
Status find_segment_noting(ByteReader& segments, int plane, DamageSigns& damage) {
  const uint64_t from = segments.offset();
  Status found = find_segment(segments, kSegmentNames[plane]);
  const uint64_t skipped = segments.offset() - from - kSegmentMarkerSize;
  if (found.ok() && plane > 0 && skipped > 0)
    note_damage(&damage, format_text("%llu bytes skipped before segment %s", static_cast<unsigned long long>(skipped),
                                     kSegmentNames[plane]));
  return found;
}

void take_signs(DamageSigns& from, DamageSigns& damage) {
  for (std::string& sign : from) note_damage(&damage, std::move(sign));
}

// The luma and the two chroma planes in turn (YSeg, USeg, VSeg), each
// segment search going on where the previous plane stream ended. The luma
// plane's working arrays go before the chroma planes, half its size, take
// theirs: the peak stays that of the luma plane.
Status read_planes_in_turn(ByteReader& segments, int64_t max_samples, Plane (&planes)[3], DamageSigns& damage) {
  PlaneWorkspace work;
  for (int i = 0; i < 3; ++i) {
    if (Status found = find_segment_noting(segments, i, damage); !found.ok()) return found;
    Result<PlaneCoefficients> c = read_plane(segments, kSegmentNames[i], max_samples, work);
    if (!c.ok()) return c.failure();
    take_signs(c.value().damage, damage);
    Result<Plane> plane = synthesise(c.value(), kSegmentNames[i], work);
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
Status read_planes_overlapped(ByteReader& segments, int64_t max_samples, int threads, Plane (&planes)[3],
                              DamageSigns& damage) {
  PlaneWorkspace work[3];
  PlaneCoefficients coefficients[3];
  std::optional<Result<Plane>> synthesised[3];
  std::optional<Failure> unread;  // the failure that stopped the reading
  int read = 0;                   // planes read
  {
    Background synthesis;
    for (; read < 3; ++read) {
      const int i = read;
      if (Status found = find_segment_noting(segments, i, damage); !found.ok()) {
        unread = found.failure;
        break;
      }
      Result<PlaneCoefficients> c = read_plane(segments, kSegmentNames[i], max_samples, work[i]);
      if (!c.ok()) {
        unread = c.failure();
        break;
      }
      coefficients[i] = std::move(c.value());
      take_signs(coefficients[i].damage, damage);
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
// `read_to` gets the payload bytes the planes were read from.
Status expand_then_read(ByteReader& in, uint32_t length, PayloadStore& store, int64_t max_samples, Plane (&planes)[3],
                        Expansion& expansion, uint64_t& read_to, DamageSigns& damage) {
  expansion.produced = expand_lzari(in, store.writer, length, &expansion.bits_taken);
  store.writer.flush();
  if (Status kept = store.finish(); !kept.ok()) return kept;
  Result<ByteReader> segments = store.reread();
  if (!segments.ok()) return segments.failure();
  Status read = read_planes_in_turn(segments.value(), max_samples, planes, damage);
  read_to = segments.value().offset();
  return read;
}

// The expansion on a thread of its own, into the store and into memory that
// this thread reads the planes from as their bytes arrive (synthesising
// them on a third). Nothing is reread: that memory holds the same bytes.
// What a serial run would report first still wins: a failure to keep the
// bytes comes before any the planes meet, so the expansion always runs to
// its end. Returns nothing when the payload is too large to hold or its
// memory is refused, before anything was read.
std::optional<Status> expand_while_reading(ByteReader& in, uint32_t length, PayloadStore& store, int64_t max_samples,
                                           int threads, Plane (&planes)[3], Expansion& expansion, uint64_t& read_to,
                                           DamageSigns& damage) {
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
      expansion.produced = expand_lzari(in, store.writer, length, &expansion.bits_taken);
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
    read = read_planes_overlapped(segments, max_samples, threads, planes, damage);
    read_to = segments.offset();
  }
  store.writer.growing = nullptr;
  store.writer.memory = memory;
  return kept.ok() ? read : kept;
}

// A coder's final bits leave its 17-bit window at most 15 bits short of the
// file's end: past that the code needed bits the file does not hold.
constexpr uint64_t kMaxBitsPastCodeEnd = 15;

// The payload's own signs: its code cut short or followed by bytes nothing
// reads (known only when the whole input is in memory), its last match
// running past its length.
void note_payload_damage(const ByteReader& in, uint64_t code_start, uint32_t length, const Expansion& expansion,
                         DamageSigns& damage) {
  if (in.file == nullptr && in.growing == nullptr) {
    const uint64_t input_size = in.consumed_before + static_cast<uint64_t>(in.end - in.base);
    const uint64_t code_bits = 8 * (input_size - code_start);
    if (expansion.bits_taken > code_bits + kMaxBitsPastCodeEnd)
      note_damage(&damage, format_text("the payload is cut short: its code needs %llu bits past the end of the file",
                                       static_cast<unsigned long long>(expansion.bits_taken - code_bits)));
    const uint64_t code_bytes_read = (expansion.bits_taken + 7) / 8;
    if (input_size - code_start > code_bytes_read)
      note_damage(&damage, format_text("%llu bytes after the payload's code that nothing reads",
                                       static_cast<unsigned long long>(input_size - code_start - code_bytes_read)));
  }
  if (expansion.produced > length)
    note_damage(&damage, format_text("the payload's last match runs %llu bytes past its length",
                                     static_cast<unsigned long long>(expansion.produced - length)));
}

// Planes of other sizes than the picture's: larger ones decode (the
// conversion reads what it needs), but a sound file has them exact.
void note_plane_size_damage(const Plane (&planes)[3], const QzrHeader& h, DamageSigns& damage) {
  for (int i = 0; i < 3; ++i) {
    const uint32_t width = i == 0 ? h.padded_width : h.padded_width / 2;
    if (static_cast<uint32_t>(planes[i].width) != width || static_cast<uint32_t>(planes[i].height) != h.padded_height)
      note_damage(&damage, format_text("segment %s holds a %d x %d plane where the picture has %u x %u",
                                       kSegmentNames[i], planes[i].width, planes[i].height, width, h.padded_height));
  }
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
  const uint64_t code_start = in.offset();
  Expansion expansion;
  uint64_t read_to = 0;
  DamageSigns plane_signs;
  std::optional<Status> planes;
  if (threads > 1)
    planes = expand_while_reading(in, length.value(), store, max_samples, threads, d.planes, expansion, read_to,
                                  plane_signs);
  if (!planes) {
    plane_signs.clear();
    planes = expand_then_read(in, length.value(), store, max_samples, d.planes, expansion, read_to, plane_signs);
  }
  if (!planes->ok()) return planes->failure;

  if (Status sizes = check_plane_sizes(d.planes[0], d.planes[1], d.planes[2], h.padded_width, h.padded_height);
      !sizes.ok())
    return sizes.failure;
  note_payload_damage(in, code_start, length.value(), expansion, d.damage);
  take_signs(plane_signs, d.damage);
  if (expansion.produced > read_to)
    note_damage(&d.damage, format_text("%llu bytes of the payload after the last plane stream",
                                       static_cast<unsigned long long>(expansion.produced - read_to)));
  note_plane_size_damage(d.planes, h, d.damage);
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
                           DamageSigns* damage, Finish&& finish) {
  try {
    Result<DecodedPlanes> d = decode_planes_in_memory(file, limits, input_name);
    if (!d.ok()) return d.failure();
    if (damage != nullptr) *damage = d.value().damage;
    return finish(d.value());
  } catch (const std::bad_alloc&) {
    return format_failure("\nOut of memory !\n", QZR_ERROR_OUT_OF_MEMORY);
  }
}

}  // namespace

Result<DecodedFile> decode_qzr(std::span<const uint8_t> file, const DecodeLimits& limits, std::string_view input_name,
                               DamageSigns* damage) {
  return decode_in_memory<DecodedFile>(file, limits, input_name, damage, [&limits](const DecodedPlanes& d) {
    const QzrHeader& h = d.header;
    DecodedFile decoded;
    decoded.header = h;
    ByteWriter out = memory_writer(decoded.bmp, 1 << 18);
    write_bmp_from_planes(out, d.planes, h.width, h.height, h.padded_width, decode_threads(limits));
    out.flush();
    return decoded;
  });
}

Result<Picture> decode_picture(std::span<const uint8_t> file, const DecodeLimits& limits, std::string_view input_name,
                               DamageSigns* damage) {
  return decode_in_memory<Picture>(file, limits, input_name, damage, [](const DecodedPlanes& d) {
    const QzrHeader& h = d.header;
    Picture picture;
    picture.width = h.width;
    picture.height = h.height;
    picture.rgb.resize(size_t{3} * h.width * h.height);
    write_picture_rows({d.planes, h.width, h.height, h.padded_width}, PixelOrder::rgb, picture.rgb.data(),
                       size_t{3} * h.width);
    return picture;
  });
}

}  // namespace qzr
