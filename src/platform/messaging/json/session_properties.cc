// Property access: members and stored properties of a message looked up alike, and their
// values converted to the types a caller asks for.

#include "platform/messaging/json/session_properties.h"

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "platform/common/hex.h"

namespace testqav::json_session_detail {

namespace {

using mailbox::MessageRec;
using mailbox::Prop;
using mailbox::Scalar;

Variant DateFromMs(int64_t ms) {
  return Variant::Date(25569.0 + static_cast<double>(ms) / 86400000.0);
}

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

}  // namespace

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

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

}  // namespace testqav::json_session_detail
