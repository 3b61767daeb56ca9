// Byte sources and sinks shared by every stage: memory or a stdio stream,
// buffered, with the end-of-data rule kept in the reader (read_byte gives -1).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "common/raw_vector.h"

namespace qzr {

class GrowingBytes;

constexpr int kEndOfFile = -1;

struct ByteReader {
  const uint8_t* pos = nullptr;
  const uint8_t* end = nullptr;
  std::FILE* file = nullptr;       // null when reading from memory
  GrowingBytes* growing = nullptr;  // memory that another thread is still filling
  std::vector<uint8_t> buffer;     // refill buffer of a file reader
  uint64_t consumed_before = 0;   // bytes of the source before `buffer`
  const uint8_t* base = nullptr;  // start of the current window
  // Reads that found the end of the data (and stood for bytes it lacks):
  // for an audit of a stream that should end where its own fields say.
  uint64_t ends_met = 0;

  // Next byte 0..255, or kEndOfFile (-1) once the source is exhausted.
  int read_byte() { return pos != end ? *pos++ : refill_and_read(); }
  // Reads up to n bytes; returns how many arrived.
  size_t read_block(uint8_t* dst, size_t n);
  // True when no byte is left.
  bool at_end();
  // Bytes consumed so far.
  uint64_t offset() const { return consumed_before + static_cast<uint64_t>(pos - base); }

  int refill_and_read();
  bool refill();
  // For memory that is still being filled: waits until more has arrived and
  // moves `end` past it; false when no more will come (or it is not such
  // memory). The bytes from `base` on stay where they are.
  bool grow();
};

ByteReader memory_reader(std::span<const uint8_t> bytes);
ByteReader file_reader(std::FILE* file, size_t buffer_size = 1 << 16);
// Reads what another thread appends to `bytes`, waiting for it as needed.
ByteReader growing_reader(GrowingBytes& bytes);

struct ByteWriter {
  std::FILE* file = nullptr;               // stdio sink, or
  std::vector<uint8_t>* memory = nullptr;  // memory sink
  GrowingBytes* growing = nullptr;         // and besides either, memory every byte written is appended to
  RawVector<uint8_t> buffer;               // not cleared: its pages are touched only as it fills
  size_t used = 0;
  bool failed = false;  // a write to the file fell short

  void put(uint8_t b) {
    if (used == buffer.size()) flush();
    buffer[used++] = b;
  }
  // Bytes in order; a block of at least the buffer's size bypasses it.
  void write(const uint8_t* src, size_t n);
  void flush();  // hands buffered bytes to the sink; sets `failed` on a short write
  // Bytes straight to the sinks, past the buffer.
  void deliver(const uint8_t* src, size_t n);
};

ByteWriter file_writer(std::FILE* file, size_t buffer_size = 1 << 16);
ByteWriter memory_writer(std::vector<uint8_t>& out, size_t buffer_size = 1 << 16);

// Closes a stdio stream and tells whether every byte reached the file.
bool close_checked(std::FILE* file);

}  // namespace qzr
