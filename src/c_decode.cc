// The C decode API (qzr/decode.h) over the decode pipeline. Every failure
// is a status; no exception crosses the boundary.
#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <type_traits>

#include "common/failure.h"
#include "container/container_header.h"
#include "container/lzari_decoder.h"
#include "decode.h"
#include "face.h"
#include "output/picture_rows.h"
#include "qzr/decode.h"

namespace {

using namespace qzr;

static_assert(static_cast<int>(PixelOrder::rgb) == QZR_PIXEL_RGB &&
              static_cast<int>(PixelOrder::bgr) == QZR_PIXEL_BGR &&
              static_cast<int>(PixelOrder::rgba) == QZR_PIXEL_RGBA &&
              static_cast<int>(PixelOrder::bgra) == QZR_PIXEL_BGRA);

static_assert(sizeof QZR_MAGIC - 1 == QZR_MAGIC_SIZE && QZR_MAGIC_SIZE == kMagic.size() &&
              QZR_MAGIC[0] == kMagic[0] && QZR_MAGIC[1] == kMagic[1] && QZR_MAGIC[2] == kMagic[2] &&
              QZR_MAGIC[3] == kMagic[3]);
static_assert(QZR_INFO_SIZE == kHeaderSize + 4);

// An enum's value as a C caller passed it: any integer, which C++ may not
// load as the enum when it is none of the enumerators.
template <class E>
std::underlying_type_t<E> raw_value(const E& e) {
  std::underlying_type_t<E> v;
  std::memcpy(&v, &e, sizeof v);
  return v;
}

// The name a message gives the data, as the in-memory decode calls it.
constexpr std::string_view kInputName = "(memory)";

// The message buffer gets the text without its console framing.
void copy_message(const qzr_decode_options& o, std::string_view text) {
  if (o.message == nullptr || o.message_size == 0) return;
  text = message_text(text);
  const size_t n = std::min(text.size(), o.message_size - 1);
  if (n != 0) std::memcpy(o.message, text.data(), n);  // an empty text may have no data at all
  o.message[n] = '\0';
}

qzr_status report(const qzr_decode_options& o, const Error& e) {
  copy_message(o, e.text);
  return status_of(e.kind);
}

// (height - 1) x stride + width x pixel size, or false when it overflows.
bool buffer_needed(uint64_t width, uint64_t height, size_t stride, size_t pixel, size_t& needed) {
  if (width == 0 || height == 0) {
    needed = 0;
    return true;
  }
  const size_t row = static_cast<size_t>(width) * pixel;  // at most 65535 x 4
  if (height - 1 > 0 && stride > (SIZE_MAX - row) / (height - 1)) return false;
  needed = static_cast<size_t>(height - 1) * stride + row;
  return true;
}

Expected<qzr_info> info_within(std::span<const uint8_t> file, const qzr_decode_options& o) {
  return limited_info(file, o.max_pixels, o.max_payload, kInputName);
}

DecodeLimits limits_of(const qzr_decode_options& o) {
  DecodeLimits limits;
  limits.max_payload = o.max_payload;
  return limits;
}

qzr_status check_file(std::span<const uint8_t> file, const qzr_decode_options& o) {
  if (Expected<qzr_info> info = info_within(file, o); !info.ok()) return report(o, info.failure());
  Expected<DecodedPlanes> d = decode_planes_in_memory(file, limits_of(o), kInputName);
  if (!d.ok()) return report(o, d.failure());
  if (d.value().damage.empty()) return QZR_OK;
  copy_message(o, d.value().damage.front());
  return QZR_ERROR_DAMAGED;
}

// What the caller's buffer is to get: the header's sizes and the pixel order.
struct Target {
  qzr_info info;
  PixelOrder order;
};

// The format, the header against the limits, and the buffer against the
// picture, each failure in that order.
Expected<Target> checked_target(std::span<const uint8_t> file, const qzr_decode_options& o, size_t stride,
                                size_t pixels_size) {
  const auto format = static_cast<long long>(raw_value(o.format));
  const size_t pixel = format >= 0 && format <= QZR_PIXEL_BGRA ? pixel_bytes(static_cast<PixelOrder>(format)) : 0;
  if (pixel == 0) return format_failure("\nUnknown pixel format !\n", ErrorKind::argument);
  Expected<qzr_info> info = info_within(file, o);
  if (!info.ok()) return info.failure();
  const qzr_info& h = info.value();
  size_t needed = 0;
  if (stride < size_t{h.width} * pixel || !buffer_needed(h.width, h.height, stride, pixel, needed) ||
      pixels_size < needed)
    return format_failure(format_text("\nA buffer of %zu bytes, %zu per row, is too small for %u x %u "
                                      "pixels of %zu bytes !\n",
                                      pixels_size, stride, unsigned{h.width}, unsigned{h.height}, pixel),
                          ErrorKind::argument);
  return Target{h, static_cast<PixelOrder>(format)};
}

void write_rows(const Target& t, const Plane (&planes)[3], uint8_t* pixels, size_t stride) {
  write_picture_rows({planes, t.info.width, t.info.height, t.info.padded_width}, t.order, pixels, stride);
}

qzr_status decode_checked(std::span<const uint8_t> file, const qzr_decode_options& o, uint8_t* pixels, size_t stride,
                          size_t pixels_size) {
  Expected<Target> t = checked_target(file, o, stride, pixels_size);
  if (!t.ok()) return report(o, t.failure());
  Expected<DecodedPlanes> d = decode_planes_in_memory(file, limits_of(o), kInputName);
  if (!d.ok()) return report(o, d.failure());
  write_rows(t.value(), d.value().planes, pixels, stride);
  return QZR_OK;
}

qzr_status salvage_checked(std::span<const uint8_t> file, const qzr_decode_options& o, uint8_t* pixels, size_t stride,
                           size_t pixels_size, qzr_salvage_report* out) {
  Expected<Target> t = checked_target(file, o, stride, pixels_size);
  if (!t.ok()) return report(o, t.failure());
  DecodeLimits limits = limits_of(o);
  limits.threads = 1;
  Expected<SalvagedPlanes> s = salvage_planes_in_memory(file, limits, kInputName);
  if (!s.ok()) return report(o, s.failure());
  write_rows(t.value(), s.value().decoded.planes, pixels, stride);
  const SalvageReport& r = s.value().report;
  if (out != nullptr) *out = public_report(r);
  if (!r.damaged()) return QZR_OK;
  copy_message(o, r.failure);
  return QZR_ERROR_DAMAGED;
}

}  // namespace

