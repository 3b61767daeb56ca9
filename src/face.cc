#include "face.h"

#include "decode.h"

namespace qzr {

Expected<qzr_info> limited_info(std::span<const uint8_t> file, uint64_t max_pixels, uint64_t max_payload,
                                std::string_view input_name) {
  ByteReader in = memory_reader(file);
  DecodeLimits limits;
  limits.max_payload = max_payload;
  Expected<FileStart> start = read_file_start(in, input_name, limits);
  if (!start.ok()) return start.failure();
  const QzrHeader& h = start.value().header;
  if (uint64_t{h.width} * h.height > max_pixels)
    return format_failure(
        format_text("\nPicture of %u x %u pixels is beyond the limit of %llu pixels !\n", unsigned{h.width},
                    unsigned{h.height}, static_cast<unsigned long long>(max_pixels)),
        ErrorKind::limit);
  return qzr_info{h.width, h.height, h.padded_width, h.padded_height, start.value().payload_length};
}

qzr_salvage_report public_report(const SalvageReport& report) {
  qzr_salvage_report r{};
  const auto n = [](int v) { return static_cast<uint32_t>(v); };
  for (int i = 0; i < 3; ++i) {
    const PlaneSalvage& p = report.planes[i];
    r.planes[i] = {n(p.bands),        n(p.bands_whole),    n(p.bands_partial),    n(p.bands_missing),
                   n(p.groups_whole), n(p.groups_partial), p.neutral ? 1u : 0u};
  }
  r.payload_length = report.payload_length;
  r.payload_decided = report.payload_decided;
  return r;
}

}  // namespace qzr
