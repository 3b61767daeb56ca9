// Code decoding and expansion: the lookup-table walk and the expansion over
// zeros against the bit-by-bit walk that writes every run, on the same code
// tree, codes and span. The same coefficients, the same count filled, and
// the same bytes consumed.
#include <vector>

#include "codec/huffman_codes.h"
#include "fuzz_input.h"

using namespace qzr;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput input{{data, size}};
  const uint8_t flags = input.u8();
  // A count past the data (end-of-data codes), now and then a huge one.
  const int64_t count = flags & 1 ? int64_t{input.take(3)} << (input.u8() % 24) : input.u16();
  const size_t array = 1 + input.u16();
  const int64_t offset = input.u16() % array;
  const int64_t length = flags & 2 ? int64_t{1} << 40 : input.u16();
  const bool prefilled = flags & 4;  // a span over earlier values, not zeros
  const std::span<const uint8_t> stream = input.rest();

  ByteReader tree_in = memory_reader(stream);
  Expected<CodeTree> tree = read_code_tree(tree_in);
  if (!tree.ok()) return 0;
  const std::span<const uint8_t> codes = stream.subspan(tree_in.offset());

  std::vector<int16_t> reference(array, 0);
  if (prefilled)
    for (size_t i = 0; i < array; ++i) reference[i] = static_cast<int16_t>(i * 2654435761u >> 17);
  std::vector<int16_t> fast = reference, bitwise_over_zeros = reference;

  ByteReader a = memory_reader(codes);
  SpanExpander plain_span = make_span_expander(reference, offset, length);
  decode_and_expand(a, tree.value(), count, plain_span, false, CodeWalk::bitwise);

  // Over zeros only where the span really holds zeros.
  ByteReader b = memory_reader(codes);
  SpanExpander fast_span = make_span_expander(fast, offset, length);
  decode_and_expand(b, tree.value(), count, fast_span, !prefilled, CodeWalk::lookup);
  if (fast != reference || fast_span.filled != plain_span.filled || b.offset() != a.offset()) fuzz::differs();

  ByteReader c = memory_reader(codes);
  SpanExpander over_span = make_span_expander(bitwise_over_zeros, offset, length);
  decode_and_expand(c, tree.value(), count, over_span, !prefilled, CodeWalk::bitwise);
  if (bitwise_over_zeros != reference || over_span.filled != plain_span.filled || c.offset() != a.offset())
    fuzz::differs();
  return 0;
}
