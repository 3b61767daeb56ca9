// Bytes that one thread appends and another reads as they arrive, in one
// block of fixed capacity, so that what has arrived stays in place and is
// read there like any memory.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "common/raw_vector.h"

namespace qzr {

class GrowingBytes {
 public:
  // Throws std::bad_alloc when the block is refused.
  explicit GrowingBytes(size_t capacity);
  GrowingBytes(const GrowingBytes&) = delete;
  GrowingBytes& operator=(const GrowingBytes&) = delete;

  // Writer: appends data[0..n) (what would pass the capacity is dropped),
  // and at the end says there is no more.
  void append(const uint8_t* data, size_t n);
  void close();

  // Reader: the block's start, and the count of bytes arrived once it is
  // above `have` or no more will come.
  const uint8_t* data() const { return bytes_.data(); }
  size_t wait_beyond(size_t have);
  // The reader will not read the bytes before `offset` again: their storage
  // may go back to the system.
  void give_back(size_t offset);

 private:
  RawVector<uint8_t> bytes_;  // left uninitialised: written before it is read
  const size_t capacity_;
  size_t written_ = 0;  // the writer's own count
  std::mutex mutex_;
  std::condition_variable arrived_;
  size_t published_ = 0;  // what the reader may read
  bool closed_ = false;
};

}  // namespace qzr
