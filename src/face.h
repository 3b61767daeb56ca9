// What the library's faces (the C API, src/c_decode.cc and src/c_encode.cc,
// and the C++ one, src/qzr_decode.cc and src/qzr_encode.cc) share over the
// pipeline: the header read against the caller's limits, and the core's
// values turned into the public ones.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <utility>

#include "common/failure.h"
#include "common/samples.h"
#include "qzr/decode.h"
#include "qzr/qzr.h"

namespace qzr {

static_assert(static_cast<int>(ErrorKind::argument) == QZR_ERROR_ARGUMENT &&
              static_cast<int>(ErrorKind::truncated) == QZR_ERROR_TRUNCATED &&
              static_cast<int>(ErrorKind::not_qzr) == QZR_ERROR_NOT_QZR &&
              static_cast<int>(ErrorKind::unsupported_version) == QZR_ERROR_UNSUPPORTED_VERSION &&
              static_cast<int>(ErrorKind::corrupt) == QZR_ERROR_CORRUPT &&
              static_cast<int>(ErrorKind::limit) == QZR_ERROR_LIMIT &&
              static_cast<int>(ErrorKind::out_of_memory) == QZR_ERROR_OUT_OF_MEMORY &&
              static_cast<int>(ErrorKind::io) == QZR_ERROR_IO &&
              static_cast<int>(ErrorKind::damaged) == QZR_ERROR_DAMAGED);

// An error's kind as the C API's status.
constexpr qzr_status status_of(ErrorKind kind) { return static_cast<qzr_status>(kind); }

// The core's values as the C++ API hands them out.
inline Failure public_failure(Error e) { return Failure{e.exit_status, std::move(e.text), status_of(e.kind)}; }
inline Picture public_picture(RgbImage image) { return Picture{image.width, image.height, std::move(image.rgb)}; }

struct SalvageReport;
qzr_salvage_report public_report(const SalvageReport& report);

// The header and the payload's length word against the limits, every
// failure in the order the decode meets them: the header's, the payload's
// length beyond max_payload, the picture beyond max_pixels. `input_name`
// names the data in the header's messages.
Expected<qzr_info> limited_info(std::span<const uint8_t> file, uint64_t max_pixels, uint64_t max_payload,
                                std::string_view input_name);

}  // namespace qzr
