// A text-keyed map that two threads fill and read at the same time. The keys are spread
// over shards, each with its own lock, so that a thread seldom meets the other in the same
// shard; and when a shard outgrows its table and rebuilds it (a pause that grows with the
// map), only the keys of that shard wait, for a table a fraction of the size.
#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/common/spin_lock.h"
#include "platform/common/text.h"

namespace testqav {

template <typename Value>
class ShardedTextMap {
 public:
  // A copy of the value kept for `key`, if any.
  std::optional<Value> Find(std::string_view key) const {
    const Shard& s = ShardOf(key);
    std::lock_guard<SpinLock> lock(s.lock);
    auto it = s.map.find(key);
    if (it == s.map.end()) return std::nullopt;
    return it->second;
  }

  // Keeps `value` for `key` unless a value is kept already; either way returns (a copy of)
  // the value kept, so that every caller hands out the same one.
  Value Emplace(std::string key, Value value) {
    Shard& s = ShardOf(key);
    std::lock_guard<SpinLock> lock(s.lock);
    return s.map.emplace(std::move(key), std::move(value)).first->second;
  }

  size_t size() const {
    size_t n = 0;
    for (const Shard& s : shards_) {
      std::lock_guard<SpinLock> lock(s.lock);
      n += s.map.size();
    }
    return n;
  }

 private:
  static constexpr size_t kShardBits = 6;
  struct Shard {
    mutable SpinLock lock;
    TextMap<Value> map;
  };
  // The top bits of the hash pick the shard; the shard's table uses the hash modulo its
  // bucket count, which those bits hardly influence.
  static size_t ShardIndex(std::string_view key) {
    return TextHash{}(key) >> (sizeof(size_t) * 8 - kShardBits);
  }
  Shard& ShardOf(std::string_view key) { return shards_[ShardIndex(key)]; }
  const Shard& ShardOf(std::string_view key) const { return shards_[ShardIndex(key)]; }

  std::array<Shard, size_t{1} << kShardBits> shards_;
};

}  // namespace testqav
