#include "platform/directory/filter_eval.h"

#include <algorithm>

#include "platform/common/text.h"
#include "platform/directory/matching.h"

namespace testqav {
namespace {

struct CategoryName {
  const char* short_name;
  const char* category_cn;
};

// Each class's default object category, as Active Directory's schema assigns it.
constexpr CategoryName kCategories[] = {
    {"person", "Person"},
    {"user", "Person"},
    {"contact", "Person"},
    {"organizationalPerson", "Person"},
    {"inetOrgPerson", "Person"},
    {"computer", "Computer"},
    {"group", "Group"},
    {"msExchDynamicDistributionList", "ms-Exch-Dynamic-Distribution-List"},
    {"publicFolder", "ms-Exch-Public-Folder"},
    {"organizationalUnit", "Organizational-Unit"},
    {"container", "Container"},
    {"domainDNS", "Domain-DNS"},
    {"organization", "Organization"},
};

// The values of `type` in the entry (aliases included); `name` is the RDN value.
std::vector<std::string_view> ValuesOf(const StoredEntry& e, const AttributeType* type,
                                       bool is_name) {
  std::vector<std::string_view> out;
  if (is_name) {
    out.push_back(e.name());
    return out;
  }
  for (size_t i = 0; i < e.attribute_count(); ++i) {
    if (e.type(i) == type) {
      std::span<const std::string_view> v = e.values(i);
      out.insert(out.end(), v.begin(), v.end());
    }
  }
  return out;
}

bool SubstringMatch(const std::string& value, const std::optional<std::string>& initial,
                    const std::vector<std::string>& any,
                    const std::optional<std::string>& final_part) {
  size_t pos = 0;
  size_t end = value.size();
  if (initial) {
    if (value.compare(0, initial->size(), *initial) != 0) return false;
    pos = initial->size();
  }
  if (final_part) {
    if (final_part->size() > end - pos) return false;
    if (value.compare(end - final_part->size(), final_part->size(), *final_part) != 0) {
      return false;
    }
    end -= final_part->size();
  }
  for (const std::string& a : any) {
    size_t found = value.find(a, pos);
    if (found == std::string::npos || found + a.size() > end) return false;
    pos = found + a.size();
  }
  return true;
}

bool IsNameAttribute(std::string_view attribute) { return EqualsIgnoreCase(attribute, "name"); }

}  // namespace

std::string CategoryDnForShortName(std::string_view value, std::string_view root_context) {
  if (value.find('=') != std::string_view::npos) return "";
  std::string trimmed = Trim(value);
  for (const CategoryName& c : kCategories) {
    if (EqualsIgnoreCase(trimmed, c.short_name)) {
      std::string dn = std::string("CN=") + c.category_cn + ",CN=Schema,CN=Configuration";
      if (!root_context.empty()) dn += "," + std::string(root_context);
      return dn;
    }
  }
  return "";
}

void RewriteCategoryShortNames(FilterNode& node, std::string_view root_context) {
  for (FilterNode& c : node.children) RewriteCategoryShortNames(c, root_context);
  if ((node.kind == FilterNode::Kind::kEquality || node.kind == FilterNode::Kind::kApprox) &&
      EqualsIgnoreCase(node.attribute, "objectCategory")) {
    std::string dn = CategoryDnForShortName(node.value, root_context);
    if (!dn.empty()) node.value = dn;
  }
}

Tri FilterEvaluator::Evaluate(const FilterNode& node, const StoredEntry& entry,
                              SearchCache* cache) const {
  switch (node.kind) {
    case FilterNode::Kind::kAnd: {
      Tri result = Tri::kTrue;
      for (const FilterNode& c : node.children) {
        Tri r = Evaluate(c, entry, cache);
        if (r == Tri::kFalse) return Tri::kFalse;
        if (r == Tri::kUndefined) result = Tri::kUndefined;
      }
      return result;
    }
    case FilterNode::Kind::kOr: {
      Tri result = Tri::kFalse;
      for (const FilterNode& c : node.children) {
        Tri r = Evaluate(c, entry, cache);
        if (r == Tri::kTrue) return Tri::kTrue;
        if (r == Tri::kUndefined) result = Tri::kUndefined;
      }
      return result;
    }
    case FilterNode::Kind::kNot: {
      Tri r = Evaluate(node.children.front(), entry, cache);
      return r == Tri::kTrue ? Tri::kFalse : r == Tri::kFalse ? Tri::kTrue : Tri::kUndefined;
    }
    default:
      return EvaluateItem(node, entry, cache);
  }
}

Tri FilterEvaluator::EvaluateEquality(const SearchCache::Equality& e,
                                      const StoredEntry& entry) const {
  if (e.type == nullptr || e.type->equality == MatchKind::kNone || !e.assertion) {
    return Tri::kUndefined;
  }
  const std::string& assertion = *e.assertion;
  if (e.type->equality == MatchKind::kObjectIdentifier) {
    const std::vector<std::string>& classes = entry.classes();
    return std::find(classes.begin(), classes.end(), assertion) != classes.end() ? Tri::kTrue
                                                                                 : Tri::kFalse;
  }
  auto matches = [&](std::string_view v) {
    if (e.type->equality != MatchKind::kDistinguishedName) {
      return NormalizedEquals(e.type->equality, v, assertion, *schema_);
    }
    if (v.empty() || v != e.last_dn) {
      e.last_dn_matched = NormalizedEquals(e.type->equality, v, assertion, *schema_);
      e.last_dn.assign(v);
    }
    return e.last_dn_matched;
  };
  if (e.is_name) return matches(entry.name()) ? Tri::kTrue : Tri::kFalse;
  for (size_t i = 0; i < entry.attribute_count(); ++i) {
    if (entry.type(i) != e.type) continue;
    for (std::string_view v : entry.values(i)) {
      if (matches(v)) return Tri::kTrue;
    }
  }
  return Tri::kFalse;
}

Tri FilterEvaluator::EvaluateItem(const FilterNode& node, const StoredEntry& entry,
                                  SearchCache* cache) const {
  const Schema& schema = *schema_;
  using Kind = FilterNode::Kind;
  if (node.kind == Kind::kEquality || node.kind == Kind::kApprox) {
    const SearchCache::Equality* known = cache != nullptr ? cache->Find(&node) : nullptr;
    SearchCache::Equality fresh;
    if (known == nullptr) {
      fresh.node = &node;
      fresh.type = store_.AttributeFor(node.attribute);
      fresh.is_name = IsNameAttribute(node.attribute);
      if (fresh.type != nullptr && fresh.type->equality != MatchKind::kNone) {
        fresh.assertion = NormalizeValue(fresh.type->equality, node.value, schema);
      }
      known = cache != nullptr ? &cache->Add(std::move(fresh)) : &fresh;
    }
    return EvaluateEquality(*known, entry);
  }
  if (node.kind == Kind::kExtensible) {
    if (node.attribute.empty()) return Tri::kUndefined;
    const AttributeType* type = store_.AttributeFor(node.attribute);
    bool is_name = IsNameAttribute(node.attribute);
    if (node.rule == kBitAndRule || node.rule == kBitOrRule ||
        EqualsIgnoreCase(node.rule, "integerBitAndMatch") ||
        EqualsIgnoreCase(node.rule, "integerBitOrMatch")) {
      bool bit_and = node.rule == kBitAndRule || EqualsIgnoreCase(node.rule, "integerBitAndMatch");
      if (!type->IsInteger()) return Tri::kUndefined;
      std::optional<int64_t> mask = ParseInteger(node.value);
      if (!mask) return Tri::kUndefined;
      auto umask = static_cast<uint64_t>(*mask);
      for (std::string_view v : ValuesOf(entry, type, false)) {
        std::optional<int64_t> x = ParseInteger(v);
        if (!x) continue;
        auto ux = static_cast<uint64_t>(*x);
        if (bit_and ? (ux & umask) == umask : (ux & umask) != 0) return Tri::kTrue;
      }
      return Tri::kFalse;
    }
    MatchKind kind = node.rule.empty() ? type->equality : MatchKindOfRule(node.rule);
    if (kind == MatchKind::kNone) return Tri::kUndefined;
    std::optional<std::string> assertion = NormalizeValue(kind, node.value, schema);
    if (!assertion) return Tri::kUndefined;
    for (std::string_view v : ValuesOf(entry, type, is_name)) {
      std::optional<std::string> nv = NormalizeValue(kind, v, schema);
      if (nv && *nv == *assertion) return Tri::kTrue;
    }
    if (node.dn_attributes) {
      // The DN's own attribute values take part as if they were attribute values.
      std::string prefix = LowerCase(type->PrimaryName()) + "=";
      for (std::string_view rdn : entry.rdns()) {
        if (StartsWith(rdn, prefix) && rdn.substr(prefix.size()) == *assertion) return Tri::kTrue;
      }
    }
    return Tri::kFalse;
  }

  const AttributeType* type = store_.AttributeFor(node.attribute);
  bool is_name = IsNameAttribute(node.attribute);

  if (node.kind == Kind::kPresent) {
    if (is_name) return Tri::kTrue;
    return ValuesOf(entry, type, false).empty() ? Tri::kFalse : Tri::kTrue;
  }

  if (node.kind == Kind::kGreaterOrEqual || node.kind == Kind::kLessOrEqual) {
    if (type->ordering == MatchKind::kNone) return Tri::kUndefined;
    std::optional<std::string> assertion = NormalizeValue(type->ordering, node.value, schema);
    if (!assertion) return Tri::kUndefined;
    for (std::string_view v : ValuesOf(entry, type, is_name)) {
      std::optional<std::string> nv = NormalizeValue(type->ordering, v, schema);
      if (!nv) continue;
      int c = CompareNormalized(type->ordering, *nv, *assertion);
      if (node.kind == Kind::kGreaterOrEqual ? c >= 0 : c <= 0) return Tri::kTrue;
    }
    return Tri::kFalse;
  }

  // Substrings.
  if (type->substr == MatchKind::kNone) return Tri::kUndefined;
  MatchKind kind = type->substr;
  std::optional<std::string> initial;
  std::optional<std::string> final_part;
  std::vector<std::string> any;
  if (node.initial) {
    initial = NormalizeSubstringPiece(kind, *node.initial, true, false);
    if (!initial) return Tri::kUndefined;
  }
  for (const std::string& a : node.any) {
    std::optional<std::string> p = NormalizeSubstringPiece(kind, a, false, false);
    if (!p) return Tri::kUndefined;
    any.push_back(std::move(*p));
  }
  if (node.final_part) {
    final_part = NormalizeSubstringPiece(kind, *node.final_part, false, true);
    if (!final_part) return Tri::kUndefined;
  }
  for (std::string_view v : ValuesOf(entry, type, is_name)) {
    std::optional<std::string> nv = NormalizeValue(kind, v, schema);
    if (nv && SubstringMatch(*nv, initial, any, final_part)) return Tri::kTrue;
  }
  return Tri::kFalse;
}

}  // namespace testqav
