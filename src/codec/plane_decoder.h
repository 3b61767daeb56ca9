// One plane stream: header, band groups, dequantization, synthesis and the
// final scaling to 8-bit samples.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/samples.h"
#include "codec/band_layout.h"
#include "codec/sample_scaling.h"
#include "common/byte_io.h"
#include "common/failure.h"
#include "common/zeroed_storage.h"

namespace qzr {

// How many times over the band groups may fill a plane's coefficients.
constexpr int64_t kMaxPlaneRefills = 16;

// Signs of damage that decoding tolerates, one line of text each, in the
// order met: a stream from a sound encoder shows none of them. At most
// kMaxDamageSigns are kept.
using DamageSigns = std::vector<std::string>;
constexpr size_t kMaxDamageSigns = 8;
void note_damage(DamageSigns* signs, std::string sign);

// What a salvaging read took from a plane stream. A band is whole when
// every value of it arrived (in a group read whole, or in the part of the
// group in progress that the data decide), partial when some did, missing
// when none did; what did not arrive stays zero (no detail).
enum class BandState : uint8_t { missing, partial, whole };
struct PlaneRecovery {
  int bands = 0;  // 3L + 1 once the stream's header is read; 0 before
  std::array<BandState, 3 * kMaxLevels + 1> state{};
  int groups_whole = 0;
  int groups_partial = 0;  // 0 or 1: the group the data ended in
  std::string failure;     // what ended the stream early, one line; empty when it ended whole
  int count(BandState s) const;
};

// Reads band groups into the cleared quantized coefficient array (width x
// height values) and the StepTable (3L + 1 steps) until 3L + 1 band headers
// have been read. Each group fills its span; spans reaching past the array
// are cut at its end. `damage`, when given, gets what a sound stream never
// holds: a band listed twice, a group whose bands do not follow one another
// in the layout, codes that end short of the group's span. (Groups without
// bands and codes left over once a span is full are the format's own
// devices, which careful encoders use.)
// With `recovery` the codes stop where the data end (none is decoded from
// the ones past it), and the record gets what each group brought.
Status read_band_groups(ByteReader& in, int levels, std::span<int16_t> quantized, std::span<int16_t> steps,
                        const char* segment, DamageSigns* damage = nullptr, PlaneRecovery* recovery = nullptr);

// The working arrays of plane decoding (the quantized values, and the
// synthesis' coarser levels: a quarter and a sixteenth of that), kept from
// one plane to the next so that later planes may reuse an earlier one's. The
// levels are taken only when the synthesis starts, and the even ones go
// again when its finest level starts.
struct PlaneWorkspace {
  ZeroedArray<int16_t> quantized;
  ZeroedArray<int32_t> levels_odd, levels_even;
  size_t capacity = 0, levels_capacity = 0;
  bool clean = false;  // the quantized values are all zero
  void reserve(size_t n);
  void reserve_levels(size_t n);
  void release();
};

// A plane stream read up to its synthesis: its size, the steps of its bands,
// and its quantized values, held in the workspace it was read into.
struct PlaneCoefficients {
  int width = 0, height = 0, levels = 0;
  int16_t scale = 0;
  std::vector<int16_t> steps;
  DamageSigns damage;  // what the stream showed that a sound one never does
};

// Out of memory, here and in the synthesis, is a std::bad_alloc, which the
// pipeline turns into its failure.
// Reads the plane stream at the current position of `in`; `segment` names the
// segment in messages. Leaves `in` on the first byte after the last group.
// Planes of more than `max_samples` samples are refused before any storage
// is taken for them.
constexpr int64_t kAnyPlaneSize = int64_t{1} << 31;
// With `recovery` (a salvage) a stream that fails after its header still
// gives what it read before the failing step, and the record says what
// that is and what failed.
Expected<PlaneCoefficients> read_plane(ByteReader& in, const char* segment, int64_t max_samples, PlaneWorkspace& work,
                                       PlaneRecovery* recovery = nullptr);
// Dequantizes, synthesises and scales what read_plane left in `work`, the
// large levels on up to `threads` threads.
Plane synthesise(const PlaneCoefficients& c, PlaneWorkspace& work, int threads = 1);

// Both, in turn.
Expected<Plane> decode_plane(ByteReader& in, const char* segment, int64_t max_samples = kAnyPlaneSize);

}  // namespace qzr
