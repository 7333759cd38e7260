#include "platform/directory/directory.h"

#include "platform/common/text.h"

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

}  // namespace testqav
