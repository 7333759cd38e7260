// Folders and message stores: the folder handles, the store handles and finding a store or
// folder by its ID.

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/messaging/json/mailbox_store.h"
#include "platform/messaging/json/session_state.h"

namespace testqav::json_session_detail {

Result<StorePtr> StoreById(const SessionState& st, std::string_view store_id) {
  if (!st.logged_on || st.stores.empty()) return NotLoggedOn();
  if (store_id.empty()) return st.stores.front();
  for (const StorePtr& s : st.stores) {
    if (EqualsIgnoreCase(s->store_id, store_id)) return s;
  }
  return Status(err::kNotFound, "no message store with ID " + std::string(store_id));
}

Result<FolderPtr> FolderById(const StatePtr& st, std::string_view entry_id,
                             std::string_view store_id) {
  auto store = StoreById(*st, store_id);
  if (!store.ok()) return store.status();
  StorePtr s = *store;
  if (entry_id.empty()) return MakeFolder(st, s, s->root.get());
  FolderRec* f = s->FindFolder(entry_id);
  if (!f) {
    return Status(err::kNotFound, "no folder with entry ID " + std::string(entry_id) +
                                      " in store " + s->display_name);
  }
  return MakeFolder(st, s, f);
}

namespace {

// ---------------------------------------------------------------------------------------
// Folders

bool IsBelow(const FolderRec* f, const FolderRec* ancestor) {
  for (; f; f = f->parent) {
    if (f == ancestor) return true;
  }
  return false;
}

class FolderImpl;

class FoldersImpl : public Folders {
 public:
  FoldersImpl(StatePtr st, StorePtr s, FolderRecPtr f)
      : st_(std::move(st)), s_(std::move(s)), f_(std::move(f)) {}
  Result<int32_t> Count() const override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return static_cast<int32_t>(f_->folders.size());
  }
  Result<FolderPtr> Item(int32_t index) override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    if (index < 1 || static_cast<size_t>(index) > f_->folders.size()) {
      return Status(err::kNotFound, "no folder at position " + std::to_string(index));
    }
    return MakeFolder(st_, s_, f_->folders[static_cast<size_t>(index - 1)].get());
  }
  Result<FolderPtr> Item(std::string_view name) override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    for (const auto& c : f_->folders) {
      if (EqualsIgnoreCase(c->name, name)) return MakeFolder(st_, s_, c.get());
    }
    return Status(err::kNotFound, "no folder \"" + std::string(name) + "\" in " + f_->name);
  }
  Result<std::vector<FolderPtr>> All() override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    std::vector<FolderPtr> out;
    for (const auto& c : f_->folders) out.push_back(MakeFolder(st_, s_, c.get()));
    return out;
  }
  Result<FolderPtr> Add(std::string_view name) override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    if (name.empty()) return Status(err::kInvalidArg, "a folder needs a name");
    for (const auto& c : f_->folders) {
      if (EqualsIgnoreCase(c->name, name)) {
        return Status(err::kCollision, "a folder \"" + c->name + "\" exists in " + f_->name);
      }
    }
    auto rec = std::make_shared<FolderRec>();
    rec->name = std::string(name);
    rec->parent = f_.get();
    rec->entry_id = s_->NewFolderId();
    s_->folder_index.emplace(rec->entry_id, rec.get());
    f_->folders.push_back(rec);
    Status w = s_->WriteBack();
    if (!w.ok()) return w;
    return MakeFolder(st_, s_, rec.get());
  }

 private:
  StatePtr st_;
  StorePtr s_;
  FolderRecPtr f_;
};

