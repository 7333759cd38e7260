// Loads a store file with an event-driven reader straight into the store model: a mailbox of
// a hundred thousand messages must load in well under a second, which a DOM of nested maps
// does not allow. The reader publishes how far it has read before each event, so a format
// error can name the line and column of the offending value.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>

#include <cerrno>
#include <limits>

#include "platform/common/error_codes.h"
#include "platform/messaging/json/json_reader.h"
#include "platform/messaging/json/mailbox_store.h"

namespace testqav::mailbox {
namespace {

struct RawScalar {
  enum Kind { kNull, kBool, kInt, kUnsigned, kFloat, kString } kind = kNull;
  bool b = false;
  int64_t i = 0;
  std::string s;
  size_t offset = 0;
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

struct Frame {
  Ctx ctx;
  size_t offset = 0;  // where the object or array began
  uint32_t seen = 0;  // bit per member index (see MemberIndex)
  std::string key;
  size_t key_offset = 0;
};

struct PendingProp {
  std::optional<std::string> set, name, type, tag;
  std::optional<int64_t> id;
  RawValue value;
  size_t offset = 0;
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

class Loader {
 public:
  Loader(const std::string& text, bool is_public, const char** track)
      : text_(text), is_public_(is_public), track_(track) {
    store_ = std::make_unique<StoreData>();
    store_->is_public = is_public;
  }

  // SAX interface.
  bool null() { return OnScalar(MakeScalar(RawScalar::kNull)); }
  bool boolean(bool v) {
    RawScalar s = MakeScalar(RawScalar::kBool);
    s.b = v;
    return OnScalar(std::move(s));
  }
  bool number_integer(int64_t v) {
    RawScalar s = MakeScalar(RawScalar::kInt);
    s.i = v;
    return OnScalar(std::move(s));
  }
  bool number_unsigned(uint64_t v) {
    RawScalar s = MakeScalar(v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
                                 ? RawScalar::kUnsigned
                                 : RawScalar::kInt);
    s.i = static_cast<int64_t>(v);
    return OnScalar(std::move(s));
  }
  bool number_float(double, const std::string&) { return OnScalar(MakeScalar(RawScalar::kFloat)); }
  bool string(std::string& v) {
    RawScalar s = MakeScalar(RawScalar::kString);
    s.s = std::move(v);
    return OnScalar(std::move(s));
  }
  bool start_object(size_t) { return OnOpen(true); }
  bool start_array(size_t) { return OnOpen(false); }
  bool key(std::string& k) {
    Frame& f = stack_.back();
    int index = MemberIndex(f.ctx, k);
    if (index < 0) return Fail(Pos(), "unknown member \"" + k + "\" in " + CtxName(f.ctx));
    uint32_t bit = 1u << index;
    if (f.seen & bit) return Fail(Pos(), "duplicate member \"" + k + "\"");
    f.seen |= bit;
    f.key = std::move(k);
    f.key_offset = Pos();
    return true;
  }
  bool end_object() { return OnCloseObject(); }
  bool end_array() { return OnCloseArray(); }
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

