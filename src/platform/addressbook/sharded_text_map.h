// A text-keyed map that two threads fill and read at the same time. The keys are spread
// over shards, each with its own lock, so that a thread seldom meets the other in the same
// shard; and when a shard outgrows its table and rebuilds it (a pause that grows with the
// map), only the keys of that shard wait, for a table a fraction of the size.
//
// A shard is an open-addressing table of (hash, item) slots: a look-up reads one slot and
// the one item whose hash matches, where a node-based map chases a bucket, a node and the
// key. Nothing is ever removed.
//
// No memory is first touched with a shard's lock held: an item is built, and a larger table
// allocated and cleared, before the lock is taken. The first touch of fresh memory can cost
// milliseconds (the system clears the page, and a virtual machine's host may have to find
// one), and the other thread would wait all that time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/common/text.h"

namespace testqav {

template <typename Value>
class ShardedTextMap {
 public:
  ShardedTextMap() = default;
  ShardedTextMap(const ShardedTextMap&) = delete;
  ShardedTextMap& operator=(const ShardedTextMap&) = delete;

  // A copy of the value kept for `key`, if any.
  std::optional<Value> Find(std::string_view key) const {
    const size_t hash = TextHash{}(key);
    const Shard& s = shards_[ShardIndex(hash)];
    std::lock_guard<std::mutex> lock(s.lock);
    const Item* item = s.Locate(key, hash);
    if (item == nullptr) return std::nullopt;
    return item->value;
  }

  // Keeps `value` for `key` unless a value is kept already; either way returns (a copy of)
  // the value kept, so that every caller hands out the same one.
  Value Emplace(std::string key, Value value) {
    const size_t hash = TextHash{}(key);
    Shard& s = shards_[ShardIndex(hash)];
    auto item = std::make_unique<Item>(Item{std::move(key), std::move(value)});
    std::vector<Slot> larger;
    while (true) {
      {
        std::lock_guard<std::mutex> lock(s.lock);
        if (const Item* kept = s.Locate(item->key, hash)) return kept->value;
        if (!larger.empty() && larger.size() == Grown(s.slots.size())) s.Rebuild(larger);
        if ((s.count + 1) * 2 <= s.slots.size()) {
          s.Place(hash, item.get());
          ++s.count;
          return item.release()->value;
        }
        larger.assign(Grown(s.slots.size()), Slot{});
      }
      // The larger table was made (and its memory cleared) outside the lock; the next round
      // takes it unless the other thread grew the shard meanwhile.
    }
  }

  size_t size() const {
    size_t n = 0;
    for (const Shard& s : shards_) {
      std::lock_guard<std::mutex> lock(s.lock);
      n += s.count;
    }
    return n;
  }

 private:
  static constexpr size_t kShardBits = 6;
  struct Item {
    std::string key;
    Value value;
  };
  struct Slot {
    size_t hash = 0;
    Item* item = nullptr;  // owned by the shard; nullptr = free
  };
  struct Shard {
    Shard() = default;
    Shard(const Shard&) = delete;
    Shard& operator=(const Shard&) = delete;
    ~Shard() {
      for (const Slot& slot : slots) delete slot.item;
    }
    const Item* Locate(std::string_view key, size_t hash) const {
      if (slots.empty()) return nullptr;
      const size_t mask = slots.size() - 1;
      for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots[i];
        if (slot.item == nullptr) return nullptr;
        if (slot.hash == hash && slot.item->key == key) return slot.item;
      }
    }
    // Moves every item into `larger` (cleared, twice the size) and keeps it as the table.
    void Rebuild(std::vector<Slot>& larger) {
      slots.swap(larger);
      for (const Slot& slot : larger) {
        if (slot.item != nullptr) Place(slot.hash, slot.item);
      }
      larger.clear();
    }
    void Place(size_t hash, Item* item) {
      const size_t mask = slots.size() - 1;
      size_t i = hash & mask;
      while (slots[i].item != nullptr) i = (i + 1) & mask;
      slots[i] = Slot{hash, item};
    }

    mutable std::mutex lock;
    std::vector<Slot> slots;  // a power of two in size, at most half in use
    size_t count = 0;
  };
  static size_t Grown(size_t slots) { return slots == 0 ? 16 : slots * 2; }
  // The top bits of the hash pick the shard, the low bits the slot within it.
  static size_t ShardIndex(size_t hash) { return hash >> (sizeof(size_t) * 8 - kShardBits); }

  std::array<Shard, size_t{1} << kShardBits> shards_;
};

}  // namespace testqav
