#include "platform/directory/result_attributes.h"

#include "platform/common/text.h"

namespace testqav {

DirectoryEntry ProjectAttributes(const DirectoryEntry& stored, const std::string& rdn_value,
                                 const std::vector<std::string>& requested, const Schema& schema) {
  // Schema look-ups fold the name each time; resolve every stored attribute's type once.
  std::vector<const AttributeType*> stored_types;
  if (!requested.empty()) {
    stored_types.reserve(stored.attributes.size());
    for (const DirectoryAttribute& a : stored.attributes) {
      stored_types.push_back(schema.FindAttribute(a.name));
    }
  }
  return AttributeRequest(requested, schema).Project(stored, stored_types, rdn_value);
}

AttributeRequest::AttributeRequest(const std::vector<std::string>& requested, const Schema& schema)
    : requested_(requested) {
  wanted_.reserve(requested.size());
  for (const std::string& want : requested) {
    Wanted w{&want,
             schema.FindAttribute(want),
             EqualsIgnoreCase(want, "name"),
             EqualsIgnoreCase(want, "distinguishedName"),
             {}};
    // A request repeats an earlier one (that produced values) when both name the same
    // attribute; equal names have equal types, so the type check only saves comparisons.
    for (size_t k = 0; k < wanted_.size(); ++k) {
      if ((w.type == nullptr || wanted_[k].type == w.type) &&
          EqualsIgnoreCase(*wanted_[k].name, want)) {
        w.same_as.push_back(k);
      }
    }
    wanted_.push_back(std::move(w));
  }
}

DirectoryEntry AttributeRequest::Project(const DirectoryEntry& stored,
                                         const std::vector<const AttributeType*>& stored_types,
                                         const std::string& rdn_value) const {
  DirectoryEntry out;
  out.dn = stored.dn;
  if (requested_.empty()) {
    out.attributes = stored.attributes;
    bool has_name = false;
    for (const DirectoryAttribute& a : out.attributes) {
      has_name = has_name || EqualsIgnoreCase(a.name, "name");
    }
    if (!has_name) out.attributes.push_back({"name", {rdn_value}});
    return out;
  }
  std::vector<bool> added(wanted_.size(), false);
  for (size_t j = 0; j < wanted_.size(); ++j) {
    const Wanted& w = wanted_[j];
    bool duplicate = false;
    for (size_t k : w.same_as) duplicate = duplicate || added[k];
    if (duplicate) continue;
    if (w.is_name) {
      out.attributes.push_back({*w.name, {rdn_value}});
      added[j] = true;
      continue;
    }
    DirectoryAttribute got{std::string(), {}};
    for (size_t i = 0; i < stored.attributes.size(); ++i) {
      const DirectoryAttribute& a = stored.attributes[i];
      // Two names of one attribute type (an alias) are the same attribute.
      bool same = w.type != nullptr ? stored_types[i] == w.type : EqualsIgnoreCase(a.name, *w.name);
      if (same) got.values.insert(got.values.end(), a.values.begin(), a.values.end());
    }
    if (got.values.empty() && w.is_dn) got.values.push_back(stored.dn);
    if (!got.values.empty()) {
      got.name = *w.name;
      out.attributes.push_back(std::move(got));
      added[j] = true;
    }
  }
  return out;
}

}  // namespace testqav
