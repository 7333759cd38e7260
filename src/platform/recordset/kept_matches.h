// What filter texts selected in a record set whose records stay as they are, for the indexed
// record set's FilterMemory: matches the caller found itself, and matches that a thread of
// this object's own found beforehand for texts the caller announced. The caller makes the
// records stay as they are: it calls Forget before it changes them, and the thread has stopped
// searching when Forget returns. Find, Keep and Forget come from the record set's owner, one
// thread; only they ever remove what is kept.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace testqav::recordset_internal {

class KeptMatches {
 public:
  // What a filter text selects, or nullopt when it does not parse. Called on the thread;
  // guards for itself whatever it shares with the caller's own searches.
  using Select = std::function<std::optional<std::vector<uint32_t>>(std::string_view filter)>;

  explicit KeptMatches(Select select) : select_(std::move(select)) {}
  ~KeptMatches();
  KeptMatches(const KeptMatches&) = delete;
  KeptMatches& operator=(const KeptMatches&) = delete;

  // The matches kept for `filter` into `out`; false when none are, or when the thread holds
  // the lock at that moment (the caller then selects them itself rather than wait).
  bool Find(std::string_view filter, std::vector<uint32_t>& out) const;
  // Keeps what the caller found for `filter` (unless the thread holds the lock).
  void Keep(std::string_view filter, const std::vector<uint32_t>& matches);
  // What Anticipate is given: the next text to select, nullopt after the last.
  using Texts = std::function<std::optional<std::string>()>;
  // Queues texts for the thread (started by the first call), to be made and selected in
  // this order.
  void Anticipate(Texts next);
  // The records are about to change: the thread finishes the text in hand and drops the
  // rest of its queue, and everything kept is forgotten.
  void Forget();

 private:
  // A filter text and what it selected. Kept under the 64-bit hash of the text, so that the
  // owner's look-ups, one per filter it sets, hash their long texts outside the lock and
  // compare them outside it too; two texts that share a hash keep only the first.
  struct Kept {
    std::string filter;
    std::vector<uint32_t> matches;
  };

  using Node = std::unordered_map<uint64_t, Kept>::node_type;
  void Work();
  bool IsKept(uint64_t hash) const;
  static Node MakeNode(uint64_t hash, std::string_view filter,
                       const std::vector<uint32_t>& matches);
  void StoreLocked(Node node);

  // Bounded: a caller that sets ever new texts starts over rather than growing without end,
  // and the thread stops keeping what it finds.
  static constexpr size_t kMaxKeptBytes = size_t{64} << 20;
  static constexpr size_t kEntryOverhead = 64;  // the map's node and the vector, roughly

  const Select select_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  // Under mutex_ (its nodes stay where they are until the owner removes them):
  std::unordered_map<uint64_t, Kept> kept_;
  size_t kept_bytes_ = 0;
  std::deque<Texts> queue_;
  uint64_t generation_ = 0;  // counts Forget calls: what the thread found before one is stale
  bool busy_ = false;        // the thread is selecting a text
  bool stopping_ = false;
  std::thread thread_;  // started by the first Anticipate
};

}  // namespace testqav::recordset_internal
