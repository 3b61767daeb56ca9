// One plane stream: header, band groups, dequantization, synthesis and the
// final scaling to 8-bit samples.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codec/plane.h"
#include "codec/sample_scaling.h"
#include "common/byte_io.h"
#include "common/failure.h"
#include "common/zeroed_storage.h"

namespace qzr {

// How many times over the band groups may fill a plane's coefficients.
constexpr int64_t kMaxPlaneRefills = 16;

// Reads band groups into the cleared quantized coefficient array (width x
// height values) and the StepTable (3L + 1 steps) until 3L + 1 band headers
// have been read. Each group fills its span; spans reaching past the array
// are cut at its end.
Status read_band_groups(ByteReader& in, int levels, std::span<int16_t> quantized, std::span<int16_t> steps,
                        const char* segment);

// The working arrays of plane decoding (the quantized values, and the
// synthesis' coarser levels: a quarter and a sixteenth of that), kept from
// one plane to the next so that later planes may reuse an earlier one's.
struct PlaneWorkspace {
  ZeroedArray<int16_t> quantized;
  ZeroedArray<int32_t> levels_odd, levels_even;
  size_t capacity = 0;
  bool clean = false;  // the quantized values are all zero
  void reserve(size_t n);
  void release();
};

// Reads the plane stream at the current position of `in`; `segment` names the
// segment in messages. Leaves `in` on the first byte after the last group.
// Planes of more than `max_samples` samples are refused before any storage
// is taken for them.
constexpr int64_t kAnyPlaneSize = int64_t{1} << 31;
Result<Plane> decode_plane(ByteReader& in, const char* segment, int64_t max_samples = kAnyPlaneSize);
Result<Plane> decode_plane(ByteReader& in, const char* segment, int64_t max_samples, PlaneWorkspace& work);

}  // namespace qzr
