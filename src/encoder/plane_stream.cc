#include "encoder/plane_stream.h"

#include <algorithm>
#include <bit>
#include <memory>

namespace qzr::enc {
namespace {

int ceil_log2(uint64_t n) {
  int e = 0;
  while ((uint64_t{1} << e) < n) ++e;
  return e;
}

void put_be16(std::vector<uint8_t>& out, int v) {
  out.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
  out.push_back(static_cast<uint8_t>(v & 0xFF));
}
void put_be32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

std::vector<std::vector<int>> band_groups(int levels, const TestKnobs& knobs) {
  const int bands = band_count(levels);
  std::vector<int> sizes;
  switch (knobs.grouping) {
    case Grouping::kPerLevel:
      sizes.push_back(4);
      for (int k = 1; k < levels; ++k) sizes.push_back(3);
      break;
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

GroupSpan group_span(int32_t count, int levels, std::span<const int> bands) {
  int64_t length = 0;
  for (int b : bands) length += band_size(count, levels, band_level(b));
  return {static_cast<size_t>(band_offset(count, levels, bands.front())), static_cast<size_t>(length)};
}

void append_span_codes(std::span<const int16_t> quantized, const TestKnobs& knobs, std::vector<uint16_t>& codes) {
  const size_t n = quantized.size();
  if (knobs.single_leaf_runs && n > 0 &&
      std::all_of(quantized.begin(), quantized.end(), [](int16_t v) { return v == 0; })) {
    codes.insert(codes.end(), n, run_code(0));
    return;
  }
  size_t emitted = 0;
  auto push = [&](uint16_t code) {
    codes.push_back(code);
    if (knobs.empty_run_codes && ++emitted % 5 == 2) codes.push_back(emitted % 2 ? 0x801F : 0xFFFF);
  };
  size_t i = 0;
  while (i < n) {
    if (quantized[i] != 0) {
      push(value_code(quantized[i]));
      ++i;
      continue;
    }
    size_t j = i;
    while (j < n && quantized[j] == 0) ++j;
    const uint64_t run = j - i;
    if (j == n) {
      // The trailing run may overrun the span: the decoder cuts it there.
      push(run_code(knobs.overrunning_runs ? kLargestRunExponent : ceil_log2(run)));
    } else {
      for (uint64_t left = run; left != 0; left ^= uint64_t{1} << (std::bit_width(left) - 1))
        push(run_code(std::bit_width(left) - 1));
    }
    i = j;
  }
  if (knobs.excess_codes) {
    for (uint16_t extra : {uint16_t{0x0005}, uint16_t{0x4007}, uint16_t{0x8003}, uint16_t{0x3FFF}, uint16_t{0x8000}})
      codes.push_back(extra);
  }
}

void write_plane_stream(std::vector<uint8_t>& out, const PlaneLayout& layout, std::span<const int16_t> steps,
                        std::span<const int16_t> quantized, const TestKnobs& knobs, CodeBook* scratch_book) {
  out.push_back(kPlaneMarker);
  out.push_back(static_cast<uint8_t>(layout.levels));
  put_be16(out, layout.width);
  put_be16(out, layout.height);
  put_be16(out, layout.scale);

  const int32_t count = layout.width * layout.height;
  const auto groups = band_groups(layout.levels, knobs);
  std::unique_ptr<CodeBook> own_book;
  if (scratch_book == nullptr) own_book = std::make_unique<CodeBook>();
  CodeBook& book = scratch_book != nullptr ? *scratch_book : *own_book;
  std::vector<uint16_t> codes;
  auto put_group = [&](std::span<const int> bands, std::span<const uint16_t> group_codes) {
    for (int b : bands) {
      out.push_back(static_cast<uint8_t>(kBandHeaderFlag | b));
      put_be16(out, steps[static_cast<size_t>(b)]);
    }
    out.push_back(kHeaderListEnd);
    put_be32(out, static_cast<uint32_t>(group_codes.size()));
    book.build(group_codes);
    out.insert(out.end(), book.tree().begin(), book.tree().end());
    book.write_codes(group_codes, out);
  };

  if (knobs.empty_groups) {
    // The span is still (0, 0): these codes are decoded and fill nothing.
    const uint16_t stray[] = {0x0005, 0x4003, 0x0005, 0x8002};
    put_group({}, stray);
  }
  for (size_t g = 0; g < groups.size(); ++g) {
    const auto& bands = groups[g];
    const GroupSpan at = group_span(count, layout.levels, bands);
    codes.clear();
    append_span_codes(quantized.subspan(at.offset, at.length), knobs, codes);
    put_group(bands, codes);
    // A group without headers fills the span it inherits once more; never
    // after the last group, which ends the plane stream.
    if (knobs.empty_groups && g == 0 && groups.size() > 1) put_group({}, codes);
  }
}

}  // namespace qzr::enc
