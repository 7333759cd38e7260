#include "platform/common/spin_lock.h"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

namespace testqav {
namespace {

// Each thread adds to a plain (non-atomic) pair under the lock: a lock that let two threads
// in at once would lose increments or leave the pair unequal.
TEST(SpinLockTest, ExcludesOtherThreads) {
  SpinLock lock;
  long a = 0;
  long b = 0;
  bool torn = false;
  constexpr int kThreads = 4;
  constexpr int kRounds = 200000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        std::lock_guard<SpinLock> guard(lock);
        if (a != b) torn = true;
        ++a;
        ++b;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_FALSE(torn);
  EXPECT_EQ(a, long{kThreads} * kRounds);
  EXPECT_EQ(b, a);
}

TEST(SpinLockTest, TryLockFailsWhileHeld) {
  SpinLock lock;
  ASSERT_TRUE(lock.try_lock());
  bool other = true;
  std::thread([&] { other = lock.try_lock(); }).join();
  EXPECT_FALSE(other);
  lock.unlock();
  std::thread([&] {
    other = lock.try_lock();
    if (other) lock.unlock();
  }).join();
  EXPECT_TRUE(other);
}

}  // namespace
}  // namespace testqav