class FolderImpl : public Folder {
 public:
  FolderImpl(StatePtr st, StorePtr s, FolderRecPtr f)
      : st_(std::move(st)), s_(std::move(s)), f_(std::move(f)) {}
  Result<std::string> Name() const override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return f_->name;
  }
  Result<std::string> ID() const override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return f_->entry_id;
  }
  Result<std::string> StoreID() const override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return s_->store_id;
  }
  Result<FoldersPtr> Folders() override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return FoldersPtr(std::make_shared<FoldersImpl>(st_, s_, f_));
  }
  Result<MessagesPtr> Messages() override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return MakeMessages(st_, s_, f_);
  }
  Result<FolderPtr> MoveTo(std::string_view folder_id, std::string_view store_id) override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    auto store = StoreById(*st_, store_id);
    if (!store.ok()) return store.status();
    if (store->get() != s_.get()) {
      return Status(err::kNoSupport, "folders move only within their own store");
    }
    FolderRec* to = s_->FindFolder(folder_id);
    if (!to) return Status(err::kNotFound, "no folder with entry ID " + std::string(folder_id));
    if (!f_->parent) return Status(err::kInvalidArg, "the root folder cannot be moved");
    if (IsBelow(to, f_.get())) {
      return Status(err::kInvalidArg, "a folder cannot be moved below itself");
    }
    if (to != f_->parent) {
      for (const auto& c : to->folders) {
        if (EqualsIgnoreCase(c->name, f_->name)) {
          return Status(err::kCollision, "a folder \"" + c->name + "\" exists in " + to->name);
        }
      }
      auto& siblings = f_->parent->folders;
      siblings.erase(std::find(siblings.begin(), siblings.end(), f_));
      to->folders.push_back(f_);
      f_->parent = to;
    }
    Status w = s_->WriteBack();
    if (!w.ok()) return w;
    return MakeFolder(st_, s_, f_.get());
  }
  Result<FolderPtr> Parent() override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    if (!f_->parent) return Status(err::kNotFound, "the root folder has no parent");
    return MakeFolder(st_, s_, f_->parent);
  }
  Result<uint32_t> GetIDFromName(std::string_view set, std::string_view name) override {
    mailbox::NamedKey key;
    key.name = std::string(name);
    if (name.empty()) return Status(err::kInvalidArg, "a named property needs a name");
    return MapName(set, std::move(key));
  }
  Result<uint32_t> GetIDFromNumericId(std::string_view set, uint32_t id) override {
    mailbox::NamedKey key;
    key.numeric = true;
    key.number = id;
    return MapName(set, std::move(key));
  }
  Result<TablePtr> GetContentsTable() override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return MakeTable(s_, f_->messages);
  }

 private:
  Result<uint32_t> MapName(std::string_view set, mailbox::NamedKey key) {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    if (!mailbox::CanonicalGuidText(set, &key.set)) {
      return Status(err::kInvalidArg, "not a property set GUID: " + std::string(set));
    }
    uint16_t id = s_->named.Lookup(key, true);
    if (id == 0) return Status(err::kNoSupport, "no more named properties in this store");
    return static_cast<uint32_t>(id) << 16;
  }

  StatePtr st_;
  StorePtr s_;
  FolderRecPtr f_;
};

// ---------------------------------------------------------------------------------------
// Stores

class InfoStoreImpl : public InfoStore {
 public:
  InfoStoreImpl(StatePtr st, StorePtr s) : st_(std::move(st)), s_(std::move(s)) {}
  Result<std::string> Name() const override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return s_->display_name;
  }
  Result<std::string> ID() const override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return s_->store_id;
  }
  // As the messaging library does, the root folder of a store object is the top of its
  // interpersonal-message tree; the session's GetFolder("", "") gives the store's own root.
  Result<FolderPtr> RootFolder() override { return IpmRootFolder(); }
  Result<Variant> Field(uint32_t tag) const override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    if (s_->is_public && tag == kPrIpmPublicFoldersEntryId) {
      return Variant(s_->ipm_root->entry_id);
    }
    return Status(err::kNotFound, "the store has no property 0x" + Hex(tag));
  }
  Result<FolderPtr> IpmRootFolder() override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return MakeFolder(st_, s_, s_->ipm_root);
  }
  Result<bool> CompareEntryIDs(std::string_view a, std::string_view b) override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return EqualsIgnoreCase(a, b);
  }

 private:
  StatePtr st_;
  StorePtr s_;
};

}  // namespace

FolderPtr MakeFolder(const StatePtr& st, const StorePtr& s, FolderRec* f) {
  return std::make_shared<FolderImpl>(st, s, f->shared_from_this());
}

InfoStorePtr MakeInfoStore(const StatePtr& st, const StorePtr& s) {
  return std::make_shared<InfoStoreImpl>(st, s);
}

}  // namespace testqav::json_session_detail
