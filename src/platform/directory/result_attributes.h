// Shapes a search result entry the same way in every backend: the requested attributes
// under the spelling the caller asked for (aliases such as streetAddress/street resolved
// through the schema), `name` as the RDN value, distinguishedName as the DN.
#pragma once

#include <string>
#include <vector>

#include "platform/directory/directory.h"
#include "platform/directory/embedded/entry_store.h"
#include "platform/directory/schema.h"

namespace testqav {

// `requested` empty: every stored attribute plus `name`. Otherwise only the requested ones
// that have values, in the requested order.
DirectoryEntry ProjectAttributes(const DirectoryEntry& stored, const std::string& rdn_value,
                                 const std::vector<std::string>& requested, const Schema& schema);

// A list of requested attributes resolved against the schema once, for projecting many
// entries of one search alike.
class AttributeRequest {
 public:
  AttributeRequest(const std::vector<std::string>& requested, const Schema& schema);

  // The same result as ProjectAttributes(stored, rdn_value, requested, schema).
  // `stored_types` holds the schema type of each stored attribute (nullptr when unknown).
  DirectoryEntry Project(const DirectoryEntry& stored,
                         const std::vector<const AttributeType*>& stored_types,
                         const std::string& rdn_value) const;
  // The same for an entry that is not needed afterwards: its values are moved, not copied,
  // where no two requests can take the same attribute.
  DirectoryEntry Project(DirectoryEntry&& stored,
                         const std::vector<const AttributeType*>& stored_types,
                         const std::string& rdn_value) const;
  // The same for an entry of the embedded directory's store.
  DirectoryEntry Project(const StoredEntry& stored) const;

 private:
  // Source: a stored entry seen through dn(), rdn_value(), count(), name(i), type(i) and
  // values(i) (a range of texts).
  template <typename Source>
  DirectoryEntry ProjectRequested(const Source& stored) const;

  struct Wanted {
    const std::string* name;
    const AttributeType* type;
    bool is_name;
    bool is_dn;
    std::vector<size_t> same_as;  // earlier requests that make this one a duplicate
  };
  const std::vector<std::string>& requested_;
  std::vector<Wanted> wanted_;
  // No two requests name one attribute (by name or, through an alias, by type).
  bool distinct_ = true;
};

}  // namespace testqav
