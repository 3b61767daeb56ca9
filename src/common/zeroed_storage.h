// Large zero-filled working arrays, in allocate_large's storage.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "common/large_memory.h"

namespace qzr {

template <class T>
class ZeroedArray {
 public:
  ZeroedArray() = default;
  explicit ZeroedArray(size_t count) : count_(count) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    data_ = static_cast<T*>(allocate_large(count * sizeof(T), Fill::zeros));
  }
  ZeroedArray(ZeroedArray&& other) noexcept { swap(other); }
  ZeroedArray& operator=(ZeroedArray&& other) noexcept {
    ZeroedArray(std::move(other)).swap(*this);
    return *this;
  }
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;
  ~ZeroedArray() { free_large(data_, count_ * sizeof(T)); }

  T* get() const { return data_; }
  // Values [first, first + count) are no longer needed: their whole pages
  // go back to the system (give_back_large) and read as zeros after.
  void give_back(size_t first, size_t count) {
    if (first < count_)
      give_back_large(data_, count_ * sizeof(T), first * sizeof(T), std::min(count, count_ - first) * sizeof(T));
  }
  size_t size() const { return count_; }

 private:
  void swap(ZeroedArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(count_, other.count_);
  }
  T* data_ = nullptr;
  size_t count_ = 0;
};

}  // namespace qzr
