#include "store/address_resolution.h"
#include "platform/common/error_codes.h"

#include "core/array_helpers.h"
#include "platform/common/text.h"

namespace testqav {

ScratchMessage::ScratchMessage(Runtime& rt) {
  if (!rt.g.MapiSession) return;
  auto inbox = rt.g.MapiSession->Inbox();
  if (!inbox.ok()) return;
  auto msgs = (*inbox)->Messages();
  if (!msgs.ok()) return;
  auto m = (*msgs)->Add();
  if (m.ok()) message_ = *m;
}

ScratchMessage::~ScratchMessage() {
  if (message_) message_->Delete().IgnoreError();
}

Result<RecipientsPtr> ScratchMessage::Recipients() {
  if (!message_) return Status(err::kObjectRequired, "Object required");
  return message_->Recipients();
}

std::string GetSMTPFromAE(const AddressEntryPtr& entry) {
  if (!entry) return {};
  auto type = entry->Type();
  if (!type.ok()) return {};
  if (*type == "SMTP") {
    auto address = entry->Address();
    std::string a = address.ok() ? *address : std::string();
    if (StartsWithIgnoreCase(a, "SMTP:")) a.erase(0, 5);
    return a;
  }
  if (*type == "EX") {
    auto proxies = entry->Field(0x800F101E);
    if (proxies.ok() && IsFilledArray(*proxies)) {
      for (const Variant& p : proxies->array()) {
        std::string s = p.ToText();
        if (StartsWith(s, "SMTP:")) return s.substr(5);
      }
    }
  }
  return {};
}

namespace {

// Adds one recipient named `name` to a scratch message and resolves it; the entry when the
// recipients report resolved, nullptr otherwise.
AddressEntryPtr ResolveOne(ScratchMessage& scratch, const std::string& name) {
  auto recips = scratch.Recipients();
  if (!recips.ok()) return nullptr;
  auto r = (*recips)->Add(name);
  if (!r.ok()) return nullptr;
  (*recips)->Resolve(false).IgnoreError();
  auto resolved = (*recips)->Resolved();
  if (!resolved.ok() || !*resolved) return nullptr;
  auto entry = (*r)->AddressEntry();
  return entry.ok() ? *entry : nullptr;
}

}  // namespace

std::string PrimarySMTPfromODN(Runtime& rt, const std::string& odn) {
  ScratchMessage scratch(rt);
  AddressEntryPtr entry = ResolveOne(scratch, odn);
  if (entry) return GetSMTPFromAE(entry);
  rt.WriteLog("PrimarySMTPfromODN:failed to retrieve primary SMTP address for '" + odn +
                  "': address did not resolve",
              kLogWarning);
  return {};
}

std::string GetPrimarySMTP(Runtime& rt, const std::string& address) {
  ScratchMessage scratch(rt);
  AddressEntryPtr entry = ResolveOne(scratch, "SMTP:" + address);
  if (entry) return GetSMTPFromAE(entry);
  return address;
}

namespace {

// Creates a helper session for one look-up, as each helper call does; the entry it gives, or
// nullptr with the failure in *failure.
template <typename Lookup>
AddressEntryPtr WithHelperSession(Runtime& rt, Lookup lookup, Status* failure) {
  auto helper = rt.g.MapiSession
                    ? rt.g.MapiSession->CreateHelperSession()
                    : Result<HelperSessionPtr>(Status(err::kNotLoggedOn, "no messaging session"));
  if (!helper.ok()) {
    *failure = helper.status();
    return nullptr;
  }
  Result<AddressEntryPtr> e = lookup(**helper);
  if (!e.ok()) {
    *failure = e.status();
    return nullptr;
  }
  return *e;
}

}  // namespace

std::string GetIdForODN(Runtime& rt, const std::string& odn) {
  if (odn.empty()) return {};
  Status failure;
  AddressEntryPtr entry = WithHelperSession(
      rt, [&](HelperSession& h) { return h.GalEntryByDN(odn); }, &failure);
  if (!entry) {
    rt.WriteLog("GetIdForODN error for '" + odn + "' " + failure.description(), kLogError);
    return {};
  }
  auto id = entry->ID();
  return id.ok() ? *id : std::string();
}

std::string GetAddressEntryFromId(Runtime& rt, const std::string& entry_id) {
  if (entry_id.empty()) return {};
  Status failure;
  AddressEntryPtr entry = WithHelperSession(
      rt, [&](HelperSession& h) { return h.GetAddressEntryFromID(entry_id); }, &failure);
  if (!entry) {
    rt.WriteLog("GetAddressEntryFromId failed " + failure.description(), kLogError);
    return {};
  }
  auto smtp = entry->SmtpAddress();
  std::string s = smtp.ok() ? *smtp : std::string();
  if (s.empty()) {
    auto name = entry->Name();
    auto type = entry->Type();
    return "no SMTP address for " + (name.ok() ? *name : std::string()) +
           "; Type: " + (type.ok() ? *type : std::string());
  }
  return s;
}

}  // namespace testqav
