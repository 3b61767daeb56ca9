// Storage of the large working arrays, for RawVector and ZeroedArray alike:
// from 256 KiB up it is mapped from the system (already zero there, so never
// cleared again, and parts of it can be given back before the whole goes),
// from nearly one huge page up in whole huge pages where the system has
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

// Gives the whole pages among bytes [offset, offset + length) of a block
// from allocate_large, `bytes` long, back to the system where the block is
// mapped: they hold no memory until written again, and read as zeros.
// Elsewhere it does nothing.
void give_back_large(void* p, size_t bytes, size_t offset, size_t length);

}  // namespace qzr
