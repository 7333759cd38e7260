// Address book: the view of the directory that the messaging session and the helper
// library resolve names against. A mail-enabled directory object that is not hidden from
// address lists is an entry (type "EX"); an SMTP address the directory does not know
// resolves to a one-off entry of type "SMTP".
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/common/status.h"
#include "platform/messaging/messaging.h"

namespace testqav {

class AddressBook {
 public:
  virtual ~AddressBook() = default;
  // Recipient resolution: "EX:" + distinguished name, "SMTP:" + address, a bare SMTP
  // address, or a display name or alias (ambiguous-name resolution). Errors: kUnresolved,
  // kAmbiguous.
  virtual Result<AddressEntryPtr> ResolveName(std::string_view name) = 0;
  // The entry with that entry ID (address-book or one-off layout). kNotFound when none.
  virtual Result<AddressEntryPtr> GetEntry(std::string_view entry_id) = 0;
  // The Global Address List entry whose distinguished name (legacyExchangeDN) is `dn`,
  // compared ignoring case. kNotFound when none.
  virtual Result<AddressEntryPtr> FindByDN(std::string_view dn) = 0;
};

}  // namespace testqav
