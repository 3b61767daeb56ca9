// Large zero-filled working arrays. Memory fresh from the system is already
// zero, so it is not cleared again; on Linux the large ones are asked for in
// huge pages, which takes most of the page faults out of their first use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace qzr {

// `bytes` zeroed bytes (never null; throws std::bad_alloc when refused).
// `mapped` receives what zeroed_free needs to give them back.
void* zeroed_allocate(size_t bytes, size_t& mapped);
void zeroed_free(void* p, size_t mapped);

template <class T>
class ZeroedArray {
 public:
  ZeroedArray() = default;
  explicit ZeroedArray(size_t count) : count_(count) {
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    data_ = static_cast<T*>(zeroed_allocate(count * sizeof(T), mapped_));
  }
  ZeroedArray(ZeroedArray&& other) noexcept { swap(other); }
  ZeroedArray& operator=(ZeroedArray&& other) noexcept {
    ZeroedArray(std::move(other)).swap(*this);
    return *this;
  }
  ZeroedArray(const ZeroedArray&) = delete;
  ZeroedArray& operator=(const ZeroedArray&) = delete;
  ~ZeroedArray() {
    if (data_ != nullptr) zeroed_free(data_, mapped_);
  }

  T* get() const { return data_; }
  size_t size() const { return count_; }

 private:
  void swap(ZeroedArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(count_, other.count_);
    std::swap(mapped_, other.mapped_);
  }
  T* data_ = nullptr;
  size_t count_ = 0;
  size_t mapped_ = 0;
};

}  // namespace qzr
