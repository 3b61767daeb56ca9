// Large zero-filled working arrays. Memory fresh from the system is already
// zero, so it is not cleared again; on Linux the large ones are asked for in
// huge pages, which takes most of the page faults out of their first use.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qzr {

class ZeroedInts {
 public:
  ZeroedInts() = default;
  // Throws std::bad_alloc when the system refuses.
  explicit ZeroedInts(size_t count);
  ZeroedInts(ZeroedInts&& other) noexcept;
  ZeroedInts& operator=(ZeroedInts&& other) noexcept;
  ZeroedInts(const ZeroedInts&) = delete;
  ZeroedInts& operator=(const ZeroedInts&) = delete;
  ~ZeroedInts();

  int32_t* get() const { return data_; }
  size_t size() const { return count_; }

 private:
  void release();
  int32_t* data_ = nullptr;
  size_t count_ = 0;
  size_t mapped_bytes_ = 0;  // nonzero when the block is a mapping of its own
};

}  // namespace qzr
