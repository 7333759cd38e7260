// A text-keyed map that two threads fill and read at the same time. The keys are spread
// over shards, each with its own lock, so that a thread seldom meets the other in the same
// shard; and when a shard outgrows its table and rebuilds it (a pause that grows with the
// map), only the keys of that shard wait, for a table a fraction of the size.
//
// A shard is an open-addressing table of (hash, item) slots over a vector of items: a
// look-up reads one slot and the one item whose hash matches, where a node-based map chases
// a bucket, a node and the key. Nothing is ever removed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/common/spin_lock.h"
#include "platform/common/text.h"

namespace testqav {

template <typename Value>
class ShardedTextMap {
 public:
  // A copy of the value kept for `key`, if any.
  std::optional<Value> Find(std::string_view key) const {
    const size_t hash = TextHash{}(key);
    const Shard& s = shards_[ShardIndex(hash)];
    std::lock_guard<SpinLock> lock(s.lock);
    const uint32_t item = s.Locate(key, hash);
    if (item == 0) return std::nullopt;
    return s.items[item - 1].value;
  }

  // Keeps `value` for `key` unless a value is kept already; either way returns (a copy of)
  // the value kept, so that every caller hands out the same one.
  Value Emplace(std::string key, Value value) {
    const size_t hash = TextHash{}(key);
    Shard& s = shards_[ShardIndex(hash)];
    std::lock_guard<SpinLock> lock(s.lock);
    if (const uint32_t item = s.Locate(key, hash); item != 0) return s.items[item - 1].value;
    return s.Add(std::move(key), std::move(value), hash);
  }

  size_t size() const {
    size_t n = 0;
    for (const Shard& s : shards_) {
      std::lock_guard<SpinLock> lock(s.lock);
      n += s.items.size();
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
    uint32_t item = 0;  // position in `items` + 1; 0 = free
  };
  struct Shard {
    // The item (position + 1) kept for `key`, or 0.
    uint32_t Locate(std::string_view key, size_t hash) const {
      if (slots.empty()) return 0;
      const size_t mask = slots.size() - 1;
      for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots[i];
        if (slot.item == 0) return 0;
        if (slot.hash == hash && items[slot.item - 1].key == key) return slot.item;
      }
    }
    const Value& Add(std::string key, Value value, size_t hash) {
      // At most half the slots in use keeps the probe sequences short.
      if ((items.size() + 1) * 2 > slots.size()) Grow();
      items.push_back(Item{std::move(key), std::move(value)});
      Place(hash, static_cast<uint32_t>(items.size()));
      return items.back().value;
    }
    void Grow() {
      std::vector<Slot> old = std::move(slots);
      slots.assign(old.empty() ? 16 : old.size() * 2, Slot{});
      for (const Slot& slot : old) {
        if (slot.item != 0) Place(slot.hash, slot.item);
      }
    }
    void Place(size_t hash, uint32_t item) {
      const size_t mask = slots.size() - 1;
      size_t i = hash & mask;
      while (slots[i].item != 0) i = (i + 1) & mask;
      slots[i] = Slot{hash, item};
    }

    mutable SpinLock lock;
    std::vector<Item> items;
    std::vector<Slot> slots;  // a power of two in size
  };
  // The top bits of the hash pick the shard, the low bits the slot within it.
  static size_t ShardIndex(size_t hash) { return hash >> (sizeof(size_t) * 8 - kShardBits); }

  std::array<Shard, size_t{1} << kShardBits> shards_;
};

}  // namespace testqav
