#include "platform/directory/embedded/ldif_directory.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <tuple>
#include <unordered_map>

#include "platform/common/error_codes.h"
#include "platform/common/file_text.h"
#include "platform/common/text.h"
#include "platform/directory/embedded/entry_store.h"
#include "platform/directory/embedded/hash_postings.h"
#include "platform/directory/embedded/ldif_reader.h"
#include "platform/directory/embedded/prefix_postings.h"
#include "platform/directory/filter.h"
#include "platform/directory/filter_eval.h"
#include "platform/directory/matching.h"
#include "platform/directory/result_attributes.h"

namespace testqav {
namespace {

using Postings = std::vector<uint32_t>;

uint64_t HashText(std::string_view s) { return std::hash<std::string_view>{}(s); }

// The hash of an RDN sequence from the root down, one RDN at a time.
uint64_t ExtendSuffixHash(uint64_t parent, std::string_view rdn) {
  uint64_t h = HashText(rdn);
  return parent ^ (h + 0x9E3779B97F4A7C15ULL + (parent << 6) + (parent >> 2));
}
constexpr uint64_t kRootSuffixHash = 0x51ED270B27A3F1C5ULL;

// Entry positions with hash `h`, ascending and each once. The index keeps hashes instead
// of the normalised texts to stay small; a collision only adds a candidate, and every
// candidate is still evaluated against the whole filter.
Postings Lookup(const HashPostings& index, uint64_t h) {
  std::span<const uint32_t> found = index.Find(h);
  return Postings(found.begin(), found.end());
}

// An entry handed out as it is stored; holding it keeps the directory alive.
class StoredEntryView : public EntryView {
 public:
  StoredEntryView(std::shared_ptr<const void> owner, StoredEntry entry)
      : owner_(std::move(owner)), entry_(entry) {}
  std::string_view Dn() const override { return entry_.dn(); }
  ValueList Values(std::string_view attribute) const override { return entry_.Values(attribute); }

 private:
  std::shared_ptr<const void> owner_;
  StoredEntry entry_;
};

class LdifDirectory : public Directory, public std::enable_shared_from_this<LdifDirectory> {
 public:
  LdifDirectory(EntryStore store, std::optional<DirectoryEntry> root_dse,
                LdifDirectoryOptions options)
      : schema_(options.schema ? options.schema : Schema::Builtin()),
        use_index_(options.use_index),
        store_(std::move(store)),
        evaluator_(schema_, store_) {
    std::vector<std::pair<uint64_t, uint32_t>> by_dn;
    by_dn.reserve(store_.size());
    for (size_t i = 0; i < store_.size(); ++i) {
      // Every suffix of the DN is a base that exists (the entry or one of its ancestors).
      std::span<const std::string_view> rdns = store_[i].rdns();
      uint64_t h = kRootSuffixHash;
      for (size_t n = 1; n <= rdns.size(); ++n) {
        h = ExtendSuffixHash(h, rdns[rdns.size() - n]);
        known_bases_.push_back({h, static_cast<uint32_t>(i), static_cast<uint32_t>(n)});
      }
      by_dn.emplace_back(h, static_cast<uint32_t>(i));
    }
    std::sort(known_bases_.begin(), known_bases_.end(), [](const KnownBase& x, const KnownBase& y) {
      return std::tie(x.hash, x.depth, x.entry) < std::tie(y.hash, y.depth, y.entry);
    });
    // One witness per suffix; suffixes that only share a hash each keep theirs.
    known_bases_.erase(std::unique(known_bases_.begin(), known_bases_.end(),
                                   [this](const KnownBase& x, const KnownBase& y) {
                                     return x.hash == y.hash && x.depth == y.depth &&
                                            EndsWith(store_[y.entry].rdns(), store_[x.entry].rdns(),
                                                     x.depth);
                                   }),
                       known_bases_.end());
    known_bases_.shrink_to_fit();
    by_dn_ = HashPostings(std::move(by_dn));
    if (root_dse) {
      root_dse_ = std::move(*root_dse);
    } else {
      BuildRootDse();
    }
    root_context_ = root_dse_.First("rootDomainNamingContext");
    if (root_context_.empty()) root_context_ = root_dse_.First("defaultNamingContext");
  }

  Result<DirectoryEntry> RootDse() override { return root_dse_; }

  // The entries never change after loading; what searches build or keep on the way (indexes,
  // parsed bases, attribute requests) is guarded by mutex_.
  bool ConcurrentSearches() const override { return true; }

