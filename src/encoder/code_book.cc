#include "encoder/code_book.h"

#include <algorithm>

#include "codec/band_layout.h"

namespace qzr::enc {
namespace {

constexpr int kCodeSpace = 1 << 16;

}  // namespace

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

}  // namespace qzr::enc
