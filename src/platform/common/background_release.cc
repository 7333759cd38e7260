#include "platform/common/background_release.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace testqav {
namespace {

class Releaser {
 public:
  ~Releaser() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void Add(std::shared_ptr<void> garbage) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(std::move(garbage));
      if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    }
    wake_.notify_all();
  }

  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;  // stopping, nothing left
      std::shared_ptr<void> next = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
      lock.unlock();
      next.reset();
      lock.lock();
      busy_ = false;
      if (queue_.empty()) idle_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::deque<std::shared_ptr<void>> queue_;
  bool busy_ = false;
  bool stopping_ = false;
  std::thread thread_;
};

Releaser& TheReleaser() {
  static Releaser releaser;
  return releaser;
}

}  // namespace

void ReleaseInBackground(std::shared_ptr<void> garbage) {
  if (garbage) TheReleaser().Add(std::move(garbage));
}

void WaitForBackgroundRelease() { TheReleaser().Wait(); }

}  // namespace testqav
