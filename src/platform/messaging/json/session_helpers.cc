// The helper library's objects over a session: the helper session, the Global Address
// List's entries and the utilities object; all of them answer from the address book.

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/messaging/json/session_state.h"

namespace testqav::json_session_detail {

namespace {

class HelperSessionImpl : public HelperSession {
 public:
  explicit HelperSessionImpl(StatePtr st) : st_(std::move(st)) {}
  Result<AddressEntryPtr> GalEntryByDN(std::string_view dn) override {
    if (!st_->logged_on) return NotLoggedOn();
    AddressBook* book = st_->Book();
    if (book == nullptr) return NoAddressBook();
    return book->FindByDN(dn);
  }
  // What RecipientImpl::Resolve asks the address book.
  Result<AddressEntryPtr> ResolveRecipient(std::string_view name) override {
    if (!st_->logged_on) return NotLoggedOn();
    AddressBook* book = st_->Book();
    if (book == nullptr) return NoAddressBook();
    return book->ResolveName(name);
  }
  bool ConcurrentGalLookups() override {
    AddressBook* book = st_->logged_on ? st_->Book() : nullptr;
    return book != nullptr && book->ConcurrentLookups();
  }
  Result<AddressEntryPtr> GetAddressEntryFromID(std::string_view entry_id) override {
    if (!st_->logged_on) return NotLoggedOn();
    AddressBook* book = st_->Book();
    if (book == nullptr) return NoAddressBook();
    return book->GetEntry(entry_id);
  }
  Result<FolderPtr> GetFolderFromID(std::string_view entry_id, std::string_view store_id) override {
    return FolderById(st_, entry_id, store_id);
  }
  Result<InfoStorePtr> GetStoreFromID(std::string_view store_id) override {
    auto s = StoreById(*st_, store_id);
    if (!s.ok()) return s.status();
    return MakeInfoStore(st_, *s);
  }

 private:
  StatePtr st_;
};

// The Global Address List's entries: the address book's entries by name.
class GalEntriesImpl : public AddressEntries {
 public:
  explicit GalEntriesImpl(StatePtr st) : st_(std::move(st)) {}
  Result<std::vector<AddressEntryPtr>> ItemsNamed(std::string_view name) override {
    if (!st_->logged_on) return NotLoggedOn();
    AddressBook* book = st_->Book();
    if (book == nullptr) return NoAddressBook();
    return book->FindByName(name);
  }

 private:
  StatePtr st_;
};

class MapiUtilsImpl : public MapiUtils {
 public:
  explicit MapiUtilsImpl(StatePtr st) : st_(std::move(st)) {}
  Result<UtilsEntry> ResolveName(std::string_view text) override {
    if (!st_->logged_on) return NotLoggedOn();
    AddressBook* book = st_->Book();
    if (book == nullptr) return NoAddressBook();
    auto e = book->ResolveName(text);
    if (!e.ok()) return e.status();
    auto type = (*e)->Type();
    if (!type.ok()) return type.status();
    auto id = (*e)->ID();
    if (!id.ok()) return id.status();
    return UtilsEntry{*type, *id};
  }

 private:
  StatePtr st_;
};

}  // namespace

HelperSessionPtr MakeHelperSession(const StatePtr& st) {
  return std::make_shared<HelperSessionImpl>(st);
}

AddressEntriesPtr MakeGalEntries(const StatePtr& st) {
  return std::make_shared<GalEntriesImpl>(st);
}

MapiUtilsPtr MakeMapiUtils(const StatePtr& st) { return std::make_shared<MapiUtilsImpl>(st); }

}  // namespace testqav::json_session_detail
