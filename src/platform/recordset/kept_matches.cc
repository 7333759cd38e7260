#include "platform/recordset/kept_matches.h"

#include <utility>

#include "platform/common/thread_priority.h"

namespace testqav::recordset_internal {

KeptMatches::~KeptMatches() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool KeptMatches::Find(std::string_view filter, std::vector<uint32_t>& out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = kept_.find(filter);
  if (found == kept_.end()) return false;
  out = found->second;
  return true;
}

bool KeptMatches::IsKept(std::string_view filter) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kept_.find(filter) != kept_.end();
}

void KeptMatches::Keep(std::string_view filter, const std::vector<uint32_t>& matches) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (kept_bytes_ > kMaxKeptBytes) {
    kept_.clear();
    kept_bytes_ = 0;
  }
  StoreLocked(filter, matches);
}

void KeptMatches::StoreLocked(std::string_view filter, const std::vector<uint32_t>& matches) {
  if (kept_.find(filter) != kept_.end()) return;
  kept_bytes_ += filter.size() + matches.size() * sizeof(uint32_t) + kEntryOverhead;
  kept_.emplace(std::string(filter), matches);
}

void KeptMatches::Anticipate(Texts next) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(next));
    if (!thread_.joinable()) thread_ = std::thread([this] { Work(); });
  }
  changed_.notify_all();
}

void KeptMatches::Forget() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (kept_.empty() && queue_.empty() && !busy_) return;
  queue_.clear();
  ++generation_;
  changed_.wait(lock, [this] { return !busy_; });
  kept_.clear();
  kept_bytes_ = 0;
}

void KeptMatches::Work() {
  LowerCurrentThreadPriority();
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    // Held here, not in the queue, so that Forget never destroys it while it is called.
    Texts next = std::move(queue_.front());
    queue_.pop_front();
    const uint64_t generation = generation_;
    while (true) {
      busy_ = true;
      lock.unlock();
      std::optional<std::string> filter = next();
      std::optional<std::vector<uint32_t>> matches;
      // A text the caller got to first, or that came twice, is not selected again.
      if (filter && !IsKept(*filter)) matches = select_(*filter);
      lock.lock();
      busy_ = false;
      // Forget may be waiting for the text in hand.
      changed_.notify_all();
      if (!filter || stopping_ || generation != generation_) break;
      if (matches && kept_bytes_ <= kMaxKeptBytes) StoreLocked(*filter, *matches);
    }
  }
}

}  // namespace testqav::recordset_internal
