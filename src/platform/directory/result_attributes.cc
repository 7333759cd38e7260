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
  for (const std::string& want : requested) {
    bool duplicate = false;
    for (const DirectoryAttribute& a : out.attributes) {
      duplicate = duplicate || EqualsIgnoreCase(a.name, want);
    }
    if (duplicate) continue;
    if (EqualsIgnoreCase(want, "name")) {
      out.attributes.push_back({want, {rdn_value}});
      continue;
    }
    const AttributeType* type = schema.FindAttribute(want);
    DirectoryAttribute got{want, {}};
    for (const DirectoryAttribute& a : stored.attributes) {
      bool same = EqualsIgnoreCase(a.name, want) ||
                  (type != nullptr && schema.FindAttribute(a.name) == type);
      if (same) got.values.insert(got.values.end(), a.values.begin(), a.values.end());
    }
    if (got.values.empty() && EqualsIgnoreCase(want, "distinguishedName")) {
      got.values.push_back(stored.dn);
    }
    if (!got.values.empty()) out.attributes.push_back(std::move(got));
  }
  return out;
}

}  // namespace testqav