extern "C" {

uint32_t qzr_version(void) {
  return uint32_t{QZR_VERSION_MAJOR} << 16 | uint32_t{QZR_VERSION_MINOR} << 8 | uint32_t{QZR_VERSION_PATCH};
}

const char* qzr_status_string(qzr_status status) {
  switch (raw_value(status)) {
    case QZR_OK: return "ok";
    case QZR_ERROR_ARGUMENT: return "invalid argument";
    case QZR_ERROR_TRUNCATED: return "truncated data";
    case QZR_ERROR_NOT_QZR: return "not a QZR file";
    case QZR_ERROR_UNSUPPORTED_VERSION: return "unsupported QZR version";
    case QZR_ERROR_CORRUPT: return "corrupt data";
    case QZR_ERROR_LIMIT: return "limit exceeded";
    case QZR_ERROR_OUT_OF_MEMORY: return "out of memory";
    case QZR_ERROR_IO: return "input or output error";
    case QZR_ERROR_DAMAGED: return "damaged data";
  }
  return "unknown status";
}

size_t qzr_pixel_size(qzr_pixel_format format) {
  switch (raw_value(format)) {
    case QZR_PIXEL_RGB:
    case QZR_PIXEL_BGR: return 3;
    case QZR_PIXEL_RGBA:
    case QZR_PIXEL_BGRA: return 4;
  }
  return 0;
}

void qzr_decode_options_init(qzr_decode_options* options) {
  if (options == nullptr) return;
  *options = qzr_decode_options{QZR_PIXEL_RGB, QZR_DEFAULT_MAX_PIXELS, QZR_DEFAULT_MAX_PAYLOAD, nullptr, 0};
}

namespace {

qzr_decode_options options_or_defaults(const qzr_decode_options* options) {
  qzr_decode_options o;
  qzr_decode_options_init(&o);
  if (options != nullptr) o = *options;
  copy_message(o, "");
  return o;
}

}  // namespace

qzr_status qzr_read_info(const uint8_t* data, size_t size, const qzr_decode_options* options, qzr_info* info) {
  const qzr_decode_options o = options_or_defaults(options);
  if (data == nullptr || info == nullptr)
    return report(o, format_failure("\nNo data or no info record !\n", ErrorKind::argument));
  Expected<qzr_info> read = info_within({data, size}, o);
  if (!read.ok()) return report(o, read.failure());
  *info = read.value();
  return QZR_OK;
}

qzr_status qzr_get_info(const uint8_t* data, size_t size, qzr_info* info) {
  qzr_decode_options unlimited;
  qzr_decode_options_init(&unlimited);
  unlimited.max_pixels = unlimited.max_payload = kNoLimit;
  return qzr_read_info(data, size, &unlimited, info);
}

qzr_status qzr_check(const uint8_t* data, size_t size, const qzr_decode_options* options) {
  const qzr_decode_options o = options_or_defaults(options);
  if (data == nullptr) return report(o, format_failure("\nNo data !\n", ErrorKind::argument));
  try {
    return check_file({data, size}, o);
  } catch (const std::bad_alloc&) {
    return report(o, format_failure("\nOut of memory !\n", ErrorKind::out_of_memory));
  }
}

qzr_status qzr_decode_into(const uint8_t* data, size_t size, const qzr_decode_options* options, uint8_t* pixels,
                           size_t stride, size_t pixels_size) {
  const qzr_decode_options o = options_or_defaults(options);
  if (data == nullptr || pixels == nullptr)
    return report(o, format_failure("\nNo data or no pixel buffer !\n", ErrorKind::argument));
  try {
    return decode_checked({data, size}, o, pixels, stride, pixels_size);
  } catch (const std::bad_alloc&) {
    return report(o, format_failure("\nOut of memory !\n", ErrorKind::out_of_memory));
  }
}

qzr_status qzr_salvage_into(const uint8_t* data, size_t size, const qzr_decode_options* options, uint8_t* pixels,
                            size_t stride, size_t pixels_size, qzr_salvage_report* recovered) {
  const qzr_decode_options o = options_or_defaults(options);
  if (data == nullptr || pixels == nullptr)
    return report(o, format_failure("\nNo data or no pixel buffer !\n", ErrorKind::argument));
  try {
    return salvage_checked({data, size}, o, pixels, stride, pixels_size, recovered);
  } catch (const std::bad_alloc&) {
    return report(o, format_failure("\nOut of memory !\n", ErrorKind::out_of_memory));
  }
}

}  // extern "C"

static_assert(QZR_VERSION_MAJOR == QZR_PROJECT_VERSION_MAJOR && QZR_VERSION_MINOR == QZR_PROJECT_VERSION_MINOR &&
                  QZR_VERSION_PATCH == QZR_PROJECT_VERSION_PATCH,
              "the version macros of qzr/decode.h are not the project's version");
