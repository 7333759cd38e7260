// Fresh memory is expensive on the machines this program runs on: the first write to a page
// that the process has not used yet costs a fault and the zeroing of the page, and in a
// virtual machine whose host backs guest memory only when it is touched, far more (about a
// millisecond per 2 MiB). A large run touches a gigabyte, on the thread that does the run's
// work. Here the heap takes its memory from one region reserved at start, in address order,
// and a thread of its own at the lowest priority faults in the next stretch of that region
// before the allocator hands it out, on a core that the run leaves idle most of the time.
// Nothing changes for the run's results: the memory is the same, only touched earlier.
#include "app/heap_reserve.h"

#include <jemalloc/jemalloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

#include "platform/common/thread_priority.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

namespace testqav {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;
// Address space only: nothing is committed until it is touched.
constexpr size_t kRegionSize = size_t{64} << 30;
// How far ahead of the allocator the region is kept faulted in.
constexpr size_t kAhead = size_t{64} << 20;

struct Region {
  char* base = nullptr;
  std::atomic<size_t> used{0};       // handed to the allocator: [base, base + used)
  std::atomic<size_t> populated{0};  // faulted in: [base, base + populated)
  std::atomic<uint32_t> wakeups{0};  // bumped when the faulting thread should look again
};

// Never destroyed: the allocator may call the hooks until the process ends.
Region& TheRegion() {
  static Region* region = new Region;
  return *region;
}

size_t AlignUp(size_t n, size_t alignment) { return (n + alignment - 1) / alignment * alignment; }

bool InRegion(const void* p) {
  const Region& r = TheRegion();
  const char* c = static_cast<const char*>(p);
  return r.base != nullptr && c >= r.base && c < r.base + kRegionSize;
}

void* AllocFromSystem(size_t size, size_t alignment) {
  // Beyond the region: an ordinary mapping, aligned by over-allocating.
  const size_t padded =
      size + (alignment > static_cast<size_t>(::sysconf(_SC_PAGESIZE)) ? alignment : 0);
  void* p = ::mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  auto start = reinterpret_cast<uintptr_t>(p);
  const uintptr_t aligned = AlignUp(start, alignment);
  if (aligned > start) ::munmap(p, aligned - start);
  const uintptr_t end = start + padded;
  if (end > aligned + size) ::munmap(reinterpret_cast<void*>(aligned + size), end - aligned - size);
  return reinterpret_cast<void*>(aligned);
}

void* Alloc(extent_hooks_t* /*hooks*/, void* new_addr, size_t size, size_t alignment, bool* zero,
            bool* commit, unsigned /*arena*/) {
  Region& r = TheRegion();
  size_t used = r.used.load(std::memory_order_relaxed);
  while (true) {
    size_t start = AlignUp(used, alignment);
    if (new_addr != nullptr) {
      // Only the end of what was handed out can grow in place.
      if (static_cast<char*>(new_addr) != r.base + used) return nullptr;
      start = used;
    }
    if (start + size > kRegionSize) break;
    if (r.used.compare_exchange_weak(used, start + size, std::memory_order_relaxed)) {
      if (r.populated.load(std::memory_order_relaxed) < start + size + kAhead / 2) {
        r.wakeups.fetch_add(1, std::memory_order_release);
        r.wakeups.notify_one();
      }
      // Never handed out before: zero, and usable without further ado.
      *zero = true;
      *commit = true;
      return r.base + start;
    }
  }
  if (new_addr != nullptr) return nullptr;
  void* p = AllocFromSystem(size, alignment);
  if (p != nullptr) {
    *zero = true;
    *commit = true;
  }
  return p;
}

// Memory is never given back: the allocator keeps it for reuse (a run is short, and its peak
// is what counts).
bool Dalloc(extent_hooks_t* /*hooks*/, void* /*addr*/, size_t /*size*/, bool /*committed*/,
            unsigned /*arena*/) {
  return true;
}

bool Split(extent_hooks_t* /*hooks*/, void* /*addr*/, size_t /*size*/, size_t /*size_a*/,
           size_t /*size_b*/, bool /*committed*/, unsigned /*arena*/) {
  return false;
}

bool Merge(extent_hooks_t* /*hooks*/, void* addr_a, size_t /*size_a*/, void* addr_b,
           size_t /*size_b*/, bool /*committed*/, unsigned /*arena*/) {
  // Two pieces may be one only when both lie inside the region or both outside it.
  return InRegion(addr_a) != InRegion(addr_b);
}

extent_hooks_t kHooks = {Alloc, Dalloc, nullptr, nullptr, nullptr, nullptr, nullptr, Split, Merge};

void FaultAhead() {
  LowerCurrentThreadPriority();
  Region& r = TheRegion();
  while (true) {
    const uint32_t seen = r.wakeups.load(std::memory_order_acquire);
    const size_t want = AlignUp(r.used.load(std::memory_order_relaxed) + kAhead, kHugePage);
    size_t populated = r.populated.load(std::memory_order_relaxed);
    if (populated >= want || want > kRegionSize) {
      r.wakeups.wait(seen, std::memory_order_acquire);
      continue;
    }
    // Faults the pages in without writing to them: the allocator may already have handed
    // them out. A kernel without this request leaves the faults to the first writes.
    if (::madvise(r.base + populated, kHugePage, MADV_POPULATE_WRITE) != 0) return;
    r.populated.store(populated + kHugePage, std::memory_order_relaxed);
  }
}

bool StartHeapReserve() {
  void* p = ::mmap(nullptr, kRegionSize + kHugePage, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return false;
  auto start = reinterpret_cast<uintptr_t>(p);
  Region& r = TheRegion();
  r.base = reinterpret_cast<char*>(AlignUp(start, kHugePage));
  ::madvise(r.base, kRegionSize, MADV_HUGEPAGE);
  unsigned arenas = 0;
  size_t len = sizeof arenas;
  if (mallctl("opt.narenas", &arenas, &len, nullptr, 0) != 0) return false;
  extent_hooks_t* hooks = &kHooks;
  for (unsigned i = 0; i < arenas; ++i) {
    const std::string name = "arena." + std::to_string(i) + ".extent_hooks";
    mallctl(name.c_str(), nullptr, nullptr, &hooks, sizeof hooks);
  }
  std::thread(FaultAhead).detach();
  return true;
}

const bool kReserveStarted = StartHeapReserve();

}  // namespace

std::optional<HeapReserveUse> HeapReserveInUse() {
  if (!kReserveStarted) return std::nullopt;
  const Region& r = TheRegion();
  return HeapReserveUse{r.used.load(std::memory_order_relaxed),
                        r.populated.load(std::memory_order_relaxed)};
}
}  // namespace testqav
