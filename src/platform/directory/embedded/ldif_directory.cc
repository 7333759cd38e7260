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
#include "platform/directory/embedded/attribute_indexes.h"
#include "platform/directory/embedded/entry_store.h"
#include "platform/directory/embedded/known_bases.h"
#include "platform/directory/embedded/ldif_reader.h"
#include "platform/directory/embedded/root_dse.h"
#include "platform/directory/filter.h"
#include "platform/directory/filter_eval.h"
#include "platform/directory/matching.h"
#include "platform/directory/result_attributes.h"

namespace testqav {
namespace {

using Postings = std::vector<uint32_t>;

// Entry positions under `key`, ascending and each once.
Postings Lookup(const HashPostings& index, uint64_t key) {
  std::span<const uint32_t> found = index.Find(key);
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

class LdifDirectory : public Directory,
                      public SearchHints,
                      public std::enable_shared_from_this<LdifDirectory> {
 public:
  LdifDirectory(EntryStore store, std::optional<DirectoryEntry> root_dse,
                LdifDirectoryOptions options)
      : schema_(options.schema ? options.schema : Schema::Builtin()),
        use_index_(options.use_index),
        store_(std::move(store)),
        evaluator_(schema_, store_),
        bases_(store_),
        indexes_(store_, *schema_),
        root_dse_(root_dse ? std::move(*root_dse) : DeriveRootDse(store_)) {
    root_context_ = root_dse_.First("rootDomainNamingContext");
    if (root_context_.empty()) root_context_ = root_dse_.First("defaultNamingContext");
  }

  Result<DirectoryEntry> RootDse() override { return root_dse_; }

  // The entries never change after loading; the indexes guard their own building, and what
  // searches keep between calls (the parsed base, attribute requests) is guarded by mutex_.
  bool ConcurrentSearches() const override { return true; }

  Result<std::vector<DirectoryEntry>> Search(std::string_view base_dn, SearchScope scope,
                                             std::string_view filter,
                                             const std::vector<std::string>& attributes) override {
    Result<FilterNode> parsed = ParseFilter(filter);
    if (!parsed.ok()) return parsed.status();
    FilterNode node = std::move(parsed).value();
    RewriteCategoryShortNames(node, root_context_);
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
        indexes_.Equality(type, true);
      } else {
        types.push_back(type);
      }
    }
    indexes_.BuildEquality(types);
  }

  void ExpectPrefixSearches(const std::vector<std::string>& attributes) override {
    if (!use_index_) return;
    for (const std::string& a : attributes) {
      const AttributeType* type = store_.AttributeFor(a);
      if (HasPrefixIndex(type->substr) && !EqualsIgnoreCase(a, "name")) indexes_.Prefix(type);
    }
  }

  Status ForEachEntry(std::string_view base_dn, SearchScope scope, const FilterNode& filter,
                      const std::vector<std::string>& attributes,
                      const std::function<void(SharedDirectoryEntry)>& each) override {
    std::optional<FilterNode> rewritten;
    if (MentionsCategory(filter)) {
      rewritten = filter;
      RewriteCategoryShortNames(*rewritten, root_context_);
    }
    const FilterNode& node = rewritten ? *rewritten : filter;
    std::shared_ptr<const CachedRequest> cached = RequestFor(attributes);
    std::shared_ptr<const LdifDirectory> self = shared_from_this();
    return ForEachMatch(base_dn, scope, node, [&](const StoredEntry& p) {
      if (cached->stored_form) {
        // A view of the entry itself, which keeps the directory that holds it alive.
        each(std::make_shared<StoredEntryView>(self, p));
      } else {
        each(std::make_shared<DirectoryEntryView>(cached->request.Project(p)));
      }
    });
  }

 private:
  static bool MentionsCategory(const FilterNode& node) {
    if (EqualsIgnoreCase(node.attribute, "objectCategory")) return true;
    for (const FilterNode& c : node.children) {
      if (MentionsCategory(c)) return true;
    }
    return false;
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
        std::span<const uint32_t> same_dn = bases_.EntriesNamed(base->rdns);
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
        return Lookup(indexes_.Equality(type, is_name), AttributeIndexes::Key(*known->assertion));
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
        return indexes_.Prefix(type).Find(*initial);
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
    base->exists = base->dn && bases_.Exists(store_, base->rdns);
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

  std::shared_ptr<const Schema> schema_;
  bool use_index_;
  EntryStore store_;
  FilterEvaluator evaluator_;  // resolves attributes through store_
  KnownBases bases_;
  AttributeIndexes indexes_;
  DirectoryEntry root_dse_;
  std::string root_context_;
  // Guards what searches keep between calls.
  std::mutex mutex_;
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
