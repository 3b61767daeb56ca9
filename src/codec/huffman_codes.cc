#include "codec/huffman_codes.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace qzr {

Expected<CodeTree> read_code_tree(ByteReader& in) {
  CodeTree tree;
  std::vector<int32_t> pending;  // internal nodes whose one_child is still to come
  for (;;) {
    int32_t index = static_cast<int32_t>(tree.size());
    tree.push_back(CodeTreeNode{});
    int byte = in.read_byte() & 0xFF;  // the end of the data reads as 0xFF: invalid
    if (byte == kTreeInternal) {
      // Pre-order: the zero_child subtree is the very next node.
      pending.push_back(index);
      tree[static_cast<size_t>(index)].zero_child = index + 1;
      continue;
    }
    if (byte != kTreeLeaf) return format_failure("Error reading Huffman Tree!\n");
    int lo = in.read_byte() & 0xFF;
    int hi = in.read_byte() & 0xFF;
    tree[static_cast<size_t>(index)].code = static_cast<uint16_t>(hi * 256 + lo);
    if (pending.empty()) return tree;
    int32_t parent = pending.back();
    pending.pop_back();
    tree[static_cast<size_t>(parent)].one_child = static_cast<int32_t>(tree.size());
  }
}

SpanExpander make_span_expander(std::span<int16_t> coefficients, int64_t offset, int64_t length) {
  int64_t room = static_cast<int64_t>(coefficients.size()) - offset;
  int64_t limit = std::max<int64_t>(0, std::min(length, room));
  return SpanExpander{coefficients.data(), offset, limit};
}

void SpanExpander::add_zero_run(uint16_t code) {
  unsigned e = code & kRunExponentMask;
  if (e == kEmptyRunExponent) return;
  int64_t run = std::min<int64_t>(int64_t{1} << e, limit - filled);
  std::fill_n(coefficients + offset + filled, run, int16_t{0});
  filled += run;
}

void SpanExpander::add_repeated(uint16_t code, uint64_t times) {
  if (full() || times == 0) return;
  if (code & kZeroRunFlag) {
    unsigned e = code & kRunExponentMask;
    if (e == kEmptyRunExponent) return;
    // times * 2^e may exceed 64 bits only in theory: cap by what is left.
    uint64_t left = static_cast<uint64_t>(limit - filled);
    uint64_t per = uint64_t{1} << e;
    uint64_t run = times >= (left + per - 1) / per ? left : times * per;
    std::fill_n(coefficients + offset + filled, run, int16_t{0});
    filled += static_cast<int64_t>(run);
    return;
  }
  const uint64_t n = std::min<uint64_t>(times, static_cast<uint64_t>(limit - filled));
  std::fill_n(coefficients + offset + filled, n, code_value(code));
  filled += static_cast<int64_t>(n);
}

