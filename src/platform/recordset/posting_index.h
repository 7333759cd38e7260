// A hash index from 64-bit key hashes to ascending lists of record positions, for the
// indexed record set. The engine asks it a few questions per contact, and nearly every key
// names one record: an open-addressing table that holds that one position in the slot itself
// answers with one memory access where a node-based map needs three (bucket, node, list).
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace testqav::recordset_internal {

class PostingIndex {
 public:
  // Adds `id` under `key`, keeping the list ascending and free of repeats.
  void Insert(uint64_t key, uint32_t id) {
    if ((used_ + 1) * 4 > slots_.size() * 3) Grow();
    Slot& slot = slots_[Probe(key)];
    if (slot.key != key) {
      slot = Slot{key, 1, id};
      ++used_;
      return;
    }
    if (slot.count == 0) {
      slot.count = 1;
      slot.value = id;
      return;
    }
    if (slot.count == 1) {
      if (slot.value == id) return;
      lists_.push_back(id < slot.value ? std::vector<uint32_t>{id, slot.value}
                                       : std::vector<uint32_t>{slot.value, id});
      slot.value = static_cast<uint32_t>(lists_.size() - 1);
      slot.count = 2;
      return;
    }
    std::vector<uint32_t>& list = lists_[slot.value];
    auto it = std::lower_bound(list.begin(), list.end(), id);
    if (it != list.end() && *it == id) return;
    list.insert(it, id);
    slot.count = static_cast<uint32_t>(list.size());
  }

  // Removes `id` from the list under `key`, if it is there. An emptied key keeps its slot.
  void Remove(uint64_t key, uint32_t id) {
    if (slots_.empty()) return;
    Slot& slot = slots_[Probe(key)];
    if (slot.key != key || slot.count == 0) return;
    if (slot.count == 1) {
      if (slot.value == id) slot.count = 0;
      return;
    }
    std::vector<uint32_t>& list = lists_[slot.value];
    auto it = std::lower_bound(list.begin(), list.end(), id);
    if (it == list.end() || *it != id) return;
    list.erase(it);
    if (list.size() == 1) {
      const uint32_t last = list.front();
      list = {};  // the list's place stays; only its memory goes
      slot.value = last;
    }
    slot.count = static_cast<uint32_t>(slot.count - 1);
  }

  // Asks the processor to fetch the slot where `key` begins its probe: a caller with several
  // keys to look up waits for memory once for all of them instead of once for each.
  void Prefetch(uint64_t key) const {
    if (slots_.empty()) return;
    __builtin_prefetch(&slots_[static_cast<size_t>(Stored(key)) & (slots_.size() - 1)]);
  }

  // Calls f(id) for each position under `key`, ascending.
  template <class F>
  void ForEach(uint64_t key, F f) const {
    if (slots_.empty()) return;
    const Slot& slot = slots_[Probe(key)];
    if (slot.key != key || slot.count == 0) return;
    if (slot.count == 1) {
      f(slot.value);
      return;
    }
    for (uint32_t id : lists_[slot.value]) f(id);
  }

 private:
  // key 0 marks an empty slot; a real hash of 0 is stored as 1 (the lists are checked
  // against the records anyway, so a shared slot only costs a comparison).
  struct Slot {
    uint64_t key = 0;
    uint32_t count = 0;  // positions under the key
    uint32_t value = 0;  // the position when count == 1, else the index into lists_
  };

  static uint64_t Stored(uint64_t key) { return key == 0 ? 1 : key; }

  // The slot of `key`, or the empty slot where it would go.
  size_t Probe(uint64_t& key) const {
    key = Stored(key);
    const size_t mask = slots_.size() - 1;
    // The hashes come from std::hash: mixed already, so their low bits serve as they are.
    size_t i = static_cast<size_t>(key) & mask;
    while (slots_[i].key != 0 && slots_[i].key != key) i = (i + 1) & mask;
    return i;
  }

  void Grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    for (const Slot& s : old) {
      if (s.key == 0) continue;
      uint64_t key = s.key;
      slots_[Probe(key)] = s;
    }
  }

  std::vector<Slot> slots_;
  std::vector<std::vector<uint32_t>> lists_;
  size_t used_ = 0;
};

}  // namespace testqav::recordset_internal
