// Session, store, folder, message, recipient, table and helper objects over the JSON stores.
// Handles share the store model; a handle used after Logoff reports kNotLoggedOn, one whose
// message was deleted reports kObjectDeleted.

#include "platform/messaging/json/json_session.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <future>
#include <limits>
#include <sstream>
#include <system_error>

#include "platform/common/background_release.h"
#include "platform/common/error_codes.h"
#include "platform/common/file_text.h"
#include "platform/common/text.h"
#include "platform/messaging/json/mailbox_store.h"

namespace testqav {

namespace mailbox {
struct RecipientRec {
  std::string name;
  bool resolved = false;
  AddressEntryPtr entry;
};
}  // namespace mailbox

namespace {

using mailbox::FolderRec;
using mailbox::MessageRec;
using mailbox::Prop;
using mailbox::RecipientRec;
using mailbox::Scalar;
using mailbox::StoreData;

using StorePtr = std::shared_ptr<StoreData>;
using FolderRecPtr = std::shared_ptr<FolderRec>;
using MessageRecPtr = std::shared_ptr<MessageRec>;

Status NotLoggedOn() { return Status(err::kNotLoggedOn, "the session is not logged on"); }
Status NoAddressBook() { return Status(err::kNoSupport, "address book not available"); }
Status Deleted() { return Status(err::kObjectDeleted, "the message has been deleted"); }

using BookResult = Result<std::shared_ptr<AddressBook>>;

struct SessionState {
  std::vector<StorePtr> stores;  // mailbox first, then the public store
  bool logged_on = false;

  // The address book. It is opened on a second thread at logon and waited for here, on
  // first use: loading a large directory then overlaps with everything the run does before
  // it resolves its first name.
  AddressBook* Book() {
    if (opening.valid()) {
      BookResult opened = opening.get();
      if (opened.ok() && *opened) {
        book = *opened;
        // Warnings of a directory that opened; the fault of one that did not is the
        // session's answer to AddressBookStatus and is reported by whoever asks.
        if (diag != nullptr) *diag << opening_diag.str();
      } else {
        book_failure = opened.ok()
                           ? Status(err::kNotFound, "no address book for " + server_dir.string())
                           : opened.status();
      }
    }
    return book.get();
  }

  Status BookStatus(bool wait) {
    if (opening.valid()) {
      if (!wait && opening.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        return Status::Ok();
      }
      Book();
    }
    if (!book_failure.ok()) return book_failure;
    if (book) return book->Failure();
    return Status::Ok();
  }

