#include "store/filtered_tables.h"
#include "platform/common/error_codes.h"

#include "core/array_helpers.h"
#include "platform/common/text.h"

namespace testqav {

namespace {

std::string TagHex(int32_t tag) { return Hex(static_cast<uint32_t>(tag)); }

}  // namespace

int32_t GetPropType(int32_t tag) {
  return static_cast<int32_t>(static_cast<uint32_t>(tag) & 0xFFFFu);
}

Variant GetRowVal(Runtime& rt, const Variant& value, int32_t tag) {
  const std::string type = value.TypeName();
  switch (GetPropType(tag)) {
    case 2:
      return (type == "Integer" || type == "Long") ? value : Variant::Integer(0);
    case 3:
      return type == "Long" ? value : Variant::Integer(0);
    case 11:
      return type == "Boolean" ? Variant::Boolean(value.ToBool()) : Variant::Boolean(false);
    case 30:
      return type == "String" ? Variant(Trim(value.string_value())) : Variant("");
    case 64:
      return type == "Date" ? value : Variant::Date(0);
    case 258:
      return type == "Variant()" ? Variant(ArrayToHex(value)) : Variant("");
    default:
      rt.WriteLog("GetRowVal:No Match", kLogTrace);
      return Variant();
  }
}

void AddRestrictionRDO(Runtime& rt, const RestrictionPtr& parent, int32_t tag,
                       const std::string& value) {
  rt.WriteLog("AddRestrictionRDO:adding restriction on &h" + TagHex(tag) + " for " + value,
              kLogTrace);
  Status pending;
  auto child = parent->AddChild(kRestrictionContent);
  if (!child.ok()) {
    pending = child.status();
  } else {
    Status s1 = (*child)->SetFuzzyLevel(kFuzzyFullStringIgnoreCase);
    Status s2 = (*child)->SetPropTag(static_cast<uint32_t>(tag));
    Status s3 = (*child)->SetValue(Variant(value));
    for (const Status* s : {&s1, &s2, &s3}) {
      if (!s->ok()) pending = *s;
    }
  }
  if (!pending.ok()) {
    rt.WriteLog("AddRestrictionRDO:error adding restriction on &h" + TagHex(tag) + " for " + value +
                    ": " + std::to_string(pending.number()) + " " + pending.description(),
                kLogError);
  }
}

std::vector<std::string> FilterMsgsRDO(Runtime& rt, const FolderPtr& folder,
                                       std::vector<FilterField>& fields) {
  std::vector<std::string> result;
  if (!folder) {
    rt.WriteLog("FilterMsgsRDO:no folder supplied", kLogInfo);
    return result;
  }
  if (fields.empty()) {
    rt.WriteLog("FilterMsgsRDO:no filter fields supplied", kLogInfo);
    return result;
  }
  auto table = folder->GetContentsTable();
  if (!table.ok()) return result;
  auto filter = (*table)->Filter();
  if (!filter.ok()) return result;
  (*table)->SetColumns({kPrLongtermEntryIdFromTable}).IgnoreError();

  std::vector<int32_t> tags;
  for (FilterField& field : fields) {
    int32_t tag = field.PropTag;
    if (tag == 0) {
      if (field.PropType == 0) field.PropType = 30;
      auto id = folder->GetIDFromName(kPsPublicStrings, field.Name);
      tag = static_cast<int32_t>((id.ok() ? *id : 0u) | static_cast<uint32_t>(field.PropType));
    }
    tags.push_back(tag);
  }
  if (fields.size() == 1) {
    auto root = (*filter)->SetRoot(kRestrictionContent);
    if (root.ok()) {
      (*root)->SetPropTag(static_cast<uint32_t>(tags[0])).IgnoreError();
      (*root)->SetValue(Variant(fields[0].Value)).IgnoreError();
      (*root)->SetFuzzyLevel(kFuzzyFullStringIgnoreCase).IgnoreError();
    }
  } else {
    auto root = (*filter)->SetRoot(kRestrictionAnd);
    if (root.ok()) {
      for (size_t i = 0; i < fields.size(); ++i)
        AddRestrictionRDO(rt, *root, tags[i], fields[i].Value);
    }
  }
  auto found = (*filter)->FindFirst(true);
  while (found.ok() && *found) {
    auto row = (*table)->CurrentRow();
    if (!row.ok() || row->IsEmpty()) break;
    const auto& cols = row->array();
    result.push_back(GetRowVal(rt, cols.empty() ? Variant() : cols[0],
                               static_cast<int32_t>(kPrLongtermEntryIdFromTable))
                         .ToText());
    rt.DoEvents();
    if (rt.StopRequested()) break;
    found = (*filter)->FindNext(true);
  }
  (*filter)->Clear().IgnoreError();
  return result;
}

std::string GetRDOFolderPath(Runtime& rt, const std::string& entry_id,
                             const std::string& store_id) {
  const std::string kLabel = "GetRDOFolderPath:";
  auto helper = rt.g.MapiSession
                    ? rt.g.MapiSession->CreateHelperSession()
                    : Result<HelperSessionPtr>(Status(err::kObjectRequired, "Object required"));
  if (!helper.ok() || !*helper) {
    rt.WriteLog(kLabel + "error instantiating RDOSession object", kLogError);
    return {};
  }
  auto folder = (*helper)->GetFolderFromID(entry_id, store_id);
  if (!folder.ok() || !*folder) {
    rt.WriteLog(kLabel + "unable to get folder: " + std::to_string(folder.status().number()) + " " +
                    folder.status().description(),
                kLogError);
    return {};
  }
  auto name = (*folder)->Name();
  std::string path = name.ok() ? *name : std::string();
  auto store = (*helper)->GetStoreFromID(store_id);
  if (!store.ok()) {
    rt.WriteLog(kLabel + "error getting Infostore " + store.status().description(), kLogError);
    return {};
  }
  auto ipm_root = (*store)->IpmRootFolder();
  if (!ipm_root.ok()) {
    rt.WriteLog(kLabel + "error getting IPMRootFolder " + ipm_root.status().description(),
                kLogError);
    return {};
  }
  auto root_id = (*ipm_root)->ID();
  FolderPtr current = *folder;
  // A folder that is its own parent (or any loop) would make this walk endless; a walk can
  // never be longer than the number of distinct folders it has seen.
  std::vector<std::string> seen;
  while (true) {
    auto parent = current->Parent();
    if (parent.ok() && *parent && root_id.ok()) {
      auto pid = (*parent)->ID();
      if (pid.ok()) {
        auto same = (*store)->CompareEntryIDs(*pid, *root_id);
        if (same.ok() && *same) break;
      }
    }
    auto current_id = current->ID();
    std::string cid = current_id.ok() ? *current_id : std::string();
    bool looped = false;
    for (const std::string& s : seen) looped = looped || s == cid;
    seen.push_back(cid);
    if (!parent.ok() || !*parent || looped) {
      auto cname = current->Name();
      Status e = parent.ok() ? Status(err::kFail, "folder hierarchy loops without reaching the top")
                             : parent.status();
      if (parent.ok() && !*parent) e = Status(err::kNotFound, "no parent folder");
      rt.WriteLog(kLabel + "error getting Parent of " + (cname.ok() ? *cname : std::string()) +
                      " " + e.description(),
                  kLogError);
      return {};
    }
    auto pid = (*parent)->ID();
    if (pid.ok() && *pid == cid) {
      auto cname = current->Name();
      rt.WriteLog(kLabel + "error getting Parent of " + (cname.ok() ? *cname : std::string()) +
                      " folder is its own parent",
                  kLogError);
      return {};
    }
    auto pname = (*parent)->Name();
    path = (pname.ok() ? *pname : std::string()) + "\\" + path;
    current = *parent;
    rt.DoEvents();
    if (rt.StopRequested()) break;
  }
  if (StartsWith(path, "\\")) path.erase(0, 1);
  auto display = (*store)->Name();
  return "\\\\" + (display.ok() ? *display : std::string()) + "\\" + path;
}

}  // namespace testqav
