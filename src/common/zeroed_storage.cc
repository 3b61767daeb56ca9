#include "common/zeroed_storage.h"

#include <cstdlib>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qzr {

namespace {
#if defined(__linux__)
constexpr size_t kMappedFrom = size_t{8} << 20;  // bytes
#endif
}  // namespace

ZeroedInts::ZeroedInts(size_t count) : count_(count) {
  const size_t bytes = count * sizeof(int32_t);
  if (count != 0 && bytes / sizeof(int32_t) != count) throw std::bad_alloc();
#if defined(__linux__)
  if (bytes >= kMappedFrom) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, bytes, MADV_HUGEPAGE);  // a hint: refused, it changes nothing
    data_ = static_cast<int32_t*>(p);
    mapped_bytes_ = bytes;
    return;
  }
#endif
  void* p = std::calloc(count == 0 ? 1 : count, sizeof(int32_t));
  if (p == nullptr) throw std::bad_alloc();
  data_ = static_cast<int32_t*>(p);
}

ZeroedInts::ZeroedInts(ZeroedInts&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      count_(std::exchange(other.count_, 0)),
      mapped_bytes_(std::exchange(other.mapped_bytes_, 0)) {}

ZeroedInts& ZeroedInts::operator=(ZeroedInts&& other) noexcept {
  if (this != &other) {
    release();
    data_ = std::exchange(other.data_, nullptr);
    count_ = std::exchange(other.count_, 0);
    mapped_bytes_ = std::exchange(other.mapped_bytes_, 0);
  }
  return *this;
}

ZeroedInts::~ZeroedInts() { release(); }

void ZeroedInts::release() {
  if (data_ == nullptr) return;
#if defined(__linux__)
  if (mapped_bytes_ != 0) {
    munmap(data_, mapped_bytes_);
    data_ = nullptr;
    return;
  }
#endif
  std::free(data_);
  data_ = nullptr;
}

}  // namespace qzr
