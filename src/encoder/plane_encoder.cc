#include "encoder/plane_encoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <future>
#include <memory>

#include "codec/band_layout.h"
#include "codec/dequantize.h"
#include "codec/wavelet_synthesis.h"
#include "encoder/forward_wavelet.h"

namespace qzr::enc {
namespace {

constexpr int kCodeSpace = 1 << 16;
constexpr int kLargestRunExponent = 30;  // 2^30 zeros; 31 stands for nothing

uint16_t value_code(int16_t v) {
  return v < 0 ? static_cast<uint16_t>(kNegativeFlag | (-v & kMagnitudeMask)) : static_cast<uint16_t>(v);
}
uint16_t run_code(int exponent) { return static_cast<uint16_t>(kZeroRunFlag | exponent); }

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

// Where a band group's values lie in the plane: offset and length.
struct GroupSpan {
  size_t offset;
  size_t length;
};
GroupSpan group_span(int32_t count, int levels, std::span<const int> bands) {
  int64_t length = 0;
  for (int b : bands) length += band_size(count, levels, band_level(b));
  return {static_cast<size_t>(band_offset(count, levels, bands.front())), static_cast<size_t>(length)};
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

int16_t quantize_value(float c, int16_t step, const QuantizerShape& shape) {
  if (step == 0) return 0;
  const double magnitude_step = std::abs(static_cast<double>(step));
  const double a = std::abs(static_cast<double>(c)) / magnitude_step;
  if (!(a >= shape.zero_zone)) return 0;  // also catches a NaN
  const int sign = (c < 0) != (step < 0) ? -1 : 1;
  int k = static_cast<int>(std::min(std::floor(a + 0.18 + shape.rounding), static_cast<double>(kMaxMagnitude)));
  k = std::max(k, 1);
  if (magnitude_step <= 4) {
    // Small steps: the rounding of the reconstruction matters; take the
    // nearest of the neighbouring cells outright.
    int best = k;
    double best_error = 1e300;
    for (int cand = std::max(1, k - 1); cand <= std::min(kMaxMagnitude, k + 1); ++cand) {
      const double err = std::abs(static_cast<double>(c) - dequantize_value(step, static_cast<int16_t>(sign * cand)));
      if (err < best_error) {
        best_error = err;
        best = cand;
      }
    }
    k = best;
  }
  return static_cast<int16_t>(sign * k);
}

SpanBand span_band(const PlaneLayout& layout, int band, int16_t step) {
  const int32_t count = layout.width * layout.height;
  SpanBand sb{band_size(count, layout.levels, band_level(band)), step};
  if (band == 0) return sb;
  // Orientation 0 is low-pass along x and high-pass along y, stored row by
  // row; 1 the other way round, stored column by column; 2 high-pass both
  // ways, row by row.
  const int orientation = (band - 1) % 3, j = layout.levels - band_level(band);
  const double x = neighbour_overlap(j, orientation != 0), y = neighbour_overlap(j, orientation != 1);
  const bool by_columns = orientation == 1;
  sb.row = (by_columns ? layout.height : layout.width) >> j;
  sb.along = by_columns ? y : x;
  sb.across = by_columns ? x : y;
  return sb;
}

void refine_span(std::span<int16_t> quantized, std::span<const float> coefficients, std::span<const SpanBand> bands,
                 double lambda, CodeBook& book, std::vector<uint16_t>& codes, std::vector<float>& errors) {
  if (lambda <= 0 || quantized.empty()) return;
  codes.clear();
  append_span_codes(quantized, TestKnobs{}, codes);
  book.build(codes);
  // Bits of a code; one the group does not use yet costs a little more than
  // its rarest.
  int longest = 1;
  for (uint16_t c : codes) longest = std::max(longest, book.length(c));
  auto bits = [&](uint16_t c) {
    const int l = book.length(c);
    return l > 0 ? static_cast<double>(l) : longest + 2.0;
  };
  double run_bits[kLargestRunExponent + 1];
  for (int e = 0; e <= kLargestRunExponent; ++e) run_bits[e] = bits(run_code(e));
  // A run of n zeros inside the span: its power-of-two pieces; 0 for none.
  auto run_cost = [&](uint64_t n) {
    double b = 0;
    for (; n != 0; n &= n - 1) b += run_bits[std::countr_zero(n)];
    return b;
  };
  const size_t n = quantized.size();
  auto band_step = [&](size_t b) { return bands.empty() ? int16_t{1} : bands[b].step; };

  // Each value's current error, where the bands' overlaps couple them.
  const bool coupled = std::any_of(bands.begin(), bands.end(), [](const SpanBand& b) { return b.row > 0 && b.refine; });
  if (coupled) {
    errors.resize(n);
    size_t b = 0;
    for (int64_t k = 0, end = bands[0].length; k < static_cast<int64_t>(n); ++k) {
      while (b + 1 < bands.size() && k >= end) end += bands[++b].length;
      const int16_t v = quantized[static_cast<size_t>(k)];
      errors[static_cast<size_t>(k)] = coefficients[static_cast<size_t>(k)] -
                                       (v == 0 ? 0.0f : static_cast<float>(dequantize_value(bands[b].step, v)));
    }
  }
  // What value i of a band starting at `start` aims at: its coefficient plus
  // the overlapping part of its neighbours' errors.
  auto aim = [&](size_t i, const SpanBand& sb, int64_t start) {
    double a = coefficients[i];
    if (sb.row <= 0) return a;
    const int64_t at = static_cast<int64_t>(i) - start, x = at % sb.row, y = at / sb.row, rows = sb.length / sb.row;
    for (int dy = -1; dy <= 1; ++dy) {
      if (y + dy < 0 || y + dy >= rows) continue;
      for (int dx = -1; dx <= 1; ++dx) {
        if ((dx == 0 && dy == 0) || x + dx < 0 || x + dx >= sb.row) continue;
        const double w = (dx != 0 ? sb.along : 1.0) * (dy != 0 ? sb.across : 1.0);
        a += w * errors[static_cast<size_t>(static_cast<int64_t>(i) + dy * sb.row + dx)];
      }
    }
    return a;
  };

  size_t i = 0, run_before = 0;  // zeros just before i
  size_t next_value = 0;         // the first value after i, once looked for
  size_t band = 0;
  int64_t band_end = bands.empty() ? static_cast<int64_t>(n) : bands[0].length;
  while (i < n) {
    while (band + 1 < bands.size() && static_cast<int64_t>(i) >= band_end) band_end += bands[++band].length;
    const bool refine = bands.empty() || bands[band].refine;
    const bool coupled_band = refine && !bands.empty() && bands[band].row > 0;
    const int16_t step = band_step(band);
    // A zero is reconsidered only in a coupled band, and only when its
    // coefficient is within reach of the dead zone's edge: the others are
    // passed over in one tight loop.
    const float reach = coupled_band ? 0.3f * std::abs(static_cast<float>(step)) : HUGE_VALF;
    const size_t limit = std::min(n, static_cast<size_t>(band_end));
    const size_t zeros_from = i;
    while (i < limit && quantized[i] == 0 && !(std::abs(coefficients[i]) >= reach)) ++i;
    run_before += i - zeros_from;
    if (i == limit) continue;
    const int16_t v = quantized[i];
    if (!refine) {
      run_before = v == 0 ? run_before + 1 : 0;
      ++i;
      continue;
    }
    const double target = coupled_band ? aim(i, bands[band], band_end - bands[band].length) : coefficients[i];
    const int16_t nearest = coupled_band ? quantize_value(static_cast<float>(target), step, QuantizerShape{}) : 0;
    if (v == 0 && nearest == 0) {
      ++run_before;
      ++i;
      continue;
    }
    const double weight = lambda * static_cast<double>(step) * step;
    // Zeros just after i, up to the next value or the span's end (where the
    // trailing run is one code, which this leaves as it is). Nothing past i
    // has changed since the last look, so a run is scanned once.
    if (next_value <= i) {
      next_value = i + 1;
      while (next_value < n && quantized[next_value] == 0) ++next_value;
    }
    const size_t j = next_value;
    const size_t run_after = j - i - 1;
    const bool trailing = j == n;
    const double keep_runs = run_cost(run_before) + (trailing ? 0 : run_cost(run_after));
    const double merged = trailing ? (run_before > 0 ? run_cost(run_before) : 0) : run_cost(run_before + 1 + run_after);
    auto cost = [&](int16_t k) {
      const double d = target - dequantize_value(step, k);
      return d * d + weight * (k == 0 ? merged : bits(value_code(k)) + keep_runs);
    };
    // The current value first, so that it stays on a tie.
    int16_t choice = v;
    double best = cost(v);
    auto consider = [&](int16_t k) {
      if (k == choice) return;
      const double c = cost(k);
      if (c < best) {
        best = c;
        choice = k;
      }
    };
    if (v != 0) {
      consider(static_cast<int16_t>(v > 0 ? v - 1 : v + 1));
      if (nearest != 0 && (nearest > 0) == (v > 0)) consider(nearest);
    } else {
      consider(nearest);
    }
    consider(0);
    quantized[i] = choice;
    if (coupled) errors[i] = coefficients[i] - static_cast<float>(dequantize_value(step, choice));
    run_before = choice == 0 ? run_before + 1 : 0;
    ++i;
  }
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

CodeBook::CodeBook() : count_(kCodeSpace, 0), bits_(kCodeSpace, 0), length_(kCodeSpace, 0) {}

void CodeBook::build(std::span<const uint16_t> codes) {
  for (uint16_t c : used_) {
    count_[c] = 0;
    length_[c] = 0;
    bits_[c] = 0;
  }
  used_.clear();
  tree_.clear();
  for (uint16_t c : codes)
    if (count_[c]++ == 0) used_.push_back(c);
  if (used_.empty()) used_.push_back(0);  // a group without codes still stores a tree
  if (used_.size() == 1) {
    tree_ = {kTreeLeaf, static_cast<uint8_t>(used_[0] & 0xFF), static_cast<uint8_t>(used_[0] >> 8)};
    return;
  }

  // Two-queue Huffman construction over leaves sorted by (count, code), so
  // that equal inputs give equal trees.
  struct Node {
    uint64_t weight;
    int zero = -1, one = -1;
    uint16_t code = 0;
  };
  std::vector<uint16_t> order = used_;
  std::sort(order.begin(), order.end(),
            [&](uint16_t a, uint16_t b) { return count_[a] != count_[b] ? count_[a] < count_[b] : a < b; });
  std::vector<Node> nodes;
  nodes.reserve(2 * order.size());
  for (uint16_t c : order) nodes.push_back(Node{count_[c], -1, -1, c});
  size_t leaf = 0, internal = order.size();
  auto take = [&]() {
    // The lighter front; a leaf on a tie.
    if (leaf < order.size() && (internal >= nodes.size() || nodes[leaf].weight <= nodes[internal].weight))
      return static_cast<int>(leaf++);
    return static_cast<int>(internal++);
  };
  while ((order.size() - leaf) + (nodes.size() - internal) > 1) {
    const int a = take();
    const int b = take();
    nodes.push_back(Node{nodes[static_cast<size_t>(a)].weight + nodes[static_cast<size_t>(b)].weight, a, b, 0});
  }

  // Pre-order walk without recursion; a zero branch is bit 0 of the path.
  struct Visit {
    int node;
    uint64_t bits;
    int depth;
  };
  std::vector<Visit> stack = {{static_cast<int>(nodes.size()) - 1, 0, 0}};
  while (!stack.empty()) {
    const Visit v = stack.back();
    stack.pop_back();
    const Node& n = nodes[static_cast<size_t>(v.node)];
    if (n.zero < 0) {
      tree_.push_back(kTreeLeaf);
      tree_.push_back(static_cast<uint8_t>(n.code & 0xFF));
      tree_.push_back(static_cast<uint8_t>(n.code >> 8));
      bits_[n.code] = v.bits;
      length_[n.code] = static_cast<uint8_t>(v.depth);  // below 64: a group has fewer than 2^40 codes
      continue;
    }
    tree_.push_back(kTreeInternal);
    stack.push_back({n.one, v.bits | uint64_t{1} << v.depth, v.depth + 1});
    stack.push_back({n.zero, v.bits, v.depth + 1});
  }
}

void CodeBook::write_codes(std::span<const uint16_t> codes, std::vector<uint8_t>& out) const {
  uint64_t acc = 0;
  int filled = 0;
  for (uint16_t c : codes) {
    uint64_t bits = bits_[c];
    int length = length_[c];
    while (length > 0) {
      const int chunk = std::min(length, 32);
      acc |= (bits & ((uint64_t{1} << chunk) - 1)) << filled;
      filled += chunk;
      bits >>= chunk;
      length -= chunk;
      while (filled >= 8) {
        out.push_back(static_cast<uint8_t>(acc & 0xFF));
        acc >>= 8;
        filled -= 8;
      }
    }
  }
  if (filled > 0) out.push_back(static_cast<uint8_t>(acc & 0xFF));
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

PlaneEncoder::PlaneEncoder(std::span<const float> target, int width, int height, int levels, int16_t scale) {
  layout_ = PlaneLayout{width, height, levels, scale};
  // Samples are stored multiplied by the scale; the decoder divides it out
  // with rounding. A zero scale turns every positive sample into 255 and
  // every other into 0, so the target is then the sample less its midpoint.
  RawVector<float> scaled(target.size());
  for (size_t i = 0; i < target.size(); ++i)
    scaled[i] = scale == 0 ? target[i] - 127.5f : target[i] * static_cast<float>(scale);
  coefficients_ = analyse_refined(scaled, width, height, levels, 1);
  energy_ = band_energies(levels);
}

void PlaneEncoder::change(std::span<const float> change, PlaneScratch& scratch) const {
  const float unit = layout_.scale == 0 ? 1.0f : static_cast<float>(layout_.scale);
  scratch.scaled.resize(change.size());
  for (size_t i = 0; i < change.size(); ++i) scratch.scaled[i] = change[i] * unit;
  // The analysis is linear: the change's coefficients add to the plane's.
  scratch.coefficients = coefficients_;
  analyse_adding(scratch.scaled, scratch.coefficients, layout_.width, layout_.height, layout_.levels, scratch.analysis);
}

std::vector<int16_t> PlaneEncoder::steps_for(double delta, bool negative, std::span<const float> coefficients) const {
  const double unit = layout_.scale == 0 ? 1.0 : std::abs(static_cast<double>(layout_.scale));
  const int32_t count = layout_.width * layout_.height;
  std::vector<int16_t> steps(energy_.size());
  for (size_t b = 0; b < steps.size(); ++b) {
    const int64_t offset = band_offset(count, layout_.levels, static_cast<int>(b));
    const int64_t size = band_size(count, layout_.levels, band_level(static_cast<int>(b)));
    float peak = 0;
    for (int64_t i = offset; i < offset + size; ++i)
      peak = std::max(peak, std::abs(coefficients[static_cast<size_t>(i)]));
    double s = std::round(delta * unit / std::sqrt(energy_[b]));
    // The largest magnitude a code holds is 16383.
    s = std::max(s, std::ceil(peak / (kMaxMagnitude - 1.0)));
    s = std::clamp(s, 1.0, 32767.0);
    steps[b] = static_cast<int16_t>(negative ? -s : s);
  }
  return steps;
}

const QuantizedPlane& PlaneEncoder::quantize_refined(double delta, const QuantizerShape& shape, bool negative_steps,
                                                     double lambda, PlaneScratch& scratch,
                                                     std::span<const float> coefficients, bool two_threads) const {
  if (coefficients.empty()) coefficients = coefficients_;
  QuantizedPlane& plane = scratch.quantized;
  plane.steps = steps_for(delta, negative_steps, coefficients);
  const int32_t count = layout_.width * layout_.height;
  plane.values.resize(static_cast<size_t>(count));
  // Group by group (the ordinary band groups, whatever the knobs say, so that
  // the knobs keep the picture): each group's values depend on its own
  // coefficients and code alone.
  auto code_group = [&](const std::vector<int>& group, RefineScratch& r) {
    std::vector<SpanBand> bands;
    for (int b : group) {
      const int64_t offset = band_offset(count, layout_.levels, b);
      const int64_t size = band_size(count, layout_.levels, band_level(b));
      const int16_t step = plane.steps[static_cast<size_t>(b)];
      for (int64_t i = offset; i < offset + size; ++i)
        plane.values[static_cast<size_t>(i)] = quantize_value(coefficients[static_cast<size_t>(i)], step, shape);
      SpanBand sb = span_band(layout_, b, step);
      // The low-pass band stays as quantized: it carries flat areas, which
      // come back exactly.
      sb.refine = b != 0;
      bands.push_back(sb);
    }
    if (lambda <= 0) return;
    const GroupSpan at = group_span(count, layout_.levels, group);
    auto span = std::span(plane.values).subspan(at.offset, at.length);
    auto values = coefficients.subspan(at.offset, at.length);
    // Twice: the second pass codes with the lengths the first one left.
    for (int pass = 0; pass < 2; ++pass) refine_span(span, values, bands, lambda, r.book, r.codes, r.errors);
  };
  const auto groups = band_groups(layout_.levels, TestKnobs{});
  if (two_threads && groups.size() > 1) {
    // The finest level's group, three quarters of the values, on a second
    // thread; the others on this one.
    auto finest = std::async(std::launch::async, [&] { code_group(groups.back(), scratch.refine[1]); });
    for (size_t g = 0; g + 1 < groups.size(); ++g) code_group(groups[g], scratch.refine[0]);
    finest.get();
  } else {
    for (const auto& group : groups) code_group(group, scratch.refine[0]);
  }
  return plane;
}

void reconstruct(const PlaneLayout& layout, const QuantizedPlane& plane, PlaneScratch& scratch) {
  const size_t count = size_t(layout.width) * size_t(layout.height);
  scratch.levels_odd.resize(count / 4);
  scratch.levels_even.resize(count / 16);
  scratch.samples.resize(count);
  const SampleScaler scaler(layout.scale, count);
  synthesise_plane(plane.values, plane.steps, scratch.levels_odd, scratch.levels_even, layout.width, layout.height,
                   layout.levels, scaler, scratch.samples);
}

}  // namespace qzr::enc