namespace {

// The leaf at the end of the all-ones path: what every code decodes to once
// only end-of-data bits remain.
uint16_t all_ones_code(const CodeTree& tree) {
  const CodeTreeNode* node = tree.data();
  while (node->zero_child >= 0) node = tree.data() + node->one_child;
  return node->code;
}

// Bit by bit through the tree, one byte read whenever a bit is needed and the
// last byte is used up; past the end of the data every byte reads as 0xFF.
// With `stop_at_end` the walk ends instead at the first code that needs a
// bit past the end of the data.
template <class Sink>
void walk_codes_bitwise(ByteReader& in, const CodeTree& tree, int64_t count, Sink& sink, bool stop_at_end) {
  const CodeTreeNode* nodes = tree.data();
  uint32_t byte = 0, mask = 0;
  bool byte_is_end = false;  // the current byte stands for the end of the data
  for (int64_t i = 0; i < count; ++i) {
    if (byte_is_end || (mask == 0 && in.at_end())) {
      if (!byte_is_end) ++in.ends_met;
      if (!stop_at_end) sink.repeated(all_ones_code(tree), static_cast<uint64_t>(count - i));
      return;
    }
    const CodeTreeNode* node = nodes;
    while (node->zero_child >= 0) {
      if (mask == 0) {
        int c = in.read_byte();
        byte_is_end = c == kEndOfFile;
        if (byte_is_end && stop_at_end) return;
        byte = static_cast<uint32_t>(c) & 0xFF;
        mask = 1;
      }
      node = nodes + ((byte & mask) ? node->one_child : node->zero_child);
      mask = (mask << 1) & 0xFF;
    }
    if (mask == 0) byte_is_end = false;  // the next code starts on a new byte
    sink.one(node->code);
  }
}

// The same walk over bytes held in memory, kLookupBits bits at a time through
// a table built for the tree; it consumes exactly the bytes the bitwise walk
// consumes. Worth its table only for groups with many codes.
constexpr int kLookupBits = 12;
constexpr int64_t kLookupMinCodes = 4096;
constexpr std::ptrdiff_t kLookupMinBytes = 512;

// What kLookupBits bits starting a code give: the first code when it ends
// within them (and the second when that does too), else where the walk
// stands after all of them.
struct LookupEntry {
  uint16_t code = 0, second_code = 0;
  uint8_t bits = 0;       // bits the first code takes, 1..kLookupBits; 0: not a leaf yet
  uint8_t both_bits = 0;  // bits both codes take; 0: no second code within the bits
  int32_t node = 0;
};

// The walk from `node` over the bits of `pattern` from bit `used` on, up to
// kLookupBits; `used` ends after the bits taken.
int32_t walk_pattern(const CodeTree& tree, uint32_t pattern, int32_t node, int& used) {
  while (tree[static_cast<size_t>(node)].zero_child >= 0 && used < kLookupBits) {
    const CodeTreeNode& n = tree[static_cast<size_t>(node)];
    node = ((pattern >> used) & 1) ? n.one_child : n.zero_child;
    ++used;
  }
  return node;
}

std::vector<LookupEntry> build_lookup(const CodeTree& tree) {
  std::vector<LookupEntry> table(size_t{1} << kLookupBits);
  for (uint32_t pattern = 0; pattern < table.size(); ++pattern) {
    LookupEntry& e = table[pattern];
    int used = 0;
    e.node = walk_pattern(tree, pattern, 0, used);
    if (tree[static_cast<size_t>(e.node)].zero_child >= 0) continue;
    e.code = tree[static_cast<size_t>(e.node)].code;
    e.bits = static_cast<uint8_t>(used);
    if (used == kLookupBits) continue;
    const int32_t second = walk_pattern(tree, pattern, 0, used);
    if (tree[static_cast<size_t>(second)].zero_child >= 0) continue;
    e.second_code = tree[static_cast<size_t>(second)].code;
    e.both_bits = static_cast<uint8_t>(used);
  }
  return table;
}

template <class Sink>
void walk_codes_in_memory(ByteReader& in, const CodeTree& tree, int64_t count, Sink& sink, bool stop_at_end) {
  const std::vector<LookupEntry> table = build_lookup(tree);
  const CodeTreeNode* nodes = tree.data();
  const uint8_t* data = in.pos;
  uint64_t size = static_cast<uint64_t>(in.end - in.pos);
  uint64_t total_bits = size * 8;
  // True when the first `bytes` bytes are there; memory still being filled
  // is waited for until they are, or until it is known that they never will.
  auto arrived = [&](uint64_t bytes) {
    while (size < bytes && in.grow()) {
      size = static_cast<uint64_t>(in.end - data);
      total_bits = size * 8;
    }
    return size >= bytes;
  };
  // The 64 bits from bit `at` on, LSB-first; bits past the end are ones.
  auto peek = [&](uint64_t at) -> uint64_t {
    const uint64_t index = at >> 3;
    uint64_t word = ~uint64_t{0};
    if (index + 8 <= size || arrived(index + 8)) {
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&word, data + index, 8);
      } else {
        word = 0;
        for (int k = 7; k >= 0; --k) word = word << 8 | data[index + static_cast<uint64_t>(k)];
      }
    } else {
      for (uint64_t k = 8; k-- > 0;) word = word << 8 | (index + k < size ? data[index + k] : 0xFF);
    }
    return word >> (at & 7);
  };
  uint64_t at = 0;  // bits consumed
  int64_t i = 0;
  for (; i < count; ++i) {
    if (at >= total_bits && !arrived(at / 8 + 1)) break;  // only end-of-data bits remain
    uint64_t bits = peek(at);
    const LookupEntry& e = table[bits & ((1u << kLookupBits) - 1)];
    // Whether the bits up to `bit` are all there, when only those count.
    const auto beyond_data = [&](uint64_t bit) { return stop_at_end && bit > total_bits && !arrived((bit + 7) / 8); };
    if (e.bits != 0) {
      if (beyond_data(at + e.bits)) break;
      sink.one(e.code);
      // The second code only where the one-at-a-time walk would take it
      // too: within the count, and not from end-of-data bits.
      if (e.both_bits != 0 && i + 1 < count && at + e.bits < total_bits && !beyond_data(at + e.both_bits)) {
        sink.one(e.second_code);
        ++i;
        at += e.both_bits;
      } else {
        at += e.bits;
      }
      continue;
    }
    at += kLookupBits;
    const CodeTreeNode* node = nodes + e.node;
    bits = peek(at);
    int used = 0;
    while (node->zero_child >= 0) {
      if (used == 56) {
        at += 56;
        bits = peek(at);
        used = 0;
      }
      node = nodes + (((bits >> used) & 1) ? node->one_child : node->zero_child);
      ++used;
    }
    if (beyond_data(at + static_cast<uint64_t>(used))) break;
    at += static_cast<uint64_t>(used);
    sink.one(node->code);
  }
  if (i < count && !stop_at_end) sink.repeated(all_ones_code(tree), static_cast<uint64_t>(count - i));
  if (i < count || at > total_bits) ++in.ends_met;
  // Every byte that gave a bit is consumed; those past the end were never
  // there. A walk stopped by the end has read every byte, as the bitwise one.
  const bool stopped = i < count && stop_at_end;
  in.pos = data + (stopped ? size : std::min(size, (at + 7) / 8));
}

