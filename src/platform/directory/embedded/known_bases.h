// Which DNs a search may start from: every entry's DN and every suffix of one (the naming
// context of a file that leaves out its top entries), found by hash without holding the
// texts again. Also the entries by their whole DN, for base searches.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "platform/directory/embedded/entry_store.h"
#include "platform/directory/embedded/hash_postings.h"

namespace testqav {

class KnownBases {
 public:
  using Rdns = std::span<const std::string_view>;

  KnownBases() = default;
  explicit KnownBases(const EntryStore& store);

  // Whether `base` (normalised RDNs, leaf first) is an entry, an ancestor of one, or empty.
  bool Exists(const EntryStore& store, Rdns base) const;
  // Positions of the entries whose DN is `dn` (and of any that only share its hash).
  std::span<const uint32_t> EntriesNamed(Rdns dn) const { return by_dn_.Find(SuffixHash(dn)); }

 private:
  static uint64_t SuffixHash(Rdns rdns);

  struct Base {
    uint64_t hash;   // of the suffix
    uint32_t entry;  // an entry whose DN ends with it
    uint32_t depth;  // RDNs in the suffix
  };
  std::vector<Base> bases_;  // sorted; one witness per suffix
  HashPostings by_dn_;       // hash of the whole normalised DN -> entry
};

// Whether the last `n` RDNs of `rdns` are the last `n` of `suffix` (false when either has
// fewer).
bool EndsWith(KnownBases::Rdns rdns, KnownBases::Rdns suffix, size_t n);

}  // namespace testqav
