#include "platform/directory/embedded/root_dse.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/text.h"

namespace testqav {
namespace {

// The last `n` RDNs of `dn` in their original spelling.
std::string SpelledSuffix(std::string_view dn, size_t n) {
  // Walk the DN from the end, splitting at unescaped commas.
  std::vector<std::string> parts;
  std::string piece;
  for (size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == '\\' && i + 1 < dn.size()) {
      piece += dn[i];
      piece += dn[++i];
    } else if (dn[i] == ',') {
      parts.push_back(Trim(piece));
      piece.clear();
    } else {
      piece += dn[i];
    }
  }
  parts.push_back(Trim(piece));
  if (n > parts.size()) n = parts.size();
  std::vector<std::string> tail(parts.end() - static_cast<std::ptrdiff_t>(n), parts.end());
  return Join(tail, ",");
}

}  // namespace

DirectoryEntry DeriveRootDse(const EntryStore& store) {
  std::optional<std::vector<std::string>> common;  // normalised DC= suffix, leaf first
  std::string spelled;
  for (size_t i = 0; i < store.size(); ++i) {
    std::span<const std::string_view> rdns = store[i].rdns();
    size_t n = 0;
    while (n < rdns.size() && StartsWith(rdns[rdns.size() - 1 - n], "dc=")) ++n;
    if (n == 0) continue;
    std::vector<std::string> suffix(rdns.end() - static_cast<std::ptrdiff_t>(n), rdns.end());
    if (!common) {
      common = suffix;
      spelled = SpelledSuffix(store[i].dn(), n);
      continue;
    }
    // Keep the longest run of trailing RDNs that both suffixes share.
    size_t k = 0;
    while (k < common->size() && k < suffix.size() &&
           (*common)[common->size() - 1 - k] == suffix[suffix.size() - 1 - k]) {
      ++k;
    }
    if (k < common->size()) {
      common->erase(common->begin(), common->end() - static_cast<std::ptrdiff_t>(k));
      spelled = SpelledSuffix(spelled, k);
    }
  }
  DirectoryEntry root_dse;
  root_dse.dn = "";
  if (common && !common->empty()) {
    root_dse.attributes.push_back({"defaultNamingContext", {spelled}});
    root_dse.attributes.push_back({"rootDomainNamingContext", {spelled}});
    root_dse.attributes.push_back({"namingContexts", {spelled}});
  }
  return root_dse;
}

}  // namespace testqav
