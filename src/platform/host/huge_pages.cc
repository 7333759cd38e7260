#include "platform/host/huge_pages.h"

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace testqav {

void EnsureHugePageHeap(char** argv) {
  constexpr const char* kTunable = "glibc.malloc.hugetlb=1";
  constexpr const char* kMarker = "TESTQAV_HUGE_PAGES";
  const char* marker = std::getenv(kMarker);
  // Set by the first start (or by a user who does not want this): never start again, so
  // that a C library that ignores the tunable cannot cause a loop.
  if (marker != nullptr) return;
  std::string tunables;
  if (const char* old = std::getenv("GLIBC_TUNABLES"); old != nullptr && *old != '\0') {
    tunables = old;
    if (tunables.find("glibc.malloc.hugetlb") != std::string::npos) return;
    tunables += ":";
  }
  tunables += kTunable;
  if (::setenv("GLIBC_TUNABLES", tunables.c_str(), 1) != 0) return;
  if (::setenv(kMarker, "1", 1) != 0) return;
  ::execv("/proc/self/exe", argv);
  // Starting again failed (no /proc, say): carry on with ordinary pages.
}

}  // namespace testqav
