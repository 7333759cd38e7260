// Value and filter helpers: the encoding of stored texts, filter literals, the e-mail match
// filter, shape tests on addresses and a type-safe value reader.
#include <array>
#include <cstdint>

#include "core/array_helpers.h"
#include "engine/qav.h"
#include "platform/common/error_codes.h"
#include "platform/common/hex.h"
#include "platform/common/text.h"
#include "store/address_resolution.h"

namespace testqav {

namespace {

// The character that "#" + `code` stands for in a stored text, or 0.
char DecodedCharacter(std::string_view code) {
  if (code == "23") return '#';
  if (code == "25") return '%';
  if (code == "95") return '_';
  return 0;
}

// Characters that the stored form writes as a code ("#" as well: otherwise an address
// holding "#25" would be stored as another one's "%", and decoding could not tell them
// apart), and those that a filter literal also escapes ("*" is a wildcard in the LIKE
// patterns the literal goes into, written "[*]", and so "[" is written "[[]").
constexpr std::array<uint8_t, 256> kSpecial = [] {
  std::array<uint8_t, 256> t{};
  t['#'] = t['%'] = t['_'] = 1;
  t['*'] = t['['] = 2;
  return t;
}();

// `text` in the stored form, and with `literal` also escaped for a LIKE pattern. Nearly every
// address holds none of these characters: it is looked at once and copied as it is.
std::string Encode(std::string_view text, bool literal) {
  const uint8_t wanted = literal ? 2 : 1;
  auto special = [&](char c) {
    const uint8_t k = kSpecial[static_cast<unsigned char>(c)];
    return k != 0 && k <= wanted;
  };
  size_t i = 0;
  while (i < text.size() && !special(text[i])) ++i;
  if (i == text.size()) return std::string(text);
  std::string out;
  out.reserve(text.size() + 8);
  size_t plain = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (!special(c)) continue;
    out.append(text.substr(plain, i - plain));
    switch (c) {
      case '#':
        out += "#23";
        break;
      case '%':
        out += "#25";
        break;
      case '_':
        out += "#95";
        break;
      case '*':
        out += "[*]";
        break;
      default:
        out += "[[]";
        break;
    }
    plain = i + 1;
  }
  out.append(text.substr(plain));
  return out;
}

}  // namespace

std::string QAV::EncodeWildcards(const std::string& text) { return Encode(text, false); }

