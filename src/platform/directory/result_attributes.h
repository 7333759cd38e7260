// Shapes a search result entry the same way in every backend: the requested attributes
// under the spelling the caller asked for (aliases such as streetAddress/street resolved
// through the schema), `name` as the RDN value, distinguishedName as the DN.
#pragma once

#include <string>
#include <vector>

#include "platform/directory/directory.h"
#include "platform/directory/schema.h"

namespace testqav {

// `requested` empty: every stored attribute plus `name`. Otherwise only the requested ones
// that have values, in the requested order.
DirectoryEntry ProjectAttributes(const DirectoryEntry& stored, const std::string& rdn_value,
                                 const std::vector<std::string>& requested, const Schema& schema);

}  // namespace testqav
