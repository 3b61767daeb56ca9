// Salvage through the C API on any file: it fails only where the decode
// fails before the payload, writes every pixel and nothing outside them, its
// report adds up, and a file that decodes whole and passes the audit is
// salvaged whole, to the decode's picture; a file salvaged whole decodes to
// that picture too.
#include <cstring>
#include <vector>

#include "c_options.h"
#include "fuzz_input.h"
#include "qzr/decode.h"

namespace {

constexpr uint8_t kMark = 0xC3;
constexpr size_t kGuard = 64;

bool plane_adds_up(const qzr_plane_recovery& p) {
  if (p.neutral > 1 || p.groups_partial > 1) return false;
  if (p.bands == 0) return p.neutral == 1 && p.bands_whole + p.bands_partial + p.bands_missing == 0;
  // 3 x levels + 1 bands, each of them whole, partial or missing; a plane
  // that is not neutral has its approximation band whole.
  return p.bands % 3 == 1 && p.bands_whole + p.bands_partial + p.bands_missing == p.bands &&
         (p.neutral == 1 || p.bands_whole >= 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qzr::fuzz::FuzzInput input{{data, size}};
  const uint8_t flags = input.u8();
  const std::vector<uint8_t> file(input.rest().begin(), input.rest().end());

  qzr::fuzz::COptions options(flags);
  const qzr_decode_options& o = options.o;
  const char* message = options.message;

  qzr_info info{};
  const qzr_status header = qzr_read_info(file.data(), file.size(), &o, &info);
  const size_t pixel = qzr_pixel_size(o.format);
  const size_t row = size_t{info.width} * pixel;
  const size_t stride = row + (flags & 4 ? 3 : 0);  // bytes between rows, left alone
  const bool empty = header != QZR_OK || row == 0 || info.height == 0;
  const size_t given = empty ? 16 : stride * (info.height - 1) + row;
  std::vector<uint8_t> salvaged(given + kGuard, kMark);
  qzr_salvage_report report;
  std::memset(&report, kMark, sizeof report);
  const qzr_salvage_report untouched = report;
  qzr_salvage_report* wanted = flags & 16 ? nullptr : &report;
  const qzr_status s = qzr_salvage_into(file.data(), file.size(), &o, salvaged.data(), stride, given, wanted);

  if (std::memchr(message, 0, o.message_size) == nullptr) __builtin_trap();
  if (header != QZR_OK) {
    // Nothing to show: the header's own failure, the report as it was.
    if (s != header || std::memcmp(&report, &untouched, sizeof report) != 0) __builtin_trap();
    return 0;
  }
  if (s != QZR_OK && s != QZR_ERROR_DAMAGED) __builtin_trap();
  if (s == QZR_ERROR_DAMAGED && o.message_size > 1 && message[0] == 0) __builtin_trap();  // a loss without a word
  for (size_t i = 0; i < salvaged.size(); ++i) {
    const bool in_row = !empty && i < given && i % stride < row;
    if (!in_row && salvaged[i] != kMark) __builtin_trap();  // past the buffer or between rows
    if (in_row && pixel == 4 && i % stride % 4 == 3 && salvaged[i] != 255) __builtin_trap();  // a pixel not written
  }
  if (wanted != nullptr) {
    if (report.payload_length != info.payload_length || report.payload_decided > report.payload_length)
      __builtin_trap();
    for (const qzr_plane_recovery& p : report.planes) {
      if (!plane_adds_up(p)) __builtin_trap();
      if (s == QZR_OK && p.neutral != 0) __builtin_trap();  // a plane lost, yet nothing said
    }
  }

  // Against the decode: the same picture whenever the salvage calls the file
  // whole, and whenever the decode and the audit both find it sound.
  std::vector<uint8_t> decoded(salvaged.size(), kMark);
  const qzr_status d = qzr_decode_into(file.data(), file.size(), &o, decoded.data(), stride, given);
  const bool sound = d == QZR_OK && qzr_check(file.data(), file.size(), &o) == QZR_OK;
  if (sound && s != QZR_OK) __builtin_trap();
  if (s == QZR_OK && (d != QZR_OK || decoded != salvaged)) __builtin_trap();
  return 0;
}
