// Entry positions by the 64-bit hash of a normalised value. A look-up costs one probe into
// an open-addressed table and one read of a contiguous run of positions, however many
// values the directory holds: the address book asks several of these per resolved name.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace testqav {

class HashPostings {
 public:
  HashPostings() = default;
  // `pairs`: (hash, entry position) in any order, duplicates allowed.
  explicit HashPostings(std::vector<std::pair<uint64_t, uint32_t>> pairs);

  // Positions whose values hash to `hash`, ascending and each once.
  std::span<const uint32_t> Find(uint64_t hash) const;

 private:
  struct Slot {
    uint64_t hash = 0;
    uint32_t begin = 0;
    uint32_t count = 0;  // 0: free slot
  };
  std::vector<uint32_t> positions_;  // grouped by hash
  std::vector<Slot> slots_;          // size a power of two, at most half full
};

}  // namespace testqav
