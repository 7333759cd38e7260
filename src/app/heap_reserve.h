// Where the program's heap takes its memory (src/app/heap_reserve.cc): one region reserved at
// start, faulted in ahead of the allocator by a thread of its own.
#pragma once

#include <cstddef>
#include <optional>

namespace testqav {

struct HeapReserveUse {
  size_t handed_out = 0;  // bytes of the region given to the allocator
  size_t faulted_in = 0;  // bytes of the region faulted in so far
};

// How much of the region is in use; nullopt when the heap does not take its memory from it
// (another allocator, or a region that could not be reserved).
std::optional<HeapReserveUse> HeapReserveInUse();

}  // namespace testqav
