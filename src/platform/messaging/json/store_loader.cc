// Loads a store file with an event-driven reader straight into the store model: a mailbox of
// a hundred thousand messages must load in well under a second, which a DOM of nested maps
// does not allow. The reader publishes how far it has read before each event, so a format
// error can name the line and column of the offending value.

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>

#include "platform/common/error_codes.h"
#include "platform/common/file_text.h"
#include "platform/messaging/json/json_reader.h"
#include "platform/messaging/json/mailbox_store.h"

namespace testqav::mailbox {
namespace {

enum class Kind { kNull, kBool, kInt, kUnsigned, kFloat, kString };

// A JSON scalar as the reader reports it; `s` is valid only during the callback.
struct Token {
  Kind kind = Kind::kNull;
  bool b = false;
  int64_t i = 0;
  std::string_view s;
  size_t offset = 0;
};

// A scalar kept until its property object closes, since the property's type may follow its
// value. Kept in the loader and reused, so that its text rarely needs a fresh allocation.
struct RawScalar {
  Kind kind = Kind::kNull;
  bool b = false;
  int64_t i = 0;
  std::string s;
  size_t offset = 0;

  void Assign(const Token& t) {
    kind = t.kind;
    b = t.b;
    i = t.i;
    s.assign(t.s);
    offset = t.offset;
  }
};

struct RawValue {
  bool present = false;
  bool is_array = false;
  RawScalar scalar;
  std::vector<RawScalar> items;
  size_t offset = 0;
};

enum class Ctx {
  kTop,
  kFolder,
  kFolderList,
  kMessage,
  kMessageList,
  kNamedList,
  kNamed,
  kTaggedList,
  kTagged,
  kValueArray,
};

// The members each kind of object may have, and constants for their positions.
constexpr std::string_view kTopMembers[] = {"displayName", "guid", "publicFolders", "root"};
constexpr int kTopDisplayName = 0, kTopGuid = 1, kTopPublicFolders = 2, kTopRoot = 3;
constexpr std::string_view kFolderMembers[] = {"name", "entryId", "folders", "messages"};
constexpr int kFolderName = 0, kFolderEntryId = 1, kFolderFolders = 2, kFolderMessages = 3;
constexpr std::string_view kMessageMembers[] = {"class", "subject", "lastModified", "entryId",
                                                "topic", "named",   "tagged"};
constexpr int kMsgClass = 0, kMsgSubject = 1, kMsgLastModified = 2, kMsgEntryId = 3, kMsgTopic = 4,
              kMsgNamed = 5, kMsgTagged = 6;
constexpr std::string_view kNamedMembers[] = {"set", "name", "id", "type", "value"};
constexpr int kNamedSet = 0, kNamedName = 1, kNamedId = 2, kNamedType = 3, kNamedValue = 4;
constexpr std::string_view kTaggedMembers[] = {"tag", "value"};
constexpr int kTaggedTag = 0, kTaggedValue = 1;

struct MemberList {
  const std::string_view* names = nullptr;
  size_t size = 0;
  // The name at `i`; empty for a position the list does not have (a context without members).
  std::string_view Name(size_t i) const { return i < size ? names[i] : std::string_view(); }
};

MemberList MembersOf(Ctx c) {
  switch (c) {
    case Ctx::kTop:
      return {kTopMembers, std::size(kTopMembers)};
    case Ctx::kFolder:
      return {kFolderMembers, std::size(kFolderMembers)};
    case Ctx::kMessage:
      return {kMessageMembers, std::size(kMessageMembers)};
    case Ctx::kNamed:
      return {kNamedMembers, std::size(kNamedMembers)};
    case Ctx::kTagged:
      return {kTaggedMembers, std::size(kTaggedMembers)};
    default:
      return {};
  }
}

// Position of a member name in its object's list of members; -1 for an unknown name.
int MemberIndex(Ctx c, std::string_view k) {
  MemberList list = MembersOf(c);
  for (size_t i = 0; i < list.size; ++i) {
    if (list.Name(i) == k) return static_cast<int>(i);
  }
  return -1;
}

struct Frame {
  Ctx ctx;
  size_t offset = 0;  // where the object or array began
  uint32_t seen = 0;  // bit per member index (see MemberIndex)
  int member = -1;    // the member whose value comes next
};

// The members of a property object seen so far. Reset() keeps the strings' buffers.
struct PendingProp {
  bool has_set = false, has_name = false, has_type = false, has_tag = false, has_id = false;
  std::string set, name, type, tag;
  int64_t id = 0;
  RawValue value;

