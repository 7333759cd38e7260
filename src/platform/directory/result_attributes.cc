#include "platform/directory/result_attributes.h"

#include "platform/common/text.h"

namespace testqav {

DirectoryEntry ProjectAttributes(const DirectoryEntry& stored, const std::string& rdn_value,
                                 const std::vector<std::string>& requested, const Schema& schema) {
  DirectoryEntry out;
  out.dn = stored.dn;
  if (requested.empty()) {
    out.attributes = stored.attributes;
    bool has_name = false;
    for (const DirectoryAttribute& a : out.attributes) {
      has_name = has_name || EqualsIgnoreCase(a.name, "name");
    }
    if (!has_name) out.attributes.push_back({"name", {rdn_value}});
    return out;
  }
  // Schema look-ups fold the name each time; resolve every stored attribute's type once.
  std::vector<const AttributeType*> stored_types;
  stored_types.reserve(stored.attributes.size());
  for (const DirectoryAttribute& a : stored.attributes) {
    stored_types.push_back(schema.FindAttribute(a.name));
  }
  std::vector<const AttributeType*> taken;  // types already in `out` (nullptr: by name)
  for (const std::string& want : requested) {
    const AttributeType* type = schema.FindAttribute(want);
    bool duplicate = false;
    for (size_t i = 0; i < out.attributes.size() && !duplicate; ++i) {
      // Equal names have equal types, so the type check only saves text comparisons.
      duplicate = (type == nullptr || taken[i] == type) &&
                  EqualsIgnoreCase(out.attributes[i].name, want);
    }
    if (duplicate) continue;
    if (EqualsIgnoreCase(want, "name")) {
      out.attributes.push_back({want, {rdn_value}});
      taken.push_back(type);
      continue;
    }
    DirectoryAttribute got{want, {}};
    for (size_t i = 0; i < stored.attributes.size(); ++i) {
      const DirectoryAttribute& a = stored.attributes[i];
      // Two names of one attribute type (an alias) are the same attribute.
      bool same = type != nullptr ? stored_types[i] == type : EqualsIgnoreCase(a.name, want);
      if (same) got.values.insert(got.values.end(), a.values.begin(), a.values.end());
    }
    if (got.values.empty() && EqualsIgnoreCase(want, "distinguishedName")) {
      got.values.push_back(stored.dn);
    }
    if (!got.values.empty()) {
      out.attributes.push_back(std::move(got));
      taken.push_back(type);
    }
  }
  return out;
}

}  // namespace testqav
