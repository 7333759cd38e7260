// The directory access layer the engine talks to: ADsPath binding ("GC://rootDSE",
// "LDAP://[server/]DN") and command texts "<GC://base>;filter;attr1,attr2;scope" run into a
// record set, as the directory provider of the original platform offered them.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/status.h"
#include "platform/common/variant.h"
#include "platform/directory/directory.h"
#include "platform/recordset/recordset.h"

namespace testqav {

struct AdsPath {
  std::string provider;  // "GC" or "LDAP" as written
  std::string server;    // "" when none was given
  std::string dn;        // "" for the rootDSE
  bool root_dse = false;
};

// "GC://rootDSE", "LDAP://rootDSE", "GC://[server/]DN", "LDAP://[server/]DN"; the provider
// name ignores case. Anything else is err::kDirBadPathname. A server part is the text before
// the first "/" when that text holds no "=". There is one directory, so the server only
// appears in the ADsPath.
Result<AdsPath> ParseAdsPath(std::string_view path);

class BoundObject {
 public:
  BoundObject(std::string ads_path, DirectoryEntry entry)
      : ads_path_(std::move(ads_path)), entry_(std::move(entry)) {}
  // The path as bound ("GC://DC=a,DC=b").
  const std::string& ADsPath() const { return ads_path_; }
  // A single-valued attribute as a String, a multi-valued one as an array of Strings;
  // err::kDirPropertyNotFound when the object has no value.
  Result<Variant> Get(std::string_view attribute) const;

 private:
  std::string ads_path_;
  DirectoryEntry entry_;
};

Result<BoundObject> Bind(Directory& directory, std::string_view path);

struct DirectoryCommand {
  AdsPath base;
  std::string filter;
  std::vector<std::string> attributes;
  SearchScope scope = SearchScope::kSubtree;
};

// "<base>;filter;attributes[;scope]", scope base, onelevel or subtree in any letter case
// (subtree when left out). A filter wrapped in redundant parentheses, as in
// "((proxyAddresses=SMTP:a@b))", is unwrapped: the provider accepted that form, the LDAP
// filter grammar does not. Errors: err::kInvalidArg naming the fault.
Result<DirectoryCommand> ParseCommandText(std::string_view text);

// Runs a command text and returns an open record set (State 1) positioned on the first row:
// one field of FieldType::kVariant per requested attribute, in the requested order; an
// absent attribute reads Null, a multi-valued one (as Active Directory defines it) an array
// of Strings, integers Long (or 64-bit when larger), Booleans Boolean, others String.
// The record set is made by `make_recordset`.
Result<std::unique_ptr<Recordset>> ExecuteCommand(Directory& directory,
                                                  const RecordsetFactory& make_recordset,
                                                  std::string_view command_text);

}  // namespace testqav
