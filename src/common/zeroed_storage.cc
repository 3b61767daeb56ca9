#include "common/zeroed_storage.h"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qzr {

void* zeroed_allocate(size_t bytes, size_t& mapped) {
  mapped = 0;
#if defined(__linux__)
  constexpr size_t kMappedFrom = size_t{8} << 20;
  if (bytes >= kMappedFrom) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, bytes, MADV_HUGEPAGE);  // a hint: refused, it changes nothing
    mapped = bytes;
    return p;
  }
#endif
  void* p = std::calloc(bytes == 0 ? 1 : bytes, 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void zeroed_free(void* p, [[maybe_unused]] size_t mapped) {  // a mapping only on Linux
#if defined(__linux__)
  if (mapped != 0) {
    munmap(p, mapped);
    return;
  }
#endif
  std::free(p);
}

}  // namespace qzr