std::string QAV::DecodeWildcards(const std::string& text) {
  // One pass, so that what one code gives never joins the next character into another code.
  if (text.find('#') == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char decoded =
        text[i] == '#' ? DecodedCharacter(std::string_view(text).substr(i + 1, 2)) : 0;
    if (decoded != 0) {
      out += decoded;
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string QAV::StripQuotes(const Variant& value) {
  std::string t = value.ToText();
  size_t b = 0;
  while (b < t.size() && t[b] == '\'') ++b;
  size_t e = t.size();
  while (e > b && t[e - 1] == '\'') --e;
  return t.substr(b, e - b);
}

std::string QAV::QuoteFilterValue(const Variant& value) {
  std::string t = StripQuotes(value);
  // Nearly every address holds no quote at all.
  if (t.find('\'') != std::string::npos) {
    while (Contains(t, "''")) t = ReplaceAll(t, "''", "'");
    t = ReplaceAll(t, "'", "''");
  }
  // Encoded as stored values are, so that a stored value and a literal of the same text
  // compare equal; and with the value's own "*" and "[" escaped, so that the pattern's
  // wildcards are the only ones.
  return Encode(t, true);
}

void QAV::AppendQuotedFilterValue(std::string& out, std::string_view text) {
  size_t b = 0;
  while (b < text.size() && text[b] == '\'') ++b;
  size_t e = text.size();
  while (e > b && text[e - 1] == '\'') --e;
  const std::string_view inner = text.substr(b, e - b);
  if (inner.find('\'') != std::string_view::npos) {
    out += QuoteFilterValue(Variant(std::string(text)));
    return;
  }
  size_t plain = 0;
  while (plain < inner.size() && kSpecial[static_cast<unsigned char>(inner[plain])] == 0) ++plain;
  if (plain == inner.size()) {
    out.append(inner);
  } else {
    out += Encode(inner, true);
  }
}

std::string QAV::BuildEmailFilter(const std::string& smtp, const std::string& odn,
                                  const std::string& proxies, const std::string& x500proxies) {
  std::string f;
  if (!smtp.empty()) f += "[SMTP] LIKE '" + QuoteFilterValue(Variant(smtp)) + "' OR ";
  if (!odn.empty()) f += "[ODN] LIKE '" + QuoteFilterValue(Variant(odn)) + "' OR ";
  if (!proxies.empty()) {
    for (const std::string& e : Split(proxies, ";")) {
      if (!e.empty()) f += "[Proxies] Like '*;" + QuoteFilterValue(Variant(e)) + ";*' OR ";
      if (rt_.StopRequested()) return {};
    }
  }
  if (!x500proxies.empty()) {
    for (const std::string& e : Split(x500proxies, ";")) {
      if (!e.empty()) f += "[X500Proxies] Like '*;" + QuoteFilterValue(Variant(e)) + ";*' OR ";
      if (rt_.StopRequested()) return {};
    }
  }
  if (!f.empty()) f = Trim(f.substr(0, f.size() - 4));
  return f;
}

void QAV::GetEmailValues(const std::vector<Variant>& values, std::string& filter,
                         std::string& list) {
  filter.clear();
  list.clear();
  // The values come as the original's array with indexes 1 to 3.
  for (size_t i = 1; i <= 3; ++i) {
    if (rt_.StopRequested()) return;
    Variant raw = i < values.size() ? values[i] : Variant();
    std::string v = QuoteFilterValue(Variant(LowerCase(GetTypedValue(raw, 0).ToText())));
    if (v.empty()) continue;
    if (Contains(v, "=")) {
      filter += "ODN LIKE '" + v + "' OR X500Proxies Like '*;" + v + ";*' OR ";
    } else if (Contains(v, "@") && Contains(v, ".")) {
      filter += "SMTP LIKE '" + v + "' OR Proxies Like '*;" + v + ";*' OR ";
    }
    list += v + ";";
  }
  if (!list.empty()) list.pop_back();
  if (!filter.empty()) filter.erase(filter.size() - 4);
}

bool QAV::IsEmailAddress(const Variant& value) {
  std::string t = value.ToText();
  size_t p = t.find('@');
  if (p == std::string::npos) return false;
  size_t q = t.find('.', p);
  return q != std::string::npos && q > p;
}

bool QAV::IsODN(const Variant& value) { return ContainsIgnoreCase(value.ToText(), "/cn="); }

Variant QAV::GetTypedValue(const Variant& value, int32_t kind) {
  const std::string type = value.TypeName();
  switch (kind) {
    case 0:
      return type == "String" ? Variant(Trim(value.string_value())) : Variant("");
    case 1:
      return type == "Integer" ? value : Variant::Integer(0);
    case 2:
      return type == "Date" ? value : Variant::Date(0);
    case 3:
      return type == "Variant()" ? Variant(ArrayToHex(value)) : Variant("");
    case 4:
      return type == "Long" ? value : Variant::Integer(0);
    case 5:
      return type == "Boolean" ? Variant::Boolean(value.ToBool()) : Variant::Boolean(false);
    default:
      return Variant();
  }
}

std::string QAV::GetFieldText(const AddressEntryPtr& entry, uint32_t tag) {
  if (!entry) return {};
  auto v = entry->Field(tag);
  if (!v.ok()) return {};
  return Trim(v->ToText());
}

std::string QAV::StrToHex(const std::string& text) { return HexUpper(text); }

std::string QAV::GetResolvedSMTP(const std::string& name) {
  if (!rt_.g.MapiSession) return LowerCase(name);
  auto inbox = rt_.g.MapiSession->Inbox();
  if (!inbox.ok()) return LowerCase(name);
  auto msgs = (*inbox)->Messages();
  if (!msgs.ok()) return LowerCase(name);
  auto msg = (*msgs)->Add();
  if (!msg.ok()) return LowerCase(name);
  std::string result = LowerCase(name);
  auto recips = (*msg)->Recipients();
  if (recips.ok()) {
    auto r = (*recips)->Add(name);
    if (r.ok()) {
      (*r)->Resolve(false).IgnoreError();
      auto entry = (*r)->AddressEntry();
      if (entry.ok() && *entry) {
        auto type = (*entry)->Type();
        if (type.ok() && *type == "EX") result = LowerCase(GetSMTPFromAE(*entry));
      }
    }
  }
  // Never saved: the scratch message only lives in memory.
  return result;
}

std::string QAV::NullToEmpty(const Variant& value) {
  if (value.IsNull() || value.IsEmpty()) return {};
  if (value.IsString() && value.string_value() == "NULL") return {};
  return Trim(value.ToText());
}

bool QAV::IsNullMarker(const std::string& text) { return EqualsIgnoreCase(text, "<null>"); }

void QAV::LogFieldValue(const std::string& label, const std::string& name,
                        const std::string& field_label, const AddressEntryPtr& entry,
                        uint32_t tag) {
  if (!entry) return;
  auto v = entry->Field(tag);
  if (!v.ok()) return;
  LogFieldText(label, name, field_label, v->ToText());
}

void QAV::LogFieldText(const std::string& label, const std::string& name,
                       const std::string& field_label, const std::string& text) {
  rt_.WriteLog("QAV::" + label + name + " " + field_label + "=" + text, kLogInfo);
}

}  // namespace testqav
