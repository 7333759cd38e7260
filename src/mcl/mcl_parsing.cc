// Turning one MCL's source list into Exchange address-book entries: each address is resolved
// by the utilities object and then as a recipient of a scratch message, and every Exchange
// entry is handed to AddToSourceMCL.
#include "engine/provenance.h"
#include "engine/qav.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "store/address_resolution.h"

namespace testqav {

AddressEntryPtr QAV::GetExAE(const std::string& address) {
  if (!objMAPIUtils || !rt_.g.MapiSession) return nullptr;
  auto found = objMAPIUtils->ResolveName(address);
  if (!found.ok() || found->address_type != "EX") return nullptr;
  auto entry = rt_.g.MapiSession->GetAddressEntry(found->entry_id);
  return entry.ok() ? *entry : nullptr;
}

void QAV::ParseSourceMCL(std::string source, std::string& mclid, bool& include_dls) {
  const std::string kPrefix = "QAV::ParseSourceMCL:";
  rt_.WriteLog(kPrefix + " MCLID=" + mclid + "; addresses=" + source, kLogDetail);
  // Never sent and never saved: its recipients only serve to resolve the addresses, and it
  // is discarded when the list is done.
  ScratchMessage scratch(rt_);
  auto recipients = scratch.Recipients();
  // Every piece counts, empty ones too: an empty piece fails to resolve and says so.
  const std::vector<std::string> pieces = Split(source, ";");
  expanded_lists.Clear();
  for (const std::string& piece : pieces) {
    if (rt_.StopRequested()) break;
    Status pending;
    RecipientPtr recipient;
    AddressEntryPtr entry = GetExAE(piece);
    if (entry) {
      // The recipient's entry is the one used: resolving through the message is what the
      // agent itself does when it sends to the list.
      auto added = recipients.ok()
                       ? (*recipients)->Add(Contains(piece, "=") ? "EX:" + piece : piece)
                       : Result<RecipientPtr>(recipients.status());
      if (added.ok() && *added) {
        recipient = *added;
        recipient->Resolve(false).IgnoreError();
        auto resolved = recipient->AddressEntry();
        if (resolved.ok() && *resolved) {
          entry = *resolved;
        } else {
          pending =
              resolved.ok() ? Status(err::kObjectRequired, "Object required") : resolved.status();
        }
      } else {
        pending = added.ok() ? Status(err::kObjectRequired, "Object required") : added.status();
      }
    }
    if (!pending.ok() || !entry) {
      rt_.WriteLog(kPrefix + " unable to retrieve EX AddressEntry for " + piece + " " +
                       pending.description(),
                   kLogInfo);
      if (rt_.provenance != nullptr) rt_.provenance->SourceUnresolved(mclid, piece);
    } else {
      auto type = entry->Type();
      auto name = entry->Name();
      const std::string entry_name = name.ok() ? *name : std::string();
      if (type.ok() && *type == "EX") {
        rt_.WriteLog(kPrefix + "evaluating " + entry_name + " (" + *type + ")", kLogInfo);
        AddToSourceMCL(entry, mclid, include_dls);
      } else {
        auto recipient_type = recipient ? recipient->Type() : Result<std::string>(std::string());
        rt_.WriteLog(kPrefix + " skipping " + entry_name + "; invalid AddressType:" +
                         (recipient_type.ok() ? *recipient_type : std::string()),
                     kLogInfo);
      }
    }
    rt_.DoEvents();
  }
  expanded_lists.Clear();
  if (rstSourceMCL) rstSourceMCL->ClearFilter().IgnoreError();
}

}  // namespace testqav
