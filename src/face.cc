#include "face.h"

#include "container/container_header.h"
#include "container/lzari_decoder.h"

namespace qzr {

Expected<qzr_info> limited_info(std::span<const uint8_t> file, uint64_t max_pixels, uint64_t max_payload,
                                std::string_view input_name) {
  ByteReader in = memory_reader(file);
  Expected<QzrHeader> header = read_container_header(in, input_name);
  if (!header.ok()) return header.failure();
  Expected<uint32_t> length = read_payload_length(in, max_payload);
  if (!length.ok()) return length.failure();
  const QzrHeader& h = header.value();
  if (uint64_t{h.width} * h.height > max_pixels)
    return format_failure(
        format_text("\nPicture of %u x %u pixels is beyond the limit of %llu pixels !\n", unsigned{h.width},
                    unsigned{h.height}, static_cast<unsigned long long>(max_pixels)),
        ErrorKind::limit);
  return qzr_info{h.width, h.height, h.padded_width, h.padded_height, length.value()};
}

}  // namespace qzr
