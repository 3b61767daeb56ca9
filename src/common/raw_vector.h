// Vectors whose new elements are left uninitialised: for large working
// arrays that are written whole before they are read, so that growing them
// does not clear them first. Their storage is allocate_large's.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "common/large_memory.h"

namespace qzr {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_large(n * sizeof(T), Fill::none));
  }
  void deallocate(T* p, size_t n) noexcept { free_large(p, n * sizeof(T)); }
  // A new element without a value: default-initialised, not zeroed.
  template <class U>
  void construct(U* p) noexcept(noexcept(::new (static_cast<void*>(p)) U)) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using RawVector = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace qzr
