#include "platform/directory/embedded/ldif_directory.h"

#include <algorithm>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/directory/embedded/ldif_reader.h"
#include "platform/directory/filter.h"
#include "platform/directory/filter_eval.h"
#include "platform/directory/matching.h"
#include "platform/directory/result_attributes.h"

namespace testqav {
namespace {

using Postings = std::vector<uint32_t>;

class LdifDirectory : public Directory {
 public:
  LdifDirectory(std::vector<DirectoryEntry> entries, LdifDirectoryOptions options)
      : schema_(options.schema ? options.schema : Schema::Builtin()),
        use_index_(options.use_index),
        evaluator_(schema_) {
    std::optional<size_t> root_dse_entry;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (entries[i].dn.empty()) root_dse_entry = i;
    }
    if (root_dse_entry) {
      root_dse_ = entries[*root_dse_entry];
      entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(*root_dse_entry));
    }
    entries_ = std::move(entries);
    prepared_.reserve(entries_.size());
    for (const DirectoryEntry& e : entries_) {
      prepared_.push_back(PrepareEntry(e, *schema_));
      const std::vector<std::string>& rdns = prepared_.back().rdns;
      for (size_t i = 0; i < rdns.size(); ++i) {
        std::vector<std::string> suffix(rdns.begin() + static_cast<std::ptrdiff_t>(i), rdns.end());
        if (!known_bases_.insert(Join(suffix, ",")).second) break;
      }
    }
    if (!root_dse_entry) BuildRootDse();
    root_context_ = root_dse_.First("rootDomainNamingContext");
    if (root_context_.empty()) root_context_ = root_dse_.First("defaultNamingContext");
  }

  Result<DirectoryEntry> RootDse() override { return root_dse_; }

  Result<std::vector<DirectoryEntry>> Search(std::string_view base_dn, SearchScope scope,
                                             std::string_view filter,
                                             const std::vector<std::string>& attributes) override {
    Result<FilterNode> parsed = ParseFilter(filter);
    if (!parsed.ok()) return parsed.status();
    FilterNode node = std::move(parsed).value();
    RewriteCategoryShortNames(node, root_context_);

    std::optional<ParsedDn> base = ParseDn(base_dn, *schema_);
    if (!base) {
      return Status(err::kDirInvalidDnSyntax,
                    "An invalid dn syntax has been specified: \"" + std::string(base_dn) + "\"");
    }
    if (!BaseExists(base->rdns)) {
      return Status(err::kDirNoSuchObject,
                    "There is no such object on the server: \"" + std::string(base_dn) + "\"");
    }

    std::optional<Postings> candidates;
    if (use_index_) candidates = Candidates(node);
    std::vector<DirectoryEntry> out;
    auto consider = [&](size_t i) {
      const PreparedEntry& p = prepared_[i];
      if (!InScope(p.rdns, base->rdns, scope)) return;
      if (evaluator_.Evaluate(node, p) != Tri::kTrue) return;
      out.push_back(ProjectAttributes(*p.entry, p.name, attributes, *schema_));
    };
    if (candidates) {
      for (uint32_t i : *candidates) consider(i);
    } else {
      for (size_t i = 0; i < prepared_.size(); ++i) consider(i);
    }
    return out;
  }

