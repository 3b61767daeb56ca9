#include "common/large_memory.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace qzr {
namespace {

#if defined(__linux__)
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kMappedFrom = size_t{256} << 10;

// The length mapped for `bytes`: whole huge pages when that adds at most an
// eighth, since the system gives huge pages only to whole aligned 2-MiB
// stretches of a mapping (and aligns mappings of whole huge pages); the
// rest of a longer length would fault in 4-KiB pages, one fault each.
size_t mapped_length(size_t bytes) {
  const size_t whole = (bytes + kHugePage - 1) / kHugePage * kHugePage;
  return whole - bytes <= bytes / 8 ? whole : bytes;
}
#endif

}  // namespace

void* allocate_large(size_t bytes, [[maybe_unused]] Fill fill) {
#if defined(__linux__)
  if (bytes >= kMappedFrom) {
    const size_t length = mapped_length(bytes);
    void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    madvise(p, length, MADV_HUGEPAGE);  // a hint: refused, it changes nothing
    return p;
  }
#endif
  const size_t size = bytes == 0 ? 1 : bytes;
  void* p = fill == Fill::zeros ? std::calloc(size, 1) : std::malloc(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void give_back_large([[maybe_unused]] void* p, [[maybe_unused]] size_t bytes, [[maybe_unused]] size_t offset,
                     [[maybe_unused]] size_t length) {
#if defined(__linux__)
  if (p == nullptr || bytes < kMappedFrom || offset >= bytes) return;
  const size_t page = 4096;
  const size_t first = (offset + page - 1) / page * page;
  const size_t last = (offset + std::min(length, bytes - offset)) / page * page;
  if (first < last) madvise(static_cast<uint8_t*>(p) + first, last - first, MADV_DONTNEED);
#endif
}

void free_large(void* p, [[maybe_unused]] size_t bytes) {
  if (p == nullptr) return;
#if defined(__linux__)
  if (bytes >= kMappedFrom) {
    munmap(p, mapped_length(bytes));
    return;
  }
#endif
  std::free(p);
}

}  // namespace qzr
