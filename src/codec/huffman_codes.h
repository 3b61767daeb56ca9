// Code trees and coefficient codes of a band group.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/band_layout.h"
#include "common/byte_io.h"
#include "common/failure.h"

namespace qzr {

// One node of a code tree, held in a flat array; a leaf has no children.
struct CodeTreeNode {
  int32_t zero_child = -1;  // index into the tree, -1 in a leaf
  int32_t one_child = -1;
  uint16_t code = 0;  // the coefficient code of a leaf
};

// Node 0 is the root.
using CodeTree = std::vector<CodeTreeNode>;

// Reads a stored tree (pre-order; 0x00 internal, 0x01 leaf + code little-endian)
// without recursion, so a deep hostile tree cannot exhaust the stack. An
// invalid node byte or the end of the data where a node byte is due fails
// with "Error reading Huffman Tree!\n".
Expected<CodeTree> read_code_tree(ByteReader& in);

// Writes a group's codes into its span: offset, length, and nothing outside
// the span or the array. The quantized values (-16383..16383) fit 16 bits.
struct SpanExpander {
  int16_t* coefficients;
  int64_t offset;
  int64_t limit;  // span length, cut at the end of the array
  int64_t filled = 0;

  bool full() const { return filled >= limit; }
  void add(uint16_t code) {
    if (full()) return;
    if (code & kZeroRunFlag) {
      add_zero_run(code);
      return;
    }
    coefficients[offset + filled] = code_value(code);
    ++filled;
  }
  void add_zero_run(uint16_t code);
  void add_repeated(uint16_t code, uint64_t times);  // the same code `times` times
};

SpanExpander make_span_expander(std::span<int16_t> coefficients, int64_t offset, int64_t length);

// Decodes `symbol_count` codes (LSB-first bits, starting on a fresh byte) and
// expands them into the span. Consumes exactly the bits those codes take; once
// only end-of-data bits (all ones) remain, the rest of the codes are all one
// leaf and are expanded without walking, so a huge count cannot hang (and the
// reader's ends_met counts that the codes ran past the end).
// `over_zeros` tells that the span holds only zeros yet, so that zero runs
// need not be written out.
//
// Codes are read bit by bit through the tree, or from memory through a
// lookup table of 12-bit patterns, which pays for itself only over many codes
// and bytes (`by_size` chooses so). Both read the same codes and consume the
// same bytes; `bitwise` with `over_zeros` false is the plain reference form.
//
// With `stop_at_end` the codes end instead at the first one that needs a bit
// past the end of the data: only what the data decide is expanded (and
// ends_met counts the stop).
enum class CodeWalk { by_size, bitwise, lookup };
void decode_and_expand(ByteReader& in, const CodeTree& tree, int64_t symbol_count, SpanExpander& span,
                       bool over_zeros = false, CodeWalk walk = CodeWalk::by_size, bool stop_at_end = false);

// The two steps on their own: decode into a buffer, then expand a buffer.
std::vector<uint16_t> decode_codes(ByteReader& in, const CodeTree& tree, int32_t symbol_count);
void expand_codes(std::span<const uint16_t> codes, int32_t span_length, std::span<int16_t> coefficients,
                  int32_t span_offset);

}  // namespace qzr
