// Large zero-filled working arrays, in allocate_large's storage.
#pragma once

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
