// Opening the address book of a server folder (exchange/<server>/).
#include <system_error>

#include "platform/addressbook/address_book.h"
#include "platform/common/error_codes.h"
#include "platform/directory/embedded/ldif_directory.h"
#include "platform/directory/ldap/ldap_directory.h"

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

Result<std::shared_ptr<AddressBook>> OpenAddressBook(const std::filesystem::path& server_dir,
                                                     std::ostream& diagnostics) {
  Result<std::shared_ptr<Directory>> directory = OpenServerDirectory(server_dir, diagnostics);
  if (!directory.ok()) return directory.status();
  Result<DirectoryEntry> root = (*directory)->RootDse();
  if (!root.ok()) return root.status();
  std::string base = root->First("defaultNamingContext");
  if (base.empty()) {
    return Status(err::kNotFound, "The directory's rootDSE names no defaultNamingContext");
  }
  return MakeDirectoryAddressBook(std::move(directory).value(), std::move(base));
}

}  // namespace testqav