  void Reset() {
    has_set = has_name = has_type = has_tag = has_id = false;
    value.present = false;
    value.is_array = false;
    value.items.clear();
  }
};

struct TypeName {
  std::string_view name;
  uint16_t type;
};
constexpr TypeName kTypeNames[] = {
    {"string", kTypeString8},
    {"int16", kTypeInt16},
    {"int32", kTypeInt32},
    {"boolean", kTypeBoolean},
    {"time", kTypeTime},
    {"binary", kTypeBinary},
    {"multiString", kTypeMulti | kTypeString8},
    {"multiInt16", kTypeMulti | kTypeInt16},
    {"multiInt32", kTypeMulti | kTypeInt32},
    {"multiTime", kTypeMulti | kTypeTime},
    {"multiBinary", kTypeMulti | kTypeBinary},
};

bool TypeFromName(std::string_view name, uint16_t* type) {
  for (const auto& t : kTypeNames) {
    if (t.name == name) {
      *type = t.type;
      return true;
    }
  }
  return false;
}

bool SupportedTagType(uint16_t type) {
  uint16_t base = type & static_cast<uint16_t>(~kTypeMulti);
  bool multi = (type & kTypeMulti) != 0;
  switch (base) {
    case kTypeInt16:
    case kTypeInt32:
    case kTypeString8:
    case kTypeUnicode:
    case kTypeTime:
    case kTypeBinary:
      return true;
    case kTypeBoolean:
      return !multi;
    default:
      return false;
  }
}

bool IsMemberId(uint16_t id) {
  return id == kIdMessageClass || id == kIdSubject || id == kIdConversationTopic ||
         id == kIdEntryId || id == kIdLastModificationTime || id == kIdLongtermEntryIdFromTable;
}

constexpr std::string_view kDefaultSet = "{00020329-0000-0000-C000-000000000046}";

class Loader final : public JsonHandler {
 public:
  Loader(std::string_view text, bool is_public, const char** track)
      : text_(text), is_public_(is_public), track_(track) {
    store_ = std::make_unique<StoreData>();
    store_->is_public = is_public;
  }

  // JsonHandler.
  bool null() override { return OnScalar(MakeToken(Kind::kNull)); }
  bool boolean(bool v) override {
    Token t = MakeToken(Kind::kBool);
    t.b = v;
    return OnScalar(t);
  }
  bool number_integer(int64_t v) override {
    Token t = MakeToken(Kind::kInt);
    t.i = v;
    return OnScalar(t);
  }
  bool number_unsigned(uint64_t v) override {
    Token t =
        MakeToken(v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) ? Kind::kUnsigned
                                                                                 : Kind::kInt);
    t.i = static_cast<int64_t>(v);
    return OnScalar(t);
  }
  bool number_float(double, std::string_view) override { return OnScalar(MakeToken(Kind::kFloat)); }
  bool string(std::string_view v) override {
    Token t = MakeToken(Kind::kString);
    t.s = v;
    return OnScalar(t);
  }
  bool start_object(size_t) override { return OnOpen(true); }
  bool start_array(size_t) override { return OnOpen(false); }
  bool key(std::string_view k) override {
    Frame& f = stack_.back();
    int index = MemberIndex(f.ctx, k);
    if (index < 0) {
      return Fail(Pos(), "unknown member \"" + std::string(k) + "\" in " + CtxName(f.ctx));
    }
    uint32_t bit = 1u << index;
    if (f.seen & bit) return Fail(Pos(), "duplicate member \"" + std::string(k) + "\"");
    f.seen |= bit;
    f.member = index;
    return true;
  }
  bool end_object() override { return OnCloseObject(); }
  bool end_array() override { return OnCloseArray(); }
  bool failed() const { return failed_; }
  size_t error_offset() const { return error_offset_; }
  const std::string& error() const { return error_; }
  std::unique_ptr<StoreData> TakeStore() { return std::move(store_); }

  // Checks that need the whole document.
  bool Finish() {
    if (!display_name_) return Fail(0, "missing member \"displayName\" in the store");
    if (!store_->root) return Fail(0, "missing member \"root\" in the store");
    if (public_flag_ && *public_flag_ != is_public_) {
      return Fail(public_flag_offset_,
                  is_public_ ? "\"publicFolders\" must be true in the public folder store"
                             : "\"publicFolders\" must be false (or absent) in a mailbox");
    }
    if (is_public_ && !public_flag_) {
      return Fail(0, "missing member \"publicFolders\" (true) in the public folder store");
    }
    store_->display_name = *display_name_;
    return true;
  }

