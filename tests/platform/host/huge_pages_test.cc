#include "platform/host/huge_pages.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace testqav {
namespace {

constexpr const char* kProbeOut = "HUGE_PAGES_PROBE_OUT";

// Runs only inside the restarted test program (see below): records what the restart
// brought and shows that a second call returns instead of starting once more.
TEST(HugePagesProbe, RecordEnvironment) {
  const char* out = std::getenv(kProbeOut);
  if (out == nullptr) GTEST_SKIP() << "only run by HugePageHeap.RestartsOnceWithTheTunable";
  char self[] = "unused";
  char* argv[] = {self, nullptr};
  EnsureHugePageHeap(argv);  // must return: the marker is set
  std::ofstream f(out);
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  const char* marker = std::getenv("TESTQAV_HUGE_PAGES");
  f << (tunables ? tunables : "<unset>") << "\n" << (marker ? marker : "<unset>") << "\n";
}

std::string RunRestarted(const std::string& tunables_before) {
  const std::filesystem::path out =
      std::filesystem::temp_directory_path() / ("huge_pages_probe_" + std::to_string(getpid()));
  std::filesystem::remove(out);
  pid_t pid = fork();
  if (pid == 0) {
    ::unsetenv("TESTQAV_HUGE_PAGES");
    if (tunables_before.empty()) {
      ::unsetenv("GLIBC_TUNABLES");
    } else {
      ::setenv("GLIBC_TUNABLES", tunables_before.c_str(), 1);
    }
    ::setenv(kProbeOut, out.c_str(), 1);
    char self[] = "huge_pages_test";
    char filter[] = "--gtest_filter=HugePagesProbe.RecordEnvironment";
    char* argv[] = {self, filter, nullptr};
    EnsureHugePageHeap(argv);
    _exit(97);  // reached only when the restart did not happen
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  std::ifstream in(out);
  std::stringstream content;
  content << in.rdbuf();
  std::filesystem::remove(out);
  return content.str();
}

constexpr const char* kAdded =
    "glibc.malloc.hugetlb=1:glibc.malloc.trim_threshold=4294967296:"
    "glibc.malloc.mmap_threshold=33554432";

TEST(HugePageHeap, RestartsOnceWithTheTunables) {
  EXPECT_EQ(RunRestarted(""), std::string(kAdded) + "\n1\n");
  // Tunables the user set are kept, and where they set one of ours their value stays.
  EXPECT_EQ(RunRestarted("glibc.malloc.check=0"),
            "glibc.malloc.check=0:" + std::string(kAdded) + "\n1\n");
  EXPECT_EQ(RunRestarted("glibc.malloc.hugetlb=0"),
            "glibc.malloc.hugetlb=0:glibc.malloc.trim_threshold=4294967296:"
            "glibc.malloc.mmap_threshold=33554432\n1\n");
}

TEST(HugePageHeap, UserChoicesStopTheRestart) {
  // TESTQAV_HUGE_PAGES set by the user, or all three tunables of their own: no restart.
  ::setenv("TESTQAV_HUGE_PAGES", "0", 1);
  char self[] = "unused";
  char* argv[] = {self, nullptr};
  EnsureHugePageHeap(argv);
  ::unsetenv("TESTQAV_HUGE_PAGES");
  const char* before = std::getenv("GLIBC_TUNABLES");
  std::string saved = before ? before : "";
  const char* own =
      "glibc.malloc.hugetlb=0:glibc.malloc.trim_threshold=0:glibc.malloc.mmap_threshold=0";
  ::setenv("GLIBC_TUNABLES", own, 1);
  EnsureHugePageHeap(argv);
  EXPECT_STREQ(std::getenv("GLIBC_TUNABLES"), own);
  EXPECT_EQ(std::getenv("TESTQAV_HUGE_PAGES"), nullptr);
  if (saved.empty()) {
    ::unsetenv("GLIBC_TUNABLES");
  } else {
    ::setenv("GLIBC_TUNABLES", saved.c_str(), 1);
  }
}

}  // namespace
}  // namespace testqav
