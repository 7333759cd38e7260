// Messages and their recipients: the handles of one message, of a folder's messages and of a
// message's recipients.

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/messaging/json/mailbox_store.h"
#include "platform/messaging/json/session_properties.h"
#include "platform/messaging/json/session_state.h"

namespace testqav {

namespace mailbox {
struct RecipientRec {
  std::string name;
  bool resolved = false;
  AddressEntryPtr entry;
};
}  // namespace mailbox

namespace json_session_detail {

namespace {

using mailbox::Prop;
using mailbox::RecipientRec;

Status Deleted() { return Status(err::kObjectDeleted, "the message has been deleted"); }

// ---------------------------------------------------------------------------------------
// Recipients

class RecipientImpl : public Recipient {
 public:
  RecipientImpl(StatePtr st, MessageRecPtr m, std::shared_ptr<RecipientRec> r)
      : st_(std::move(st)), m_(std::move(m)), r_(std::move(r)) {}
  Result<std::string> Name() const override { return r_->name; }
  Status Resolve(bool) override {
    if (r_->resolved) return Status::Ok();
    if (!st_->logged_on) return NotLoggedOn();
    AddressBook* book = st_->Book();
    if (book == nullptr) return NoAddressBook();
    auto e = book->ResolveName(r_->name);
    if (!e.ok()) return e.status();
    r_->entry = *e;
    r_->resolved = true;
    return Status::Ok();
  }
  Result<bool> Resolved() const override { return r_->resolved; }
  Result<AddressEntryPtr> AddressEntry() override {
    if (!r_->resolved || !r_->entry) {
      return Status(err::kUnresolved, "the recipient is not resolved: " + r_->name);
    }
    return r_->entry;
  }
  Result<std::string> Type() const override {
    if (!r_->resolved || !r_->entry) return std::string();
    return r_->entry->Type();
  }
  Status Delete() override {
    auto& list = m_->recipients;
    list.erase(std::remove(list.begin(), list.end(), r_), list.end());
    return Status::Ok();
  }

 private:
  StatePtr st_;
  MessageRecPtr m_;
  std::shared_ptr<RecipientRec> r_;
};

class RecipientsImpl : public Recipients {
 public:
  RecipientsImpl(StatePtr st, MessageRecPtr m) : st_(std::move(st)), m_(std::move(m)) {}
  Result<RecipientPtr> Add(std::string_view name) override {
    auto r = std::make_shared<RecipientRec>();
    r->name = std::string(name);
    m_->recipients.push_back(r);
    return RecipientPtr(std::make_shared<RecipientImpl>(st_, m_, r));
  }
  Result<int32_t> Count() const override { return static_cast<int32_t>(m_->recipients.size()); }
  Result<RecipientPtr> Item(int32_t index) override {
    if (index < 1 || static_cast<size_t>(index) > m_->recipients.size()) {
      return Status(err::kNotFound, "no recipient at position " + std::to_string(index));
    }
    return RecipientPtr(
        std::make_shared<RecipientImpl>(st_, m_, m_->recipients[static_cast<size_t>(index - 1)]));
  }
  Status Resolve(bool show_dialog) override {
    Status first;
    auto list = m_->recipients;  // resolution does not change the list
    for (auto& r : list) {
      Status s = RecipientImpl(st_, m_, r).Resolve(show_dialog);
      if (!s.ok() && first.ok()) first = s;
    }
    return first;
  }
  Result<bool> Resolved() const override {
    for (const auto& r : m_->recipients) {
      if (!r->resolved) return false;
    }
    return true;
  }

 private:
  StatePtr st_;
  MessageRecPtr m_;
};

// ---------------------------------------------------------------------------------------
// Messages

class MessageImpl : public Message {
 public:
  // `target` is the folder an unsaved message goes to on Update.
  MessageImpl(StatePtr st, StorePtr s, MessageRecPtr m, FolderRecPtr target)
      : st_(std::move(st)), s_(std::move(s)), m_(std::move(m)), target_(std::move(target)) {}