  Status book_failure;
  std::shared_ptr<AddressBook> book;
  std::ostringstream opening_diag;  // what the opener wrote, passed on once it is done
  std::ostream* diag = nullptr;
  std::filesystem::path server_dir;
  // Last, so that it goes first: its destructor waits for the opener, which uses the above.
  std::future<BookResult> opening;
};
using StatePtr = std::shared_ptr<SessionState>;

Status CheckStore(const StoreData& s) { return s.open ? Status::Ok() : NotLoggedOn(); }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Variant DateFromMs(int64_t ms) {
  return Variant::Date(25569.0 + static_cast<double>(ms) / 86400000.0);
}

// ---------------------------------------------------------------------------------------
// Property access

// A property of a message as stored: members (class, subject, ...) and stored properties
// alike. `type` 0 means the message does not have it.
struct PropView {
  uint16_t type = 0;
  const std::string* text = nullptr;
  int64_t num = 0;
  const std::vector<Scalar>* multi = nullptr;
  std::string bytes;  // entry IDs decoded for binary delivery
};

bool LookupProp(const MessageRec& m, uint16_t id, PropView* v) {
  switch (id) {
    case mailbox::kIdMessageClass:
      v->type = mailbox::kTypeString8;
      v->text = &m.message_class.str();
      return true;
    case mailbox::kIdSubject:
      v->type = mailbox::kTypeString8;
      v->text = &m.subject.str();
      return true;
    case mailbox::kIdConversationTopic:
      v->type = mailbox::kTypeString8;
      v->text = &m.Topic();
      return true;
    case mailbox::kIdLastModificationTime:
      if (!m.modified_ms) return false;
      v->type = mailbox::kTypeTime;
      v->num = *m.modified_ms;
      return true;
    case mailbox::kIdEntryId:
    case mailbox::kIdLongtermEntryIdFromTable:
      if (m.entry_id.empty()) return false;
      v->type = mailbox::kTypeBinary;
      DecodeHex(m.entry_id, &v->bytes);
      v->text = &v->bytes;
      return true;
    default:
      break;
  }
  const Prop* p = m.FindProp(id);
  if (!p) return false;
  v->type = p->type();
  if (v->type & mailbox::kTypeMulti) {
    v->multi = &p->values();
  } else {
    v->text = &p->value.text;
    v->num = p->value.num;
  }
  return true;
}

bool IsStringType(uint16_t t) { return t == mailbox::kTypeString8 || t == mailbox::kTypeUnicode; }

// One value of base type `stored` delivered as base type `want` (0: as stored). Binary comes
// as Byte array (`bytes_mode`) or as upper-case hex text. Empty when not convertible.
Variant ScalarVariant(uint16_t stored, const std::string* text, int64_t num, uint16_t want,
                      bool bytes_mode) {
  if (want == 0) want = stored;
  switch (stored) {
    case mailbox::kTypeString8:
    case mailbox::kTypeUnicode:
      return IsStringType(want) ? Variant(*text) : Variant();
    case mailbox::kTypeInt16:
    case mailbox::kTypeInt32:
      if (want == mailbox::kTypeInt16) {
        if (num < -32768 || num > 32767) return Variant();
        return Variant::Integer(static_cast<int16_t>(num));
      }
      if (want == mailbox::kTypeInt32) return Variant::Long(static_cast<int32_t>(num));
      if (IsStringType(want)) return Variant(std::to_string(num));
      return Variant();
    case mailbox::kTypeBoolean:
      return want == mailbox::kTypeBoolean ? Variant::Boolean(num != 0) : Variant();
    case mailbox::kTypeTime:
      return want == mailbox::kTypeTime ? DateFromMs(num) : Variant();
    case mailbox::kTypeBinary:
      if (want != mailbox::kTypeBinary) return Variant();
      if (bytes_mode) {
        return Variant::Bytes(std::vector<uint8_t>(text->begin(), text->end()));
      }
      return Variant(HexUpper(*text));
    default:
      return Variant();
  }
}

// The property `tag` of a message as a Variant; Empty when missing or not convertible.
Variant PropValue(const MessageRec& m, uint32_t tag, bool bytes_mode) {
  PropView v;
  if (!LookupProp(m, static_cast<uint16_t>(tag >> 16), &v)) return Variant();
  uint16_t want = static_cast<uint16_t>(tag & 0xFFFF);
  uint16_t want_base = want & static_cast<uint16_t>(~mailbox::kTypeMulti);
  uint16_t base = v.type & static_cast<uint16_t>(~mailbox::kTypeMulti);
  if (v.multi) {
    // Multi-valued properties come as arrays, also when read by their single-valued tag.
    std::vector<Variant> items;
    items.reserve(v.multi->size());
    for (const Scalar& s : *v.multi) {
      Variant x = ScalarVariant(base, &s.text, s.num, want_base, bytes_mode);
      if (x.IsEmpty()) return Variant();
      items.push_back(std::move(x));
    }
    return Variant::Array(std::move(items));
  }
  if (want & mailbox::kTypeMulti) return Variant();
  return ScalarVariant(base, v.text, v.num, want, bytes_mode);
}

// ---------------------------------------------------------------------------------------
// Forward declarations of the handle classes.

FolderPtr MakeFolder(const StatePtr& st, const StorePtr& s, FolderRec* f);
MessagePtr MakeMessage(const StatePtr& st, const StorePtr& s, MessageRecPtr m, FolderRecPtr target);

// The store that holds `store_id` (hex, ignoring case); the mailbox for "".
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

MessagePtr MakeMessage(const StatePtr& st, const StorePtr& s, MessageRecPtr m,
                       FolderRecPtr target) {
  return std::make_shared<MessageImpl>(st, s, std::move(m), std::move(target));
}

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

// ---------------------------------------------------------------------------------------
// Tables

struct RestrictionNode {
  int32_t kind = kRestrictionContent;
  std::vector<std::shared_ptr<RestrictionNode>> children;
  uint32_t fuzzy = 0;
  std::optional<uint32_t> tag;
  std::optional<std::string> value;
};

class RestrictionImpl : public Restriction {
 public:
  explicit RestrictionImpl(std::shared_ptr<RestrictionNode> n) : n_(std::move(n)) {}
  int32_t Kind() const override { return n_->kind; }
  Result<RestrictionPtr> AddChild(int32_t kind) override {
    if (n_->kind != kRestrictionAnd) {
      return Status(err::kNoSupport, "only an AND restriction has children");
    }
    if (kind != kRestrictionAnd && kind != kRestrictionContent) {
      return Status(err::kNoSupport, "unsupported restriction kind " + std::to_string(kind));
    }
    auto child = std::make_shared<RestrictionNode>();
    child->kind = kind;
    n_->children.push_back(child);
    return RestrictionPtr(std::make_shared<RestrictionImpl>(child));
  }
  Status SetFuzzyLevel(uint32_t level) override {
    if (Status c = ContentOnly(); !c.ok()) return c;
    n_->fuzzy = level;
    return Status::Ok();
  }
  Status SetPropTag(uint32_t tag) override {
    if (Status c = ContentOnly(); !c.ok()) return c;
    n_->tag = tag;
    return Status::Ok();
  }
  Status SetValue(const Variant& value) override {
    if (Status c = ContentOnly(); !c.ok()) return c;
    n_->value = value.ToText();
    return Status::Ok();
  }