  bool has_guid() const { return guid_.has_value(); }
  const std::string& guid_bytes() const { return *guid_; }
  // Explicit entry IDs with where they stood, for the uniqueness check.
  std::vector<std::pair<FolderRec*, size_t>>& folder_ids() { return folder_ids_; }
  std::vector<std::pair<MessageRec*, size_t>>& message_ids() { return message_ids_; }

 private:
  size_t Pos() const { return static_cast<size_t>(*track_ - text_.data()); }

  Token MakeToken(Kind kind) const {
    Token t;
    t.kind = kind;
    t.offset = Pos();
    return t;
  }

  bool Fail(size_t offset, std::string message) {
    if (!failed_) {
      failed_ = true;
      error_offset_ = offset;
      error_ = std::move(message);
    }
    return false;
  }

  static const char* CtxName(Ctx c) {
    switch (c) {
      case Ctx::kTop:
        return "the store";
      case Ctx::kFolder:
        return "a folder";
      case Ctx::kMessage:
        return "a message";
      case Ctx::kNamed:
        return "a named property";
      case Ctx::kTagged:
        return "a tagged property";
      default:
        return "a list";
    }
  }

  // The name of the member whose value comes next in `f`.
  static std::string KeyOf(const Frame& f) {
    if (f.member < 0) return std::string();
    return std::string(MembersOf(f.ctx).Name(static_cast<size_t>(f.member)));
  }

  static const char* KindName(Kind k) {
    switch (k) {
      case Kind::kNull:
        return "null";
      case Kind::kBool:
        return "a Boolean";
      case Kind::kInt:
      case Kind::kUnsigned:
      case Kind::kFloat:
        return "a number";
      case Kind::kString:
        return "a string";
    }
    return "a value";
  }

  bool Expect(const Token& v, Kind kind, const Frame& f) {
    if (v.kind == kind) return true;
    const char* want = kind == Kind::kString ? "a string"
                       : kind == Kind::kBool ? "a Boolean"
                                             : "an integer";
    return Fail(v.offset, "\"" + KeyOf(f) + "\" must be " + want + ", not " + KindName(v.kind));
  }

  bool OnScalar(const Token& v) {
    if (stack_.empty()) return Fail(v.offset, "the store must be a JSON object");
    const Frame& f = stack_.back();
    switch (f.ctx) {
      case Ctx::kTop:
        return TopScalar(f, v);
      case Ctx::kFolder:
        return FolderScalar(f, v);
      case Ctx::kMessage:
        return MessageScalar(f, v);
      case Ctx::kNamed:
      case Ctx::kTagged:
        return PropScalar(f, v);
      case Ctx::kValueArray:
        pending_.value.items.emplace_back().Assign(v);
        return true;
      case Ctx::kFolderList:
        return Fail(v.offset, "each entry of \"folders\" must be a folder object");
      case Ctx::kMessageList:
        return Fail(v.offset, "each entry of \"messages\" must be a message object");
      case Ctx::kNamedList:
      case Ctx::kTaggedList:
        return Fail(v.offset, "each entry of a property list must be an object");
    }
    return false;
  }

  bool TopScalar(const Frame& f, const Token& v) {
    switch (f.member) {
      case kTopDisplayName:
        if (!Expect(v, Kind::kString, f)) return false;
        if (v.s.empty()) return Fail(v.offset, "\"displayName\" must not be empty");
        display_name_ = std::string(v.s);
        return true;
      case kTopGuid: {
        if (!Expect(v, Kind::kString, f)) return false;
        std::string bytes;
        if (v.s.size() != 32 || !DecodeHex(v.s, &bytes)) {
          return Fail(v.offset, "\"guid\" must be 32 hexadecimal digits");
        }
        guid_ = std::move(bytes);
        return true;
      }
      case kTopPublicFolders:
        if (!Expect(v, Kind::kBool, f)) return false;
        public_flag_ = v.b;
        public_flag_offset_ = v.offset;
        return true;
      default:
        return Fail(v.offset, "\"root\" must be a folder object");
    }
  }