  Result<std::string> ID() const override {
    if (Status c = Check(); !c.ok()) return c;
    if (m_->entry_id.empty()) return Status(err::kNotFound, "the message has not been saved");
    return m_->entry_id;
  }
  Result<std::string> StoreID() const override {
    if (Status c = Check(); !c.ok()) return c;
    return s_->store_id;
  }
  Result<std::string> Type() const override {
    if (Status c = Check(); !c.ok()) return c;
    return m_->message_class.str();
  }
  Result<std::string> Subject() const override {
    if (Status c = Check(); !c.ok()) return c;
    return m_->subject.str();
  }
  Result<Variant> Field(std::string_view name) const override {
    if (Status c = Check(); !c.ok()) return c;
    mailbox::NamedKey key{std::string(kDefaultNamedSet), false, std::string(name), 0};
    uint16_t id = s_->named.Lookup(key, false);
    if (id != 0) {
      Variant v = PropValue(*m_, static_cast<uint32_t>(id) << 16, false);
      if (!v.IsEmpty()) return v;
    }
    return Status(err::kNotFound, "the message has no field \"" + std::string(name) + "\"");
  }
  Result<Variant> Field(uint32_t tag) const override {
    if (Status c = Check(); !c.ok()) return c;
    Variant v = PropValue(*m_, tag, false);
    if (v.IsEmpty()) return Status(err::kNotFound, "the message has no property 0x" + Hex(tag));
    return v;
  }
  Status AddField(std::string_view name, int32_t type, const Variant& value) override {
    if (Status c = Check(); !c.ok()) return c;
    if (name.empty()) return Status(err::kInvalidArg, "a field needs a name");
    Prop p;
    bool ok = true;
    switch (type) {
      case 8:  // text
        p.tag = mailbox::kTypeString8;
        p.value.text = value.ToText();
        break;
      case 2:  // 16-bit integer
        p.tag = mailbox::kTypeInt16;
        p.value.num = value.ToInteger(&ok);
        ok = ok && p.value.num >= -32768 && p.value.num <= 32767;
        break;
      case 3:  // 32-bit integer
        p.tag = mailbox::kTypeInt32;
        p.value.num = value.ToInteger(&ok);
        ok = ok && p.value.num >= std::numeric_limits<int32_t>::min() &&
             p.value.num <= std::numeric_limits<int32_t>::max();
        break;
      case 11:  // Boolean
        p.tag = mailbox::kTypeBoolean;
        p.value.num = value.ToBool(&ok) ? 1 : 0;
        break;
      case 7:  // date
        p.tag = mailbox::kTypeTime;
        ok = value.type() == VarType::kDate;
        p.value.num =
            static_cast<int64_t>(std::llround((value.double_value() - 25569.0) * 86400000.0));
        break;
      default:
        return Status(err::kInvalidArg, "unsupported field type " + std::to_string(type));
    }
    if (!ok) return Status(err::kTypeMismatch, "Type mismatch");
    mailbox::NamedKey key{std::string(kDefaultNamedSet), false, std::string(name), 0};
    uint16_t id = s_->named.Lookup(key, true);
    if (id == 0) return Status(err::kNoSupport, "no more named properties in this store");
    p.tag |= static_cast<uint32_t>(id) << 16;
    if (Prop* old = m_->FindProp(id)) {
      *old = std::move(p);
    } else {
      m_->props.push_back(std::move(p));
    }
    return Status::Ok();
  }
  Status Update() override {
    if (Status c = Check(); !c.ok()) return c;
    m_->modified_ms = NowMs();
    if (!m_->folder) {
      if (!target_) return Status(err::kInvalidArg, "the message has no folder");
      FolderRec& f = *target_;
      m_->entry_id = s_->NewMessageId(f);
      m_->folder = &f;
      f.messages.push_back(m_);
      ++f.version;
      s_->message_index.emplace(m_->entry_id, m_.get());
    }
    return s_->WriteBack();
  }
  Status Delete() override {
    if (Status c = Check(); !c.ok()) return c;
    m_->deleted = true;
    FolderRec* f = m_->folder;
    if (!f) return Status::Ok();  // an unsaved message was never in the store
    auto& list = f->messages;
    list.erase(std::find(list.begin(), list.end(), m_));
    ++f->version;
    s_->message_index.erase(m_->entry_id);
    m_->folder = nullptr;
    return s_->WriteBack();
  }
  Result<MessagePtr> MoveTo(std::string_view folder_id, std::string_view store_id) override {
    if (Status c = Check(); !c.ok()) return c;
    if (!m_->folder) return Status(err::kNoSupport, "an unsaved message cannot be moved");
    auto store = StoreById(*st_, store_id);
    if (!store.ok()) return store.status();
    if (store->get() != s_.get()) {
      return Status(err::kNoSupport, "messages move only within their own store");
    }
    FolderRec* to = s_->FindFolder(folder_id);
    if (!to) return Status(err::kNotFound, "no folder with entry ID " + std::string(folder_id));
    FolderRec* from = m_->folder;
    if (to != from) {
      auto& list = from->messages;
      list.erase(std::find(list.begin(), list.end(), m_));
      ++from->version;
      s_->message_index.erase(m_->entry_id);
      m_->entry_id = s_->MessageIdInFolder(m_->entry_id, *to);
      s_->message_index.emplace(m_->entry_id, m_.get());
      to->messages.push_back(m_);
      ++to->version;
      m_->folder = to;
    }
    Status w = s_->WriteBack();
    if (!w.ok()) return w;
    return MakeMessage(st_, s_, m_, nullptr);
  }
  Result<RecipientsPtr> Recipients() override {
    if (Status c = Check(); !c.ok()) return c;
    return RecipientsPtr(std::make_shared<RecipientsImpl>(st_, m_));
  }

