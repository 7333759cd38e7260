// Settings that jemalloc reads when the program starts (the program is linked with it; see
// cmake/testqav.cmake). Transparent huge pages for the heap and for jemalloc's own
// bookkeeping: with 4 KiB pages a large run spends much of its time in page faults and TLB
// misses. Freed memory is kept for reuse rather than handed back to the kernel, which would
// clear every page again the next time it is touched; a run is short and its peak is what
// counts. New memory is asked of the extent hooks in src/app/heap_reserve.cc one piece at a
// time (not retained in large reservations of jemalloc's own), and large requests stay in
// the arena of the thread that makes them, so that every piece comes from the region those
// hooks fault in ahead. MALLOC_CONF in the environment still overrides these.
extern "C" {
// jemalloc looks this symbol up by name; the name is not ours to choose.
// NOLINTNEXTLINE
extern const char* malloc_conf;
const char* malloc_conf =
    "thp:always,metadata_thp:always,dirty_decay_ms:-1,muzzy_decay_ms:-1,"
    "retain:false,oversize_threshold:0";
}