  bool FolderScalar(const Frame& f, const Token& v) {
    FolderRec* folder = folders_.back();
    switch (f.member) {
      case kFolderName:
        if (!Expect(v, Kind::kString, f)) return false;
        folder->name = std::string(v.s);
        return true;
      case kFolderEntryId:
        if (!Expect(v, Kind::kString, f)) return false;
        if (!DecodeHex(v.s, &bytes_) || bytes_.size() != kFolderEntryIdBytes) {
          return Fail(v.offset, "a folder's \"entryId\" must be 92 hexadecimal digits (" +
                                    std::to_string(kFolderEntryIdBytes) + " bytes)");
        }
        folder->entry_id = HexUpper(bytes_);
        folder_ids_.emplace_back(folder, v.offset);
        return true;
      default:
        return Fail(v.offset, "\"" + KeyOf(f) + "\" must be an array");
    }
  }

  bool MessageScalar(const Frame& f, const Token& v) {
    MessageRec* m = message_;
    if (f.member == kMsgNamed || f.member == kMsgTagged) {
      return Fail(v.offset, "\"" + KeyOf(f) + "\" must be an array");
    }
    if (!Expect(v, Kind::kString, f)) return false;
    switch (f.member) {
      case kMsgClass:
        m->message_class = Shared(&last_class_, v.s);
        return true;
      case kMsgSubject:
        m->subject = Shared(&last_subject_, v.s);
        return true;
      case kMsgTopic:
        m->topic.emplace(v.s);
        return true;
      case kMsgLastModified: {
        int64_t ms = 0;
        if (!ParseIsoTime(v.s, &ms)) {
          return Fail(v.offset, "\"lastModified\" must be a UTC time like 2024-05-01T12:30:00Z");
        }
        m->modified_ms = ms;
        return true;
      }
      case kMsgEntryId:
        if (!DecodeHex(v.s, &bytes_) || bytes_.size() != kMessageEntryIdBytes) {
          return Fail(v.offset, "a message's \"entryId\" must be 140 hexadecimal digits (" +
                                    std::to_string(kMessageEntryIdBytes) + " bytes)");
        }
        m->entry_id = HexUpper(bytes_);
        message_ids_.emplace_back(m, v.offset);
        return true;
      default:
        return true;
    }
  }

  // Messages in a folder mostly have the same class and subject: a run of equal values
  // shares one copy.
  static const SharedText& Shared(SharedText* last, std::string_view text) {
    if (last->str() != text) *last = SharedText(text);
    return *last;
  }

  // Named and tagged properties share "value"; the other members are kept as text.
  bool PropScalar(const Frame& f, const Token& v) {
    const bool named = f.ctx == Ctx::kNamed;
    if (f.member == (named ? kNamedValue : kTaggedValue)) {
      pending_.value.present = true;
      pending_.value.offset = v.offset;
      pending_.value.scalar.Assign(v);
      return true;
    }
    if (named && f.member == kNamedId) {
      if (v.kind != Kind::kInt || v.i < 0 || v.i > 0xFFFFFFFFLL) {
        return Fail(v.offset, "\"id\" must be an integer from 0 to 4294967295");
      }
      pending_.has_id = true;
      pending_.id = v.i;
      return true;
    }
    if (!Expect(v, Kind::kString, f)) return false;
    if (!named) {
      pending_.has_tag = true;
      pending_.tag.assign(v.s);
    } else if (f.member == kNamedSet) {
      pending_.has_set = true;
      pending_.set.assign(v.s);
    } else if (f.member == kNamedName) {
      pending_.has_name = true;
      pending_.name.assign(v.s);
    } else {
      pending_.has_type = true;
      pending_.type.assign(v.s);
    }
    return true;
  }

  void Push(Ctx ctx) {
    Frame f;
    f.ctx = ctx;
    f.offset = Pos();
    stack_.push_back(f);
  }

  FolderRec* NewFolder(FolderRec* parent) {
    auto rec = std::make_shared<FolderRec>();
    rec->parent = parent;
    FolderRec* raw = rec.get();
    if (parent) {
      parent->folders.push_back(std::move(rec));
    } else {
      store_->root = std::move(rec);
    }
    return raw;
  }

