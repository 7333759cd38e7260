#include "platform/directory/ldap/ldap_snapshot.h"

#include <unordered_map>

#include "platform/common/text.h"
#include "platform/directory/embedded/entry_store.h"
#include "platform/directory/embedded/ldif_directory.h"

namespace testqav {

Result<std::shared_ptr<Directory>> TakeSnapshot(LdapDirectory& server,
                                                const SnapshotRequest& request) {
  Result<DirectoryEntry> root_dse = server.RootDse();
  if (!root_dse.ok()) return root_dse.status();
  // Always the object classes: every object has them, and a base search for an object
  // ("(objectClass=*)", as the address book reads a member) tests them.
  std::vector<std::string> wanted = {"objectClass"};
  for (const std::string& a : request.attributes) {
    if (EqualsIgnoreCase(a, "name") || EqualsIgnoreCase(a, "distinguishedName")) continue;
    bool seen = false;
    for (const std::string& w : wanted) seen = seen || EqualsIgnoreCase(w, a);
    if (!seen) wanted.push_back(a);
  }
  std::shared_ptr<const Schema> schema = Schema::Builtin();
  EntryStore store(schema);
  // Attributes are stored under the requested spelling, whatever name the server gives them
  // (slapd answers a request for `co` with friendlyCountryName): searches that ask for that
  // spelling are then answered with the stored entries themselves, not with copies of them.
  std::unordered_map<std::string, std::string> spelling;
  auto respell = [&](DirectoryEntry& e) {
    for (DirectoryAttribute& a : e.attributes) {
      auto known = spelling.find(a.name);
      if (known == spelling.end()) {
        const AttributeType* type = schema->FindAttribute(a.name);
        std::string target = a.name;
        for (const std::string& w : wanted) {
          if (EqualsIgnoreCase(w, a.name) ||
              (type != nullptr && schema->FindAttribute(w) == type)) {
            target = w;
            break;
          }
        }
        known = spelling.emplace(a.name, std::move(target)).first;
      }
      if (a.name != known->second) a.name = known->second;
    }
  };
  // The base itself, so that it exists for the searches however few entries are below it.
  std::string base_dn;
  Status st = server.SearchEach(request.base, SearchScope::kBase, "(objectClass=*)", wanted,
                                [&](DirectoryEntry&& e) {
                                  base_dn = e.dn;
                                  respell(e);
                                  store.Add(e);
                                });
  if (!st.ok()) return st;
  st = server.SearchEach(request.base, SearchScope::kSubtree, request.filter, wanted,
                         [&](DirectoryEntry&& e) {
                           if (e.dn == base_dn) return;
                           respell(e);
                           store.Add(e);
                         });
  if (!st.ok()) return st;
  LdifDirectoryOptions options;
  options.schema = schema;
  return DirectoryFromStore(std::move(store), std::move(root_dse).value(), options);
}

}  // namespace testqav