 private:
  Status ContentOnly() const {
    return n_->kind == kRestrictionContent
               ? Status::Ok()
               : Status(err::kNoSupport, "only a content restriction has this member");
  }
  std::shared_ptr<RestrictionNode> n_;
};

// Fuzzy levels of content restrictions.
constexpr uint32_t kFlFullString = 0;
constexpr uint32_t kFlSubstring = 1;
constexpr uint32_t kFlPrefix = 2;
constexpr uint32_t kFlIgnoreCase = 0x10000;
constexpr uint32_t kFlIgnoreNonSpace = 0x20000;
constexpr uint32_t kFlLoose = 0x40000;

bool TextMatches(std::string_view text, std::string_view needle, uint32_t fuzzy) {
  bool ignore_case = (fuzzy & (kFlIgnoreCase | kFlIgnoreNonSpace | kFlLoose)) != 0;
  switch (fuzzy & 0xFFFF) {
    case kFlSubstring:
      return ignore_case ? ContainsIgnoreCase(text, needle) : Contains(text, needle);
    case kFlPrefix:
      return ignore_case ? StartsWithIgnoreCase(text, needle) : StartsWith(text, needle);
    case kFlFullString:
    default:
      return ignore_case ? EqualsIgnoreCase(text, needle) : text == needle;
  }
}

bool Matches(const RestrictionNode& r, const MessageRec& m) {
  if (r.kind == kRestrictionAnd) {
    for (const auto& c : r.children) {
      if (!Matches(*c, m)) return false;
    }
    return true;
  }
  PropView v;
  if (!LookupProp(m, static_cast<uint16_t>(*r.tag >> 16), &v)) return false;
  uint16_t base = v.type & static_cast<uint16_t>(~mailbox::kTypeMulti);
  if (!IsStringType(base)) return false;
  if (v.multi) {
    for (const Scalar& s : *v.multi) {
      if (TextMatches(s.text, *r.value, r.fuzzy)) return true;
    }
    return false;
  }
  return TextMatches(*v.text, *r.value, r.fuzzy);
}

Status Complete(const RestrictionNode& r) {
  if (r.kind == kRestrictionAnd) {
    for (const auto& c : r.children) {
      if (Status s = Complete(*c); !s.ok()) return s;
    }
    return Status::Ok();
  }
  if (!r.tag || !r.value) {
    return Status(err::kInvalidArg, "a content restriction needs a property tag and a value");
  }
  return Status::Ok();
}

struct TableState {
  StorePtr store;
  std::vector<MessageRecPtr> rows;  // in sort order
  std::vector<uint32_t> columns = {kPrEntryId, kPrMessageClass, kPrSubject,
                                   kPrLastModificationTime};
  size_t cursor = 0;
  std::shared_ptr<RestrictionNode> root;
  bool closed = false;

