// The contact repository merge: the Master Contact Repository message names the repository
// folder and, in trust order, the Alternate Contact Folders whose contacts follow it.
#include "engine/qav.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "store/filtered_tables.h"
#include "store/folder_location.h"

namespace testqav {

namespace {

constexpr const char* kRepositoryClass = "IPM.Post.Master Contact Repository";
constexpr const char* kAcfClass = "IPM.Post.ACF";

std::string NamedText(const MessagePtr& message, std::string_view name) {
  auto v = message->Field(name);
  return v.ok() ? v->ToText() : std::string();
}

std::string FolderName(const FolderPtr& folder) {
  auto name = folder ? folder->Name() : Result<std::string>(std::string());
  return name.ok() ? *name : std::string();
}

// GetFolder logs its own failure and leaves no error to report but this one.
const Status kFolderNotFound(err::kNotFound, "folder not found by entry ID");

}  // namespace

MessagePtr QAV::GetMsgMCR() {
  if (!rt_.g.AgentInfoFolder) return nullptr;
  auto messages = rt_.g.AgentInfoFolder->Messages();
  if (!messages.ok()) return nullptr;
  Messages& all = **messages;
  MessageFilter only_repository;
  only_repository.type = kRepositoryClass;
  all.SetFilter(only_repository).IgnoreError();
  MessagePtr result;
  auto count = all.Count();
  if (count.ok() && *count > 0) {
    auto first = all.GetFirst(std::string_view(kRepositoryClass));
    if (first.ok()) result = *first;
    // One repository message is the agent's: surplus ones go, the last first, so that the
    // positions still to delete do not move.
    for (int32_t i = *count; i >= 2; --i) {
      auto surplus = all.Item(i);
      if (surplus.ok() && *surplus) (*surplus)->Delete().IgnoreError();
    }
  }
  all.ClearFilter().IgnoreError();
  return result;
}

bool QAV::MergeACF() {
  const std::string kLabel = "MergeACF:";
  CreateMergeData();
  if (!rt_.g.AgentInfoFolder) return false;
  auto collection = rt_.g.AgentInfoFolder->Messages();
  MessagePtr repository = GetMsgMCR();
  if (!repository) return false;

  std::string entry_id = NamedText(repository, "MCR EntryID");
  FolderPtr folder = GetFolder(rt_, entry_id);
  if (!folder) {
    rt_.WriteLog(kLabel + " error retrieving Master Contact Repository using EntryID=" + entry_id +
                     " " + kFolderNotFound.description(),
                 kLogError);
    return false;
  }
  merge_folder_ = FolderName(folder);
  merge_rank_ = 0;
  rt_.WriteLog(kLabel + " adding data from Master Contact Repository folder:" + merge_folder_,
               kLogDetail);
  bool is_repository = true;
  if (!AddFromACF(folder, is_repository)) {
    rt_.WriteLog(kLabel + "error retrieving data from Master Contact Repository", kLogError);
    return false;
  }
  folder.reset();
  entry_id.clear();

  const std::string ranking = NamedText(repository, "ACF Trust Ranking");
  if (ranking.empty()) return true;
  const std::vector<std::string> names = Split(ranking, "|");
  // FilterMsgsRDO compares ignoring case: what it finds is checked again below.
  std::vector<FilterField> restriction(2);
  restriction[0].PropTag = static_cast<int32_t>(kPrMessageClass);
  restriction[0].Value = kAcfClass;
  restriction[1].PropTag = static_cast<int32_t>(kPrSubject);

  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    const std::string position = std::to_string(i + 1);
    rt_.WriteLog(kLabel + "searching for ACF #" + position + " named " + name, kLogDetail);
    restriction[1].Value = name;
    const std::vector<std::string> found = FilterMsgsRDO(rt_, rt_.g.AgentInfoFolder, restriction);
    MessagePtr acf = found.empty() ? nullptr : GetMessageByID(rt_, found.front());
    const std::string not_found =
        kLabel + "unable to locate ACF #" + position + " named " + name + "; aborting merge";
    if (!acf) {
      rt_.WriteLog(not_found, kLogWarning);
      return false;
    }
    auto subject = acf->Subject();
    if (!subject.ok() || *subject != name) {
      // The search ignored letter case; the folder's own messages decide, the last exact
      // match winning.
      acf.reset();
      std::vector<MessagePtr> all;
      if (collection.ok()) {
        if (auto listed = (*collection)->All(); listed.ok()) all = std::move(*listed);
      }
      for (const MessagePtr& m : all) {
        auto s = m->Subject();
        auto type = m->Type();
        if (s.ok() && *s == name && type.ok() && *type == kAcfClass) acf = m;
      }
      if (!acf) {
        rt_.WriteLog(not_found, kLogWarning);
        return false;
      }
    }
    auto acf_subject_result = acf->Subject();
    const std::string acf_subject = acf_subject_result.ok() ? *acf_subject_result : std::string();
    if (CheckInactive(acf)) {
      rt_.WriteLog(kLabel + "skipping " + acf_subject + ", Inactive flag is set", kLogInfo);
    } else {
      entry_id = NamedText(acf, "ACF EntryID");
      if (!entry_id.empty()) {
        folder = GetFolder(rt_, entry_id);
        if (!folder) {
          rt_.WriteLog(kLabel + " error retrieving Alternate Contact Folder " + acf_subject +
                           " using EntryID=" + entry_id + " " + kFolderNotFound.description(),
                       kLogError);
          return false;
        }
        merge_folder_ = FolderName(folder);
        merge_rank_ = static_cast<int32_t>(i + 1);
        rt_.WriteLog(kLabel + " merging data from Alternate Contact Folder:" + merge_folder_,
                     kLogDetail);
        bool from_repository = false;
        if (!AddFromACF(folder, from_repository)) return false;
        entry_id.clear();
        folder.reset();
      }
    }
    rt_.DoEvents();
    acf.reset();
    if (rt_.StopRequested()) return false;
  }
  return true;
}

}  // namespace testqav
