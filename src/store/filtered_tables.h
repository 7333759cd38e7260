// Searching a folder's contents table by property values through the helper library's
// folder, table and filter objects, and a folder's full display path.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/runtime.h"
#include "platform/common/variant.h"
#include "platform/messaging/messaging.h"

namespace testqav {

// One search condition. PropTag, when not 0, is used as it stands; otherwise the named
// property Name of the public-strings set with type PropType (0 means 30, string8).
struct FilterField {
  std::string Name;
  int32_t PropType = 0;
  int32_t PropTag = 0;
  std::string Value;
};

// The entry IDs (hexadecimal texts) of the messages of `folder` that match every field,
// in table order. Writes the defaulted PropType (30) back into `fields`.
std::vector<std::string> FilterMsgsRDO(Runtime& rt, const FolderPtr& folder,
                                       std::vector<FilterField>& fields);
void AddRestrictionRDO(Runtime& rt, const RestrictionPtr& parent, int32_t tag,
                       const std::string& value);
Variant GetRowVal(Runtime& rt, const Variant& value, int32_t tag);
int32_t GetPropType(int32_t tag);
// "\\" + store display name + "\" + the folder names from the top of the IPM tree down;
// "" on failure (after a level-1 line).
std::string GetRDOFolderPath(Runtime& rt, const std::string& entry_id, const std::string& store_id);

}  // namespace testqav