  Result<std::vector<DirectoryEntry>> Search(std::string_view base_dn, SearchScope scope,
                                             std::string_view filter,
                                             const std::vector<std::string>& attributes) override {
    Result<FilterNode> parsed = ParseFilter(filter);
    if (!parsed.ok()) return parsed.status();
    FilterNode node = std::move(parsed).value();
    RewriteCategoryShortNames(node, root_context_);
    return Evaluate(base_dn, scope, node, attributes);
  }

  Result<std::vector<DirectoryEntry>> SearchTree(
      std::string_view base_dn, SearchScope scope, const FilterNode& filter,
      const std::vector<std::string>& attributes) override {
    // Only a tree that names objectCategory needs rewriting, and so copying.
    if (MentionsCategory(filter)) {
      FilterNode node = filter;
      RewriteCategoryShortNames(node, root_context_);
      return Evaluate(base_dn, scope, node, attributes);
    }
    return Evaluate(base_dn, scope, filter, attributes);
  }

 private:
  static bool MentionsCategory(const FilterNode& node) {
    if (EqualsIgnoreCase(node.attribute, "objectCategory")) return true;
    for (const FilterNode& c : node.children) {
      if (MentionsCategory(c)) return true;
    }
    return false;
  }

  Result<std::vector<DirectoryEntry>> Evaluate(std::string_view base_dn, SearchScope scope,
                                               const FilterNode& node,
                                               const std::vector<std::string>& attributes) {
    // The requested attributes are resolved once per list (callers ask for the same list
    // over and over), the stored ones once per load.
    std::shared_ptr<const CachedRequest> cached = RequestFor(attributes);
    std::vector<DirectoryEntry> out;
    Status status = ForEachMatch(base_dn, scope, node, [&](const StoredEntry& p) {
      out.push_back(cached->request.Project(p));
    });
    if (!status.ok()) return status;
    return out;
  }

