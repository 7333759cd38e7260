// A lock for critical sections of a few hundred instructions (a hash-map look-up or insert)
// that two busy threads take many thousand times a second. A contended std::mutex puts the
// waiter to sleep and makes the holder wake it with a system call, which costs far more than
// the section itself (and more still in a virtual machine); this one spins instead, and
// yields the core only when the holder seems not to be running.
#pragma once

#include <atomic>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace testqav {

class SpinLock {
 public:
  void lock() {
    int spins = 0;
    while (locked_.exchange(true, std::memory_order_acquire)) {
      // Wait on a plain load: exchanging in a loop would keep taking the cache line from
      // the holder.
      while (locked_.load(std::memory_order_relaxed)) {
        if (++spins < kSpinsBeforeYield) {
          Pause();
        } else {
          std::this_thread::yield();
        }
      }
    }
  }
  bool try_lock() {
    return !locked_.load(std::memory_order_relaxed) &&
           !locked_.exchange(true, std::memory_order_acquire);
  }
  void unlock() { locked_.store(false, std::memory_order_release); }

 private:
  static constexpr int kSpinsBeforeYield = 4096;
  static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#endif
  }
  std::atomic<bool> locked_{false};
};

}  // namespace testqav
