// Transparent huge pages for the C library's heap. A run of a large organisation holds more
// than a gigabyte in millions of small blocks; with 4 KiB pages the process spends a third
// of its time in page faults and TLB misses. The C library backs its heap with huge pages
// only when the glibc.malloc.hugetlb tunable is set, and tunables are read when a program
// starts, so the program starts itself once more with the tunable added.
#pragma once

namespace testqav {

// Returns only when the process already runs with the tunable (or the user set
// TESTQAV_HUGE_PAGES=0, or starting again failed); otherwise it replaces the process with
// a fresh start of the same program, same arguments, tunable added.
void EnsureHugePageHeap(char** argv);

}  // namespace testqav