  bool OnOpen(bool is_object) {
    size_t at = Pos();
    if (stack_.empty()) {
      if (!is_object) return Fail(at, "the store must be a JSON object");
      Push(Ctx::kTop);
      return true;
    }
    const Frame& f = stack_.back();
    switch (f.ctx) {
      case Ctx::kTop:
        if (f.member == kTopRoot && is_object) {
          folders_.push_back(NewFolder(nullptr));
          Push(Ctx::kFolder);
          return true;
        }
        if (f.member == kTopRoot) return Fail(at, "\"root\" must be a folder object");
        return Fail(at, "\"" + KeyOf(f) + "\" must be a " +
                            (f.member == kTopPublicFolders ? std::string("Boolean") : "string"));
      case Ctx::kFolder: {
        bool list = f.member == kFolderFolders || f.member == kFolderMessages;
        if (list && !is_object) {
          Push(f.member == kFolderFolders ? Ctx::kFolderList : Ctx::kMessageList);
          return true;
        }
        if (list) return Fail(at, "\"" + KeyOf(f) + "\" must be an array");
        return Fail(at, "\"" + KeyOf(f) + "\" must be a string");
      }
      case Ctx::kFolderList:
        if (!is_object) return Fail(at, "each entry of \"folders\" must be a folder object");
        folders_.push_back(NewFolder(folders_.back()));
        Push(Ctx::kFolder);
        return true;
      case Ctx::kMessageList: {
        if (!is_object) return Fail(at, "each entry of \"messages\" must be a message object");
        auto m = std::make_shared<MessageRec>();
        m->folder = folders_.back();
        message_ = m.get();
        folders_.back()->messages.push_back(std::move(m));
        props_.clear();
        Push(Ctx::kMessage);
        return true;
      }
      case Ctx::kMessage: {
        bool list = f.member == kMsgNamed || f.member == kMsgTagged;
        if (list && !is_object) {
          Push(f.member == kMsgNamed ? Ctx::kNamedList : Ctx::kTaggedList);
          return true;
        }
        if (list) return Fail(at, "\"" + KeyOf(f) + "\" must be an array");
        return Fail(at, "\"" + KeyOf(f) + "\" must be a string");
      }
      case Ctx::kNamedList:
      case Ctx::kTaggedList:
        if (!is_object) return Fail(at, "each entry of a property list must be an object");
        pending_.Reset();
        Push(f.ctx == Ctx::kNamedList ? Ctx::kNamed : Ctx::kTagged);
        return true;
      case Ctx::kNamed:
      case Ctx::kTagged: {
        bool value = f.member == (f.ctx == Ctx::kNamed ? kNamedValue : kTaggedValue);
        if (value && !is_object) {
          pending_.value.present = true;
          pending_.value.is_array = true;
          pending_.value.offset = at;
          Push(Ctx::kValueArray);
          return true;
        }
        if (value) return Fail(at, "\"value\" must not be an object");
        bool id = f.ctx == Ctx::kNamed && f.member == kNamedId;
        return Fail(at, "\"" + KeyOf(f) + "\" must be a " + (id ? "number" : "string"));
      }
      case Ctx::kValueArray:
        return Fail(at, "the values of a multi-valued property must not be nested");
    }
    return false;
  }

  bool RequireMember(const Frame& f, int index) {
    if (f.seen & (1u << index)) return true;
    return Fail(f.offset, "missing member \"" +
                              std::string(MembersOf(f.ctx).Name(static_cast<size_t>(index))) +
                              "\" in " + CtxName(f.ctx));
  }

  bool OnCloseObject() {
    Frame f = stack_.back();
    stack_.pop_back();
    switch (f.ctx) {
      case Ctx::kTop:
        return true;
      case Ctx::kFolder:
        if (!RequireMember(f, kFolderName)) return false;
        folders_.pop_back();
        return true;
      case Ctx::kMessage:
        if (!RequireMember(f, kMsgClass)) return false;
        // Collected apart so that the message's list is allocated once, at its final size.
        message_->props.assign(std::make_move_iterator(props_.begin()),
                               std::make_move_iterator(props_.end()));
        message_ = nullptr;
        return true;
      case Ctx::kNamed:
        return FinishNamed(f);
      case Ctx::kTagged:
        return FinishTagged(f);
      default:
        return Fail(Pos(), "unbalanced object");
    }
  }

  bool OnCloseArray() {
    stack_.pop_back();
    return true;
  }

