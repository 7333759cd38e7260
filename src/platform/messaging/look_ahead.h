// Look-ups announced before they are made, so that a service with a second core to spare can
// answer them ahead of its caller. An optional capability beside Session and AddressBook, not
// part of their contracts: a caller asks for it with AnnounceLookups, and a service that does
// not offer it is simply not told.
#pragma once

#include <string>
#include <vector>

namespace testqav {

// A look-up that a run announces before it makes it.
struct AnticipatedLookup {
  enum class Kind {
    kName,               // a recipient name to resolve
    kDistinguishedName,  // the helper library's look-up by distinguished name
  };
  Kind kind = Kind::kName;
  std::string text;
  // kDistinguishedName only: when that finds an entry, the same text is then resolved as a
  // name too (a name that is not known can cost a search of every entry).
  bool then_as_name = false;
  // kDistinguishedName only: the names to resolve when no entry has the distinguished name.
  // A row whose ODN the address book does not know (a mailbox hidden from it) is then
  // resolved by that ODN and by its SMTP address, and a name that no entry has costs the
  // slow part of name resolution; on the other core it costs the caller nothing.
  std::vector<std::string> names_if_unknown;
};

class LookAhead {
 public:
  virtual ~LookAhead() = default;
  // The caller will soon make these look-ups, about in this order. The service may start on
  // them on another thread and keep what it finds; the calls themselves then answer exactly
  // as they would have without the hint.
  virtual void Anticipate(std::vector<AnticipatedLookup> lookups) = 0;
};

// Hands `lookups` to `service` when it offers LookAhead; otherwise does nothing.
template <typename Service>
void AnnounceLookups(Service& service, std::vector<AnticipatedLookup> lookups) {
  if (auto* ahead = dynamic_cast<LookAhead*>(&service)) ahead->Anticipate(std::move(lookups));
}

}  // namespace testqav
