// Filter evaluation over one entry with the three-valued logic of RFC 4511, the schema's
// matching rules and what Active Directory adds: objectCategory short names, `name` as the
// RDN value, the bitwise matching rules 1.2.840.113556.1.4.803 (AND) and .804 (OR).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/directory/directory.h"
#include "platform/directory/embedded/entry_store.h"
#include "platform/directory/filter.h"
#include "platform/directory/schema.h"

namespace testqav {

enum class Tri { kFalse, kTrue, kUndefined };

inline constexpr char kBitAndRule[] = "1.2.840.113556.1.4.803";
inline constexpr char kBitOrRule[] = "1.2.840.113556.1.4.804";

// The category DN that Active Directory substitutes for a short objectCategory value
// ("person", "user", "contact", "group", "msExchDynamicDistributionList", "publicFolder",
// ...); "" when `value` is not a known short name (a DN is never one).
std::string CategoryDnForShortName(std::string_view value, std::string_view root_context);

// Replaces every objectCategory equality/approx value that is a short name by its DN.
void RewriteCategoryShortNames(FilterNode& node, std::string_view root_context);

class FilterEvaluator {
 public:
  // Attribute names are resolved by `store` (EntryStore::AttributeFor), which must be the
  // store of every entry evaluated and outlive the evaluator.
  FilterEvaluator(std::shared_ptr<const Schema> schema, const EntryStore& store)
      : schema_(std::move(schema)), store_(store) {}
  // What one search works out once for its filter instead of once per entry it evaluates
  // (the normalised values of equality assertions). Valid for one filter tree.
  class SearchCache {
   public:
    struct Equality {
      const FilterNode* node = nullptr;
      const AttributeType* type = nullptr;
      bool is_name = false;
      std::optional<std::string> assertion;  // nullopt: the value is not valid for the type
      // The last distinguished name compared and whether it matched: a search compares the
      // same few values (objectCategory) over and over, and parsing a DN is not cheap.
      mutable std::string last_dn;
      mutable bool last_dn_matched = false;
    };
    const Equality* Find(const FilterNode* node) const {
      for (const Equality& e : equalities_) {
        if (e.node == node) return &e;
      }
      return nullptr;
    }
    // The reference holds until the next Add.
    const Equality& Add(Equality e) { return equalities_.emplace_back(std::move(e)); }
    // An assertion already normalised under `kind` for the same value text (a filter that
    // tests one value against several attributes normalises it once).
    const std::optional<std::string>* SameValue(MatchKind kind, std::string_view value) const {
      for (const Equality& e : equalities_) {
        if (e.type != nullptr && e.type->equality == kind && e.node->value == value) {
          return &e.assertion;
        }
      }
      return nullptr;
    }

   private:
    std::vector<Equality> equalities_;
  };

  // `node` must already have its objectCategory short names rewritten. `cache`, when given,
  // must serve this tree only.
  Tri Evaluate(const FilterNode& node, const StoredEntry& entry,
               SearchCache* cache = nullptr) const;
  const Schema& schema() const { return *schema_; }

 private:
  Tri EvaluateItem(const FilterNode& node, const StoredEntry& entry, SearchCache* cache) const;
  Tri EvaluateEquality(const SearchCache::Equality& e, const StoredEntry& entry) const;
  std::shared_ptr<const Schema> schema_;
  const EntryStore& store_;
};

}  // namespace testqav
