// Builds whose heap is not jemalloc's (sanitizers, or jemalloc left out) have no reserve.
#include "app/heap_reserve.h"

namespace testqav {

std::optional<HeapReserveUse> HeapReserveInUse() { return std::nullopt; }

}  // namespace testqav
