// A session that passes every call on to a real one and records the look-ups announced to
// it, so that a test can check what a pass announces before it resolves.
#pragma once

#include <utility>
#include <vector>

#include "platform/messaging/look_ahead.h"
#include "platform/messaging/messaging.h"

namespace testqav::testing {

class RecordingSession : public Session, public LookAhead {
 public:
  explicit RecordingSession(SessionPtr inner) : inner_(std::move(inner)) {}
  Status Logon(std::string_view profile_info) override { return inner_->Logon(profile_info); }
  Status Logoff() override { return inner_->Logoff(); }
  bool LoggedOn() const override { return inner_->LoggedOn(); }
  Result<std::vector<InfoStorePtr>> InfoStores() override { return inner_->InfoStores(); }
  Result<InfoStorePtr> GetInfoStore(std::string_view store_id) override {
    return inner_->GetInfoStore(store_id);
  }
  Result<FolderPtr> GetFolder(std::string_view entry_id, std::string_view store_id) override {
    return inner_->GetFolder(entry_id, store_id);
  }
  Result<MessagePtr> GetMessage(std::string_view entry_id, std::string_view store_id) override {
    return inner_->GetMessage(entry_id, store_id);
  }
  Result<bool> CompareIDs(std::string_view a, std::string_view b) override {
    return inner_->CompareIDs(a, b);
  }
  Result<AddressEntryPtr> GetAddressEntry(std::string_view entry_id) override {
    return inner_->GetAddressEntry(entry_id);
  }
  Result<FolderPtr> Inbox() override { return inner_->Inbox(); }
  Result<HelperSessionPtr> CreateHelperSession() override { return inner_->CreateHelperSession(); }
  Result<MapiUtilsPtr> CreateMapiUtils() override { return inner_->CreateMapiUtils(); }
  Result<AddressEntriesPtr> GalEntries() override { return inner_->GalEntries(); }
  Result<std::shared_ptr<Directory>> OrganisationDirectory() override {
    return inner_->OrganisationDirectory();
  }
  void Anticipate(std::vector<AnticipatedLookup> lookups) override {
    announced.insert(announced.end(), lookups.begin(), lookups.end());
    AnnounceLookups(*inner_, std::move(lookups));
  }

  std::vector<AnticipatedLookup> announced;

 private:
  SessionPtr inner_;
};

// "N:text" for a name, "D:text" or "D+N:text" for a distinguished name (then as a name),
// followed by "|name" for each name to resolve when the distinguished name is unknown.
inline std::vector<std::string> Describe(const std::vector<AnticipatedLookup>& lookups) {
  std::vector<std::string> out;
  for (const AnticipatedLookup& l : lookups) {
    if (l.kind == AnticipatedLookup::Kind::kName) {
      out.push_back("N:" + l.text);
    } else {
      std::string text = (l.then_as_name ? "D+N:" : "D:") + l.text;
      for (const std::string& name : l.names_if_unknown) text += "|" + name;
      out.push_back(std::move(text));
    }
  }
  return out;
}

}  // namespace testqav::testing
