// The embedded directory's indexes, each built on first use: entry positions by the hash of
// an attribute's normalised values (equality), by the normalised names (the `name`
// attribute), and by the beginnings of normalised values (initial substrings). Safe to use
// from several threads; an index is built once.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/directory/embedded/entry_store.h"
#include "platform/directory/embedded/hash_postings.h"
#include "platform/directory/embedded/prefix_postings.h"
#include "platform/directory/schema.h"

namespace testqav {

class AttributeIndexes {
 public:
  // Both must outlive the indexes.
  AttributeIndexes(const EntryStore& store, const Schema& schema)
      : store_(store), schema_(schema) {}

  // The key an equality index finds a normalised value under. The index keeps hashes instead
  // of the normalised texts to stay small; a collision only adds a candidate, which the
  // search still evaluates against the whole filter.
  static uint64_t Key(std::string_view normalised);

  // The equality index of `type`, or of the entries' names under `type`'s rule.
  const HashPostings& Equality(const AttributeType* type, bool is_name);
  // Builds the missing equality indexes of `types` (not `name`) in one pass over the entries.
  void BuildEquality(const std::vector<const AttributeType*>& types);
  // The initial-substring index of `type`, under its substring rule.
  const PrefixPostings& Prefix(const AttributeType* type);

 private:
  // The equality indexes of `missing`, in that order, from one pass over the entries.
  std::vector<std::unique_ptr<HashPostings>> BuildEqualityIndexes(
      const std::vector<const AttributeType*>& missing) const;

  const EntryStore& store_;
  const Schema& schema_;
  // One lock for each kind, held only to find or install an index, never while one is built:
  // a build on another thread ahead of need must not hold up the look-ups of every search.
  std::mutex equality_mutex_;
  std::unordered_map<const AttributeType*, std::unique_ptr<HashPostings>> equality_;
  std::unique_ptr<HashPostings> names_;
  std::mutex prefix_mutex_;
  std::unordered_map<const AttributeType*, std::unique_ptr<PrefixPostings>> prefix_;
};

}  // namespace testqav
