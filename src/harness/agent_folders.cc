#include "harness/agent_folders.h"

#include "platform/common/error_codes.h"
#include "store/folder_location.h"

namespace testqav {

namespace {

// A change the store could not write back is lost for later runs: the run goes on as the
// agent does, but the process must not report success.
void NoteWriteBack(Runtime& rt, const Status& s) {
  if (s.number() == err::kDiskError)
    rt.NoteOutputFailed("mailbox write-back failed: " + s.description());
}

std::string NameOf(const FolderPtr& f) {
  if (!f) return {};
  auto n = f->Name();
  return n.ok() ? *n : std::string();
}

std::string IdOf(const FolderPtr& f) {
  if (!f) return {};
  auto id = f->ID();
  return id.ok() ? *id : std::string();
}

FolderPtr Subfolder(const FolderPtr& parent, const char* name) {
  if (!parent) return nullptr;
  auto subs = parent->Folders();
  if (!subs.ok()) return nullptr;
  auto f = (*subs)->Item(std::string_view(name));
  return f.ok() ? *f : nullptr;
}

int32_t SubfolderCount(const FolderPtr& parent) {
  if (!parent) return 0;
  auto subs = parent->Folders();
  if (!subs.ok()) return 0;
  auto n = (*subs)->Count();
  return n.ok() ? *n : 0;
}

FolderPtr AddSubfolder(Runtime& rt, const FolderPtr& parent, const char* name) {
  if (!parent) return nullptr;
  auto subs = parent->Folders();
  if (!subs.ok()) return nullptr;
  auto f = (*subs)->Add(name);
  NoteWriteBack(rt, f.status());
  return f.ok() ? *f : nullptr;
}

FolderPtr MoveFolder(Runtime& rt, const FolderPtr& folder, const FolderPtr& target) {
  if (!folder || !target) return nullptr;
  auto moved = folder->MoveTo(IdOf(target), "");
  NoteWriteBack(rt, moved.status());
  return moved.ok() ? *moved : nullptr;
}

MessagesPtr MessagesOf(const FolderPtr& f) {
  if (!f) return nullptr;
  auto m = f->Messages();
  return m.ok() ? *m : nullptr;
}

// Moves the old layout (user information folder at the root) into the current one.
void MigrateOldLayout(Runtime& rt, const FolderPtr& root, const FolderPtr& old_user_info) {
  if (!rt.g.AgentInfoFolder) {
    // The agent information folder belongs at the root, so look for it (or make it) there.
    FolderPtr existing = Subfolder(root, kAgentInfoFolderName);
    rt.g.AgentInfoFolder = existing ? existing : AddSubfolder(rt, root, kAgentInfoFolderName);
  }
  if (MessagesPtr msgs = MessagesOf(old_user_info)) {
    MessageFilter filter;
    filter.type = kUserInfoMessageClass;
    filter.negate = true;
    msgs->SetFilter(filter).IgnoreError();
    auto all = msgs->All();
    if (all.ok() && rt.g.AgentInfoFolder) {
      for (const MessagePtr& m : *all) {
        NoteWriteBack(rt, m->MoveTo(IdOf(rt.g.AgentInfoFolder), "").status());
      }
    }
    msgs->ClearFilter().IgnoreError();
  }
  rt.g.UserInfoFolder = MoveFolder(rt, old_user_info, rt.g.AgentInfoFolder);
}

}  // namespace

bool GetAgentFolders(Runtime& rt) {
  bool result = false;
  auto root_result = rt.g.MapiSession
                         ? rt.g.MapiSession->GetFolder("", "")
                         : Result<FolderPtr>(Status(err::kObjectRequired, "Object required"));
  FolderPtr root = root_result.ok() ? *root_result : nullptr;
  if (root) {
    bool done = false;
    auto subs = root->Folders();
    auto all = subs.ok() ? (*subs)->All() : Result<std::vector<FolderPtr>>(subs.status());
    if (all.ok()) {
      for (const FolderPtr& f : *all) {
        std::string name = NameOf(f);
        if (name == kAgentInfoFolderName) {
          rt.g.AgentInfoFolder = f;
          if (SubfolderCount(f) >= 1) {
            rt.g.UserInfoFolder = Subfolder(f, kUserInfoFolderName);
            done = true;
            break;
          }
        } else if (name == kUserInfoFolderName) {
          MigrateOldLayout(rt, root, f);
          done = true;
          break;
        }
      }
    }
    (void)done;
    if (!rt.g.AgentInfoFolder) {
      rt.g.AgentInfoFolder = AddSubfolder(rt, root, kAgentInfoFolderName);
      if (!Subfolder(rt.g.AgentInfoFolder, kUserInfoFolderName)) {
        if (!rt.g.UserInfoFolder) {
          rt.g.UserInfoFolder = AddSubfolder(rt, rt.g.AgentInfoFolder, kUserInfoFolderName);
        } else {
          rt.g.UserInfoFolder = MoveFolder(rt, rt.g.UserInfoFolder, rt.g.AgentInfoFolder);
        }
      }
    }
  }
  if (rt.g.UserInfoFolder) {
    MessagesPtr msgs = MessagesOf(rt.g.AgentInfoFolder);
    int32_t count = 0;
    if (msgs) {
      MessageFilter filter;
      filter.type = kAgentMessageClass;
      filter.subject = kAgentMessageSubject;
      msgs->SetFilter(filter).IgnoreError();
      auto n = msgs->Count();
      count = n.ok() ? *n : 0;
    }
    if (count == 0) {
      rt.WriteLog("Unable to locate AgentInfo message, possible network connectivity problem.",
                  kLogError);
      rt.g.ConnectivityWarned = true;
      result = false;
    } else {
      auto first = msgs->Item(1);
      if (first.ok()) {
        auto id = (*first)->ID();
        if (id.ok()) rt.g.AgentMessageID = *id;
      }
      // Deleting shifts the later positions down, so delete from the last position back to
      // the second; going upwards would skip every other surplus message.
      for (int32_t i = count; i >= 2; --i) {
        auto m = msgs->Item(i);
        if (m.ok()) NoteWriteBack(rt, (*m)->Delete());
      }
      rt.g.ConnectivityWarned = false;
      result = true;
    }
    if (msgs) msgs->ClearFilter().IgnoreError();
  } else if (!rt.g.ConnectivityWarned) {
    rt.WriteLog("Unable to locate UserInfo folder, possible network connectivity problem.",
                kLogError);
    rt.g.ConnectivityWarned = true;
    result = false;
  }
  return result;
}

MessagePtr GetAgentMessage(Runtime& rt) {
  if (!rt.g.AgentMessageID.empty()) return GetMessageByID(rt, rt.g.AgentMessageID);
  MessagesPtr msgs = MessagesOf(rt.g.AgentInfoFolder);
  if (!msgs) return nullptr;
  MessageFilter filter;
  filter.type = kAgentMessageClass;
  filter.subject = kAgentMessageSubject;
  msgs->SetFilter(filter).IgnoreError();
  auto first = msgs->GetFirst();
  MessagePtr m = first.ok() ? *first : nullptr;
  if (m) {
    auto id = m->ID();
    if (id.ok()) rt.g.AgentMessageID = *id;
  }
  // Later readers of this folder's messages must see every message, not this selection.
  msgs->ClearFilter().IgnoreError();
  return m;
}

void GetAgentSettings(Runtime& rt) {
  MessagePtr m = GetAgentMessage(rt);
  if (!m) return;
  auto read = [&](const char* name, std::string& target) {
    auto v = m->Field(std::string_view(name));
    if (v.ok()) target = v->ToText();
  };
  read("HHPath", rt.g.HHPath);
  read("HHEntryID", rt.g.HHEntryID);
  read("MCPath", rt.g.MCPath);
  read("MCEntryID", rt.g.MCEntryID);
}

}  // namespace testqav
