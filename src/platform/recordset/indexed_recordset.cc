// The default record set. The engine looks records up by filters of the form
//   [SMTP] LIKE 's' OR [ODN] LIKE 'd' OR [Proxies] Like '*;p;*' OR ...
// once for every contact it handles, so a scan of every record per filter would make a run
// quadratic in the size of the organisation. Text fields therefore get two hash indexes of
// case-folded keys, each built the first time a filter needs it and kept up to date on every
// commit afterwards:
//   - full values, which answer "=" and LIKE without wildcards;
//   - list elements: every run of text between two consecutive ";" of a value. A value
//     contains ";x;" (x free of ";") exactly when x is such a run, so LIKE '*;x;*' is one
//     lookup.
// The indexes keep the 64-bit hashes of the keys, not the keys: a record set of a large
// organisation would otherwise hold every address a second time. A look-up therefore checks
// each record it finds with the comparison's own matching rule (a record whose key only
// shares the hash drops out). Every other comparison (prefixes, suffixes, other substrings,
// non-text fields) scans, with the same matching rule as the reference record set, so both
// always agree.
#include <algorithm>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/text.h"
#include "platform/recordset/kept_matches.h"
#include "platform/recordset/posting_index.h"
#include "platform/recordset/recordset_base.h"

namespace testqav {

namespace {

using recordset_internal::Comparison;
using recordset_internal::FilterNode;
using recordset_internal::MatchKind;
using recordset_internal::Record;

using Postings = std::vector<uint32_t>;             // record positions, ascending
using KeyIndex = recordset_internal::PostingIndex;  // hash of a folded key -> records

uint64_t KeyHash(std::string_view key) { return std::hash<std::string_view>{}(key); }

// The hashes of the runs between consecutive ";" of a folded value, each once (a value's
// record is listed once under a hash, whichever of its runs gave it).
std::vector<uint64_t> ElementKeys(std::string_view folded) {
  std::vector<uint64_t> keys;
  size_t start = folded.find(';');
  while (start != std::string_view::npos) {
    size_t end = folded.find(';', start + 1);
    if (end == std::string_view::npos) break;
    keys.push_back(KeyHash(folded.substr(start + 1, end - start - 1)));
    start = end;
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

// The element that a '*;x;*' comparison looks for, when it has that shape.
std::optional<std::string_view> ElementOf(const Comparison& c) {
  if (c.kind != MatchKind::kContains) return std::nullopt;
  std::string_view core = c.folded_core;
  if (core.size() < 2 || core.front() != ';' || core.back() != ';') return std::nullopt;
  core = core.substr(1, core.size() - 2);
  if (core.find(';') != std::string_view::npos) return std::nullopt;
  return core;
}

Postings Union(std::vector<Postings> parts) {
  if (parts.empty()) return {};
  // The engine's look-ups ask for one contact by several of its addresses: mostly no part
  // or one part finds it, and a part is ascending and free of repeats already.
  size_t total = 0;
  Postings* only = nullptr;
  size_t filled = 0;
  for (Postings& p : parts) {
    total += p.size();
    if (!p.empty()) {
      only = &p;
      ++filled;
    }
  }
  if (filled == 0) return {};
  if (filled == 1) return std::move(*only);
  Postings all;
  all.reserve(total);
  for (const Postings& p : parts) all.insert(all.end(), p.begin(), p.end());
  std::sort(all.begin(), all.end());
  all.erase(std::unique(all.begin(), all.end()), all.end());
  return all;
}

Postings Intersect(std::vector<Postings> parts) {
  if (parts.empty()) return {};
  std::sort(parts.begin(), parts.end(),
            [](const Postings& a, const Postings& b) { return a.size() < b.size(); });
  Postings result = std::move(parts.front());
  for (size_t i = 1; i < parts.size() && !result.empty(); ++i) {
    Postings next;
    std::set_intersection(result.begin(), result.end(), parts[i].begin(), parts[i].end(),
                          std::back_inserter(next));
    result = std::move(next);
  }
  return result;
}

class IndexedRecordset final : public recordset_internal::RecordsetBase, public FilterMemory {
 public:
  void KeepFilterMatches() override { keep_matches_ = true; }

  void AnticipateFilters(std::function<std::optional<std::string>()> next) override {
    if (State() != kStateOpen) return;
    keep_matches_ = true;
    kept_.Anticipate(std::move(next));
  }

 protected:
  std::vector<uint32_t> SelectMatches(const FilterNode& root) override {
    std::lock_guard<std::mutex> lock(select_mutex_);
    return Evaluate(root);
  }

  bool KnownMatches(std::string_view filter, std::vector<uint32_t>& matches) override {
    return keep_matches_ && kept_.Find(filter, matches);
  }

  void OnSelected(std::string_view filter, const std::vector<uint32_t>& matches) override {
    if (keep_matches_) kept_.Keep(filter, matches);
  }

  void BeforeRecordsChange() override { kept_.Forget(); }

  void OnCommitted(uint32_t id, const Record* before, const Record& after) override {
    for (int32_t field : indexed_fields_) {
      FieldIndex& index = indexes_[static_cast<size_t>(field)];
      const Variant* old_value = before != nullptr ? before->Get(field) : nullptr;
      const Variant* new_value = after.Get(field);
      if (before != nullptr && SameText(old_value, new_value)) continue;
      if (old_value != nullptr) Remove(index, id, FoldCase(old_value->string_value()));
      if (new_value != nullptr) Add(index, id, FoldCase(new_value->string_value()));
    }
  }

  void OnCleared() override {
    indexes_.clear();
    indexed_fields_.clear();
  }

 private:
  struct FieldIndex {
    bool full_built = false;
    bool elements_built = false;
    KeyIndex full;
    KeyIndex elements;
  };

  static bool SameText(const Variant* a, const Variant* b) {
    if (a == nullptr || b == nullptr) return a == b;
    return a->string_value() == b->string_value();
  }

  static void Add(FieldIndex& index, uint32_t id, const std::string& folded) {
    if (index.full_built) index.full.Insert(KeyHash(folded), id);
    if (index.elements_built) {
      for (uint64_t key : ElementKeys(folded)) index.elements.Insert(key, id);
    }
  }

  static void Remove(FieldIndex& index, uint32_t id, const std::string& folded) {
    if (index.full_built) index.full.Remove(KeyHash(folded), id);
    if (index.elements_built) {
      for (uint64_t key : ElementKeys(folded)) index.elements.Remove(key, id);
    }
  }

  FieldIndex& IndexFor(int32_t field) {
    if (indexes_.size() < fields().size()) indexes_.resize(fields().size());
    FieldIndex& index = indexes_[static_cast<size_t>(field)];
    if (!index.full_built && !index.elements_built) indexed_fields_.push_back(field);
    return index;
  }

  const KeyIndex& FullIndex(int32_t field) {
    FieldIndex& index = IndexFor(field);
    if (!index.full_built) {
      index.full_built = true;
      const auto& all = records();
      for (size_t i = 0; i < all.size(); ++i) {
        if (const Variant* v = all[i].Get(field)) {
          index.full.Insert(KeyHash(FoldCase(v->string_value())), static_cast<uint32_t>(i));
        }
      }
    }
    return index.full;
  }

  const KeyIndex& ElementIndex(int32_t field) {
    FieldIndex& index = IndexFor(field);
    if (!index.elements_built) {
      index.elements_built = true;
      const auto& all = records();
      for (size_t i = 0; i < all.size(); ++i) {
        const Variant* v = all[i].Get(field);
        if (v == nullptr || v->string_value().find(';') == std::string::npos) continue;
        for (uint64_t key : ElementKeys(FoldCase(v->string_value()))) {
          index.elements.Insert(key, static_cast<uint32_t>(i));
        }
      }
    }
    return index.elements;
  }

  // The records listed under the hash of `key` that `c` matches.
  Postings Lookup(const KeyIndex& index, std::string_view key, const Comparison& c) const {
    Postings matches;
    const auto& all = records();
    index.ForEach(KeyHash(key), [&](uint32_t id) {
      if (recordset_internal::MatchesValue(c, all[id].Get(c.field))) matches.push_back(id);
    });
    return matches;
  }

  Postings Scan(const Comparison& c) const {
    Postings matches;
    const auto& all = records();
    for (size_t i = 0; i < all.size(); ++i) {
      if (recordset_internal::MatchesValue(c, all[i].Get(c.field))) {
        matches.push_back(static_cast<uint32_t>(i));
      }
    }
    return matches;
  }

  Postings EvaluateComparison(const Comparison& c) {
    // Only text fields hold their values as texts; the text form of other types (dates
    // follow the locale) is left to the scan.
    if (fields()[static_cast<size_t>(c.field)].type == FieldType::kText) {
      if (c.kind == MatchKind::kExact) return Lookup(FullIndex(c.field), c.folded_core, c);
      if (std::optional<std::string_view> element = ElementOf(c)) {
        return Lookup(ElementIndex(c.field), *element, c);
      }
    }
    return Scan(c);
  }

  // The indexes of a large record set do not fit in the processor's caches: the look-ups of
  // an OR's comparisons ([SMTP] ... OR [Proxies] ...) start fetching their slots together.
  void PrefetchSlots(const FilterNode& node) const {
    for (const FilterNode& child : node.children) {
      if (child.kind != FilterNode::Kind::kCompare) continue;
      const Comparison& c = child.compare;
      const auto field = static_cast<size_t>(c.field);
      if (field >= indexes_.size() || fields()[field].type != FieldType::kText) continue;
      const FieldIndex& index = indexes_[field];
      if (c.kind == MatchKind::kExact) {
        if (index.full_built) index.full.Prefetch(KeyHash(c.folded_core));
      } else if (std::optional<std::string_view> element = ElementOf(c)) {
        if (index.elements_built) index.elements.Prefetch(KeyHash(*element));
      }
    }
  }

  Postings Evaluate(const FilterNode& node) {
    if (node.kind == FilterNode::Kind::kCompare) return EvaluateComparison(node.compare);
    if (node.kind == FilterNode::Kind::kOr) PrefetchSlots(node);
    std::vector<Postings> parts;
    parts.reserve(node.children.size());
    for (const FilterNode& child : node.children) parts.push_back(Evaluate(child));
    return node.kind == FilterNode::Kind::kOr ? Union(std::move(parts))
                                              : Intersect(std::move(parts));
  }

  // What an announced filter text selects, on the thread of kept_: the caller's own
  // selections may build an index meanwhile, so both take turns.
  std::optional<std::vector<uint32_t>> SelectAhead(std::string_view filter) {
    Result<FilterNode> root = Parse(filter);
    if (!root.ok()) return std::nullopt;
    std::lock_guard<std::mutex> lock(select_mutex_);
    return Evaluate(*root);
  }

  std::vector<FieldIndex> indexes_;
  std::vector<int32_t> indexed_fields_;  // fields with at least one index built
  std::mutex select_mutex_;              // an evaluation, and the indexes it builds

  bool keep_matches_ = false;
  // Last, so that it is destroyed first: its thread uses everything above.
  recordset_internal::KeptMatches kept_{
      [this](std::string_view filter) { return SelectAhead(filter); }};
};

}  // namespace

std::unique_ptr<Recordset> CreateRecordset() { return std::make_unique<IndexedRecordset>(); }

}  // namespace testqav
