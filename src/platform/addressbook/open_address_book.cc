// Opening the address book of a server folder (exchange/<server>/).
#include <system_error>

#include "platform/addressbook/address_book.h"
#include "platform/addressbook/entry_properties.h"
#include "platform/common/error_codes.h"
#include "platform/directory/embedded/ldif_directory.h"
#include "platform/directory/ldap/ldap_directory.h"
#include "platform/directory/ldap/ldap_snapshot.h"

namespace testqav {

Result<std::shared_ptr<Directory>> OpenServerDirectory(const std::filesystem::path& server_dir,
                                                       std::ostream& diagnostics) {
  std::error_code ec;
  std::filesystem::path ldif = server_dir / "directory.ldif";
  if (std::filesystem::exists(ldif, ec)) return LoadLdifDirectory(ldif.string(), diagnostics);
  std::filesystem::path conf = server_dir / "directory.conf";
  if (std::filesystem::exists(conf, ec)) {
    Result<LdapConfig> config = LoadDirectoryConf(conf.string());
    if (!config.ok()) return config.status();
    return OpenLdapDirectory(*config);
  }
  return Status(err::kNotFound, "No directory for the server: neither " + ldif.string() + " nor " +
                                    conf.string() + " exists");
}

namespace {

// The address book's base: the rootDSE's defaultNamingContext.
Result<std::string> AddressBookBase(Directory& directory) {
  Result<DirectoryEntry> root = directory.RootDse();
  if (!root.ok()) return root.status();
  std::string base = root->First("defaultNamingContext");
  if (base.empty()) {
    return Status(err::kNotFound, "The directory's rootDSE names no defaultNamingContext");
  }
  return base;
}

}  // namespace

Result<std::shared_ptr<AddressBook>> OpenLdapAddressBook(std::shared_ptr<LdapDirectory> server) {
  Result<std::string> base = AddressBookBase(*server);
  if (!base.ok()) return base.status();
  // An object is an address entry only with one of these (IsMailEnabled); the searches and
  // the members followed can reach no other under the base.
  SnapshotRequest request;
  request.base = *base;
  request.filter = "(|(mail=*)(legacyExchangeDN=*)(proxyAddresses=*))";
  request.attributes = EntryAttributes();
  for (const std::string& a : LookupAttributes()) request.attributes.push_back(a);
  Result<std::shared_ptr<Directory>> snapshot = TakeSnapshot(*server, request);
  if (!snapshot.ok()) {
    return Status(snapshot.status().number(),
                  "cannot read the address book from the directory server: " +
                      snapshot.status().description());
  }
  return MakeDirectoryAddressBook(std::move(server), std::move(base).value(),
                                  std::move(snapshot).value());
}

Result<std::shared_ptr<AddressBook>> OpenAddressBook(const std::filesystem::path& server_dir,
                                                     std::ostream& diagnostics) {
  std::error_code ec;
  if (!std::filesystem::exists(server_dir / "directory.ldif", ec) &&
      std::filesystem::exists(server_dir / "directory.conf", ec)) {
    Result<LdapConfig> config = LoadDirectoryConf((server_dir / "directory.conf").string());
    if (!config.ok()) return config.status();
    Result<std::shared_ptr<LdapDirectory>> server = OpenLdapServer(*config);
    if (!server.ok()) return server.status();
    return OpenLdapAddressBook(std::move(server).value());
  }
  Result<std::shared_ptr<Directory>> directory = OpenServerDirectory(server_dir, diagnostics);
  if (!directory.ok()) return directory.status();
  Result<std::string> base = AddressBookBase(**directory);
  if (!base.ok()) return base.status();
  return MakeDirectoryAddressBook(std::move(directory).value(), std::move(base).value());
}

}  // namespace testqav
