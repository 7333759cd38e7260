// Transparent huge pages for the C library's heap. A run of a large organisation holds more
// than a gigabyte in millions of small blocks; with 4 KiB pages the process spends a third
// of its time in page faults and TLB misses, and more when freed memory goes back to the
// kernel only to be faulted in again. The C library's heap is tuned through the
// GLIBC_TUNABLES variable alone, which is read when a program starts, so the program starts
// itself once more with the tunables added.
#pragma once

namespace testqav {

// Returns only when the process already runs with the tunables (or the user set
// TESTQAV_HUGE_PAGES, or set all of them, or starting again failed); otherwise it replaces
// the process with a fresh start of the same program, same arguments, tunables added.
void EnsureHugePageHeap(char** argv);

}  // namespace testqav
