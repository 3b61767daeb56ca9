// What the library's two faces (the C API, src/c_decode.cc, and the C++
// one, src/qzr_decode.cc) share over the pipeline: the header read against
// the caller's limits.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/failure.h"
#include "qzr/decode.h"

namespace qzr {

// The header and the payload's length word against the limits, every
// failure in the order the decode meets them: the header's, the payload's
// length beyond max_payload, the picture beyond max_pixels. `input_name`
// names the data in the header's messages.
Result<qzr_info> limited_info(std::span<const uint8_t> file, uint64_t max_pixels, uint64_t max_payload,
                              std::string_view input_name);

}  // namespace qzr