  // Converts one JSON scalar to a value of the MAPI base type.
  bool ConvertScalar(const RawScalar& raw, uint16_t base, Scalar* out) {
    switch (base) {
      case kTypeString8:
      case kTypeUnicode:
        if (raw.kind != Kind::kString) return Fail(raw.offset, "a string value is expected");
        out->text = raw.s;
        return true;
      case kTypeInt16:
        if (raw.kind != Kind::kInt || raw.i < -32768 || raw.i > 32767) {
          return Fail(raw.offset, "an int16 value must be an integer from -32768 to 32767");
        }
        out->num = raw.i;
        return true;
      case kTypeInt32:
        if (raw.kind != Kind::kInt || raw.i < std::numeric_limits<int32_t>::min() ||
            raw.i > std::numeric_limits<int32_t>::max()) {
          return Fail(raw.offset,
                      "an int32 value must be an integer from -2147483648 to 2147483647");
        }
        out->num = raw.i;
        return true;
      case kTypeBoolean:
        if (raw.kind != Kind::kBool) return Fail(raw.offset, "a Boolean value is expected");
        out->num = raw.b ? 1 : 0;
        return true;
      case kTypeTime:
        if (raw.kind != Kind::kString || !ParseIsoTime(raw.s, &out->num)) {
          return Fail(raw.offset, "a time value must be a UTC time like 2024-05-01T12:30:00Z");
        }
        return true;
      case kTypeBinary:
        if (raw.kind != Kind::kString || !DecodeHex(raw.s, &out->text)) {
          return Fail(raw.offset, "a binary value must be hexadecimal digits (two per byte)");
        }
        return true;
      default:
        return Fail(raw.offset, "unsupported property type");
    }
  }

  bool ConvertValue(const RawValue& v, uint16_t type, size_t where, Prop* prop) {
    if (!v.present) return Fail(where, "missing member \"value\" in a property");
    uint16_t base = type & static_cast<uint16_t>(~kTypeMulti);
    if (type & kTypeMulti) {
      if (!v.is_array) return Fail(v.offset, "a multi-valued property needs an array value");
      prop->multi = std::make_unique<std::vector<Scalar>>(v.items.size());
      for (size_t i = 0; i < v.items.size(); ++i) {
        if (!ConvertScalar(v.items[i], base, &(*prop->multi)[i])) return false;
      }
      return true;
    }
    if (v.is_array) return Fail(v.offset, "a single-valued property needs a scalar value");
    return ConvertScalar(v.scalar, base, &prop->value);
  }

  // The value is converted before the duplicate check, so that a bad value is what a file
  // with both faults is told about.
  bool AddProp(const Frame& f, uint32_t tag) {
    Prop& prop = props_.emplace_back();
    prop.tag = tag;
    if (!ConvertValue(pending_.value, prop.type(), f.offset, &prop)) return false;
    for (size_t i = 0; i + 1 < props_.size(); ++i) {
      if (props_[i].id() == prop.id()) return Fail(f.offset, "the message has this property twice");
    }
    return true;
  }

  // The canonical form of a property set's GUID text; the last one is remembered, since a
  // store names the same few sets over and over.
  bool CanonicalSet(const std::string& text, std::string* canonical) {
    if (!has_last_set_ || text != last_set_text_) {
      if (!CanonicalGuidText(text, &last_set_)) return false;
      last_set_text_ = text;
      has_last_set_ = true;
    }
    *canonical = last_set_;
    return true;
  }

  bool FinishNamed(const Frame& f) {
    PendingProp& p = pending_;
    NamedKey& key = named_key_;
    key.set = kDefaultSet;  // the default set of named fields
    if (p.has_set && !CanonicalSet(p.set, &key.set)) {
      return Fail(f.offset, "\"set\" must be a GUID like {00020329-0000-0000-C000-000000000046}");
    }
    if (p.has_name == p.has_id) {
      return Fail(f.offset, "a named property needs exactly one of \"name\" and \"id\"");
    }
    if (p.has_name) {
      if (p.name.empty()) return Fail(f.offset, "\"name\" must not be empty");
      key.numeric = false;
      key.name = p.name;
      key.number = 0;
    } else {
      key.numeric = true;
      key.name.clear();
      key.number = static_cast<uint32_t>(p.id);
    }
    if (!p.has_type) return Fail(f.offset, "missing member \"type\" in a named property");
    uint16_t type = 0;
    if (!TypeFromName(p.type, &type)) {
      return Fail(f.offset, "unknown property type \"" + p.type + "\"");
    }
    uint16_t id = store_->named.Lookup(key, true);
    if (id == 0) return Fail(f.offset, "too many named properties in one store");
    return AddProp(f, (static_cast<uint32_t>(id) << 16) | type);
  }

