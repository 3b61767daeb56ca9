#include "codec/huffman_codes.h"

#include <algorithm>

namespace qzr {

Result<CodeTree> read_code_tree(ByteReader& in) {
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

void SpanExpander::add(uint16_t code) {
  if (full()) return;
  if (code & kZeroRunFlag) {
    unsigned e = code & kRunExponentMask;
    if (e == kEmptyRunExponent) return;
    int64_t run = std::min<int64_t>(int64_t{1} << e, limit - filled);
    std::fill_n(coefficients + offset + filled, run, int16_t{0});
    filled += run;
    return;
  }
  int magnitude = code & kMagnitudeMask;
  coefficients[offset + filled] = static_cast<int16_t>((code & kNegativeFlag) ? -magnitude : magnitude);
  ++filled;
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
  uint64_t n = std::min<uint64_t>(times, static_cast<uint64_t>(limit - filled));
  for (uint64_t i = 0; i < n; ++i) add(code);
}

namespace {

// Walks `count` codes through the tree, handing each to `sink`; returns early
// (with the codes left) once every further bit is an end-of-data one bit.
template <class Sink>
void walk_codes(ByteReader& in, const CodeTree& tree, int64_t count, Sink&& sink) {
  if (count <= 0) return;
  const CodeTreeNode* nodes = tree.data();
  if (nodes[0].zero_child < 0) {  // a single leaf takes no bits
    sink.repeated(nodes[0].code, static_cast<uint64_t>(count));
    return;
  }
  uint32_t byte = 0, mask = 0;
  bool byte_is_end = false;  // the current byte stands for the end of the data
  for (int64_t i = 0; i < count; ++i) {
    if (byte_is_end || (mask == 0 && in.at_end())) {
      // Only one bits remain, here and in every later byte: the rest of the
      // codes are all the leaf at the end of the all-ones path.
      const CodeTreeNode* node = nodes;
      while (node->zero_child >= 0) node = nodes + node->one_child;
      sink.repeated(node->code, static_cast<uint64_t>(count - i));
      return;
    }
    const CodeTreeNode* node = nodes;
    while (node->zero_child >= 0) {
      if (mask == 0) {
        int c = in.read_byte();
        byte_is_end = c == kEndOfFile;
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

}  // namespace

void decode_and_expand(ByteReader& in, const CodeTree& tree, int64_t symbol_count, SpanExpander& span) {
  struct Sink {
    SpanExpander& span;
    void one(uint16_t c) { span.add(c); }
    void repeated(uint16_t c, uint64_t n) { span.add_repeated(c, n); }
  } sink{span};
  walk_codes(in, tree, symbol_count, sink);
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
