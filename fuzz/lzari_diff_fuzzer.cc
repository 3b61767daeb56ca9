// The fast LZARI expansion, in every vector form the CPU runs, against the
// plain one on the same payload: the same bytes, count, bits taken and
// failure, from memory and through a stream read in small pieces; and the
// bytes a payload cut short decides are those the whole one expands to.
#include <algorithm>
#include <cstdio>
#include <vector>

#include "container/lzari_decoder.h"
#include "fuzz_input.h"

namespace {

using namespace qzr;

struct Expansion {
  bool ok;
  uint64_t count;
  uint64_t bits_taken;
  uint64_t determined;
  std::string failure;
  std::vector<uint8_t> bytes;
  bool operator==(const Expansion&) const = default;
};

constexpr uint64_t kLimit = 1 << 16;  // output bound per case, for speed

template <class Expand>
Expansion expand(Expand decode, ByteReader in) {
  Expansion e{};
  ByteWriter w = memory_writer(e.bytes);
  Expected<uint64_t> r = decode(in, w, kLimit, &e.bits_taken, &e.determined);
  w.flush();
  e.ok = r.ok();
  if (r.ok())
    e.count = r.value();
  else
    e.failure = r.failure().text;
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> payload(data, data + size);
  const Expansion plain = expand(decode_lzari_plain, memory_reader(payload));
  if (expand(decode_lzari, memory_reader(payload)) != plain) fuzz::differs();
  if (plain.ok && plain.count != plain.bytes.size()) fuzz::differs();
  if (plain.ok && size > 4) {
    const std::vector<uint8_t> cut(data, data + 4 + (size - 4) / 2);
    const Expansion part = expand(decode_lzari, memory_reader(cut));
    const uint64_t n = std::min<uint64_t>(part.determined, plain.bytes.size());
    if (part.determined > part.bytes.size() || !std::equal(part.bytes.begin(), part.bytes.begin() + n, plain.bytes.begin()))
      fuzz::differs();
  }

  for (SimdForm form : runnable_simd_forms()) {
    const auto in_form = [form](ByteReader& in, ByteWriter& out, uint64_t limit, uint64_t* bits_taken,
                                uint64_t* determined) {
      return decode_lzari_as(form, in, out, limit, bits_taken, determined);
    };
    if (expand(in_form, memory_reader(payload)) != plain) fuzz::differs();
    // A stream with a buffer of 1 to 64 bytes, so refills land anywhere.
    if (size == 0) continue;
    std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    if (f == nullptr) return 0;
    const Expansion streamed = expand(in_form, file_reader(f, 1 + (size * 7 + 3) % 64));
    std::fclose(f);
    if (streamed != plain) fuzz::differs();
  }
  return 0;
}