  bool FinishTagged(const Frame& f) {
    PendingProp& p = pending_;
    if (!p.has_tag) return Fail(f.offset, "missing member \"tag\" in a tagged property");
    const std::string& t = p.tag;
    if (t.size() != 10 || t[0] != '0' || (t[1] != 'x' && t[1] != 'X') ||
        !DecodeHex(std::string_view(t).substr(2), &bytes_)) {
      return Fail(f.offset, "\"tag\" must be 0x followed by 8 hexadecimal digits");
    }
    uint32_t tag = 0;
    for (char c : bytes_) tag = (tag << 8) | static_cast<uint8_t>(c);
    uint16_t id = static_cast<uint16_t>(tag >> 16);
    uint16_t type = static_cast<uint16_t>(tag & 0xFFFF);
    if (id >= kFirstNamedId) {
      return Fail(f.offset, "a tagged property must have an ID below 0x8000 (use \"named\")");
    }
    if (IsMemberId(id)) {
      return Fail(f.offset,
                  "this tag is a message member (class, subject, topic, lastModified or "
                  "entryId); use that member instead");
    }
    if (!SupportedTagType(type)) return Fail(f.offset, "unsupported property type in \"tag\"");
    return AddProp(f, tag);
  }

  std::string_view text_;
  bool is_public_;
  const char** track_;
  std::unique_ptr<StoreData> store_;
  std::vector<Frame> stack_;
  std::vector<FolderRec*> folders_;
  MessageRec* message_ = nullptr;
  std::vector<Prop> props_;  // the open message's properties
  SharedText last_class_, last_subject_;
  PendingProp pending_;
  NamedKey named_key_;
  std::string bytes_;  // decoded hex
  bool has_last_set_ = false;
  std::string last_set_text_, last_set_;
  std::optional<std::string> display_name_;
  std::optional<std::string> guid_;
  std::optional<bool> public_flag_;
  size_t public_flag_offset_ = 0;
  std::vector<std::pair<FolderRec*, size_t>> folder_ids_;
  std::vector<std::pair<MessageRec*, size_t>> message_ids_;
  bool failed_ = false;
  size_t error_offset_ = 0;
  std::string error_;
};

// 1-based line and column (in bytes) of a byte offset.
std::pair<size_t, size_t> LineColumn(std::string_view text, size_t offset) {
  offset = std::min(offset, text.size());
  size_t line = 1 + static_cast<size_t>(std::count(
                        text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
  size_t last_nl = text.rfind('\n', offset == 0 ? 0 : offset - 1);
  size_t column =
      (last_nl == std::string_view::npos || last_nl >= offset) ? offset + 1 : offset - last_nl;
  return {line, column};
}

Status FormatError(const std::filesystem::path& file, std::string_view text, size_t offset,
                   const std::string& what) {
  auto [line, column] = LineColumn(text, offset);
  return Status(err::kLogonFailed, file.string() + ":" + std::to_string(line) + ":" +
                                       std::to_string(column) + ": " + what);
}

std::array<uint8_t, 16> DeriveGuid(std::string_view seed) {
  uint64_t a = Fnv1a(seed);
  uint64_t b = Fnv1a(seed, a ^ 0x9E3779B97F4A7C15ULL);
  std::array<uint8_t, 16> g{};
  for (int i = 0; i < 8; ++i) {
    g[static_cast<size_t>(i)] = static_cast<uint8_t>(a >> (8 * i));
    g[static_cast<size_t>(8 + i)] = static_cast<uint8_t>(b >> (8 * i));
  }
  return g;
}

constexpr uint64_t kCounterMask = 0xFFFFFFFFFFFFULL;

// Gives every folder and message without an explicit entry ID one derived from its place in
// the tree, so that the same file gives the same IDs on every load.
void GenerateIds(StoreData& s, FolderRec& f, const std::string& path) {
  if (f.entry_id.empty()) {
    uint64_t c = Counter48("folder\x1F" + path);
    f.entry_id = MakeFolderEntryId(s, c);
    while (!s.folder_index.emplace(f.entry_id, &f).second) {
      SetIdCounter(&f.entry_id, ++c & kCounterMask);
    }
  }
  // A message's counter hashes "message<US><path><US><position>": the hash of the common part
  // is taken once, and the IDs differ from a template only in their counter.
  std::string id_template;
  const uint64_t seed = Fnv1a("message\x1F" + path + "\x1F");
  for (size_t i = 0; i < f.messages.size(); ++i) {
    MessageRec& m = *f.messages[i];
    if (!m.entry_id.empty()) continue;
    if (id_template.empty()) id_template = MakeMessageEntryId(s, f.entry_id, 0);
    char digits[24];
    const char* end = std::to_chars(std::begin(digits), std::end(digits), i).ptr;
    const std::string_view position(digits, static_cast<size_t>(end - digits));
    uint64_t c = Counter48FromHash(Fnv1a(position, seed));
    m.entry_id = id_template;
    SetIdCounter(&m.entry_id, c);
    while (!s.message_index.emplace(m.entry_id, &m).second) {
      SetIdCounter(&m.entry_id, ++c & kCounterMask);
    }
  }
  std::unordered_map<std::string, int> seen_names;
  for (auto& child : f.folders) {
    int n = seen_names[child->name]++;
    GenerateIds(s, *child, path + "\x1F" + child->name + "#" + std::to_string(n));
  }
}

size_t CountMessages(const FolderRec& f) {
  size_t n = f.messages.size();
  for (const auto& child : f.folders) n += CountMessages(*child);
  return n;
}

FolderRec* FindOrCreateChild(FolderRec& parent, std::string_view name) {
  for (auto& c : parent.folders) {
    if (c->name.size() == name.size() &&
        std::equal(c->name.begin(), c->name.end(), name.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) ==
                 std::tolower(static_cast<unsigned char>(b));
        })) {
      return c.get();
    }
  }
  auto rec = std::make_shared<FolderRec>();
  rec->name = std::string(name);
  rec->parent = &parent;
  parent.folders.push_back(rec);
  return rec.get();
}

}  // namespace