  Status Check() const {
    if (Status c = CheckStore(*store); !c.ok()) return c;
    return closed ? Status(err::kFail, "the table is closed") : Status::Ok();
  }
  Variant Row(size_t i) const {
    std::vector<Variant> values;
    values.reserve(columns.size());
    for (uint32_t tag : columns) values.push_back(PropValue(*rows[i], tag, true));
    return Variant::Array(std::move(values));
  }
  Result<bool> Find(size_t start, bool forward) {
    if (Status c = Check(); !c.ok()) return c;
    if (root) {
      if (Status s = Complete(*root); !s.ok()) return s;
    }
    for (size_t i = start; i < rows.size(); forward ? ++i : --i) {
      if (!root || Matches(*root, *rows[i])) {
        cursor = i;
        return true;
      }
      if (!forward && i == 0) break;
    }
    return false;
  }
};

class TableFilterImpl : public TableFilter {
 public:
  explicit TableFilterImpl(std::shared_ptr<TableState> t) : t_(std::move(t)) {}
  Result<RestrictionPtr> SetRoot(int32_t kind) override {
    if (Status c = t_->Check(); !c.ok()) return c;
    if (kind != kRestrictionAnd && kind != kRestrictionContent) {
      return Status(err::kNoSupport, "unsupported restriction kind " + std::to_string(kind));
    }
    t_->root = std::make_shared<RestrictionNode>();
    t_->root->kind = kind;
    return RestrictionPtr(std::make_shared<RestrictionImpl>(t_->root));
  }
  Result<bool> FindFirst(bool forward) override {
    if (t_->rows.empty()) return t_->Check().ok() ? Result<bool>(false) : t_->Check();
    return t_->Find(forward ? 0 : t_->rows.size() - 1, forward);
  }
  Result<bool> FindNext(bool forward) override {
    if (Status c = t_->Check(); !c.ok()) return c;
    if (forward) {
      if (t_->cursor + 1 >= t_->rows.size()) return false;
      return t_->Find(t_->cursor + 1, true);
    }
    if (t_->cursor == 0 || t_->rows.empty()) return false;
    return t_->Find(std::min(t_->cursor, t_->rows.size()) - 1, false);
  }
  Status Clear() override {
    if (Status c = t_->Check(); !c.ok()) return c;
    t_->root.reset();
    return Status::Ok();
  }

