// The engine object: construction, destruction, the update run's phase order and the two
// folder locators the run depends on.
#include "engine/qav.h"
#include "platform/common/error_codes.h"

#include "harness/agent_folders.h"
#include "platform/common/text.h"
#include "store/filtered_tables.h"
#include "store/folder_location.h"

namespace testqav {

namespace {

// A folder is usable when its name can be read and is not empty.
bool ReadName(const FolderPtr& f, std::string* name) {
  if (!f) return false;
  auto n = f->Name();
  if (!n.ok()) return false;
  *name = *n;
  return !n->empty();
}

std::string IdOf(const FolderPtr& f) {
  if (!f) return {};
  auto id = f->ID();
  return id.ok() ? *id : std::string();
}

}  // namespace

bool ExpandedListRegister::Insert(const std::string& key, const std::string& item) {
  return items_.emplace(FoldCase(key), item).second;
}

bool ExpandedListRegister::Contains(const std::string& key) const {
  return items_.count(FoldCase(key)) != 0;
}

QAV::QAV(Runtime& rt) : rt_(rt) {
  GetRegFolder();
  auto utils = rt_.g.MapiSession
                   ? rt_.g.MapiSession->CreateMapiUtils()
                   : Result<MapiUtilsPtr>(Status(err::kNotLoggedOn, "no messaging session"));
  if (!utils.ok() || !*utils) {
    rt_.WriteLog("QAV::Intialize:error instantiating MAPIUtils object " +
                     std::to_string(utils.status().number()) + " " + utils.status().description(),
                 kLogError);
    return;
  }
  objMAPIUtils = *utils;
  rt_.WriteLog("QAV::Intialize:instantiated MAPIUtils object", kLogTrace);
}

QAV::~QAV() {
  fldReg.reset();
  for (auto* rst : {&rstQAV, &rstMCL, &rstSourceMCL, &rstMerge}) {
    if (*rst) (*rst)->Close().IgnoreError();
    rst->reset();
  }
  fldMandatory.reset();
  objMAPIUtils.reset();
}

void QAV::UpdateClients(bool& bIncludeGALIn, bool& bIncludeMCLIn, int16_t& /*p3*/, int16_t& /*p4*/,
                        int16_t& /*p5*/, int16_t& /*p6*/, int32_t& /*p7*/, int16_t& lMobileModeIn,
                        int16_t& /*p9*/, int16_t& /*p10*/, int32_t& /*p11*/, int16_t& /*p12*/,
                        int16_t& /*p13*/, int16_t& /*p14*/, int16_t& /*p15*/, int32_t& /*p16*/,
                        int16_t& /*p17*/, int16_t& /*p18*/, int16_t& /*p19*/, int16_t& /*p20*/,
                        int16_t& /*p21*/, std::string& /*p22*/, int16_t& /*p23*/,
                        int32_t& /*p24*/) {
  bIncludeGAL = bIncludeGALIn;
  bIncludeMCL = bIncludeMCLIn;
  lMobileMode = lMobileModeIn;
  GetMandatoryFolder();
  // A run that must end early (stopped, or its directory lost) skips the phases still to
  // come: what they would produce is never put in place.
  if (GetRegFolder()) {
    GetQAVData();
    if (!rt_.StopRequested()) DumpQAV("QAV-1");
    if (bIncludeGAL && !rt_.StopRequested()) {
      UpdateRstFromGAL();
      if (!rt_.StopRequested()) DumpQAV("QAV-GAL");
    }
    if (bIncludeMCL && !rt_.StopRequested()) {
      if (CollectDataMCL()) {
        if (!rt_.StopRequested()) DumpSourceMCL("SourceMCL-1");
      } else {
        rt_.WriteLog("UpdateClients:failure collecting MCL data; aborting", kLogWarning);
      }
    }
  } else if (!rt_.StopRequested()) {
    rt_.NoteRegistrationFolderMissing();
  }
  for (auto* rst : {&rstQAV, &rstMCL, &rstSourceMCL}) {
    if (*rst) (*rst)->Close().IgnoreError();
    rst->reset();
  }
}

bool QAV::GetRegFolder() {
  const std::string kLabel = "GetRegFolder:";
  std::string name;
  if (!ReadName(fldReg, &name)) {
    // The locators below log their own failures and leave no error pending here.
    const Status pending;
    fldReg.reset();
    if (!rt_.g.HHEntryID.empty()) {
      rt_.WriteLog(
          kLabel + " attempting to retrieve folder using GetFolder with EntryID=" + rt_.g.HHEntryID,
          kLogDetail);
      fldReg = GetFolder(rt_, rt_.g.HHEntryID);
    }
    if (!fldReg) {
      rt_.WriteLog(kLabel + " failed to retrieve Reg folder using GetFolder; try GetTargetFolder(" +
                       rt_.g.HHPath + ") " + pending.description(),
                   kLogWarning);
      fldReg = GetTargetFolder(rt_, rt_.g.HHPath);
      if (fldReg) {
        MessagePtr settings = GetAgentMessage(rt_);
        std::string found_id = IdOf(fldReg);
        if (settings) {
          auto stored = settings->Field(std::string_view("HHEntryID"));
          std::string stored_id = stored.ok() ? stored->ToText() : std::string();
          if (stored_id != found_id) {
            Status s = settings->AddField("HHEntryID", 8, Variant(found_id));
            if (s.ok()) s = settings->Update();
            if (!s.ok()) {
              rt_.WriteLog(kLabel + " unable to save HHEntryID in the settings message: " +
                               std::to_string(s.number()) + " " + s.description(),
                           kLogError);
              rt_.NoteOutputFailed("unable to save HHEntryID in the settings message: " +
                                   s.description());
            }
          }
        }
      }
    } else {
      auto store_id = fldReg->StoreID();
      std::string path = GetRDOFolderPath(rt_, IdOf(fldReg), store_id.ok() ? *store_id : "");
      // An empty path means the path lookup failed; keeping the old one preserves the
      // fallback for runs in which the entry ID no longer works. A walk that a stop cut
      // short gives only the lower part of the path, which must never be saved.
      if (!path.empty() && !rt_.StopRequested()) {
        rt_.g.HHPath = path;
        MessagePtr settings = GetAgentMessage(rt_);
        if (settings) {
          auto stored = settings->Field(std::string_view("HHPath"));
          std::string stored_path = stored.ok() ? stored->ToText() : std::string();
          if (!EqualsIgnoreCase(stored_path, rt_.g.HHPath)) {
            Status s = settings->AddField("HHPath", 8, Variant(rt_.g.HHPath));
            if (s.ok()) s = settings->Update();
            if (!s.ok()) {
              rt_.WriteLog(kLabel + " unable to save HHPath in the settings message: " +
                               std::to_string(s.number()) + " " + s.description(),
                           kLogError);
              rt_.NoteOutputFailed("unable to save HHPath in the settings message: " +
                                   s.description());
            }
          }
        }
      }
    }
    if (!rt_.StopRequested() && fldReg) {
      rt_.WriteLog(kLabel + " successfully accessed " + rt_.g.HHPath + " folder", kLogTrace);
      return true;
    }
    return false;
  }
  std::string id = IdOf(fldReg);
  fldReg.reset();
  if (rt_.StopRequested()) return false;
  fldReg = GetFolder(rt_, id);
  if (!fldReg) {
    rt_.WriteLog(kLabel + " unable to retrieve Reg folder using EntryID=" + id + ": " +
                     std::to_string(err::kNotFound) + " folder not found by entry ID",
                 kLogError);
    return false;
  }
  return true;
}

bool QAV::GetMandatoryFolder() {
  const std::string kLabel = "GetMandatoryFolder:";
  if (rt_.StopRequested()) return false;
  std::string name;
  if (!ReadName(fldMandatory, &name)) {
    if (rt_.g.MCPath.empty() && rt_.g.MCEntryID.empty()) return false;
    // An empty MCEntryID is looked up too: the lines GetFolder writes for it are the ones
    // administrators know from this run.
    fldMandatory = GetFolder(rt_, rt_.g.MCEntryID);
    if (!fldMandatory && !rt_.g.MCPath.empty()) {
      std::string description = "folder not found by entry ID";
      rt_.WriteLog(kLabel + " unable to retrieve MC folder using GetFolder; try GetTargetFolder " +
                       description,
                   kLogWarning);
      fldMandatory = GetTargetFolder(rt_, rt_.g.MCPath);
    }
    if (fldMandatory) {
      rt_.WriteLog(kLabel + " successfully accessed " + rt_.g.MCPath + " folder", kLogTrace);
      return true;
    }
    return false;
  }
  std::string id = IdOf(fldMandatory);
  fldMandatory.reset();
  fldMandatory = GetFolder(rt_, id);
  if (!fldMandatory) {
    rt_.WriteLog(kLabel + " unable to retrieve Mandatory Contacts folder using Len(FolID)=" +
                     std::to_string(CharLength(id)) + ": " + std::to_string(err::kNotFound) +
                     " folder not found by entry ID",
                 kLogError);
    return false;
  }
  return true;
}

FolderPtr QAV::GetHiddenFolder(const std::string& name, const FolderPtr& parent) {
  if (!parent) {
    rt_.WriteLog("GetHiddenFolder:unable to retrieve " + name + "; parent not supplied",
                 kLogWarning);
    return nullptr;
  }
  auto subs = parent->Folders();
  if (!subs.ok()) return nullptr;
  auto found = (*subs)->Item(std::string_view(name));
  if (!found.ok() || !*found) {
    auto added = (*subs)->Add(name);
    return added.ok() ? *added : nullptr;
  }
  auto found_name = (*found)->Name();
  if (!found_name.ok() || *found_name != name) {
    auto added = (*subs)->Add(name);
    return added.ok() ? *added : nullptr;
  }
  return *found;
}

bool QAV::SetFilterOrLog(Recordset& rst, const std::string& filter, const std::string& label) {
  Status s = rst.SetFilter(filter);
  if (!s.ok()) {
    rt_.WriteLog("QAV::" + label + "unable to set filter " + filter + ": " +
                     std::to_string(s.number()) + " " + s.description(),
                 kLogError);
    return false;
  }
  return true;
}

}  // namespace testqav
