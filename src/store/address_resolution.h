// Turning one kind of address into another: SMTP addresses, Exchange distinguished names
// (ODNs) and address-book entry IDs.
#pragma once

#include <string>

#include "core/runtime.h"
#include "platform/messaging/messaging.h"

namespace testqav {

// Primary SMTP address of an address entry without prefix, or "".
std::string GetSMTPFromAE(const AddressEntryPtr& entry);
// Primary SMTP address for an ODN, or "" (with a warning line) when it does not resolve.
std::string PrimarySMTPfromODN(Runtime& rt, const std::string& odn);
// Primary SMTP address for an SMTP address; the address itself when it does not resolve.
std::string GetPrimarySMTP(Runtime& rt, const std::string& address);
// Entry ID of the Global Address List entry for an ODN, or "" (with an error line).
std::string GetIdForODN(Runtime& rt, const std::string& odn);
// SMTP address of the entry with that entry ID, a "no SMTP address for " text when it has
// none, or "" (with an error line) when there is no such entry.
std::string GetAddressEntryFromId(Runtime& rt, const std::string& entry_id);

// A scratch message in the session's default folder whose recipients resolve names; it is
// never saved, and deleted when the object goes away.
class ScratchMessage {
 public:
  explicit ScratchMessage(Runtime& rt);
  ~ScratchMessage();
  ScratchMessage(const ScratchMessage&) = delete;
  ScratchMessage& operator=(const ScratchMessage&) = delete;

  bool ok() const { return message_ != nullptr; }
  const MessagePtr& message() const { return message_; }
  // The message's recipients collection, or an error.
  Result<RecipientsPtr> Recipients();

 private:
  MessagePtr message_;
};

}  // namespace testqav
