// The C decode API on any file, format, stride and buffer size: it never
// writes outside the buffer it is given, fails a buffer too small before
// writing, and on success gives the in-memory decode's picture in the
// format asked for.
#include <cstring>
#include <vector>

#include "c_options.h"
#include "decode.h"
#include "fuzz_input.h"
#include "qzr/decode.h"

using namespace qzr;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput input{{data, size}};
  const uint8_t flags = input.u8();
  const size_t extra_stride = input.u8() % 16;
  const size_t shortfall = flags & 4 ? input.u16() % 64 : 0;  // bytes missing from the buffer
  const std::vector<uint8_t> file(input.rest().begin(), input.rest().end());

  fuzz::COptions options(flags);
  const qzr_decode_options& o = options.o;
  const char* message = options.message;

  qzr_info info{};
  const qzr_status header = qzr_get_info(file.data(), file.size(), &info);
  const size_t pixel = qzr_pixel_size(o.format);
  const size_t stride = size_t{info.width} * pixel + extra_stride;
  size_t needed = info.height == 0 || info.width == 0 ? 0 : stride * (info.height - 1) + info.width * pixel;
  if (header != QZR_OK || uint64_t{info.width} * info.height > o.max_pixels) needed = 16;
  const size_t given = needed >= shortfall ? needed - shortfall : 0;
  constexpr size_t kGuard = 64;
  constexpr uint8_t kMark = 0xC3;
  std::vector<uint8_t> buffer(given + kGuard, kMark);
  const qzr_status s = qzr_decode_into(file.data(), file.size(), &o, buffer.data(), stride, given);

  for (size_t i = given; i < buffer.size(); ++i)
    if (buffer[i] != kMark) __builtin_trap();  // written past pixels_size
  if (s != QZR_OK && std::memchr(message, 0, o.message_size) == nullptr) __builtin_trap();
  if (header != QZR_OK && s != header) __builtin_trap();
  if (s == QZR_ERROR_ARGUMENT && given < needed) {
    for (size_t i = 0; i < given; ++i)
      if (buffer[i] != kMark) __builtin_trap();  // a refused buffer is left alone
  }
  // The audit decodes as the decode does: it fails where the decode does
  // (a buffer aside), and passes or finds damage where the decode succeeds.
  const qzr_status audit = qzr_check(file.data(), file.size(), &o);
  if (audit != QZR_OK && std::memchr(message, 0, o.message_size) == nullptr) __builtin_trap();
  if (s == QZR_OK && audit != QZR_OK && audit != QZR_ERROR_DAMAGED) __builtin_trap();
  if (s != QZR_OK && s != QZR_ERROR_ARGUMENT && audit != s) __builtin_trap();
  if (s != QZR_OK) return 0;
  if (given < needed) __builtin_trap();  // too small, yet accepted

  DecodeLimits limits;
  limits.max_payload = o.max_payload;
  Expected<RgbImage> picture = decode_picture(file, limits);
  if (!picture.ok()) __builtin_trap();
  const RgbImage& p = picture.value();
  const bool red_first = o.format == QZR_PIXEL_RGB || o.format == QZR_PIXEL_RGBA;
  for (int y = 0; y < p.height; ++y)
    for (int x = 0; x < p.width; ++x) {
      const uint8_t* want = p.rgb.data() + 3 * (size_t(y) * p.width + x);
      const uint8_t* got = buffer.data() + size_t(y) * stride + size_t(x) * pixel;
      if (got[red_first ? 0 : 2] != want[0] || got[1] != want[1] || got[red_first ? 2 : 0] != want[2] ||
          (pixel == 4 && got[3] != 255))
        __builtin_trap();
    }
  return 0;
}
