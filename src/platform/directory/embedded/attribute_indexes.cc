#include "platform/directory/embedded/attribute_indexes.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/directory/matching.h"

namespace testqav {

uint64_t AttributeIndexes::Key(std::string_view normalised) {
  return std::hash<std::string_view>{}(normalised);
}

const HashPostings& AttributeIndexes::Equality(const AttributeType* type, bool is_name) {
  if (is_name) {
    {
      std::lock_guard<std::mutex> lock(equality_mutex_);
      if (names_) return *names_;
    }
    std::vector<std::pair<uint64_t, uint32_t>> pairs;
    for (size_t i = 0; i < store_.size(); ++i) {
      if (auto key = NormalizeValue(type->equality, store_[i].name(), schema_)) {
        pairs.emplace_back(Key(*key), static_cast<uint32_t>(i));
      }
    }
    auto built = std::make_unique<HashPostings>(std::move(pairs));
    std::lock_guard<std::mutex> lock(equality_mutex_);
    if (!names_) names_ = std::move(built);
    return *names_;
  }
  {
    std::lock_guard<std::mutex> lock(equality_mutex_);
    if (const auto found = equality_.find(type); found != equality_.end() && found->second) {
      return *found->second;
    }
  }
  BuildEquality({type});
  std::lock_guard<std::mutex> lock(equality_mutex_);
  return *equality_[type];
}

// An index is built without the lock held: the look-ups of the indexes already built go on
// meanwhile. Two threads that need the same missing index may both build it; the first one
// done is kept.
void AttributeIndexes::BuildEquality(const std::vector<const AttributeType*>& types) {
  std::vector<const AttributeType*> missing;
  {
    std::lock_guard<std::mutex> lock(equality_mutex_);
    for (const AttributeType* t : types) {
      const auto found = equality_.find(t);
      const bool built = found != equality_.end() && found->second;
      if (!built && std::find(missing.begin(), missing.end(), t) == missing.end()) {
        missing.push_back(t);
      }
    }
  }
  if (missing.empty()) return;
  std::vector<std::unique_ptr<HashPostings>> built = BuildEqualityIndexes(missing);
  std::lock_guard<std::mutex> lock(equality_mutex_);
  for (size_t k = 0; k < missing.size(); ++k) {
    if (!equality_[missing[k]]) equality_[missing[k]] = std::move(built[k]);
  }
}

std::vector<std::unique_ptr<HashPostings>> AttributeIndexes::BuildEqualityIndexes(
    const std::vector<const AttributeType*>& missing) const {
  // (key, entry) pairs, one list a type, gathered in one pass over the entries.
  std::vector<std::vector<std::pair<uint64_t, uint32_t>>> pairs(missing.size());
  for (auto& p : pairs) p.reserve(store_.size());
  // A distinguished name is parsed to be normalised, and the values of a DN attribute repeat
  // (every person's objectCategory is the same DN): each distinct value is parsed once. The
  // views point into the store, which outlives the build.
  std::unordered_map<std::string_view, std::optional<uint64_t>> dn_keys;
  auto key_of = [&](const AttributeType* t, std::string_view v) -> std::optional<uint64_t> {
    if (t->equality != MatchKind::kDistinguishedName) {
      if (auto key = NormalizeValue(t->equality, v, schema_)) return Key(*key);
      return std::nullopt;
    }
    auto [it, added] = dn_keys.try_emplace(v);
    if (added) {
      if (auto key = NormalizeValue(t->equality, v, schema_)) it->second = Key(*key);
    }
    return it->second;
  };
  for (size_t i = 0; i < store_.size(); ++i) {
    const StoredEntry p = store_[i];
    auto id = static_cast<uint32_t>(i);
    for (size_t k = 0; k < missing.size(); ++k) {
      if (missing[k]->equality != MatchKind::kObjectIdentifier) continue;
      for (const std::string& c : p.classes()) pairs[k].emplace_back(Key(c), id);
    }
    for (size_t a = 0; a < p.attribute_count(); ++a) {
      auto k = static_cast<size_t>(std::find(missing.begin(), missing.end(), p.type(a)) -
                                   missing.begin());
      if (k == missing.size() || missing[k]->equality == MatchKind::kObjectIdentifier) continue;
      for (std::string_view v : p.values(a)) {
        if (auto key = key_of(missing[k], v)) pairs[k].emplace_back(*key, id);
      }
    }
  }
  std::vector<std::unique_ptr<HashPostings>> built;
  built.reserve(missing.size());
  for (auto& p : pairs) built.push_back(std::make_unique<HashPostings>(std::move(p)));
  return built;
}

const PrefixPostings& AttributeIndexes::Prefix(const AttributeType* type) {
  {
    std::lock_guard<std::mutex> lock(prefix_mutex_);
    if (const auto found = prefix_.find(type); found != prefix_.end() && found->second) {
      return *found->second;
    }
  }
  std::vector<std::pair<std::string, uint32_t>> pairs;
  for (size_t i = 0; i < store_.size(); ++i) {
    const StoredEntry p = store_[i];
    for (size_t a = 0; a < p.attribute_count(); ++a) {
      if (p.type(a) != type) continue;
      for (std::string_view v : p.values(a)) {
        if (auto key = NormalizeValue(type->substr, v, schema_)) {
          pairs.emplace_back(std::move(*key), static_cast<uint32_t>(i));
        }
      }
    }
  }
  auto built = std::make_unique<PrefixPostings>(std::move(pairs));
  std::lock_guard<std::mutex> lock(prefix_mutex_);
  std::unique_ptr<PrefixPostings>& index = prefix_[type];
  if (!index) index = std::move(built);
  return *index;
}

}  // namespace testqav