Result<std::unique_ptr<StoreData>> LoadStore(const std::filesystem::path& file, bool is_public,
                                             std::string_view guid_seed) {
  // The mapping lives only while the store loads. The file does not change under it through
  // us: the store's lock keeps other runs out, and write-back replaces the file.
  FileText file_text;
  if (Status st = file_text.Open(file, kMaxStoreFileBytes); !st.ok()) {
    return Status(err::kLogonFailed, "cannot read store file " + st.description());
  }
  std::string_view text = file_text.text();
  // Windows editors save UTF-8 with a byte-order mark; it is not part of the JSON text, and
  // an editor does not show it either, so error positions count from after it.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  const char* track = text.data();
  Loader loader(text, is_public, &track);
  JsonReader reader(text.data(), text.data() + text.size(), &track);
  if (!reader.Parse(loader)) {
    if (loader.failed()) return FormatError(file, text, loader.error_offset(), loader.error());
    return FormatError(file, text, reader.error_offset(), reader.error());
  }
  if (!loader.Finish()) return FormatError(file, text, loader.error_offset(), loader.error());

  // Explicit entry IDs must be unique within the store.
  std::unique_ptr<StoreData> store = loader.TakeStore();
  store->message_index.reserve(CountMessages(*store->root));
  for (auto& [folder, offset] : loader.folder_ids()) {
    if (!store->folder_index.emplace(folder->entry_id, folder).second) {
      return FormatError(file, text, offset, "duplicate folder entry ID " + folder->entry_id);
    }
  }
  for (auto& [message, offset] : loader.message_ids()) {
    if (!store->message_index.emplace(message->entry_id, message).second) {
      return FormatError(file, text, offset, "duplicate message entry ID " + message->entry_id);
    }
  }

  StoreData& s = *store;
  s.file = file;
  if (loader.has_guid()) {
    std::copy(loader.guid_bytes().begin(), loader.guid_bytes().end(), s.guid.begin());
  } else {
    s.guid = DeriveGuid(guid_seed);
  }
  s.provider_uid = is_public ? kPublicStoreProviderUid : s.guid;
  s.database_guid = DeriveGuid(
      "database\x1F" +
      HexUpper(std::string_view(reinterpret_cast<const char*>(s.guid.data()), s.guid.size())));
  // Store ID: flags, the store-wrapping provider UID, then this store's provider UID and GUID.
  static constexpr std::string_view kStoreWrapUid = "38A1BB1005E5101AA1BB08002B2A56C2";
  s.store_id =
      "00000000" + std::string(kStoreWrapUid) + "0000" +
      HexUpper(std::string_view(reinterpret_cast<const char*>(s.provider_uid.data()), 16)) +
      HexUpper(std::string_view(reinterpret_cast<const char*>(s.guid.data()), 16));

  // The interpersonal-message root (and the mailbox's Inbox) exist in every store; a file
  // that lacks them gets them here and keeps them from the first write-back on.
  s.ipm_root = FindOrCreateChild(*s.root, is_public ? kPublicIpmRootName : kMailboxIpmRootName);
  if (!is_public) s.inbox = FindOrCreateChild(*s.ipm_root, kInboxName);
  GenerateIds(s, *s.root, "");
  return store;
}

}  // namespace testqav::mailbox