 private:
  static bool InScope(const std::vector<std::string>& rdns, const std::vector<std::string>& base,
                      SearchScope scope) {
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
  bool BaseExists(const std::vector<std::string>& base) const {
    return base.empty() || known_bases_.count(Join(base, ",")) > 0;
  }

  void BuildRootDse() {
    std::optional<std::vector<std::string>> common;  // normalised DC= suffix, leaf first
    std::string spelled;
    for (const PreparedEntry& p : prepared_) {
      size_t n = 0;
      while (n < p.rdns.size() && StartsWith(p.rdns[p.rdns.size() - 1 - n], "dc=")) ++n;
      if (n == 0) continue;
      std::vector<std::string> suffix(p.rdns.end() - static_cast<std::ptrdiff_t>(n), p.rdns.end());
      if (!common) {
        common = suffix;
        spelled = SpelledSuffix(p.entry->dn, n);
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
  static std::string SpelledSuffix(const std::string& dn, size_t n) {
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
  // narrow the search. Items that can never be TRUE (unknown type, invalid value) narrow to
  // nothing.
  std::optional<Postings> Candidates(const FilterNode& node) {
    using Kind = FilterNode::Kind;
    switch (node.kind) {
      case Kind::kEquality:
      case Kind::kApprox: {
        const AttributeType* type = schema_->FindAttribute(node.attribute);
        if (type == nullptr || type->equality == MatchKind::kNone) return Postings{};
        std::optional<std::string> key = NormalizeValue(type->equality, node.value, *schema_);
        if (!key) return Postings{};
        const auto& index = IndexFor(type, EqualsIgnoreCase(node.attribute, "name"));
        auto it = index.find(*key);
        return it == index.end() ? Postings{} : it->second;
      }
      case Kind::kAnd: {
        std::optional<Postings> result;
        for (const FilterNode& c : node.children) {
          std::optional<Postings> p = Candidates(c);
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
        Postings result;
        for (const FilterNode& c : node.children) {
          std::optional<Postings> p = Candidates(c);
          if (!p) return std::nullopt;
          Postings merged;
          std::set_union(result.begin(), result.end(), p->begin(), p->end(),
                         std::back_inserter(merged));
          result = std::move(merged);
        }
        return result;
      }
      default:
        return std::nullopt;
    }
  }

  const std::unordered_map<std::string, Postings>& IndexFor(const AttributeType* type,
                                                            bool is_name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = is_name ? name_index_ : index_[type];
    if (slot) return *slot;
    slot = std::make_unique<std::unordered_map<std::string, Postings>>();
    auto add = [&](const std::string& key, uint32_t i) {
      Postings& p = (*slot)[key];
      if (p.empty() || p.back() != i) p.push_back(i);
    };
    for (size_t i = 0; i < prepared_.size(); ++i) {
      const PreparedEntry& p = prepared_[i];
      auto id = static_cast<uint32_t>(i);
      if (is_name) {
        if (auto key = NormalizeValue(type->equality, p.name, *schema_)) add(*key, id);
        continue;
      }
      if (type->equality == MatchKind::kObjectIdentifier) {
        for (const std::string& c : p.classes) add(c, id);
        continue;
      }
      for (size_t a = 0; a < p.types.size(); ++a) {
        if (p.types[a] != type) continue;
        for (const std::string& v : p.entry->attributes[a].values) {
          if (auto key = NormalizeValue(type->equality, v, *schema_)) add(*key, id);
        }
      }
    }
    return *slot;
  }

  std::shared_ptr<const Schema> schema_;
  bool use_index_;
  FilterEvaluator evaluator_;
  std::vector<DirectoryEntry> entries_;
  std::vector<PreparedEntry> prepared_;
  DirectoryEntry root_dse_;
  std::string root_context_;
  std::unordered_set<std::string> known_bases_;  // entries' DNs and their ancestors
  std::mutex mutex_;
  std::unordered_map<const AttributeType*,
                     std::unique_ptr<std::unordered_map<std::string, Postings>>>
      index_;
  std::unique_ptr<std::unordered_map<std::string, Postings>> name_index_;
};

}  // namespace

Result<std::shared_ptr<Directory>> LdifDirectoryFromText(std::string_view text,
                                                         std::string_view name,
                                                         std::ostream& diagnostics,
                                                         LdifDirectoryOptions options) {
  Result<std::vector<DirectoryEntry>> entries = ParseLdif(text, name, diagnostics);
  if (!entries.ok()) return entries.status();
  std::shared_ptr<Directory> dir =
      std::make_shared<LdifDirectory>(std::move(entries).value(), std::move(options));
  return dir;
}

Result<std::shared_ptr<Directory>> LoadLdifDirectoryWithOptions(const std::string& path,
                                                                std::ostream& diagnostics,
                                                                LdifDirectoryOptions options) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::string message = path + ": cannot open the directory file";
    diagnostics << message << "\n";
    return Status(err::kNotFound, message);
  }
  std::ostringstream buffer;
  buffer << in.rdbuf();
  return LdifDirectoryFromText(buffer.str(), path, diagnostics, std::move(options));
}

Result<std::shared_ptr<Directory>> LoadLdifDirectory(const std::string& path,
                                                     std::ostream& diagnostics) {
  return LoadLdifDirectoryWithOptions(path, diagnostics, LdifDirectoryOptions{});
}

}  // namespace testqav
