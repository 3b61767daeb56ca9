// The Huffman code of one band group's codes, built from their frequencies,
// its tree stored in pre-order and the codes' bits least significant first.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qzr::enc {

// A Huffman code for the codes of one group.
class CodeBook {
 public:
  CodeBook();
  void build(std::span<const uint16_t> codes);
  // Pre-order: 0x00 internal node then its zero and one subtrees; 0x01 leaf
  // then the code, low byte first.
  const std::vector<uint8_t>& tree() const { return tree_; }
  // Appends the codes' bits, least significant bit of each byte first,
  // completing the last byte with zero bits.
  void write_codes(std::span<const uint16_t> codes, std::vector<uint8_t>& out) const;
  int length(uint16_t code) const { return length_[code]; }

 private:
  std::vector<uint64_t> count_;
  std::vector<uint64_t> bits_;
  std::vector<uint8_t> length_;
  std::vector<uint16_t> used_;
  std::vector<uint8_t> tree_;
};

}  // namespace qzr::enc
