#include "corner_streams.h"

#include <algorithm>

#include "codec/band_layout.h"
#include "encoder/code_book.h"
#include "encoder/file_encoder.h"

namespace qzr::enc::testing {
namespace {

// Junk that is never taken for a segment marker: no "$" among its last four
// bytes, and every "$" in it followed by four bytes that do not end in "Seg".
std::vector<uint8_t> junk(int n, uint32_t seed) {
  std::vector<uint8_t> out;
  uint32_t x = seed * 2654435761u + 12345u;
  for (int i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    uint8_t b = static_cast<uint8_t>(x >> 24);
    if (b == '$') b = 'S';
    out.push_back(b);
  }
  static const char* decoys[] = {"$$Sex", "$YSeh", "$VSe!"};
  for (size_t d = 0, at = 1; d < 3 && at + 9 <= out.size(); ++d, at += 9) {
    const char* s = decoys[d];
    for (size_t k = 0; s[k] != 0; ++k) out[at + k] = static_cast<uint8_t>(s[k]);
  }
  return out;
}

}  // namespace

std::vector<std::vector<int>> corner_band_groups(int levels, const CornerKnobs& knobs) {
  const int bands = band_count(levels);
  std::vector<int> sizes;
  switch (knobs.grouping) {
    case Grouping::kPerLevel: return band_groups(levels);
    case Grouping::kAllInOne: sizes.push_back(bands); break;
    case Grouping::kPerBand: sizes.assign(static_cast<size_t>(bands), 1); break;
    case Grouping::kUneven:
      if (!knobs.group_sizes.empty()) {
        sizes = knobs.group_sizes;
      } else {
        sizes = {1, 2, 4};
        for (int i = 0; static_cast<int>(sizes.size()) < bands; ++i) sizes.push_back(i % 2 == 0 ? 5 : 2);
      }
      break;
  }
  std::vector<std::vector<int>> groups;
  int next = 0;
  for (int size : sizes) {
    if (next >= bands) break;
    std::vector<int> g;
    for (int i = 0; i < std::max(size, 1) && next < bands; ++i) g.push_back(next++);
    groups.push_back(std::move(g));
  }
  if (next < bands) {  // sizes that fall short: the last group takes the rest
    if (groups.empty()) groups.emplace_back();
    while (next < bands) groups.back().push_back(next++);
  }
  return groups;
}

void append_corner_codes(std::span<const int16_t> quantized, const CornerKnobs& knobs, std::vector<uint16_t>& codes) {
  const size_t n = quantized.size();
  if (knobs.single_leaf_runs && n > 0 &&
      std::all_of(quantized.begin(), quantized.end(), [](int16_t v) { return v == 0; })) {
    codes.insert(codes.end(), n, run_code(0));
    return;
  }
  std::vector<uint16_t> plain;
  append_span_codes(quantized, plain);
  // The trailing run, the last code when the span ends in zeros, may overrun
  // the span by any amount: the decoder cuts it there.
  if (knobs.overrunning_runs && n > 0 && quantized.back() == 0) plain.back() = run_code(kLargestRunExponent);
  size_t emitted = 0;
  for (uint16_t code : plain) {
    codes.push_back(code);
    if (knobs.empty_run_codes && ++emitted % 5 == 2) codes.push_back(emitted % 2 ? 0x801F : 0xFFFF);
  }
  if (knobs.excess_codes) {
    for (uint16_t extra : {uint16_t{0x0005}, uint16_t{0x4007}, uint16_t{0x8003}, uint16_t{0x3FFF}, uint16_t{0x8000}})
      codes.push_back(extra);
  }
}

void write_corner_stream(std::vector<uint8_t>& out, const PlaneLayout& layout, std::span<const int16_t> steps,
                         std::span<const int16_t> quantized, const CornerKnobs& knobs) {
  append_plane_header(out, layout);
  const int32_t count = layout.width * layout.height;
  const auto groups = corner_band_groups(layout.levels, knobs);
  CodeBook book;
  if (knobs.empty_groups) {
    // The span is still (0, 0): these codes are decoded and fill nothing.
    const uint16_t stray[] = {0x0005, 0x4003, 0x0005, 0x8002};
    append_band_group(out, {}, steps, stray, book);
  }
  std::vector<uint16_t> codes;
  for (size_t g = 0; g < groups.size(); ++g) {
    const auto& bands = groups[g];
    const GroupSpan at = group_span(count, layout.levels, bands);
    codes.clear();
    append_corner_codes(quantized.subspan(at.offset, at.length), knobs, codes);
    append_band_group(out, bands, steps, codes, book);
    // A group without headers fills the span it inherits once more; never
    // after the last group, which ends the plane stream.
    if (knobs.empty_groups && g == 0 && groups.size() > 1) append_band_group(out, {}, steps, codes, book);
  }
}

Expected<std::vector<uint8_t>> encode_corners(const Image& image, const EncodeOptions& options,
                                            const CornerKnobs& knobs) {
  FileEncoder encoder(image, options.levels, knobs.scale.value_or(kDefaultScale));
  encoder.quantize(options.quality, knobs.negative_steps);
  std::vector<uint8_t> segments;
  for (int p = 0; p < kPlaneCount; ++p) {
    if (knobs.junk_bytes > 0) {
      const auto j = junk(knobs.junk_bytes, static_cast<uint32_t>(p));
      segments.insert(segments.end(), j.begin(), j.end());
    }
    std::vector<uint8_t> stream;
    const QuantizedPlane& q = encoder.quantized(p);
    write_corner_stream(stream, encoder.layout(p), q.steps, q.values, knobs);
    append_segment(segments, p, stream);
  }
  return make_file(image.width, image.height, segments);
}

}  // namespace qzr::enc::testing