// Walks `count` codes through the tree, handing each to `sink`. Once only
// end-of-data bits remain, the rest of the codes are all one leaf and go to
// the sink at once, so a huge count cannot hang.
template <class Sink>
void walk_codes(ByteReader& in, const CodeTree& tree, int64_t count, Sink&& sink, CodeWalk walk = CodeWalk::by_size,
                bool stop_at_end = false) {
  if (count <= 0) return;
  if (tree[0].zero_child < 0) {  // a single leaf takes no bits
    sink.repeated(tree[0].code, static_cast<uint64_t>(count));
    return;
  }
  if (walk == CodeWalk::by_size)
    walk = count >= kLookupMinCodes && (in.end - in.pos >= kLookupMinBytes || in.growing != nullptr) ? CodeWalk::lookup
                                                                                                   : CodeWalk::bitwise;
  if (in.file == nullptr && walk == CodeWalk::lookup)  // the table reads the bytes in place
    walk_codes_in_memory(in, tree, count, sink, stop_at_end);
  else
    walk_codes_bitwise(in, tree, count, sink, stop_at_end);
}

}  // namespace

void decode_and_expand(ByteReader& in, const CodeTree& tree, int64_t symbol_count, SpanExpander& span, bool over_zeros,
                       CodeWalk walk, bool stop_at_end) {
  struct Sink {
    SpanExpander& span;
    void one(uint16_t c) { span.add(c); }
    void repeated(uint16_t c, uint64_t n) { span.add_repeated(c, n); }
  };
  // Over zeros a run only moves the position, and every code can go without
  // a branch on its kind: a value code stores its value and moves by one, a
  // run stores a zero (already there) and moves by its length, the empty run
  // stores a zero and stays; nothing is stored once the span is full.
  struct OverZeros {
    SpanExpander& span;
    void one(uint16_t c) {
      const int64_t is_run = c >> 15;
      const unsigned exponent = c & kRunExponentMask;
      const int16_t value = static_cast<int16_t>(code_value(c) & static_cast<int32_t>(is_run - 1));  // 0 for a run
      const int64_t run = exponent == kEmptyRunExponent ? 0 : int64_t{1} << exponent;
      const int64_t advance = is_run ? run : 1;
      if (span.filled < span.limit) span.coefficients[span.offset + span.filled] = value;
      span.filled = std::min(span.filled + advance, span.limit);
    }
    void repeated(uint16_t c, uint64_t n) { span.add_repeated(c, n); }
  };
  if (over_zeros) {
    OverZeros sink{span};
    walk_codes(in, tree, symbol_count, sink, walk, stop_at_end);
  } else {
    Sink sink{span};
    walk_codes(in, tree, symbol_count, sink, walk, stop_at_end);
  }
}

std::vector<uint16_t> decode_codes(ByteReader& in, const CodeTree& tree, int32_t symbol_count) {
  std::vector<uint16_t> codes;
  struct Sink {
    std::vector<uint16_t>& codes;
    void one(uint16_t c) { codes.push_back(c); }
    void repeated(uint16_t c, uint64_t n) { codes.insert(codes.end(), n, c); }
  } sink{codes};
  walk_codes(in, tree, symbol_count, sink);
  return codes;
}

void expand_codes(std::span<const uint16_t> codes, int32_t span_length, std::span<int16_t> coefficients,
                  int32_t span_offset) {
  SpanExpander span = make_span_expander(coefficients, span_offset, span_length);
  for (size_t i = 0; i < codes.size() && !span.full(); ++i) span.add(codes[i]);
}

}  // namespace qzr
