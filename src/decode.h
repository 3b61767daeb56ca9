// The decode pipeline: header, payload expansion, the three planes and their
// check, one way for every caller. The expanded payload is held in memory
// (the console program keeps a copy of it in temp.tmp too). Then the rows,
// through the one row writer: to the bytes of a BMP file (what the console
// program writes), to an RGB picture, or into a caller's buffer.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/plane_decoder.h"
#include "common/failure.h"
#include "common/samples.h"
#include "container/container_header.h"
#include "container/lzari_decoder.h"

namespace qzr {

// Bounds on what a file may make the decode take, and its threads.
struct DecodeLimits {
  uint64_t max_payload = kNoLimit;            // bytes of expanded payload held at once
  int64_t max_plane_samples = kAnyPlaneSize;  // samples of one plane
  // 1: everything on the calling thread. More (0: as many as the process
  // has cores): the payload is expanded on a thread of its own while the
  // planes are read as their bytes arrive, and each plane's synthesis is
  // shared among the threads. The same result either way.
  int threads = 0;
};

// The threads a decode with these limits uses: `threads`, or the cores.
int decode_threads(const DecodeLimits& limits);

struct DecodedPlanes {
  QzrHeader header;
  Plane planes[3];  // checked: they hold what the conversion reads
  // What the file showed that a sound encoder's file never does, though the
  // decode went on: its code cut short or followed by bytes nothing reads,
  // bytes skipped before a segment or left after the last plane, a plane of
  // another size than the picture's, and the band groups' own signs. Such a
  // file is damaged: its picture may not be the one its encoder made.
  DamageSigns damage;
};

// The start of a QZR file: its header and its payload's length word, read
// and checked.
struct FileStart {
  QzrHeader header;
  uint32_t payload_length = 0;
  uint64_t code_start = 0;  // the offset of the payload's code in the file
};

// Reads the file start from `in`, a whole QZR file from its first byte;
// `input_name` names it in the header's messages. The length word is held
// to the limits' max_payload.
Expected<FileStart> read_file_start(ByteReader& in, std::string_view input_name, const DecodeLimits& limits);
// The same after the header, which the caller has read (the console program
// shows the size line between the two).
Expected<FileStart> read_file_start(ByteReader& in, const QzrHeader& header, const DecodeLimits& limits);

// A file that gets every byte of the expanded payload as the expansion
// makes it: the console program keeps the payload in temp.tmp. A write that
// falls short is a failure that names the file, before any the planes meet.
// The file stays open: closing it (and checking that close) is the caller's.
struct PayloadCopy {
  std::FILE* file = nullptr;
  std::string_view name;
};

// Whether decode_payload holds a payload of this length in memory; a longer
// one, far beyond any real picture, the console program expands into its
// copy alone (expand_payload) and reads back (read_payload_planes).
bool payload_held_in_memory(uint32_t payload_length);

// The rest of the pipeline after read_file_start: the payload expanded from
// `in` into memory (and into `copy`, when given), the planes read from it
// and checked, with every sign of damage. With threads the expansion runs
// on a thread of its own while the planes are read as their bytes arrive.
// Out of memory is a failure, as everywhere in the pipeline.
Expected<DecodedPlanes> decode_payload(ByteReader& in, const FileStart& start, const DecodeLimits& limits,
                                       const PayloadCopy& copy = {});

// The same in two steps, the payload kept only where `out` writes it: the
// expansion, then the planes read back from the kept bytes.
struct Expansion {
  uint64_t produced = 0;    // bytes written
  uint64_t bits_taken = 0;  // code bits the coder took
};
Expected<Expansion> expand_payload(ByteReader& in, const FileStart& start, ByteWriter& out);
Expected<DecodedPlanes> read_payload_planes(ByteReader& payload, const FileStart& start, const Expansion& expansion,
                                            const DecodeLimits& limits);

// The pipeline on a whole file held in memory, its payload kept in memory
// too and freed once the planes hold the picture.
Expected<DecodedPlanes> decode_planes_in_memory(std::span<const uint8_t> file, const DecodeLimits& limits,
                                                std::string_view input_name);

// What a salvage recovered of one plane.
struct PlaneSalvage {
  int bands = 0;  // 3 x levels + 1; 0 when the plane's stream header was never read
  int bands_whole = 0, bands_partial = 0, bands_missing = 0;
  int groups_whole = 0, groups_partial = 0;
  bool neutral = false;  // nothing usable arrived: the plane is mid-grey (luma) or no colour (chroma)
};

struct SalvageReport {
  PlaneSalvage planes[3];
  uint64_t payload_length = 0;   // bytes the payload announces
  uint64_t payload_decided = 0;  // bytes of it the file's code decides, at most the length
  std::string failure;           // the first failure met, one line; empty when nothing was lost
  bool damaged() const { return !failure.empty(); }
};

struct SalvagedPlanes {
  DecodedPlanes decoded;  // its damage is not looked for
  SalvageReport report;
};

// Shows what survives of a damaged file: the payload expanded only as far as
// the file's own bytes decide it, each plane with every band group that
// arrived whole, the part of the group in progress that the data decide,
// zeros (no detail) for the rest, and the neutral value for a plane whose
// approximation or whole stream is missing. A plane stream that fails part
// way keeps what it read before the failing step. A file that decodes whole
// gives the picture the decode gives, with nothing in the report's failure.
// Failures before the payload (the header, the length word, the limits)
// leave nothing to show and are failures here too.
Expected<SalvagedPlanes> salvage_planes_in_memory(std::span<const uint8_t> file, const DecodeLimits& limits,
                                                  std::string_view input_name);

struct DecodedBmp {
  QzrHeader header;
  std::vector<uint8_t> bmp;  // the whole BMP file
};

// A file held in memory, its payload too, to the bytes of its BMP file.
// `damage`, when given, gets the file's signs of damage (DecodedPlanes).
Expected<DecodedBmp> decode_to_bmp(std::span<const uint8_t> file, const DecodeLimits& limits = {},
                                   std::string_view input_name = "(memory)", DamageSigns* damage = nullptr);

// The visible picture of decoded planes, rows top to bottom, R, G, B.
RgbImage picture_of(const DecodedPlanes& d);

// The visible picture, rows top to bottom, R, G, B.
Expected<RgbImage> decode_picture(std::span<const uint8_t> file, const DecodeLimits& limits = {},
                                  std::string_view input_name = "(memory)", DamageSigns* damage = nullptr);

}  // namespace qzr
