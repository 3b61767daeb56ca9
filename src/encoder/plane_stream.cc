#include "encoder/plane_stream.h"

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

std::vector<std::vector<int>> band_groups(int levels) {
  std::vector<std::vector<int>> groups = {{0, 1, 2, 3}};
  for (int b = 4; b < band_count(levels); b += 3) groups.push_back({b, b + 1, b + 2});
  return groups;
}

GroupSpan group_span(int32_t count, int levels, std::span<const int> bands) {
  int64_t length = 0;
  for (int b : bands) length += band_size(count, levels, band_level(b));
  return {static_cast<size_t>(band_offset(count, levels, bands.front())), static_cast<size_t>(length)};
}

void append_span_codes(std::span<const int16_t> quantized, std::vector<uint16_t>& codes) {
  const size_t n = quantized.size();
  size_t i = 0;
  while (i < n) {
    if (quantized[i] != 0) {
      codes.push_back(value_code(quantized[i]));
      ++i;
      continue;
    }
    size_t j = i;
    while (j < n && quantized[j] == 0) ++j;
    const uint64_t run = j - i;
    if (j == n) {
      // The trailing run may overrun the span: the decoder cuts it there.
      codes.push_back(run_code(ceil_log2(run)));
    } else {
      for (uint64_t left = run; left != 0; left ^= uint64_t{1} << (std::bit_width(left) - 1))
        codes.push_back(run_code(std::bit_width(left) - 1));
    }
    i = j;
  }
}

void append_plane_header(std::vector<uint8_t>& out, const PlaneLayout& layout) {
  out.push_back(kPlaneMarker);
  out.push_back(static_cast<uint8_t>(layout.levels));
  put_be16(out, layout.width);
  put_be16(out, layout.height);
  put_be16(out, layout.scale);
}

void append_band_group(std::vector<uint8_t>& out, std::span<const int> bands, std::span<const int16_t> steps,
                       std::span<const uint16_t> codes, CodeBook& book) {
  for (int b : bands) {
    out.push_back(static_cast<uint8_t>(kBandHeaderFlag | b));
    put_be16(out, steps[static_cast<size_t>(b)]);
  }
  out.push_back(kHeaderListEnd);
  put_be32(out, static_cast<uint32_t>(codes.size()));
  book.build(codes);
  out.insert(out.end(), book.tree().begin(), book.tree().end());
  book.write_codes(codes, out);
}

void write_plane_stream(std::vector<uint8_t>& out, const PlaneLayout& layout, std::span<const int16_t> steps,
                        std::span<const int16_t> quantized, CodeBook* scratch_book) {
  append_plane_header(out, layout);
  const int32_t count = layout.width * layout.height;
  std::unique_ptr<CodeBook> own_book;
  if (scratch_book == nullptr) own_book = std::make_unique<CodeBook>();
  CodeBook& book = scratch_book != nullptr ? *scratch_book : *own_book;
  std::vector<uint16_t> codes;
  for (const auto& bands : band_groups(layout.levels)) {
    const GroupSpan at = group_span(count, layout.levels, bands);
    codes.clear();
    append_span_codes(quantized.subspan(at.offset, at.length), codes);
    append_band_group(out, bands, steps, codes, book);
  }
}

}  // namespace qzr::enc