 private:
  Status Check() const {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return m_->deleted ? Deleted() : Status::Ok();
  }

  StatePtr st_;
  StorePtr s_;
  MessageRecPtr m_;
  FolderRecPtr target_;
};

class MessagesImpl : public Messages {
 public:
  MessagesImpl(StatePtr st, StorePtr s, FolderRecPtr f)
      : st_(std::move(st)), s_(std::move(s)), f_(std::move(f)) {}

  Status SetFilter(const MessageFilter& filter) override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    filter_ = filter;
    valid_ = false;
    return Status::Ok();
  }
  Status ClearFilter() override { return SetFilter(MessageFilter{}); }
  Result<int32_t> Count() const override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    return static_cast<int32_t>(View().size());
  }
  Result<MessagePtr> Item(int32_t index) override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    const auto& view = View();
    if (index < 1 || static_cast<size_t>(index) > view.size()) {
      return Status(err::kNotFound, "no message at position " + std::to_string(index));
    }
    return MakeMessage(st_, s_, f_->messages[view[static_cast<size_t>(index - 1)]], nullptr);
  }
  Result<MessagePtr> GetFirst(std::optional<std::string_view> type) override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    for (uint32_t i : View()) {
      const MessageRecPtr& m = f_->messages[i];
      if (!type || EqualsIgnoreCase(m->message_class.str(), *type)) {
        return MakeMessage(st_, s_, m, nullptr);
      }
    }
    return Status(err::kNotFound, "no such message in folder " + f_->name);
  }
  Result<std::vector<MessagePtr>> All() override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    std::vector<MessagePtr> out;
    for (uint32_t i : View()) out.push_back(MakeMessage(st_, s_, f_->messages[i], nullptr));
    return out;
  }
  Result<MessagePtr> Add() override {
    if (Status c = CheckStore(*s_); !c.ok()) return c;
    auto m = std::make_shared<MessageRec>();
    m->message_class = mailbox::SharedText("IPM.Note");
    return MakeMessage(st_, s_, std::move(m), f_);
  }

 private:
  bool Selected(const MessageRec& m) const {
    bool match = (!filter_.type || EqualsIgnoreCase(m.message_class.str(), *filter_.type)) &&
                 (!filter_.subject || EqualsIgnoreCase(m.subject.str(), *filter_.subject));
    return filter_.negate ? !match : match;
  }
  // Positions of the selected messages; recomputed whenever the folder's list changed.
  const std::vector<uint32_t>& View() const {
    if (!valid_ || version_ != f_->version) {
      view_.clear();
      for (size_t i = 0; i < f_->messages.size(); ++i) {
        if (Selected(*f_->messages[i])) view_.push_back(static_cast<uint32_t>(i));
      }
      version_ = f_->version;
      valid_ = true;
    }
    return view_;
  }

  StatePtr st_;
  StorePtr s_;
  FolderRecPtr f_;
  MessageFilter filter_;
  mutable std::vector<uint32_t> view_;
  mutable uint64_t version_ = 0;
  mutable bool valid_ = false;
};

}  // namespace

MessagePtr MakeMessage(const StatePtr& st, const StorePtr& s, MessageRecPtr m,
                       FolderRecPtr target) {
  return std::make_shared<MessageImpl>(st, s, std::move(m), std::move(target));
}

MessagesPtr MakeMessages(const StatePtr& st, const StorePtr& s, FolderRecPtr f) {
  return std::make_shared<MessagesImpl>(st, s, std::move(f));
}

}  // namespace json_session_detail

}  // namespace testqav
