#include "platform/recordset/kept_matches.h"

#include <utility>

#include "platform/common/thread_priority.h"

namespace testqav::recordset_internal {

namespace {
uint64_t HashOf(std::string_view filter) { return std::hash<std::string_view>{}(filter); }
}  // namespace

KeptMatches::~KeptMatches() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool KeptMatches::Find(std::string_view filter, std::vector<uint32_t>& out) const {
  const uint64_t hash = HashOf(filter);
  const Kept* kept = nullptr;
  {
    // The thread works at the lowest priority: when it holds the lock, it may not run again
    // for a while, and selecting the matches here is quicker than waiting for it.
    std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) return false;
    auto found = kept_.find(hash);
    if (found == kept_.end()) return false;
    kept = &found->second;
  }
  // Only this thread removes entries, and the thread's insertions leave nodes in place.
  if (kept->filter != filter) return false;
  out = kept->matches;
  return true;
}

bool KeptMatches::IsKept(uint64_t hash) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kept_.find(hash) != kept_.end();
}

void KeptMatches::Keep(std::string_view filter, const std::vector<uint32_t>& matches) {
  Node node = MakeNode(HashOf(filter), filter, matches);
  // As in Find: what is not kept now is selected again if it is set again.
  std::unique_lock<std::mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock()) return;
  if (kept_bytes_ > kMaxKeptBytes) {
    kept_.clear();
    kept_bytes_ = 0;
  }
  StoreLocked(std::move(node));
}

KeptMatches::Node KeptMatches::MakeNode(uint64_t hash, std::string_view filter,
                                        const std::vector<uint32_t>& matches) {
  // Made outside the lock: the allocations need not hold up the other thread.
  std::unordered_map<uint64_t, Kept> one;
  one.try_emplace(hash, Kept{std::string(filter), matches});
  return one.extract(hash);
}

void KeptMatches::StoreLocked(Node node) {
  const size_t bytes = node.mapped().filter.size() +
                       node.mapped().matches.size() * sizeof(uint32_t) + kEntryOverhead;
  if (kept_.insert(std::move(node)).inserted) kept_bytes_ += bytes;
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
      const uint64_t hash = filter ? HashOf(*filter) : 0;
      std::optional<Node> node;
      // A text the caller got to first, or that came twice, is not selected again.
      if (filter && !IsKept(hash)) {
        if (std::optional<std::vector<uint32_t>> matches = select_(*filter)) {
          node = MakeNode(hash, *filter, *matches);
        }
      }
      lock.lock();
      busy_ = false;
      // Forget may be waiting for the text in hand.
      changed_.notify_all();
      if (!filter || stopping_ || generation != generation_) break;
      if (node && kept_bytes_ <= kMaxKeptBytes) StoreLocked(std::move(*node));
    }
  }
}

}  // namespace testqav::recordset_internal
