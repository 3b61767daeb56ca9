// Hand-built plane streams and intermediate data for the decoder's tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace qzr::test {

struct Bytes {
  std::vector<uint8_t> b;
  Bytes& u8(int v) {
    b.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  Bytes& be16(int v) { return u8(v >> 8).u8(v); }
  Bytes& be32(int64_t v) { return be16(static_cast<int>(v >> 16)).be16(static_cast<int>(v)); }
  Bytes& raw(std::initializer_list<int> bytes) {
    for (int v : bytes) u8(v);
    return *this;
  }
  Bytes& text(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& append(const Bytes& other) {
    b.insert(b.end(), other.b.begin(), other.b.end());
    return *this;
  }
};

// Plane stream header: marker, levels, width, height, scale.
inline Bytes plane_header(int levels, int width, int height, int scale) {
  return Bytes().u8(0xFF).u8(levels).be16(width).be16(height).be16(scale);
}

// A group whose tree is one leaf: `count` copies of `code`, no code bits.
inline Bytes single_leaf_group(std::initializer_list<std::pair<int, int>> bands_and_steps, int64_t count,
                               uint16_t code) {
  Bytes g;
  for (auto [band, step] : bands_and_steps) g.u8(0x80 | band).be16(step);
  g.u8(0x00).be32(count).u8(0x01).u8(code & 0xFF).u8(code >> 8);
  return g;
}

// A coefficient code for a single value.
inline uint16_t value_code(int v) { return static_cast<uint16_t>(v < 0 ? 0x4000 | -v : v); }
inline uint16_t run_code(int exponent) { return static_cast<uint16_t>(0x8000 | exponent); }

// A complete-tree group: codes listed explicitly, each coded with a fixed
// length over a balanced tree of leaves (one per distinct code, padded to a
// power of two by repeating the last), bits LSB-first.
inline Bytes explicit_group(std::initializer_list<std::pair<int, int>> bands_and_steps,
                            const std::vector<uint16_t>& codes) {
  std::vector<uint16_t> leaves;
  for (uint16_t c : codes) {
    bool seen = false;
    for (uint16_t l : leaves) seen = seen || l == c;
    if (!seen) leaves.push_back(c);
  }
  int depth = 0;
  while ((size_t{1} << depth) < leaves.size()) ++depth;
  if (depth == 0) depth = 1;  // keep a real tree: two leaves at least
  while (leaves.size() < (size_t{1} << depth)) leaves.push_back(leaves.back());
  Bytes g;
  for (auto [band, step] : bands_and_steps) g.u8(0x80 | band).be16(step);
  g.u8(0x00).be32(static_cast<int64_t>(codes.size()));
  // Pre-order over a complete tree: leaf i sits at the path of i's bits, most
  // significant first from the root.
  struct Emit {
    Bytes& g;
    const std::vector<uint16_t>& leaves;
    int depth;
    void node(int level, size_t prefix) {
      if (level == depth) {
        uint16_t c = leaves[prefix];
        g.u8(0x01).u8(c & 0xFF).u8(c >> 8);
        return;
      }
      g.u8(0x00);
      node(level + 1, prefix << 1);
      node(level + 1, prefix << 1 | 1);
    }
  } emit{g, leaves, depth};
  emit.node(0, 0);
  uint32_t acc = 0;
  int nbits = 0;
  for (uint16_t c : codes) {
    size_t index = 0;
    while (leaves[index] != c) ++index;
    for (int level = depth - 1; level >= 0; --level) {  // root's bit first
      acc |= static_cast<uint32_t>((index >> level) & 1) << nbits;
      if (++nbits == 8) {
        g.u8(static_cast<int>(acc));
        acc = 0;
        nbits = 0;
      }
    }
  }
  if (nbits > 0) g.u8(static_cast<int>(acc));
  return g;
}

// A random stored code tree (pre-order, 0x00 internal, 0x01 leaf + code),
// at most max_depth deep; `leaf()` gives each leaf's code.
template <class Leaf>
void random_code_tree(std::mt19937& rng, int depth, int max_depth, std::vector<uint8_t>& out, Leaf&& leaf) {
  if (depth == max_depth || (depth > 0 && rng() % 3 == 0)) {
    const uint16_t code = leaf();
    out.insert(out.end(), {0x01, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)});
    return;
  }
  out.push_back(0x00);
  random_code_tree(rng, depth + 1, max_depth, out, leaf);
  random_code_tree(rng, depth + 1, max_depth, out, leaf);
}

}  // namespace qzr::test