 private:
  std::shared_ptr<TableState> t_;
};

// Sort key of one row: missing values sort below every present value.
struct SortKey {
  bool present = false;
  int64_t num = 0;
  std::string text;
};

class TableImpl : public Table {
 public:
  explicit TableImpl(std::shared_ptr<TableState> t) : t_(std::move(t)) {}
  Result<int32_t> RowCount() const override {
    if (Status c = t_->Check(); !c.ok()) return c;
    return static_cast<int32_t>(t_->rows.size());
  }
  Status SetColumns(const std::vector<uint32_t>& tags) override {
    if (Status c = t_->Check(); !c.ok()) return c;
    t_->columns = tags;
    return Status::Ok();
  }
  Status Sort(uint32_t tag, bool descending) override {
    if (Status c = t_->Check(); !c.ok()) return c;
    auto& rows = t_->rows;
    std::vector<SortKey> keys(rows.size());
    auto id = static_cast<uint16_t>(tag >> 16);
    for (size_t i = 0; i < rows.size(); ++i) {
      PropView v;
      if (!LookupProp(*rows[i], id, &v) || v.multi) continue;
      keys[i].present = true;
      if (IsStringType(v.type)) {
        keys[i].text = FoldCase(*v.text);
      } else if (v.type == mailbox::kTypeBinary) {
        keys[i].text = *v.text;
      } else {
        keys[i].num = v.num;
      }
    }
    std::vector<uint32_t> order(rows.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
    auto less = [&keys](uint32_t a, uint32_t b) {
      const SortKey& x = keys[a];
      const SortKey& y = keys[b];
      if (x.present != y.present) return !x.present;
      if (x.num != y.num) return x.num < y.num;
      return x.text < y.text;
    };
    if (descending) {
      std::stable_sort(order.begin(), order.end(),
                       [&less](uint32_t a, uint32_t b) { return less(b, a); });
    } else {
      std::stable_sort(order.begin(), order.end(), less);
    }
    std::vector<MessageRecPtr> sorted;
    sorted.reserve(rows.size());
    for (uint32_t i : order) sorted.push_back(std::move(rows[i]));
    rows = std::move(sorted);
    t_->cursor = 0;
    return Status::Ok();
  }
  Status GoToFirstRow() override {
    if (Status c = t_->Check(); !c.ok()) return c;
    t_->cursor = 0;
    return Status::Ok();
  }
  Result<Variant> NextRow() override {
    if (Status c = t_->Check(); !c.ok()) return c;
    if (t_->cursor >= t_->rows.size()) return Variant();
    return t_->Row(t_->cursor++);
  }
  Result<Variant> CurrentRow() const override {
    if (Status c = t_->Check(); !c.ok()) return c;
    if (t_->cursor >= t_->rows.size()) return Variant();
    return t_->Row(t_->cursor);
  }
  Result<TableFilterPtr> Filter() override {
    if (Status c = t_->Check(); !c.ok()) return c;
    return TableFilterPtr(std::make_shared<TableFilterImpl>(t_));
  }
  Status Close() override {
    t_->closed = true;
    t_->rows.clear();
    return Status::Ok();
  }

 private:
  std::shared_ptr<TableState> t_;
};

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
    return MessagesPtr(std::make_shared<MessagesImpl>(st_, s_, f_));
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
    auto t = std::make_shared<TableState>();
    t->store = s_;
    t->rows = f_->messages;
    return TablePtr(std::make_shared<TableImpl>(t));
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

FolderPtr MakeFolder(const StatePtr& st, const StorePtr& s, FolderRec* f) {
  return std::make_shared<FolderImpl>(st, s, f->shared_from_this());
}

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

// ---------------------------------------------------------------------------------------
// Helper library objects

class HelperSessionImpl : public HelperSession {
 public:
  explicit HelperSessionImpl(StatePtr st) : st_(std::move(st)) {}
  Result<AddressEntryPtr> GalEntryByDN(std::string_view dn) override {
    if (!st_->logged_on) return NotLoggedOn();
    AddressBook* book = st_->Book();
    if (book == nullptr) return NoAddressBook();
    return book->FindByDN(dn);
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
    return InfoStorePtr(std::make_shared<InfoStoreImpl>(st_, *s));
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

// ---------------------------------------------------------------------------------------
// Session

bool SafeName(std::string_view name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\\' || c == '\0' || static_cast<unsigned char>(c) < 0x20) return false;
  }
  return true;
}

// The file a store's name leads to, through any symbolic links; the name itself when that
// cannot be worked out (the error then comes from opening it).
std::filesystem::path StoreTarget(const std::filesystem::path& file) {
  std::error_code ec;
  std::filesystem::path target = std::filesystem::canonical(file, ec);
  return ec ? file : target;
}

// Takes the exclusive lock that keeps two runs from interleaving their changes: a flock on
// the store file itself, which a write-back hands on to the file it renames into place
// (StoreData::WriteBack). Locking the file, not a lock file beside it, means that nothing
// can be deleted to make a second run go ahead.
// `name` is the store's name as the host folder has it, for messages.
Result<int> LockStore(const std::filesystem::path& file, const std::filesystem::path& name) {
  // Another run's write-back may rename a new file over the store between the open and the
  // lock; the lock then holds a file that is no longer the store, and is taken again.
  for (int attempt = 0; attempt < 16; ++attempt) {
    Result<int> fd = OpenInputFile(file, mailbox::kMaxStoreFileBytes);
    if (!fd.ok()) {
      return Status(err::kLogonFailed, "cannot read store file " + fd.status().description());
    }
    if (::flock(*fd, LOCK_EX | LOCK_NB) != 0) {
      const int e = errno;
      ::close(*fd);
      if (e == EWOULDBLOCK) {
        return Status(err::kLogonFailed, "store is in use by another run: " + name.string());
      }
      return Status(err::kLogonFailed, "cannot lock " + file.string() + ": " + std::strerror(e));
    }
    struct stat locked {};
    struct stat current {};
    if (::fstat(*fd, &locked) == 0 && ::stat(file.c_str(), &current) == 0 &&
        locked.st_dev == current.st_dev && locked.st_ino == current.st_ino) {
      return fd;
    }
    ::close(*fd);
  }
  return Status(err::kLogonFailed, "store file keeps being replaced: " + file.string());
}

class JsonSession : public Session {
 public:
  JsonSession(std::filesystem::path host, std::ostream& diag, AddressBookOpener opener,
              JsonSessionOptions options)
      : host_(std::move(host)), diag_(diag), opener_(std::move(opener)), options_(options) {}
  ~JsonSession() override { Logoff().IgnoreError(); }

