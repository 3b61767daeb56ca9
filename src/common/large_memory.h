// Storage of the large working arrays, for RawVector and ZeroedArray alike:
// from nearly one huge page up it is mapped from the system (already zero there,
// so never cleared again) and asked for in huge pages where the system has
// them, which takes most of the page faults out of its first use; below, it
// comes from the heap.
#pragma once

#include <cstddef>

namespace qzr {

enum class Fill { none, zeros };

// `bytes` of storage, zero-filled with Fill::zeros (never null; throws
// std::bad_alloc when refused). free_large takes the same count back.
void* allocate_large(size_t bytes, Fill fill);
void free_large(void* p, size_t bytes);

}  // namespace qzr
