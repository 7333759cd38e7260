#include "platform/directory/directory.h"

#include "platform/common/text.h"
#include "platform/directory/filter.h"

namespace testqav {

const std::vector<std::string>& DirectoryEntry::Values(std::string_view attribute) const {
  static const std::vector<std::string> kNone;
  for (const DirectoryAttribute& a : attributes) {
    if (EqualsIgnoreCase(a.name, attribute)) return a.values;
  }
  return kNone;
}

std::string DirectoryEntry::First(std::string_view attribute) const {
  const std::vector<std::string>& v = Values(attribute);
  return v.empty() ? std::string() : v.front();
}

Status Directory::ForEachEntry(std::string_view base_dn, SearchScope scope,
                               const FilterNode& filter, const std::vector<std::string>& attributes,
                               const std::function<void(SharedDirectoryEntry)>& each) {
  Result<std::vector<DirectoryEntry>> found =
      Search(base_dn, scope, FilterToString(filter), attributes);
  if (!found.ok()) return found.status();
  for (DirectoryEntry& e : *found) each(std::make_shared<DirectoryEntryView>(std::move(e)));
  return Status::Ok();
}

Result<std::vector<SharedDirectoryEntry>> SearchShared(Directory& directory,
                                                       std::string_view base_dn, SearchScope scope,
                                                       const FilterNode& filter,
                                                       const std::vector<std::string>& attributes) {
  std::vector<SharedDirectoryEntry> out;
  Status status =
      directory.ForEachEntry(base_dn, scope, filter, attributes,
                             [&out](SharedDirectoryEntry e) { out.push_back(std::move(e)); });
  if (!status.ok()) return status;
  return out;
}

}  // namespace testqav
