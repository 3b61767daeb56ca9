// The decode pipeline: header, payload expansion, the three planes and their
// check, one way for every caller. Where the expanded payload is kept
// between the expansion and the planes is the caller's: the console program
// keeps it in temp.tmp, the library in memory. Then the rows, through the
// one row writer: to the bytes of a BMP file (what the console program
// writes), to the public RGB picture, or into a caller's buffer.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "codec/plane_decoder.h"
#include "common/failure.h"
#include "container/container_header.h"
#include "container/lzari_decoder.h"

namespace qzr {

// Bounds on what a file may make the decode take, and its threads.
struct DecodeLimits {
  uint64_t max_payload = kNoLimit;            // bytes of expanded payload held at once
  int64_t max_plane_samples = kAnyPlaneSize;  // samples of one plane
  // 1: everything on the calling thread. More (0: as many as the process
  // has cores): the payload is expanded on a thread of its own while the
  // planes are read as their bytes arrive, each synthesised beside the
  // next one's reading. The same result either way.
  int threads = 0;
};

// The threads a decode with these limits uses: `threads`, or the cores.
int decode_threads(const DecodeLimits& limits);

// Where the expanded payload is kept. The expansion writes through `writer`;
// `finish` then tells whether every byte was kept (the writer flushed), and
// `reread` gives the kept bytes from their start, valid until the pipeline
// returns.
struct PayloadStore {
  ByteWriter writer;
  std::function<Status()> finish;
  std::function<Result<ByteReader>()> reread;
};

// Keeps the payload in `bytes`.
PayloadStore memory_store(std::vector<uint8_t>& bytes);

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

// Called with the header once it is read and checked (the console program
// shows the size line then).
using HeaderSeen = std::function<void(const QzrHeader&)>;

// Runs the pipeline on `in`, a whole QZR file from its first byte;
// `input_name` names it in the header's messages. Failures carry the
// console program's text and status.
Result<DecodedPlanes> decode_planes(ByteReader& in, std::string_view input_name, PayloadStore& store,
                                    const DecodeLimits& limits = {}, const HeaderSeen& header_seen = {});

// The pipeline on a whole file held in memory, its payload kept in memory
// too and freed once the planes hold the picture.
Result<DecodedPlanes> decode_planes_in_memory(std::span<const uint8_t> file, const DecodeLimits& limits,
                                              std::string_view input_name);

struct DecodedFile {
  QzrHeader header;
  std::vector<uint8_t> bmp;  // the whole BMP file
};

// A file held in memory, its payload too, to the bytes of its BMP file. Out
// of memory is a failure, not an exception.
// `damage`, when given, gets the file's signs of damage (DecodedPlanes).
Result<DecodedFile> decode_qzr(std::span<const uint8_t> file, const DecodeLimits& limits = {},
                               std::string_view input_name = "(memory)", DamageSigns* damage = nullptr);

// The visible picture, rows top to bottom, R, G, B.
Result<Picture> decode_picture(std::span<const uint8_t> file, const DecodeLimits& limits = {},
                               std::string_view input_name = "(memory)", DamageSigns* damage = nullptr);

}  // namespace qzr
