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

}  // namespace qzr
