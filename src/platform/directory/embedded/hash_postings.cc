#include "platform/directory/embedded/hash_postings.h"

#include <algorithm>
#include <bit>

namespace testqav {
namespace {

// The low bits of std::hash on strings are well mixed, but the table may also see hashes
// built by combining; one multiply spreads them before masking.
size_t SlotOf(uint64_t hash, size_t mask) {
  return static_cast<size_t>((hash * 0x9E3779B97F4A7C15ULL) >> 32) & mask;
}

}  // namespace

HashPostings::HashPostings(std::vector<std::pair<uint64_t, uint32_t>> pairs) {
  std::sort(pairs.begin(), pairs.end());
  pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
  size_t distinct = 0;
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (i == 0 || pairs[i].first != pairs[i - 1].first) ++distinct;
  }
  slots_.assign(std::bit_ceil(std::max<size_t>(2 * distinct, 8)), Slot{});
  positions_.reserve(pairs.size());
  const size_t mask = slots_.size() - 1;
  for (size_t i = 0; i < pairs.size();) {
    size_t j = i;
    while (j < pairs.size() && pairs[j].first == pairs[i].first) ++j;
    size_t s = SlotOf(pairs[i].first, mask);
    while (slots_[s].count != 0) s = (s + 1) & mask;
    slots_[s] = Slot{pairs[i].first, static_cast<uint32_t>(positions_.size()),
                     static_cast<uint32_t>(j - i)};
    for (size_t k = i; k < j; ++k) positions_.push_back(pairs[k].second);
    i = j;
  }
}

std::span<const uint32_t> HashPostings::Find(uint64_t hash) const {
  if (slots_.empty()) return {};
  const size_t mask = slots_.size() - 1;
  for (size_t s = SlotOf(hash, mask);; s = (s + 1) & mask) {
    const Slot& slot = slots_[s];
    if (slot.count == 0) return {};
    if (slot.hash == hash) return {positions_.data() + slot.begin, slot.count};
  }
}

}  // namespace testqav