  RawScalar MakeScalar(RawScalar::Kind kind) const {
    RawScalar s;
    s.kind = kind;
    s.offset = Pos();
    return s;
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

  // Position of a member name in its object's list of members; -1 for an unknown name.
  static int MemberIndex(Ctx c, const std::string& k) {
    static const std::vector<std::string> kTop = {"displayName", "guid", "publicFolders", "root"};
    static const std::vector<std::string> kFolder = {"name", "entryId", "folders", "messages"};
    static const std::vector<std::string> kMessage = {"class", "subject", "lastModified", "entryId",
                                                      "topic", "named",   "tagged"};
    static const std::vector<std::string> kNamed = {"set", "name", "id", "type", "value"};
    static const std::vector<std::string> kTagged = {"tag", "value"};
    const std::vector<std::string>* names = nullptr;
    switch (c) {
      case Ctx::kTop:
        names = &kTop;
        break;
      case Ctx::kFolder:
        names = &kFolder;
        break;
      case Ctx::kMessage:
        names = &kMessage;
        break;
      case Ctx::kNamed:
        names = &kNamed;
        break;
      case Ctx::kTagged:
        names = &kTagged;
        break;
      default:
        return -1;
    }
    for (size_t i = 0; i < names->size(); ++i) {
      if ((*names)[i] == k) return static_cast<int>(i);
    }
    return -1;
  }

  static const char* KindName(RawScalar::Kind k) {
    switch (k) {
      case RawScalar::kNull:
        return "null";
      case RawScalar::kBool:
        return "a Boolean";
      case RawScalar::kInt:
      case RawScalar::kUnsigned:
      case RawScalar::kFloat:
        return "a number";
      case RawScalar::kString:
        return "a string";
    }
    return "a value";
  }

  bool Expect(const RawScalar& v, RawScalar::Kind kind, const std::string& key) {
    if (v.kind == kind) return true;
    const char* want = kind == RawScalar::kString ? "a string"
                       : kind == RawScalar::kBool ? "a Boolean"
                                                  : "an integer";
    return Fail(v.offset, "\"" + key + "\" must be " + want + ", not " + KindName(v.kind));
  }

  bool OnScalar(RawScalar v) {
    Frame& f = stack_.empty() ? top_sentinel_ : stack_.back();
    if (stack_.empty()) return Fail(v.offset, "the store must be a JSON object");
    const std::string& k = f.key;
    switch (f.ctx) {
      case Ctx::kTop:
        if (k == "displayName") {
          if (!Expect(v, RawScalar::kString, k)) return false;
          if (v.s.empty()) return Fail(v.offset, "\"displayName\" must not be empty");
          display_name_ = std::move(v.s);
          return true;
        }
        if (k == "guid") {
          if (!Expect(v, RawScalar::kString, k)) return false;
          std::string bytes;
          if (v.s.size() != 32 || !DecodeHex(v.s, &bytes)) {
            return Fail(v.offset, "\"guid\" must be 32 hexadecimal digits");
          }
          guid_ = std::move(bytes);
          return true;
        }
        if (k == "publicFolders") {
          if (!Expect(v, RawScalar::kBool, k)) return false;
          public_flag_ = v.b;
          public_flag_offset_ = v.offset;
          return true;
        }
        return Fail(v.offset, "\"root\" must be a folder object");
      case Ctx::kFolder: {
        FolderRec* folder = folders_.back();
        if (k == "name") {
          if (!Expect(v, RawScalar::kString, k)) return false;
          folder->name = std::move(v.s);
          return true;
        }
        if (k == "entryId") {
          if (!Expect(v, RawScalar::kString, k)) return false;
          std::string bytes;
          if (!DecodeHex(v.s, &bytes) || bytes.size() != kFolderEntryIdBytes) {
            return Fail(v.offset, "a folder's \"entryId\" must be 92 hexadecimal digits (" +
                                      std::to_string(kFolderEntryIdBytes) + " bytes)");
          }
          folder->entry_id = HexUpper(bytes);
          folder_ids_.emplace_back(folder, v.offset);
          return true;
        }
        return Fail(v.offset, "\"" + k + "\" must be an array");
      }
      case Ctx::kMessage: {
        MessageRec* m = message_;
        if (k == "named" || k == "tagged") return Fail(v.offset, "\"" + k + "\" must be an array");
        if (!Expect(v, RawScalar::kString, k)) return false;
        if (k == "class") {
          m->message_class = std::move(v.s);
        } else if (k == "subject") {
          m->subject = std::move(v.s);
        } else if (k == "topic") {
          m->topic = std::move(v.s);
        } else if (k == "lastModified") {
          int64_t ms = 0;
          if (!ParseIsoTime(v.s, &ms)) {
            return Fail(v.offset, "\"lastModified\" must be a UTC time like 2024-05-01T12:30:00Z");
          }
          m->modified_ms = ms;
        } else if (k == "entryId") {
          std::string bytes;
          if (!DecodeHex(v.s, &bytes) || bytes.size() != kMessageEntryIdBytes) {
            return Fail(v.offset, "a message's \"entryId\" must be 140 hexadecimal digits (" +
                                      std::to_string(kMessageEntryIdBytes) + " bytes)");
          }
          m->entry_id = HexUpper(bytes);
          message_ids_.emplace_back(m, v.offset);
        }
        return true;
      }
      case Ctx::kNamed:
      case Ctx::kTagged: {
        if (k == "value") {
          pending_.value.present = true;
          pending_.value.offset = v.offset;
          pending_.value.scalar = std::move(v);
          return true;
        }
        if (k == "id") {
          if (v.kind != RawScalar::kInt || v.i < 0 || v.i > 0xFFFFFFFFLL) {
            return Fail(v.offset, "\"id\" must be an integer from 0 to 4294967295");
          }
          pending_.id = v.i;
          return true;
        }
        if (!Expect(v, RawScalar::kString, k)) return false;
        if (k == "set") pending_.set = std::move(v.s);
        if (k == "name") pending_.name = std::move(v.s);
        if (k == "type") pending_.type = std::move(v.s);
        if (k == "tag") pending_.tag = std::move(v.s);
        return true;
      }
      case Ctx::kValueArray:
        pending_.value.items.push_back(std::move(v));
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

  void Push(Ctx ctx) {
    Frame f;
    f.ctx = ctx;
    f.offset = Pos();
    stack_.push_back(std::move(f));
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
    Frame& f = stack_.back();
    const std::string k = f.key;
    switch (f.ctx) {
      case Ctx::kTop:
        if (k == "root" && is_object) {
          folders_.push_back(NewFolder(nullptr));
          Push(Ctx::kFolder);
          return true;
        }
        if (k == "root") return Fail(at, "\"root\" must be a folder object");
        return Fail(at, "\"" + k + "\" must be a " +
                            (k == "publicFolders" ? std::string("Boolean") : "string"));
      case Ctx::kFolder:
        if ((k == "folders" || k == "messages") && !is_object) {
          Push(k == "folders" ? Ctx::kFolderList : Ctx::kMessageList);
          return true;
        }
        if (k == "folders" || k == "messages") return Fail(at, "\"" + k + "\" must be an array");
        return Fail(at, "\"" + k + "\" must be a string");
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
        message_offset_ = at;
        folders_.back()->messages.push_back(std::move(m));
        Push(Ctx::kMessage);
        return true;
      }
      case Ctx::kMessage:
        if ((k == "named" || k == "tagged") && !is_object) {
          Push(k == "named" ? Ctx::kNamedList : Ctx::kTaggedList);
          return true;
        }
        if (k == "named" || k == "tagged") return Fail(at, "\"" + k + "\" must be an array");
        return Fail(at, "\"" + k + "\" must be a string");
      case Ctx::kNamedList:
      case Ctx::kTaggedList:
        if (!is_object) return Fail(at, "each entry of a property list must be an object");
        pending_ = PendingProp();
        pending_.offset = at;
        Push(f.ctx == Ctx::kNamedList ? Ctx::kNamed : Ctx::kTagged);
        return true;
      case Ctx::kNamed:
      case Ctx::kTagged:
        if (k == "value" && !is_object) {
          pending_.value.present = true;
          pending_.value.is_array = true;
          pending_.value.offset = at;
          Push(Ctx::kValueArray);
          return true;
        }
        if (k == "value") return Fail(at, "\"value\" must not be an object");
        return Fail(at, "\"" + k + "\" must be a " + (k == "id" ? "number" : "string"));
      case Ctx::kValueArray:
        return Fail(at, "the values of a multi-valued property must not be nested");
    }
    return false;
  }

  bool RequireMember(const Frame& f, const char* key) {
    int index = MemberIndex(f.ctx, key);
    if (index >= 0 && (f.seen & (1u << index))) return true;
    return Fail(f.offset, std::string("missing member \"") + key + "\" in " + CtxName(f.ctx));
  }

  bool OnCloseObject() {
    Frame f = std::move(stack_.back());
    stack_.pop_back();
    switch (f.ctx) {
      case Ctx::kTop:
        return true;
      case Ctx::kFolder:
        if (!RequireMember(f, "name")) return false;
        folders_.pop_back();
        return true;
      case Ctx::kMessage:
        if (!RequireMember(f, "class")) return false;
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
        if (raw.kind != RawScalar::kString) return Fail(raw.offset, "a string value is expected");
        out->text = raw.s;
        return true;
      case kTypeInt16:
        if (raw.kind != RawScalar::kInt || raw.i < -32768 || raw.i > 32767) {
          return Fail(raw.offset, "an int16 value must be an integer from -32768 to 32767");
        }
        out->num = raw.i;
        return true;
      case kTypeInt32:
        if (raw.kind != RawScalar::kInt || raw.i < std::numeric_limits<int32_t>::min() ||
            raw.i > std::numeric_limits<int32_t>::max()) {
          return Fail(raw.offset,
                      "an int32 value must be an integer from -2147483648 to 2147483647");
        }
        out->num = raw.i;
        return true;
      case kTypeBoolean:
        if (raw.kind != RawScalar::kBool) return Fail(raw.offset, "a Boolean value is expected");
        out->num = raw.b ? 1 : 0;
        return true;
      case kTypeTime:
        if (raw.kind != RawScalar::kString || !ParseIsoTime(raw.s, &out->num)) {
          return Fail(raw.offset, "a time value must be a UTC time like 2024-05-01T12:30:00Z");
        }
        return true;
      case kTypeBinary:
        if (raw.kind != RawScalar::kString || !DecodeHex(raw.s, &out->text)) {
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
      prop->values.resize(v.items.size());
      for (size_t i = 0; i < v.items.size(); ++i) {
        if (!ConvertScalar(v.items[i], base, &prop->values[i])) return false;
      }
      return true;
    }
    if (v.is_array) return Fail(v.offset, "a single-valued property needs a scalar value");
    return ConvertScalar(v.scalar, base, &prop->value);
  }

  bool AddProp(const Frame& f, Prop prop) {
    if (message_->FindProp(prop.id())) {
      return Fail(f.offset, "the message has this property twice");
    }
    message_->props.push_back(std::move(prop));
    return true;
  }

  bool FinishNamed(const Frame& f) {
    PendingProp& p = pending_;
    NamedKey key;
    key.set =
        std::string("{00020329-0000-0000-C000-000000000046}");  // the default set of named fields
    if (p.set && !CanonicalGuidText(*p.set, &key.set)) {
      return Fail(f.offset, "\"set\" must be a GUID like {00020329-0000-0000-C000-000000000046}");
    }
    if (p.name.has_value() == p.id.has_value()) {
      return Fail(f.offset, "a named property needs exactly one of \"name\" and \"id\"");
    }
    if (p.name) {
      if (p.name->empty()) return Fail(f.offset, "\"name\" must not be empty");
      key.name = *p.name;
    } else {
      key.numeric = true;
      key.number = static_cast<uint32_t>(*p.id);
    }
    if (!p.type) return Fail(f.offset, "missing member \"type\" in a named property");
    uint16_t type = 0;
    if (!TypeFromName(*p.type, &type)) {
      return Fail(f.offset, "unknown property type \"" + *p.type + "\"");
    }
    uint16_t id = store_->named.Lookup(key, true);
    if (id == 0) return Fail(f.offset, "too many named properties in one store");
    Prop prop;
    prop.tag = (static_cast<uint32_t>(id) << 16) | type;
    if (!ConvertValue(p.value, type, f.offset, &prop)) return false;
    return AddProp(f, std::move(prop));
  }

  bool FinishTagged(const Frame& f) {
    PendingProp& p = pending_;
    if (!p.tag) return Fail(f.offset, "missing member \"tag\" in a tagged property");
    std::string bytes;
    if (p.tag->size() != 10 || (*p.tag)[0] != '0' || ((*p.tag)[1] != 'x' && (*p.tag)[1] != 'X') ||
        !DecodeHex(p.tag->substr(2), &bytes)) {
      return Fail(f.offset, "\"tag\" must be 0x followed by 8 hexadecimal digits");
    }
    uint32_t tag = 0;
    for (char c : bytes) tag = (tag << 8) | static_cast<uint8_t>(c);
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
    Prop prop;
    prop.tag = tag;
    if (!ConvertValue(p.value, type, f.offset, &prop)) return false;
    return AddProp(f, std::move(prop));
  }

  const std::string& text_;
  bool is_public_;
  const char** track_;
  std::unique_ptr<StoreData> store_;
  std::vector<Frame> stack_;
  Frame top_sentinel_{Ctx::kTop, 0, 0, {}, 0};
  std::vector<FolderRec*> folders_;
  MessageRec* message_ = nullptr;
  size_t message_offset_ = 0;
  PendingProp pending_;
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
std::pair<size_t, size_t> LineColumn(const std::string& text, size_t offset) {
  offset = std::min(offset, text.size());
  size_t line = 1 + static_cast<size_t>(std::count(
                        text.begin(), text.begin() + static_cast<std::ptrdiff_t>(offset), '\n'));
  size_t last_nl = text.rfind('\n', offset == 0 ? 0 : offset - 1);
  size_t column =
      (last_nl == std::string::npos || last_nl >= offset) ? offset + 1 : offset - last_nl;
  return {line, column};
}

Status FormatError(const std::filesystem::path& file, const std::string& text, size_t offset,
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

}  // namespace

// Defined in mailbox_store.cc: the ID layouts.
std::string MakeFolderEntryId(const StoreData& s, uint64_t counter);
std::string MakeMessageEntryId(const StoreData& s, const std::string& folder_id, uint64_t counter);
uint64_t Counter48(std::string_view seed);

namespace {

void GenerateIds(StoreData& s, FolderRec& f, const std::string& path) {
  if (f.entry_id.empty()) {
    uint64_t c = Counter48("folder\x1F" + path);
    std::string id = MakeFolderEntryId(s, c);
    while (s.folder_index.count(id)) id = MakeFolderEntryId(s, ++c & 0xFFFFFFFFFFFFULL);
    f.entry_id = id;
    s.folder_index.emplace(id, &f);
  }
  for (size_t i = 0; i < f.messages.size(); ++i) {
    MessageRec& m = *f.messages[i];
    if (!m.entry_id.empty()) continue;
    uint64_t c = Counter48("message\x1F" + path + "\x1F" + std::to_string(i));
    std::string id = MakeMessageEntryId(s, f.entry_id, c);
    while (s.message_index.count(id)) {
      id = MakeMessageEntryId(s, f.entry_id, ++c & 0xFFFFFFFFFFFFULL);
    }
    m.entry_id = id;
    s.message_index.emplace(id, &m);
  }
  std::unordered_map<std::string, int> seen_names;
  for (auto& child : f.folders) {
    int n = seen_names[child->name]++;
    GenerateIds(s, *child, path + "\x1F" + child->name + "#" + std::to_string(n));
  }
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
  std::string text;
  {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      return Status(err::kLogonFailed,
                    "cannot read store file " + file.string() + ": " + std::strerror(errno));
    }
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0) text.reserve(static_cast<size_t>(st.st_size));
    char buf[1 << 16];
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        int e = errno;
        ::close(fd);
        return Status(err::kLogonFailed,
                      "cannot read store file " + file.string() + ": " + std::strerror(e));
      }
      if (n == 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
  }
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