  void ExpectEqualitySearches(const std::vector<std::string>& attributes) override {
    if (!use_index_) return;
    std::vector<const AttributeType*> types;
    for (const std::string& a : attributes) {
      const AttributeType* type = store_.AttributeFor(a);
      if (type->equality == MatchKind::kNone) continue;
      if (EqualsIgnoreCase(a, "name")) {
        IndexFor(type, true);
      } else {
        types.push_back(type);
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    BuildIndexes(types);
  }

  Result<std::vector<SharedDirectoryEntry>> SearchShared(
      std::string_view base_dn, SearchScope scope, const FilterNode& filter,
      const std::vector<std::string>& attributes) override {
    std::optional<FilterNode> rewritten;
    if (MentionsCategory(filter)) {
      rewritten = filter;
      RewriteCategoryShortNames(*rewritten, root_context_);
    }
    const FilterNode& node = rewritten ? *rewritten : filter;
    std::shared_ptr<const CachedRequest> cached = RequestFor(attributes);
    std::shared_ptr<const LdifDirectory> self = shared_from_this();
    std::vector<SharedDirectoryEntry> out;
    Status status = ForEachMatch(base_dn, scope, node, [&](const StoredEntry& p) {
      if (cached->stored_form) {
        // A view of the entry itself, which keeps the directory that holds it alive.
        out.push_back(std::make_shared<StoredEntryView>(self, p));
      } else {
        out.push_back(std::make_shared<DirectoryEntryView>(cached->request.Project(p)));
      }
    });
    if (!status.ok()) return status;
    return out;
  }

  // Calls `found` with every entry in scope that matches `node`, in file order.
  template <typename Found>
  Status ForEachMatch(std::string_view base_dn, SearchScope scope, const FilterNode& node,
                      Found&& found) {
    std::shared_ptr<const CachedBase> base = BaseFor(base_dn);
    if (!base->dn) {
      return Status(err::kDirInvalidDnSyntax,
                    "An invalid dn syntax has been specified: \"" + std::string(base_dn) + "\"");
    }
    if (!base->exists) {
      return Status(err::kDirNoSuchObject,
                    "There is no such object on the server: \"" + std::string(base_dn) + "\"");
    }

    FilterEvaluator::SearchCache cache;
    std::optional<Postings> candidates;
    if (use_index_) {
      candidates = Candidates(node, cache);
      // A base search reads one object: only the entries with that DN can be in scope.
      if (scope == SearchScope::kBase) {
        std::span<const uint32_t> same_dn = by_dn_.Find(SuffixHash(base->rdns));
        Postings narrowed;
        if (candidates) {
          std::set_intersection(candidates->begin(), candidates->end(), same_dn.begin(),
                                same_dn.end(), std::back_inserter(narrowed));
        } else {
          narrowed.assign(same_dn.begin(), same_dn.end());
        }
        candidates = std::move(narrowed);
      }
    }
    auto consider = [&](size_t i) {
      const StoredEntry p = store_[i];
      if (!InScope(p.rdns(), base->rdns, scope)) return;
      if (evaluator_.Evaluate(node, p, &cache) != Tri::kTrue) return;
      found(p);
    };
    if (candidates) {
      for (uint32_t i : *candidates) consider(i);
    } else {
      for (size_t i = 0; i < store_.size(); ++i) consider(i);
    }
    return Status();
  }

  // Whether the stored entries answer a request for `attributes` as they are: every name is
  // spelled as all entries that have that attribute spell it (or none has it), and none
  // stands for a value that projection computes (distinguishedName).
  bool StoredForm(const std::vector<std::string>& attributes) const {
    for (const std::string& n : attributes) {
      const AttributeType* t = schema_->FindAttribute(n);
      if (t == nullptr || EqualsIgnoreCase(n, "distinguishedName")) return false;
      if (!store_.SpelledOnlyAs(t, n)) return false;
    }
    return true;
  }

  using Rdns = std::span<const std::string_view>;

  static bool InScope(Rdns rdns, Rdns base, SearchScope scope) {
    if (rdns.size() < base.size()) return false;
    size_t extra = rdns.size() - base.size();
    if (!std::equal(base.begin(), base.end(), rdns.begin() + static_cast<std::ptrdiff_t>(extra))) {
      return false;
    }
    switch (scope) {
      case SearchScope::kBase:
        return extra == 0;
      case SearchScope::kOneLevel:
        return extra == 1;
      case SearchScope::kSubtree:
        return true;
    }
    return false;
  }

  // A base exists when it is an entry or an ancestor of one (the naming context of a file
  // that leaves out its top entries), or the empty DN.
  static uint64_t SuffixHash(Rdns rdns) {
    uint64_t h = kRootSuffixHash;
    for (size_t i = rdns.size(); i > 0; --i) h = ExtendSuffixHash(h, rdns[i - 1]);
    return h;
  }

  bool BaseExists(Rdns base) const {
    if (base.empty()) return true;
    uint64_t h = SuffixHash(base);
    auto it = std::lower_bound(known_bases_.begin(), known_bases_.end(), h,
                               [](const KnownBase& k, uint64_t v) { return k.hash < v; });
    for (; it != known_bases_.end() && it->hash == h; ++it) {
      if (it->depth == base.size() && EndsWith(store_[it->entry].rdns(), base, base.size())) {
        return true;
      }
    }
    return false;
  }

  // Whether the last `n` RDNs of `rdns` are the last `n` of `suffix` (both have at least n).
  static bool EndsWith(Rdns rdns, Rdns suffix, size_t n) {
    if (rdns.size() < n || suffix.size() < n) return false;
    return std::equal(suffix.end() - static_cast<std::ptrdiff_t>(n), suffix.end(),
                      rdns.end() - static_cast<std::ptrdiff_t>(n));
  }

  void BuildRootDse() {
    std::optional<std::vector<std::string>> common;  // normalised DC= suffix, leaf first
    std::string spelled;
    for (size_t i = 0; i < store_.size(); ++i) {
      Rdns rdns = store_[i].rdns();
      size_t n = 0;
      while (n < rdns.size() && StartsWith(rdns[rdns.size() - 1 - n], "dc=")) ++n;
      if (n == 0) continue;
      std::vector<std::string> suffix(rdns.end() - static_cast<std::ptrdiff_t>(n), rdns.end());
      if (!common) {
        common = suffix;
        spelled = SpelledSuffix(store_[i].dn(), n);
        continue;
      }
      // Keep the longest run of trailing RDNs that both suffixes share.
      size_t k = 0;
      while (k < common->size() && k < suffix.size() &&
             (*common)[common->size() - 1 - k] == suffix[suffix.size() - 1 - k]) {
        ++k;
      }
      if (k < common->size()) {
        common->erase(common->begin(), common->end() - static_cast<std::ptrdiff_t>(k));
        spelled = SpelledSuffix(spelled, k);
      }
    }
    root_dse_.dn = "";
    if (common && !common->empty()) {
      root_dse_.attributes.push_back({"defaultNamingContext", {spelled}});
      root_dse_.attributes.push_back({"rootDomainNamingContext", {spelled}});
      root_dse_.attributes.push_back({"namingContexts", {spelled}});
    }
  }

  // The last `n` RDNs of `dn` in their original spelling.
  static std::string SpelledSuffix(std::string_view dn, size_t n) {
    // Walk the DN from the end, splitting at unescaped commas.
    std::vector<std::string> parts;
    std::string piece;
    for (size_t i = 0; i < dn.size(); ++i) {
      if (dn[i] == '\\' && i + 1 < dn.size()) {
        piece += dn[i];
        piece += dn[++i];
      } else if (dn[i] == ',') {
        parts.push_back(Trim(piece));
        piece.clear();
      } else {
        piece += dn[i];
      }
    }
    parts.push_back(Trim(piece));
    if (n > parts.size()) n = parts.size();
    std::vector<std::string> tail(parts.end() - static_cast<std::ptrdiff_t>(n), parts.end());
    return Join(tail, ",");
  }

  // Entries that can satisfy `node` (sorted, file order), or nullopt when the index cannot
  // narrow the search. Items that can never be TRUE (no equality rule, invalid value) narrow to
  // nothing.
  // The assertion values normalised here go into `cache`, where evaluating the candidates
  // finds them.
  std::optional<Postings> Candidates(const FilterNode& node, FilterEvaluator::SearchCache& cache) {
    using Kind = FilterNode::Kind;
    switch (node.kind) {
      case Kind::kEquality:
      case Kind::kApprox: {
        const AttributeType* type = store_.AttributeFor(node.attribute);
        if (type->equality == MatchKind::kNone) return Postings{};
        const bool is_name = EqualsIgnoreCase(node.attribute, "name");
        const FilterEvaluator::SearchCache::Equality* known = cache.Find(&node);
        if (known == nullptr) {
          const std::optional<std::string>* same = cache.SameValue(type->equality, node.value);
          FilterEvaluator::SearchCache::Equality fresh;
          fresh.node = &node;
          fresh.type = type;
          fresh.is_name = is_name;
          fresh.assertion =
              same != nullptr ? *same : NormalizeValue(type->equality, node.value, *schema_);
          known = &cache.Add(std::move(fresh));
        }
        if (!known->assertion) return Postings{};
        return Lookup(IndexFor(type, is_name), HashText(*known->assertion));
      }
      case Kind::kAnd: {
        std::optional<Postings> result;
        for (const FilterNode& c : node.children) {
          std::optional<Postings> p = Candidates(c, cache);
          if (!p) continue;
          if (!result) {
            result = std::move(p);
          } else {
            Postings both;
            std::set_intersection(result->begin(), result->end(), p->begin(), p->end(),
                                  std::back_inserter(both));
            result = std::move(both);
          }
          if (result->empty()) break;
        }
        return result;
      }
      case Kind::kOr: {
        // Each child's list is short (an equality hit or two); gather, then sort once.
        Postings result;
        for (const FilterNode& c : node.children) {
          std::optional<Postings> p = Candidates(c, cache);
          if (!p) return std::nullopt;
          result.insert(result.end(), p->begin(), p->end());
        }
        std::sort(result.begin(), result.end());
        result.erase(std::unique(result.begin(), result.end()), result.end());
        return result;
      }
      case Kind::kSubstrings: {
        // Only the initial piece narrows; the candidates are evaluated against the rest.
        if (!node.initial || EqualsIgnoreCase(node.attribute, "name")) return std::nullopt;
        const AttributeType* type = store_.AttributeFor(node.attribute);
        if (!HasPrefixIndex(type->substr)) return std::nullopt;
        std::optional<std::string> initial =
            NormalizeSubstringPiece(type->substr, *node.initial, true, false);
        if (!initial) return Postings{};
        return PrefixIndexFor(type).Find(*initial);
      }
      default:
        return std::nullopt;
    }
  }

  // The rules under which a substring match compares the beginnings of normalised values as
  // they are; the others (telephone numbers) normalise pieces differently from values.
  static bool HasPrefixIndex(MatchKind kind) {
    return kind == MatchKind::kCaseIgnore || kind == MatchKind::kCaseExact ||
           kind == MatchKind::kCaseIgnoreIA5 || kind == MatchKind::kCaseExactIA5;
  }

  const PrefixPostings& PrefixIndexFor(const AttributeType* type) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::unique_ptr<PrefixPostings>& index = prefix_index_[type];
    if (!index) {
      std::vector<std::pair<std::string, uint32_t>> pairs;
      for (size_t i = 0; i < store_.size(); ++i) {
        const StoredEntry p = store_[i];
        for (size_t a = 0; a < p.attribute_count(); ++a) {
          if (p.type(a) != type) continue;
          for (std::string_view v : p.values(a)) {
            if (auto key = NormalizeValue(type->substr, v, *schema_)) {
              pairs.emplace_back(std::move(*key), static_cast<uint32_t>(i));
            }
          }
        }
      }
      index = std::make_unique<PrefixPostings>(std::move(pairs));
    }
    return *index;
  }

  // Most searches start at the naming context; parsing and finding it once is enough.
  struct CachedBase {
    std::string text;
    std::optional<ParsedDn> dn;
    std::vector<std::string_view> rdns;  // of `dn`
    bool exists = false;
  };

  std::shared_ptr<const CachedBase> BaseFor(std::string_view base_dn) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (last_base_ && last_base_->text == base_dn) return last_base_;
    }
    auto base = std::make_shared<CachedBase>();
    base->text = std::string(base_dn);
    base->dn = ParseDn(base_dn, *schema_);
    if (base->dn) base->rdns.assign(base->dn->rdns.begin(), base->dn->rdns.end());
    base->exists = base->dn && BaseExists(base->rdns);
    std::lock_guard<std::mutex> lock(mutex_);
    last_base_ = base;
    return base;
  }

