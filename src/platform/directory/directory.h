// Directory service: rootDSE, search (base, RFC 4515 filter, attributes, scope). The
// embedded implementation holds an LDIF file in memory; the real one speaks LDAP through
// libldap. Both evaluate filters as Active Directory does (see docs/directory.md).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/common/status.h"

namespace testqav {

enum class SearchScope { kBase, kOneLevel, kSubtree };

struct DirectoryAttribute {
  std::string name;  // as the schema spells it
  std::vector<std::string> values;
};

struct DirectoryEntry {
  std::string dn;
  std::vector<DirectoryAttribute> attributes;

  // Values of an attribute, name compared ignoring case; empty when absent.
  const std::vector<std::string>& Values(std::string_view attribute) const;
  // The first value, or "" when absent.
  std::string First(std::string_view attribute) const;
};

struct FilterNode;

class Directory {
 public:
  virtual ~Directory() = default;
  // The rootDSE's attributes (defaultNamingContext, rootDomainNamingContext, ...).
  virtual Result<DirectoryEntry> RootDse() = 0;
  // Entries under `base_dn` in `scope` that match `filter`, with the requested attributes
  // (all when `attributes` is empty). Errors: err::kDirInvalidFilter for a malformed filter,
  // err::kDirNoSuchObject for a base that does not exist, err::kDirServerDown and others
  // from the real backend (number and description).
  virtual Result<std::vector<DirectoryEntry>> Search(
      std::string_view base_dn, SearchScope scope, std::string_view filter,
      const std::vector<std::string>& attributes) = 0;
  // The same with the filter as a tree. Callers that build filters from values (the address
  // book) use this so that a backend that evaluates trees need not write and re-parse text.
  // The default writes the text and calls Search.
  virtual Result<std::vector<DirectoryEntry>> SearchTree(
      std::string_view base_dn, SearchScope scope, const FilterNode& filter,
      const std::vector<std::string>& attributes);
};

}  // namespace testqav
