#include "common/large_memory.h"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qzr {
namespace {

#if defined(__linux__)
constexpr size_t kMappedFrom = size_t{2} << 20;  // one huge page
#endif

}  // namespace

void* allocate_large(size_t bytes, [[maybe_unused]] Fill fill) {
#if defined(__linux__)
  if (bytes >= kMappedFrom) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, bytes, MADV_HUGEPAGE);  // a hint: refused, it changes nothing
    return p;
  }
#endif
  const size_t size = bytes == 0 ? 1 : bytes;
  void* p = fill == Fill::zeros ? std::calloc(size, 1) : std::malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void free_large(void* p, [[maybe_unused]] size_t bytes) {
  if (p == nullptr) return;
#if defined(__linux__)
  if (bytes >= kMappedFrom) {
    munmap(p, bytes);
    return;
  }
#endif
  std::free(p);
}

}  // namespace qzr