  Status Logon(std::string_view profile_info) override {
    if (st_ && st_->logged_on) return Status(err::kLogonFailed, "the session is already logged on");
    size_t nl = profile_info.find('\n');
    if (nl == std::string_view::npos) {
      return Status(err::kLogonFailed, "the profile must be a server and an alias on two lines");
    }
    std::string_view server = profile_info.substr(0, nl);
    std::string_view alias = profile_info.substr(nl + 1);
    if (!alias.empty() && alias.back() == '\r') alias.remove_suffix(1);
    if (!server.empty() && server.back() == '\r') server.remove_suffix(1);
    if (!SafeName(server)) {
      return Status(err::kLogonFailed, "invalid server name \"" + std::string(server) + "\"");
    }
    if (!SafeName(alias)) {
      return Status(err::kLogonFailed, "invalid mailbox alias \"" + std::string(alias) + "\"");
    }
    std::error_code ec;
    std::filesystem::path server_dir = host_ / "exchange" / std::string(server);
    if (!std::filesystem::is_directory(server_dir, ec)) {
      return Status(err::kLogonFailed,
                    "unknown server " + std::string(server) + ": no folder " + server_dir.string());
    }
    std::filesystem::path mailbox_file = server_dir / "mailboxes" / (std::string(alias) + ".json");
    // Anything at that name that is not a regular file is reported as what it is when the
    // store is locked below; only a missing file means an unknown mailbox.
    if (!std::filesystem::exists(mailbox_file, ec) &&
        !std::filesystem::is_symlink(mailbox_file, ec)) {
      return Status(err::kLogonFailed,
                    "unknown mailbox " + std::string(alias) + ": no file " + mailbox_file.string());
    }
    std::filesystem::path public_file = server_dir / "public.json";
    const bool has_public = std::filesystem::exists(public_file, ec);
    // The locks come first: a run that another run keeps out must not start loading the
    // directory only to wait for it on the way out.
    auto mailbox_lock = LockStore(StoreTarget(mailbox_file), mailbox_file);
    if (!mailbox_lock.ok()) return mailbox_lock.status();
    Result<int> public_lock = -1;
    if (has_public) {
      public_lock = LockStore(StoreTarget(public_file), public_file);
      if (!public_lock.ok()) {
        ::close(*mailbox_lock);
        return public_lock.status();
      }
    }
    auto state = std::make_shared<SessionState>();
    if (opener_) {
      state->diag = &diag_;
      state->server_dir = server_dir;
      state->opening = std::async(std::launch::async, [opener = opener_, state = state.get()] {
        return opener(state->server_dir, state->opening_diag);
      });
    }
    auto mailbox = Load(mailbox_file, *mailbox_lock, false, "mailbox\x1F" + LowerCase(alias));
    if (!mailbox.ok()) {
      if (has_public) ::close(*public_lock);
      return mailbox.status();
    }
    state->stores.push_back(*mailbox);
    if (has_public) {
      auto pub = Load(public_file, *public_lock, true, "public\x1F" + LowerCase(server));
      if (!pub.ok()) {
        (*mailbox)->Close();
        return pub.status();
      }
      state->stores.push_back(*pub);
    }
    state->logged_on = true;
    st_ = state;
    return Status::Ok();
  }

  Status Logoff() override {
    if (!st_) return Status::Ok();
    st_->Book();  // an opening still under way ends first
    for (auto& s : st_->stores) s->Close();
    st_->logged_on = false;
    // The stores are closed and their locks given back; what they and the address book
    // hold in memory (the whole mailbox and directory of a large organisation) is freed on
    // another thread rather than before Logoff returns.
    ReleaseInBackground(std::make_shared<std::vector<StorePtr>>(std::move(st_->stores)));
    ReleaseInBackground(std::move(st_->book));
    st_->stores.clear();
    st_.reset();
    return Status::Ok();
  }
  bool LoggedOn() const override { return st_ && st_->logged_on; }

