#include "codec/plane_decoder.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "codec/band_layout.h"
#include "codec/huffman_codes.h"
#include "codec/stream_readers.h"
#include "codec/wavelet_synthesis.h"

namespace qzr {

namespace {

Error plane_failure(const char* what, const char* segment) {
  return format_failure(format_text("\n%s in segment %s !\n", what, segment));
}

}  // namespace

void note_damage(DamageSigns* signs, std::string sign) {
  if (signs != nullptr && signs->size() < kMaxDamageSigns) signs->push_back(std::move(sign));
}

int PlaneRecovery::count(BandState s) const {
  return static_cast<int>(std::count(state.begin(), state.begin() + bands, s));
}

namespace {

// What a group brought its bands: all of them when its codes were read
// whole; else those its filled part covers, whole or in part.
void record_group(PlaneRecovery& r, std::span<const int> group_bands, int32_t count, int levels,
                  const SpanExpander& span, bool cut) {
  if (!cut)
    ++r.groups_whole;
  else
    r.groups_partial = 1;
  for (int b : group_bands) {
    BandState got = BandState::whole;
    if (cut) {
      const int64_t from = band_offset(count, levels, b), to = from + band_size(count, levels, band_level(b));
      const int64_t filled_to = span.offset + span.filled;
      got = span.offset <= from && to <= filled_to ? BandState::whole
            : from < filled_to && span.offset < to ? BandState::partial
                                                   : BandState::missing;
    }
    BandState& s = r.state[static_cast<size_t>(b)];
    s = std::max(s, got);
  }
}

}  // namespace

Status read_band_groups(ByteReader& in, int levels, std::span<int16_t> quantized, std::span<int16_t> steps,
                        const char* segment, DamageSigns* damage, PlaneRecovery* recovery) {
  const int32_t count = static_cast<int32_t>(quantized.size());
  const int bands = band_count(levels);
  int headers = 0;
  int64_t span_offset = 0, span_length = 0;  // carried from group to group
  // Groups without band headers may follow one another without end, each
  // refilling its whole span from a few bytes. A stream fills each
  // coefficient about once; refusing one that fills the plane many times over
  // keeps the work proportional to the plane and the data.
  const int64_t fill_budget = kMaxPlaneRefills * int64_t{count} + (int64_t{1} << 20);
  int64_t filled = 0;
  // Everything from here on has not been written yet (and is zero): band
  // groups normally fill their spans in rising order, each over fresh zeros.
  int64_t unwritten_from = 0;
  uint64_t listed = 0;  // bit b: band b has had its header (bands <= 3 x 15 + 1)
  while (headers < bands) {
    bool first = true;
    int previous_band = -1;
    std::array<int, 3 * kMaxLevels + 1> group_bands;
    size_t group_size = 0;
    int byte = in.read_byte();
    while (byte == kEndOfFile || (byte & kBandHeaderFlag)) {
      // The format would read the end of the data as band 127 without end.
      if (byte == kEndOfFile) return plane_failure("Unexpected end of file", segment);
      const int b = byte & kBandIndexMask;
      if (b >= bands) return format_failure(format_text("\nBand index %d out of range in segment %s !\n", b, segment));
      const int64_t size = band_size(count, levels, band_level(b));
      if (damage != nullptr) {
        if (listed >> b & 1)
          note_damage(damage, format_text("band %d is listed twice in segment %s", b, segment));
        else if (!first && band_offset(count, levels, b) != span_offset + span_length)
          note_damage(damage, format_text("band %d does not follow band %d in its group in segment %s", b,
                                          previous_band, segment));
        listed |= uint64_t{1} << b;
        previous_band = b;
      }
      if (group_size < group_bands.size()) group_bands[group_size++] = b;
      if (first) {
        span_offset = band_offset(count, levels, b);
        span_length = size;
        first = false;
      } else {
        span_length += size;
      }
      const int hi = in.read_byte();
      const int lo = in.read_byte();
      if (lo == kEndOfFile) return plane_failure("Unexpected end of file", segment);
      steps[static_cast<size_t>(b)] = static_cast<int16_t>((hi & 0xFF) << 8 | lo);
      ++headers;
      byte = in.read_byte();
    }
    if (byte != kHeaderListEnd) return plane_failure("Bad band header list", segment);
    const int32_t symbol_count = read_be32(in);
    Expected<CodeTree> tree = read_code_tree(in);
    if (!tree.ok()) return tree.failure();
    SpanExpander span = make_span_expander(quantized, span_offset, span_length);
    const bool over_zeros = span_offset >= unwritten_from;
    const uint64_t ends_before = in.ends_met;
    decode_and_expand(in, tree.value(), symbol_count, span, over_zeros, CodeWalk::by_size, recovery != nullptr);
    if (recovery != nullptr) {
      const bool cut = in.ends_met != ends_before;
      record_group(*recovery, {group_bands.data(), group_size}, count, levels, span, cut);
      if (cut) return plane_failure("The data end in a band group", segment);
    }
    if (!span.full())
      note_damage(damage, format_text("a band group's codes end %lld values short of its bands in segment %s",
                                      static_cast<long long>(span.limit - span.filled), segment));
    if (span.filled > 0) unwritten_from = std::max(unwritten_from, span.offset + span.filled);
    filled += span.filled;
    if (filled > fill_budget) return plane_failure("Band groups refill the plane without end", segment);
  }
  return Status::success();
}

Expected<PlaneCoefficients> read_plane(ByteReader& in, const char* segment, int64_t max_samples, PlaneWorkspace& work,
                                       PlaneRecovery* recovery) {
  const uint64_t ends_before = in.ends_met;
  if ((in.read_byte() & 0xFF) != kPlaneMarker) return format_failure("\nNot QUORLEN QZR file!\n");
  PlaneCoefficients c;
  c.levels = static_cast<int8_t>(in.read_byte() & 0xFF);
  c.width = static_cast<int16_t>(read_be16(in));
  c.height = static_cast<int16_t>(read_be16(in));
  c.scale = static_cast<int16_t>(read_be16(in));
  const int L = c.levels, width = c.width, height = c.height;

  // The band layout tiles the arrays and every level has an even size of at
  // least 2 only for these; the format itself does not test them.
  if (L < 1 || L > kMaxLevels)
    return format_failure(format_text("\nUnsupported number of levels %d in segment %s !\n", L, segment));
  const int unit = 1 << L;
  if (width <= 0 || height <= 0 || width % unit != 0 || height % unit != 0)
    return format_failure(
        format_text("\nBad plane size %d x %d for %d levels in segment %s !\n", width, height, L, segment));

  const int32_t count = width * height;  // at most 32767^2: fits
  if (count > max_samples)
    return format_failure(
        format_text("\nPlane of %d x %d samples is too large for the image in segment %s !\n", width, height, segment));
  // The quantized values go into their array, all zero to begin with, so
  // that a stream that omits a band decodes with zeros in it.
  const size_t n = static_cast<size_t>(count);
  work.reserve(n);
  std::span<int16_t> quantized(work.quantized.get(), n);
  // Fresh storage comes cleared from the system, without a pass over it.
  if (!work.clean) std::fill(quantized.begin(), quantized.end(), int16_t{0});
  work.clean = false;
  c.steps.assign(static_cast<size_t>(band_count(L)), 0);
  if (recovery != nullptr) recovery->bands = band_count(L);
  if (Status read = read_band_groups(in, L, quantized, c.steps, segment, &c.damage, recovery); !read.ok()) {
    if (recovery == nullptr) return read.failure;
    recovery->failure = std::string(message_text(read.failure.text));
  }
  if (in.ends_met != ends_before)
    note_damage(&c.damage, format_text("the plane stream of segment %s runs past the end of the payload", segment));
  return c;
}

void PlaneWorkspace::reserve(size_t n) {
  if (n <= capacity) return;
  release();
  quantized = ZeroedArray<int16_t>(n);
  capacity = n;
  clean = true;
}

void PlaneWorkspace::reserve_levels(size_t n) {
  if (n > levels_capacity) {
    levels_odd = {};
    levels_even = {};
    levels_odd = ZeroedArray<int32_t>(n / 4);
    levels_capacity = n;
  }
  // The even levels go once the finest level starts (synthesise).
  if (levels_even.size() < n / 16) levels_even = ZeroedArray<int32_t>(levels_capacity / 16);
}

void PlaneWorkspace::release() {
  quantized = {};
  levels_odd = {};
  levels_even = {};
  capacity = levels_capacity = 0;
}

Plane synthesise(const PlaneCoefficients& c, PlaneWorkspace& work, int threads) {
  const size_t n = static_cast<size_t>(c.width) * static_cast<size_t>(c.height);
  work.reserve_levels(n);
  Plane plane;
  plane.width = c.width;
  plane.height = c.height;
  const std::span<const int16_t> quantized(work.quantized.get(), n);
  synthesise_coarse_levels(quantized, c.steps, {work.levels_odd.get(), n / 4}, {work.levels_even.get(), n / 16},
                           c.width, c.height, c.levels, threads);
  // The finest level reads neither the coarser levels' quantized values nor
  // the even levels: their storage goes back before the samples take theirs.
  work.quantized.give_back(0, n / 4);
  work.levels_even = {};
  plane.samples.resize(n);
  synthesise_finest_level(quantized, c.steps, {work.levels_odd.get(), n / 4}, c.width, c.height, c.levels,
                          SampleScaler(c.scale, n), plane.samples, threads);
  return plane;
}

Expected<Plane> decode_plane(ByteReader& in, const char* segment, int64_t max_samples) {
  PlaneWorkspace work;
  Expected<PlaneCoefficients> c = read_plane(in, segment, max_samples, work);
  if (!c.ok()) return c.failure();
  return synthesise(c.value(), work);
}

}  // namespace qzr
