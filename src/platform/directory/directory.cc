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

Result<std::vector<DirectoryEntry>> Directory::SearchTree(
    std::string_view base_dn, SearchScope scope, const FilterNode& filter,
    const std::vector<std::string>& attributes) {
  return Search(base_dn, scope, FilterToString(filter), attributes);
}

Status Directory::ForEachEntry(std::string_view base_dn, SearchScope scope,
                               const FilterNode& filter, const std::vector<std::string>& attributes,
                               const std::function<void(const EntryView&)>& each) {
  Result<std::vector<SharedDirectoryEntry>> found =
      SearchShared(base_dn, scope, filter, attributes);
  if (!found.ok()) return found.status();
  for (const SharedDirectoryEntry& e : *found) each(*e);
  return Status::Ok();
}

void Directory::ExpectEqualitySearches(const std::vector<std::string>& /*attributes*/) {}

Result<std::vector<SharedDirectoryEntry>> Directory::SearchShared(
    std::string_view base_dn, SearchScope scope, const FilterNode& filter,
    const std::vector<std::string>& attributes) {
  Result<std::vector<DirectoryEntry>> found = SearchTree(base_dn, scope, filter, attributes);
  if (!found.ok()) return found.status();
  std::vector<SharedDirectoryEntry> out;
  out.reserve(found->size());
  for (DirectoryEntry& e : *found)
    out.push_back(std::make_shared<DirectoryEntryView>(std::move(e)));
  return out;
}

}  // namespace testqav
