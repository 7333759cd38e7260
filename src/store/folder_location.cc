#include "store/folder_location.h"
#include "platform/common/error_codes.h"

#include "platform/common/text.h"

namespace testqav {

namespace {

std::string HexError(const Status& s) { return Hex(static_cast<uint32_t>(s.number())); }

std::string IdOf(const FolderPtr& f) {
  if (!f) return {};
  auto id = f->ID();
  return id.ok() ? *id : std::string();
}

std::string NameOf(const FolderPtr& f) {
  if (!f) return {};
  auto n = f->Name();
  return n.ok() ? *n : std::string();
}

}  // namespace

namespace {
const Status kNoSession(err::kObjectRequired, "Object required");
}  // namespace

FolderPtr GetFolder(Runtime& rt, const std::string& id) {
  Session* session = rt.g.MapiSession.get();
  auto first = session ? session->GetFolder(id, "") : Result<FolderPtr>(kNoSession);
  FolderPtr f = first.ok() ? *first : nullptr;
  if (!f || IdOf(f) != id) {
    Status pending = first.ok() ? Status() : first.status();
    std::string t = "Unable to get folder in default store: &H" + HexError(pending) + " " +
                    pending.description();
    if (rt.g.PublicStoreID.empty()) rt.g.PublicStoreID = GetPublicStoreID(rt);
    if (rt.g.PublicStoreID.empty()) {
      rt.WriteLogLines({"GetFolder:" + t, "unable to retrieve PublicStoreID"}, kLogError);
      return nullptr;
    }
    auto second =
        session ? session->GetFolder(id, rt.g.PublicStoreID) : Result<FolderPtr>(kNoSession);
    if (!second.ok() || !*second) {
      Status e = second.status();
      rt.WriteLogLines(
          {"GetFolder:" + t,
           "Unable to get folder using PublicStoreID: &H" + HexError(e) + " " + e.description(),
           "PublicStoreID = " + rt.g.PublicStoreID},
          kLogError);
      return nullptr;
    }
    f = *second;
  }
  std::string got = IdOf(f);
  if (got == id) return f;
  rt.WriteLog("GetFolder:GetFolder returned folder with ID=" + got + " <> supplied ID=" + id,
              kLogError);
  return nullptr;
}

std::string GetPublicStoreID(Runtime& rt) {
  auto stores = rt.g.MapiSession ? rt.g.MapiSession->InfoStores()
                                 : Result<std::vector<InfoStorePtr>>(kNoSession);
  if (!stores.ok()) {
    rt.WriteLog("GetPublicStoreID: error: unable to get Infostores " +
                    std::to_string(stores.status().number()) + " " + stores.status().description(),
                kLogError);
    return {};
  }
  for (const InfoStorePtr& store : *stores) {
    auto marker = store->Field(kPrIpmPublicFoldersEntryId);
    if (marker.ok() && !marker->ToText().empty()) {
      auto id = store->ID();
      return id.ok() ? *id : std::string();
    }
  }
  rt.WriteLog("GetPublicStoreID:failed to get ID of Public Folder Store", kLogError);
  return {};
}

FolderPtr GetTargetFolder(Runtime& rt, std::string path) {
  static const std::string kPublicMarker = "Public Folders\\All Public Folders";
  static const std::string kLog = "basCDO::GetTargetFolder error: ";
  Session* session = rt.g.MapiSession.get();
  FolderPtr root;
  if (Contains(path, kPublicMarker)) {
    auto stores = session ? session->InfoStores() : Result<std::vector<InfoStorePtr>>(kNoSession);
    bool found = false;
    if (stores.ok()) {
      for (const InfoStorePtr& store : *stores) {
        auto top = store->Field(kPrIpmPublicFoldersEntryId);
        if (!top.ok()) continue;
        found = true;
        auto sid = store->ID();
        auto f = session->GetFolder(top->ToText(), sid.ok() ? *sid : std::string());
        if (f.ok()) root = *f;
        break;
      }
    }
    if (!found || !root) {
      rt.WriteLog(kLog + "Public Folder Infostore not available!", kLogError);
      return nullptr;
    }
    path = ReplaceAll(path, kPublicMarker + "\\", "");
  } else {
    auto store = session ? session->GetInfoStore("") : Result<InfoStorePtr>(kNoSession);
    std::string n;
    if (store.ok()) {
      auto name = (*store)->Name();
      if (name.ok()) n = *name;
    }
    // A store whose name cannot be read behaves as the original did: the containment test
    // with an empty name passes and the walk starts from whatever root there is.
    if (!ContainsIgnoreCase(path, n)) {
      rt.WriteLog(kLog + "unable to identify root folder", kLogError);
      return nullptr;
    }
    if (!n.empty()) path = ReplaceAll(path, n, "");
    if (store.ok()) {
      auto r = (*store)->RootFolder();
      if (r.ok()) root = *r;
    }
  }
  while (StartsWith(path, "\\")) path.erase(0, 1);
  while (EndsWith(path, "\\")) path.pop_back();
  std::vector<std::string> names = Split(path, "\\");
  FolderPtr current = root;
  FolderPtr match;
  bool error_pending = !root;
  for (size_t i = 0; i < names.size(); ++i) {
    match = nullptr;
    std::string wanted = LowerCase(Trim(names[i]));
    if (current) {
      auto subs = current->Folders();
      if (subs.ok()) {
        auto all = (*subs)->All();
        if (all.ok()) {
          for (const FolderPtr& sub : *all) {
            if (LowerCase(Trim(NameOf(sub))) == wanted) {
              match = sub;
              break;
            }
          }
        } else {
          error_pending = true;
        }
      } else {
        error_pending = true;
      }
    }
    if (!match) {
      rt.WriteLog(kLog + names[i] + " folder could not be found in specified location.", kLogError);
      return nullptr;
    }
    if (i + 1 < names.size()) current = match;
  }
  if (error_pending || LowerCase(Trim(NameOf(match))) != LowerCase(Trim(names.back()))) {
    rt.WriteLog(kLog + "unable to locate " + path + " in specified location.", kLogError);
    return nullptr;
  }
  return match;
}

MessagePtr GetMessageByID(Runtime& rt, const std::string& id) {
  Session* session = rt.g.MapiSession.get();
  if (!session) return nullptr;
  auto same = [&](const MessagePtr& m) {
    if (!m) return false;
    auto mid = m->ID();
    if (!mid.ok()) return false;
    auto cmp = session->CompareIDs(id, *mid);
    return cmp.ok() && *cmp;
  };
  auto first = session->GetMessage(id, "");
  MessagePtr m = first.ok() ? *first : nullptr;
  if (!same(m)) {
    if (rt.g.PublicStoreID.empty()) rt.g.PublicStoreID = GetPublicStoreID(rt);
    auto second = session->GetMessage(id, rt.g.PublicStoreID);
    m = second.ok() ? *second : nullptr;
  }
  return same(m) ? m : nullptr;
}

AddressEntryPtr GetDLAddressEntry(Runtime& rt, const std::string& name, const std::string& smtp) {
  constexpr uint32_t kPrSmtpAddress = 0x39FE001E;
  constexpr int32_t kDtDistList = 1;
  if (!rt.g.MapiSession) return nullptr;
  auto gal = rt.g.MapiSession->GalEntries();
  if (!gal.ok() || !*gal) return nullptr;
  auto named = (*gal)->ItemsNamed(name);
  if (!named.ok()) return nullptr;
  // Several entries may share a display name (a list and a person, two lists in different
  // containers): the one whose address and type fit is the list meant.
  for (const AddressEntryPtr& e : *named) {
    if (!e) continue;
    auto entry_name = e->Name();
    auto address = e->Field(kPrSmtpAddress);
    auto display_type = e->DisplayType();
    if (entry_name.ok() && EqualsIgnoreCase(*entry_name, name) && address.ok() &&
        EqualsIgnoreCase(address->ToText(), smtp) && display_type.ok() &&
        *display_type == kDtDistList) {
      return e;
    }
  }
  return nullptr;
}

}  // namespace testqav