  Result<std::vector<InfoStorePtr>> InfoStores() override {
    if (!LoggedOn()) return NotLoggedOn();
    std::vector<InfoStorePtr> out;
    for (auto& s : st_->stores) out.push_back(std::make_shared<InfoStoreImpl>(st_, s));
    return out;
  }
  Result<InfoStorePtr> GetInfoStore(std::string_view store_id) override {
    if (!LoggedOn()) return NotLoggedOn();
    auto s = StoreById(*st_, store_id);
    if (!s.ok()) return s.status();
    return InfoStorePtr(std::make_shared<InfoStoreImpl>(st_, *s));
  }
  Result<FolderPtr> GetFolder(std::string_view entry_id, std::string_view store_id) override {
    if (!LoggedOn()) return NotLoggedOn();
    return FolderById(st_, entry_id, store_id);
  }
  Result<MessagePtr> GetMessage(std::string_view entry_id, std::string_view store_id) override {
    if (!LoggedOn()) return NotLoggedOn();
    auto store = StoreById(*st_, store_id);
    if (!store.ok()) return store.status();
    MessageRec* m = (*store)->FindMessage(entry_id);
    if (!m) {
      return Status(err::kNotFound, "no message with entry ID " + std::string(entry_id) +
                                        " in store " + (*store)->display_name);
    }
    return MakeMessage(st_, *store, m->shared_from_this(), nullptr);
  }
  Result<bool> CompareIDs(std::string_view a, std::string_view b) override {
    if (!LoggedOn()) return NotLoggedOn();
    return EqualsIgnoreCase(a, b);
  }
  Result<AddressEntryPtr> GetAddressEntry(std::string_view entry_id) override {
    if (!LoggedOn()) return NotLoggedOn();
    AddressBook* book = st_->Book();
    if (book == nullptr) return NoAddressBook();
    return book->GetEntry(entry_id);
  }
  Result<FolderPtr> Inbox() override {
    if (!LoggedOn()) return NotLoggedOn();
    const StorePtr& s = st_->stores.front();
    return MakeFolder(st_, s, s->inbox);
  }
  Result<HelperSessionPtr> CreateHelperSession() override {
    if (!LoggedOn()) return NotLoggedOn();
    return HelperSessionPtr(std::make_shared<HelperSessionImpl>(st_));
  }
  Result<MapiUtilsPtr> CreateMapiUtils() override {
    if (!LoggedOn()) return NotLoggedOn();
    return MapiUtilsPtr(std::make_shared<MapiUtilsImpl>(st_));
  }
  void AnticipateLookups(std::vector<AnticipatedLookup> lookups) override {
    if (!LoggedOn()) return;
    AddressBook* book = st_->Book();
    if (book != nullptr) book->Anticipate(std::move(lookups));
  }
  Status AddressBookStatus(bool wait) override {
    if (!st_) return Status::Ok();
    return st_->BookStatus(wait);
  }
  Result<AddressEntriesPtr> GalEntries() override {
    if (!LoggedOn()) return NotLoggedOn();
    return AddressEntriesPtr(std::make_shared<GalEntriesImpl>(st_));
  }
  Result<std::shared_ptr<Directory>> OrganisationDirectory() override {
    if (!LoggedOn()) return NotLoggedOn();
    AddressBook* book = st_->Book();
    if (book == nullptr) {
      return st_->book_failure.ok() ? NoAddressBook() : st_->book_failure;
    }
    std::shared_ptr<Directory> directory = book->directory();
    if (!directory) return Status(err::kNoSupport, "the address book has no directory");
    return directory;
  }

 private:
  // Loads the store at `file`, whose lock `lock_fd` holds (closed on failure). Changes are
  // written back to the file the name leads to: a store kept elsewhere and linked into the
  // host folder stays linked.
  Result<StorePtr> Load(const std::filesystem::path& file, int lock_fd, bool is_public,
                        const std::string& seed) {
    auto loaded = mailbox::LoadStore(file, is_public, seed);
    if (!loaded.ok()) {
      ::close(lock_fd);
      diag_ << loaded.status().description() << "\n";
      return loaded.status();
    }
    StorePtr s(std::move(loaded).value().release());
    s->file = StoreTarget(file);
    s->lock_fd = lock_fd;
    s->keep_in_memory = options_.discard_write_backs;
    return s;
  }

  std::filesystem::path host_;
  std::ostream& diag_;
  AddressBookOpener opener_;
  JsonSessionOptions options_;
  StatePtr st_;
};

}  // namespace

SessionPtr CreateJsonSession(std::filesystem::path host_dir, std::ostream& diagnostics,
                             AddressBookOpener opener, JsonSessionOptions options) {
  return std::make_shared<JsonSession>(std::move(host_dir), diagnostics, std::move(opener),
                                       options);
}

}  // namespace testqav