  struct CachedRequest {
    CachedRequest(const std::vector<std::string>& names, const Schema& schema, bool stored)
        : attributes(names), request(attributes, schema), stored_form(stored) {}
    std::vector<std::string> attributes;
    AttributeRequest request;  // refers to `attributes`
    // SearchShared can hand out the stored entries themselves (see StoredForm).
    bool stored_form;
  };

  std::shared_ptr<const CachedRequest> RequestFor(const std::vector<std::string>& attributes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& r : recent_requests_) {
      if (r->attributes == attributes) return r;
    }
    // A few lists are in use at once (the address book alternates two); keep the newest.
    constexpr size_t kKept = 8;
    if (recent_requests_.size() == kKept) recent_requests_.erase(recent_requests_.begin());
    recent_requests_.push_back(
        std::make_shared<CachedRequest>(attributes, *schema_, StoredForm(attributes)));
    return recent_requests_.back();
  }

  const HashPostings& IndexFor(const AttributeType* type, bool is_name) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (is_name) {
      if (!name_index_) name_index_ = std::make_unique<HashPostings>(NamePairs(type));
      return *name_index_;
    }
    BuildIndexes({type});
    return *index_[type];
  }

  // Builds the missing indexes of `types` (attributes, not `name`) in one pass over the
  // entries. Called with mutex_ held.
  void BuildIndexes(const std::vector<const AttributeType*>& types) {
    std::vector<const AttributeType*> missing;
    for (const AttributeType* t : types) {
      if (!index_[t] && std::find(missing.begin(), missing.end(), t) == missing.end()) {
        missing.push_back(t);
      }
    }
    if (missing.empty()) return;
    std::vector<std::vector<std::pair<uint64_t, uint32_t>>> pairs = IndexPairs(missing);
    for (size_t k = 0; k < missing.size(); ++k) {
      index_[missing[k]] = std::make_unique<HashPostings>(std::move(pairs[k]));
    }
  }

  // (hash of normalised value, entry) pairs of `types` (attributes, not `name`), one list a
  // type.
  std::vector<std::vector<std::pair<uint64_t, uint32_t>>> IndexPairs(
      const std::vector<const AttributeType*>& types) const {
    std::vector<std::vector<std::pair<uint64_t, uint32_t>>> pairs(types.size());
    for (auto& p : pairs) p.reserve(store_.size());
    for (size_t i = 0; i < store_.size(); ++i) {
      const StoredEntry p = store_[i];
      auto id = static_cast<uint32_t>(i);
      for (size_t k = 0; k < types.size(); ++k) {
        if (types[k]->equality != MatchKind::kObjectIdentifier) continue;
        for (const std::string& c : p.classes()) pairs[k].emplace_back(HashText(c), id);
      }
      for (size_t a = 0; a < p.attribute_count(); ++a) {
        auto k =
            static_cast<size_t>(std::find(types.begin(), types.end(), p.type(a)) - types.begin());
        if (k == types.size() || types[k]->equality == MatchKind::kObjectIdentifier) continue;
        for (std::string_view v : p.values(a)) {
          if (auto key = NormalizeValue(types[k]->equality, v, *schema_)) {
            pairs[k].emplace_back(HashText(*key), id);
          }
        }
      }
    }
    return pairs;
  }

  std::vector<std::pair<uint64_t, uint32_t>> NamePairs(const AttributeType* type) const {
    std::vector<std::pair<uint64_t, uint32_t>> pairs;
    for (size_t i = 0; i < store_.size(); ++i) {
      if (auto key = NormalizeValue(type->equality, store_[i].name(), *schema_)) {
        pairs.emplace_back(HashText(*key), static_cast<uint32_t>(i));
      }
    }
    return pairs;
  }

  std::shared_ptr<const Schema> schema_;
  bool use_index_;
  EntryStore store_;
  FilterEvaluator evaluator_;  // resolves attributes through store_
  DirectoryEntry root_dse_;
  std::string root_context_;
  struct KnownBase {
    uint64_t hash;   // of the suffix
    uint32_t entry;  // an entry whose DN ends with it
    uint32_t depth;  // RDNs in the suffix
  };
  std::vector<KnownBase> known_bases_;  // the entries' DNs and their ancestors
  HashPostings by_dn_;                  // hash of the whole normalised DN -> entry
  std::mutex mutex_;
  std::unordered_map<const AttributeType*, std::unique_ptr<HashPostings>> index_;
  std::unique_ptr<HashPostings> name_index_;
  std::unordered_map<const AttributeType*, std::unique_ptr<PrefixPostings>> prefix_index_;
  std::vector<std::shared_ptr<const CachedRequest>> recent_requests_;
  std::shared_ptr<const CachedBase> last_base_;
};

