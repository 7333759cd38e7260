#include "platform/directory/ldap/ldap_snapshot.h"

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
  // The base itself, so that it exists for the searches however few entries are below it.
  std::string base_dn;
  Status st = server.SearchEach(request.base, SearchScope::kBase, "(objectClass=*)", wanted,
                                [&](DirectoryEntry&& e) {
                                  base_dn = e.dn;
                                  store.Add(e);
                                });
  if (!st.ok()) return st;
  st = server.SearchEach(request.base, SearchScope::kSubtree, request.filter, wanted,
                         [&](DirectoryEntry&& e) {
                           if (e.dn != base_dn) store.Add(e);
                         });
  if (!st.ok()) return st;
  LdifDirectoryOptions options;
  options.schema = schema;
  return DirectoryFromStore(std::move(store), std::move(root_dse).value(), options);
}

}  // namespace testqav
