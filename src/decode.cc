#include "decode.h"

#include <algorithm>
#include <new>

#include "common/colour_formula.h"
#include "common/growing_bytes.h"
#include "common/threads.h"
#include "container/segment_locator.h"
#include "output/bmp_writer.h"
#include "output/colour_conversion.h"
#include "output/picture_rows.h"

namespace qzr {

namespace {

const char* const kSegmentNames[3] = {"YSeg", "USeg", "VSeg"};

// The largest payload the console program holds in memory; a larger one
// (far beyond any real picture's) it keeps in its copy alone. The library
// holds any payload its limits allow.
constexpr uint32_t kMaxHeldPayload = uint32_t{1} << 28;

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
// segment search going on where the previous plane stream ended, each
// synthesis sharing its large levels among `threads` threads. The luma
// plane's working arrays go before the chroma planes, half its size, take
// theirs: the peak stays that of the luma plane. (Reading the next plane
// while one is synthesised would hold both planes' arrays at once, for the
// little time that reading a plane whose bytes have all arrived takes.)
Status read_planes_in_turn(ByteReader& segments, int64_t max_samples, int threads, Plane (&planes)[3],
                           DamageSigns& damage) {
  PlaneWorkspace work;
  for (int i = 0; i < 3; ++i) {
    if (Status found = find_segment_noting(segments, i, damage); !found.ok()) return found;
    Expected<PlaneCoefficients> c = read_plane(segments, kSegmentNames[i], max_samples, work);
    if (!c.ok()) return c.failure();
    take_signs(c.value().damage, damage);
    if (segments.growing != nullptr) segments.growing->give_back(segments.offset());  // read once, forward
    planes[i] = synthesise(c.value(), work, threads);
    if (i == 0) work.release();
  }
  return Status::success();
}

// A coder's final bits leave its 17-bit window at most 15 bits short of the
// file's end: past that the code needed bits the file does not hold.
constexpr uint64_t kMaxBitsPastCodeEnd = 15;

// The payload's own signs: its code cut short or followed by bytes nothing
// reads (known only when `in` holds the whole input in memory), its last match
// running past its length.
void note_payload_damage(const ByteReader* in, uint64_t code_start, uint32_t length, const Expansion& expansion,
                         DamageSigns& damage) {
  if (in != nullptr && in->file == nullptr && in->growing == nullptr) {
    const uint64_t input_size = in->consumed_before + static_cast<uint64_t>(in->end - in->base);
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

// Out of memory, anywhere in the pipeline, as a failure: the one place it
// is caught.
template <class T, class Run>
Expected<T> failing_out_of_memory(Run&& run) {
  try {
    return run();
  } catch (const std::bad_alloc&) {
    return format_failure("\nOut of memory !\n", ErrorKind::out_of_memory);
  }
}

// Where the payload's bytes go: memory the planes are read from, and the
// copy, when there is one.
ByteWriter payload_writer(GrowingBytes& memory, const PayloadCopy& copy) {
  ByteWriter out = file_writer(copy.file, 1 << 18);
  out.growing = &memory;
  return out;
}

Error copy_failure(const PayloadCopy& copy) {
  return format_failure(
      format_text("\nerror writing file %.*s !\n", static_cast<int>(copy.name.size()), copy.name.data()),
      ErrorKind::io);
}

// The expansion on a thread of its own, into memory that this thread reads
// the planes from as their bytes arrive and synthesises them.
// What a serial run would report first still wins: a short write to the
// copy comes before any failure the planes meet, so the expansion always
// runs to its end.
Status expand_while_reading(ByteReader& in, uint32_t length, GrowingBytes& payload, const PayloadCopy& copy,
                            int64_t max_samples, int threads, Plane (&planes)[3], Expansion& expansion,
                            uint64_t& read_to, DamageSigns& damage) {
  bool copy_short = false;
  Status read;
  {
    Background expander;
    expander.start([&] {
      // The reader waits for bytes until the memory is closed, whatever ends
      // the expansion.
      struct CloseAtEnd {
        GrowingBytes& bytes;
        ~CloseAtEnd() { bytes.close(); }
      } close_at_end{payload};
      ByteWriter out = payload_writer(payload, copy);
      expansion.produced = expand_lzari(in, out, length, &expansion.bits_taken);
      out.flush();
      copy_short = out.failed;
    });
    ByteReader segments = growing_reader(payload);
    read = read_planes_in_turn(segments, max_samples, threads, planes, damage);
    read_to = segments.offset();
    expander.join();
  }
  if (copy_short) return copy_failure(copy);
  return read;
}

// The same with the expansion first, then the planes in turn.
Status expand_then_read(ByteReader& in, uint32_t length, GrowingBytes& payload, const PayloadCopy& copy,
                        int64_t max_samples, Plane (&planes)[3], Expansion& expansion, uint64_t& read_to,
                        DamageSigns& damage) {
  ByteWriter out = payload_writer(payload, copy);
  expansion.produced = expand_lzari(in, out, length, &expansion.bits_taken);
  out.flush();
  payload.close();
  if (out.failed) return copy_failure(copy);
  ByteReader segments = growing_reader(payload);
  Status read = read_planes_in_turn(segments, max_samples, 1, planes, damage);
  read_to = segments.offset();
  return read;
}

// The planes checked, and every sign of damage in the order met: the
// payload's own, the plane streams', what was left after them, the planes'
// sizes.
Expected<DecodedPlanes> finish_planes(const FileStart& start, DecodedPlanes& d, const ByteReader* in,
                                      const Expansion& expansion, uint64_t read_to, DamageSigns& plane_signs) {
  const QzrHeader& h = start.header;
  if (Status sizes = check_plane_sizes(d.planes[0], d.planes[1], d.planes[2], h.padded_width, h.padded_height);
      !sizes.ok())
    return sizes.failure;
  note_payload_damage(in, start.code_start, start.payload_length, expansion, d.damage);
  take_signs(plane_signs, d.damage);
  if (expansion.produced > read_to)
    note_damage(&d.damage, format_text("%llu bytes of the payload after the last plane stream",
                                       static_cast<unsigned long long>(expansion.produced - read_to)));
  note_plane_size_damage(d.planes, h, d.damage);
  return std::move(d);
}

int64_t max_samples_of(const FileStart& start, const DecodeLimits& limits) {
  return std::min(limits.max_plane_samples, plane_sample_limit(start.header));
}

}  // namespace

int decode_threads(const DecodeLimits& limits) { return limits.threads > 0 ? limits.threads : available_cores(); }

Expected<FileStart> read_file_start(ByteReader& in, std::string_view input_name, const DecodeLimits& limits) {
  Expected<QzrHeader> header = read_container_header(in, input_name);
  if (!header.ok()) return header.failure();
  return read_file_start(in, header.value(), limits);
}

Expected<FileStart> read_file_start(ByteReader& in, const QzrHeader& header, const DecodeLimits& limits) {
  Expected<uint32_t> length = read_payload_length(in, limits.max_payload);
  if (!length.ok()) return length.failure();
  return FileStart{header, length.value(), in.offset()};
}

bool payload_held_in_memory(uint32_t payload_length) { return payload_length <= kMaxHeldPayload; }

Expected<DecodedPlanes> decode_payload(ByteReader& in, const FileStart& start, const DecodeLimits& limits,
                                       const PayloadCopy& copy) {
  return failing_out_of_memory<DecodedPlanes>([&]() -> Expected<DecodedPlanes> {
    DecodedPlanes d;
    d.header = start.header;
    GrowingBytes payload(size_t{start.payload_length} + MAX_MATCH);  // the last match may run past the length
    const int threads = decode_threads(limits);
    Expansion expansion;
    uint64_t read_to = 0;
    DamageSigns plane_signs;
    const Status planes =
        threads > 1 ? expand_while_reading(in, start.payload_length, payload, copy, max_samples_of(start, limits),
                                           threads, d.planes, expansion, read_to, plane_signs)
                    : expand_then_read(in, start.payload_length, payload, copy, max_samples_of(start, limits),
                                       d.planes, expansion, read_to, plane_signs);
    if (!planes.ok()) return planes.failure;
    return finish_planes(start, d, &in, expansion, read_to, plane_signs);
  });
}

Expected<Expansion> expand_payload(ByteReader& in, const FileStart& start, ByteWriter& out) {
  return failing_out_of_memory<Expansion>([&]() -> Expected<Expansion> {
    Expansion expansion;
    expansion.produced = expand_lzari(in, out, start.payload_length, &expansion.bits_taken);
    out.flush();
    return expansion;
  });
}

Expected<DecodedPlanes> read_payload_planes(ByteReader& payload, const FileStart& start, const Expansion& expansion,
                                            const DecodeLimits& limits) {
  return failing_out_of_memory<DecodedPlanes>([&]() -> Expected<DecodedPlanes> {
    DecodedPlanes d;
    d.header = start.header;
    DamageSigns plane_signs;
    if (Status read = read_planes_in_turn(payload, max_samples_of(start, limits), 1, d.planes, plane_signs);
        !read.ok())
      return read.failure;
    // The code's own signs are not known: the input is not at hand.
    return finish_planes(start, d, nullptr, expansion, payload.offset(), plane_signs);
  });
}

Expected<DecodedPlanes> decode_planes_in_memory(std::span<const uint8_t> file, const DecodeLimits& limits,
                                                std::string_view input_name) {
  ByteReader in = memory_reader(file);
  Expected<FileStart> start = read_file_start(in, input_name, limits);
  if (!start.ok()) return start.failure();
  return decode_payload(in, start.value(), limits);
}

namespace {

// The neutral sample: mid-grey luma, and chroma of no colour.
constexpr uint8_t kNeutralSample = colour::kChromaZero;

Plane neutral_plane(uint32_t width, uint32_t height) {
  Plane p;
  p.width = static_cast<int>(width);
  p.height = static_cast<int>(height);
  p.samples.resize(size_t{width} * height);
  std::fill(p.samples.begin(), p.samples.end(), kNeutralSample);
  return p;
}

// Each plane as far as it arrived; the neutral plane where nothing usable
// did. The first failure met goes to the report.
void salvage_planes(ByteReader& segments, int64_t max_samples, int threads, const QzrHeader& h, Plane (&planes)[3],
                    SalvageReport& report) {
  PlaneWorkspace work;
  const auto note = [&report](std::string_view text) {
    if (report.failure.empty()) report.failure = std::string(message_text(text));
  };
  for (int i = 0; i < 3; ++i) {
    const uint32_t width = i == 0 ? h.padded_width : h.padded_width / 2;
    PlaneRecovery recovery;
    bool made = false;
    if (Status found = find_segment(segments, kSegmentNames[i]); !found.ok()) {
      note(found.failure.text);
    } else if (Expected<PlaneCoefficients> c = read_plane(segments, kSegmentNames[i], max_samples, work, &recovery);
               !c.ok()) {
      note(c.failure().text);
    } else {
      note(recovery.failure);
      const uint64_t samples = uint64_t(c.value().width) * static_cast<uint64_t>(c.value().height);
      if (recovery.state[0] != BandState::whole)
        note(format_text("the approximation band of segment %s is missing", kSegmentNames[i]));
      else if (samples < uint64_t{width} * h.padded_height)
        note(format_text("the plane of segment %s is too small for a %u x %u image", kSegmentNames[i],
                         h.padded_width, h.padded_height));
      else
        made = true;
      if (made) planes[i] = synthesise(c.value(), work, threads);
    }
    if (!made) planes[i] = neutral_plane(width, h.padded_height);
    if (i == 0) work.release();
    PlaneSalvage& p = report.planes[i];
    p.bands = recovery.bands;
    p.bands_whole = recovery.count(BandState::whole);
    p.bands_partial = recovery.count(BandState::partial);
    p.bands_missing = recovery.count(BandState::missing);
    p.groups_whole = recovery.groups_whole;
    p.groups_partial = recovery.groups_partial;
    p.neutral = !made;
  }
}

}  // namespace

Expected<SalvagedPlanes> salvage_planes_in_memory(std::span<const uint8_t> file, const DecodeLimits& limits,
                                                  std::string_view input_name) {
  ByteReader in = memory_reader(file);
  Expected<FileStart> start = read_file_start(in, input_name, limits);
  if (!start.ok()) return start.failure();
  const FileStart& s = start.value();
  return failing_out_of_memory<SalvagedPlanes>([&]() -> Expected<SalvagedPlanes> {
    SalvagedPlanes salvaged;
    salvaged.decoded.header = s.header;
    SalvageReport& report = salvaged.report;
    GrowingBytes payload(size_t{s.payload_length} + MAX_MATCH);
    ByteWriter out = payload_writer(payload, {});
    uint64_t decided = 0;
    expand_lzari(in, out, s.payload_length, nullptr, &decided);
    out.flush();
    payload.close();
    report.payload_length = s.payload_length;
    report.payload_decided = std::min<uint64_t>(decided, s.payload_length);
    ByteReader segments = memory_reader({payload.data(), static_cast<size_t>(decided)});
    salvage_planes(segments, max_samples_of(s, limits), decode_threads(limits), s.header, salvaged.decoded.planes,
                   report);
    // Whatever the planes met, a payload cut short is where it began.
    if (report.damaged() && decided < s.payload_length)
      report.failure = format_text("the file is cut short: its code decides %llu of the payload's %u bytes",
                                   static_cast<unsigned long long>(decided), s.payload_length);
    return salvaged;
  });
}

namespace {

// The pipeline on a file in memory, then `finish` on the planes.
template <class T, class Finish>
Expected<T> decode_in_memory(std::span<const uint8_t> file, const DecodeLimits& limits, std::string_view input_name,
                             DamageSigns* damage, Finish&& finish) {
  Expected<DecodedPlanes> d = decode_planes_in_memory(file, limits, input_name);
  if (!d.ok()) return d.failure();
  if (damage != nullptr) *damage = d.value().damage;
  return failing_out_of_memory<T>([&] { return finish(d.value()); });
}

}  // namespace

Expected<DecodedBmp> decode_to_bmp(std::span<const uint8_t> file, const DecodeLimits& limits,
                                   std::string_view input_name, DamageSigns* damage) {
  return decode_in_memory<DecodedBmp>(file, limits, input_name, damage, [&limits](const DecodedPlanes& d) {
    const QzrHeader& h = d.header;
    DecodedBmp decoded;
    decoded.header = h;
    ByteWriter out = memory_writer(decoded.bmp, 1 << 18);
    write_bmp_from_planes(out, d.planes, h.width, h.height, h.padded_width, decode_threads(limits));
    out.flush();
    return decoded;
  });
}

Expected<RgbImage> decode_picture(std::span<const uint8_t> file, const DecodeLimits& limits,
                                  std::string_view input_name, DamageSigns* damage) {
  return decode_in_memory<RgbImage>(file, limits, input_name, damage, picture_of);
}

RgbImage picture_of(const DecodedPlanes& d) {
  const QzrHeader& h = d.header;
  RgbImage picture;
  picture.width = h.width;
  picture.height = h.height;
  picture.rgb.resize(size_t{3} * h.width * h.height);
  write_picture_rows({d.planes, h.width, h.height, h.padded_width}, PixelOrder::rgb, picture.rgb.data(),
                     size_t{3} * h.width);
  return picture;
}

}  // namespace qzr