// Parses `text` straight into a store: each entry is held as parsed text only until it is
// stored.
Result<std::shared_ptr<Directory>> BuildDirectory(std::string_view text, std::string_view name,
                                                  std::ostream& diagnostics,
                                                  LdifDirectoryOptions options) {
  if (!options.schema) options.schema = Schema::Builtin();
  EntryStore store(options.schema);
  std::optional<DirectoryEntry> root_dse;
  Status status = ParseLdifEach(text, name, diagnostics, [&](DirectoryEntry&& e) {
    // An entry with the empty DN supplies the rootDSE; the last one counts.
    if (e.dn.empty()) {
      root_dse = std::move(e);
    } else {
      store.Add(e);
    }
  });
  if (!status.ok()) return status;
  std::shared_ptr<Directory> dir =
      std::make_shared<LdifDirectory>(std::move(store), std::move(root_dse), std::move(options));
  return dir;
}

}  // namespace

Result<std::shared_ptr<Directory>> LdifDirectoryFromText(std::string_view text,
                                                         std::string_view name,
                                                         std::ostream& diagnostics,
                                                         LdifDirectoryOptions options) {
  return BuildDirectory(text, name, diagnostics, std::move(options));
}

Result<std::shared_ptr<Directory>> DirectoryFromStore(EntryStore store, DirectoryEntry root_dse,
                                                      LdifDirectoryOptions options) {
  if (!options.schema) options.schema = Schema::Builtin();
  std::shared_ptr<Directory> dir =
      std::make_shared<LdifDirectory>(std::move(store), std::move(root_dse), std::move(options));
  return dir;
}

Result<std::shared_ptr<Directory>> LoadLdifDirectoryWithOptions(const std::string& path,
                                                                std::ostream& diagnostics,
                                                                LdifDirectoryOptions options) {
  // Mapped, not read: the text is needed only while it is parsed into the store, and its
  // pages go back to the system as soon as that is done.
  FileText file;
  if (Status st = file.Open(path, kMaxDirectoryFileBytes); !st.ok()) {
    diagnostics << st.description() << "\n";
    return st;
  }
  return BuildDirectory(file.text(), path, diagnostics, std::move(options));
}

Result<std::shared_ptr<Directory>> LoadLdifDirectory(const std::string& path,
                                                     std::ostream& diagnostics) {
  return LoadLdifDirectoryWithOptions(path, diagnostics, LdifDirectoryOptions{});
}

}  // namespace testqav
