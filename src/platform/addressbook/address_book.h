// Address book: the view of the directory that the messaging session and the helper
// library resolve names against. A mail-enabled directory object that is not hidden from
// address lists is an entry (type "EX"); an SMTP address the directory does not know
// resolves to a one-off entry of type "SMTP".
#pragma once

#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/status.h"
#include "platform/directory/directory.h"
#include "platform/directory/ldap/ldap_directory.h"
#include "platform/messaging/messaging.h"

namespace testqav {

class AddressBook {
 public:
  virtual ~AddressBook() = default;
  // Recipient resolution: "EX:" + distinguished name, "SMTP:" + address, a bare SMTP
  // address, or a display name or alias (ambiguous-name resolution). Errors: kUnresolved,
  // kAmbiguous.
  virtual Result<AddressEntryPtr> ResolveName(std::string_view name) = 0;
  // The entry with that entry ID (address-book or one-off layout). kNotFound when none;
  // kInvalidEntryId when the text is not an entry ID of either layout.
  virtual Result<AddressEntryPtr> GetEntry(std::string_view entry_id) = 0;
  // The Global Address List entry whose distinguished name (legacyExchangeDN) is `dn`,
  // compared ignoring case. kNotFound when none.
  virtual Result<AddressEntryPtr> FindByDN(std::string_view dn) = 0;
  // The entries whose name (AddressEntry::Name: the display name, or what stands in for a
  // missing one) is `name`, compared ignoring case, in the directory's order; empty when
  // none. The default has none.
  virtual Result<std::vector<AddressEntryPtr>> FindByName(std::string_view /*name*/) {
    return std::vector<AddressEntryPtr>();
  }
  // True when look-ups may be made from several threads at once. The default: they may not.
  virtual bool ConcurrentLookups() const { return false; }
  // The directory this address book is a view of; nullptr for one that has none.
  virtual std::shared_ptr<Directory> directory() const { return nullptr; }
  // OK while the address book can answer; once its directory is lost for good
  // (Directory::Failure), that error.
  virtual Status Failure() const { return Status::Ok(); }
};

// The address book over `directory`, searching the subtree under `base_dn`. Entries, and
// the answers of ResolveName (entry, unresolved or ambiguous), are kept for the life of the
// address book: the directory does not change during a run. The address book offers
// LookAhead for ResolveName (kName) and FindByDN (kDistinguishedName): where the directory
// allows concurrent searches (SearchHints), announced look-ups are answered on a thread of
// the address book's own.
// `lookups`, when given, is searched instead of `directory` for everything under `base_dn`:
// a copy of what the address book can reach there (OpenLdapAddressBook); `directory()`
// remains `directory`.
std::shared_ptr<AddressBook> MakeDirectoryAddressBook(std::shared_ptr<Directory> directory,
                                                      std::string base_dn,
                                                      std::shared_ptr<Directory> lookups = nullptr);
// The attributes that the address book's searches test.
const std::vector<std::string>& LookupAttributes();

// The address book of an LDAP server, searched under the rootDSE's defaultNamingContext: its
// look-ups are answered from a snapshot of the mail-enabled objects there (mail,
// legacyExchangeDN or proxyAddresses present) with the attributes the address book reads,
// taken now with paged searches. Every object it can return or follow as a member is one of
// those; what it answers is what it would answer searching the server each time. Fails with
// the server's error when the snapshot cannot be taken whole.
Result<std::shared_ptr<AddressBook>> OpenLdapAddressBook(std::shared_ptr<LdapDirectory> server);

// The directory of a server folder: server_dir/directory.ldif (embedded directory) or, when
// that does not exist, server_dir/directory.conf (LDAP server). Load warnings go to
// `diagnostics`. err::kNotFound when the folder has neither file.
Result<std::shared_ptr<Directory>> OpenServerDirectory(const std::filesystem::path& server_dir,
                                                       std::ostream& diagnostics);

// The address book of a server folder: its directory (above), searched under the rootDSE's
// defaultNamingContext.
Result<std::shared_ptr<AddressBook>> OpenAddressBook(const std::filesystem::path& server_dir,
                                                     std::ostream& diagnostics);

}  // namespace testqav
