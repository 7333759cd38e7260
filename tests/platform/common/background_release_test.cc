#include "platform/common/background_release.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace testqav {
namespace {

struct Log {
  std::mutex mutex;
  std::vector<int> freed;
  std::vector<std::thread::id> threads;
};

struct Tracked {
  Tracked(Log* to, int number) : log(to), n(number) {}
  ~Tracked() {
    std::lock_guard<std::mutex> lock(log->mutex);
    log->freed.push_back(n);
    log->threads.push_back(std::this_thread::get_id());
  }
  Log* log;
  int n;
};

// What is handed over is freed, in the order given, on a thread that is not the caller's;
// the caller can wait for it.
TEST(BackgroundReleaseTest, FreesInOrderOnAnotherThread) {
  Log log;
  for (int i = 0; i < 50; ++i) ReleaseInBackground(std::make_shared<Tracked>(&log, i));
  ReleaseInBackground(nullptr);  // nothing to free
  WaitForBackgroundRelease();
  std::lock_guard<std::mutex> lock(log.mutex);
  ASSERT_EQ(log.freed.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(log.freed[static_cast<size_t>(i)], i);
  for (std::thread::id id : log.threads) EXPECT_NE(id, std::this_thread::get_id());
}

// An object still shared elsewhere is not freed early: the releasing thread only drops its
// own reference.
TEST(BackgroundReleaseTest, DropsOnlyItsOwnReference) {
  Log log;
  auto kept = std::make_shared<Tracked>(&log, 7);
  ReleaseInBackground(kept);
  WaitForBackgroundRelease();
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    EXPECT_TRUE(log.freed.empty());
  }
  kept.reset();
  std::lock_guard<std::mutex> lock(log.mutex);
  EXPECT_EQ(log.freed, std::vector<int>{7});
}

}  // namespace
}  // namespace testqav
