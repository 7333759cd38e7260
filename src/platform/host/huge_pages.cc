#include "platform/host/huge_pages.h"

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace testqav {

namespace {

struct Tunable {
  std::string_view name;
  std::string_view value;
};

// Huge pages for the heap; freed memory kept for reuse instead of handed back to the kernel
// (which would clear every huge page again when it is touched anew); blocks up to 32 MiB
// from the heap rather than from mappings of their own, for the same reason.
constexpr Tunable kTunables[] = {
    {"glibc.malloc.hugetlb", "1"},
    {"glibc.malloc.trim_threshold", "4294967296"},
    {"glibc.malloc.mmap_threshold", "33554432"},
};

}  // namespace

void EnsureHugePageHeap(char** argv) {
  constexpr const char* kMarker = "TESTQAV_HUGE_PAGES";
  // Set by the first start (or by a user who does not want this): never start again, so
  // that a C library that ignores the tunables cannot cause a loop.
  if (std::getenv(kMarker) != nullptr) return;
  const char* old = std::getenv("GLIBC_TUNABLES");
  const std::string before = old != nullptr ? old : "";
  std::string tunables = before;
  for (const Tunable& t : kTunables) {
    // A value the user chose stays.
    if (before.find(t.name) != std::string::npos) continue;
    if (!tunables.empty()) tunables += ":";
    tunables.append(t.name).append("=").append(t.value);
  }
  if (tunables == before) return;
  if (::setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
  if (::setenv(kMarker, "1", 1) != 0) return;
  ::execv("/proc/self/exe", argv);
  // Starting again failed (no /proc, say): carry on with the usual heap.
}

}  // namespace testqav
