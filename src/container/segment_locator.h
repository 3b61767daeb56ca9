// Segment markers in the expanded payload: "$", a plane letter (not tested),
// then "Seg". The plane stream follows the 5-byte marker directly.
#pragma once

#include "common/byte_io.h"
#include "common/failure.h"

namespace qzr {

constexpr uint8_t kSegmentStart = '$';
constexpr uint64_t kSegmentMarkerSize = 5;  // "$" and four bytes

// Advances `in` to just behind the next complete marker. The name serves the
// message only: the first marker found is taken whatever its letter.
Status find_segment(ByteReader& in, const char* name);

}  // namespace qzr
