#include "platform/directory/matching.h"
#include "platform/common/civil_date.h"

#include <ldap.h>

#include <algorithm>

#include "platform/common/text.h"
#include "platform/common/utf8.h"

namespace testqav {
namespace {

bool IsDigitChar(char c) { return c >= '0' && c <= '9'; }

// Insignificant-space handling: leading and trailing blanks removed (unless told to keep
// them), inner runs folded to one blank.
std::string FoldBlanks(std::string_view s, bool trim_front, bool trim_back) {
  std::string out;
  out.reserve(s.size());
  bool pending = false;
  for (char c : s) {
    if (c == ' ') {
      pending = true;
      continue;
    }
    if (pending && (!out.empty() || !trim_front)) out += ' ';
    pending = false;
    out += c;
  }
  if (pending && !trim_back) out += ' ';
  return out;
}

// What FoldBlanks(s, true, true), then lower-casing for kCaseIgnore, gives for ASCII text
// ("" becomes " ", as for the directory-string rules); nullopt when `s` is not ASCII.
std::optional<std::string> FoldAsciiBlanksAndCase(std::string_view s, MatchKind kind) {
  const bool lower = kind == MatchKind::kCaseIgnore;
  std::string out(s.size(), '\0');
  char* const begin = out.data();
  char* w = begin;
  bool pending = false;
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return std::nullopt;
    if (c == ' ') {
      pending = true;
      continue;
    }
    // A folded blank replaces at least one blank of the input, so `out` never overflows.
    if (pending && w != begin) *w++ = ' ';
    pending = false;
    *w++ = lower && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  if (w == begin) return std::string(" ");
  out.resize(static_cast<size_t>(w - begin));
  return out;
}

// "0.<digits>" times `factor`: the whole part, and the digits after the point without
// trailing zeros.
std::pair<int64_t, std::string> ScaleFraction(std::string_view digits, int factor) {
  std::string product(digits);
  int carry = 0;
  for (size_t i = product.size(); i > 0; --i) {
    int d = (product[i - 1] - '0') * factor + carry;
    product[i - 1] = static_cast<char>('0' + d % 10);
    carry = d / 10;
  }
  while (!product.empty() && product.back() == '0') product.pop_back();
  return {carry, product};
}

// Generalized time (RFC 4517): YYYYMMDDHH[MM[SS]][(.|,)fraction](Z|(+|-)HH[MM]), the fraction
// belonging to the last unit given. The normal form is the instant in UTC: seconds since
// 0000-01-01 (shifted a day so that no zone makes it negative) in 13 digits, then "." and
// the fraction of a second without trailing zeros; normal forms order as the instants do.
std::optional<std::string> NormalizeGeneralizedTime(std::string_view v) {
  size_t i = 0;
  auto two = [&](int& out) {
    if (i + 2 > v.size() || !IsDigitChar(v[i]) || !IsDigitChar(v[i + 1])) return false;
    out = (v[i] - '0') * 10 + (v[i + 1] - '0');
    i += 2;
    return true;
  };
  int century = 0;
  int year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
  if (!two(century) || !two(year) || !two(month) || !two(day) || !two(hour)) return std::nullopt;
  int unit = 3600;  // seconds in the last unit given
  if (i < v.size() && IsDigitChar(v[i])) {
    if (!two(minute)) return std::nullopt;
    unit = 60;
    if (i < v.size() && IsDigitChar(v[i])) {
      if (!two(second)) return std::nullopt;
      unit = 1;
    }
  }
  std::string_view fraction;
  if (i < v.size() && (v[i] == '.' || v[i] == ',')) {
    size_t start = ++i;
    while (i < v.size() && IsDigitChar(v[i])) ++i;
    if (i == start) return std::nullopt;
    fraction = v.substr(start, i - start);
  }
  int64_t offset = 0;  // seconds east of UTC
  if (i < v.size() && v[i] == 'Z') {
    ++i;
  } else if (i < v.size() && (v[i] == '+' || v[i] == '-')) {
    const int sign = v[i] == '+' ? 1 : -1;
    ++i;
    int zone_hour = 0;
    int zone_minute = 0;
    if (!two(zone_hour) || zone_hour > 23) return std::nullopt;
    if (i < v.size() && !two(zone_minute)) return std::nullopt;
    if (zone_minute > 59) return std::nullopt;
    offset = sign * (zone_hour * 3600 + zone_minute * 60);
  } else {
    return std::nullopt;
  }
  if (i != v.size()) return std::nullopt;
  const int full_year = century * 100 + year;
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = full_year % 4 == 0 && (full_year % 100 != 0 || full_year % 400 == 0);
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] ||
      (month == 2 && day == 29 && !leap) || hour > 23 || minute > 59 || second > 60) {
    return std::nullopt;
  }
  auto [whole, rest] = ScaleFraction(fraction, unit);
  const int64_t seconds =
      (DaysFromCivil(full_year, month, day) - DaysFromCivil(0, 1, 1) + 1) * 86400 + hour * 3600 +
      minute * 60 + second + whole - offset;
  std::string out = std::to_string(seconds);
  out.insert(0, 13 - std::min<size_t>(out.size(), 13), '0');
  if (!rest.empty()) out += "." + rest;
  return out;
}

std::string StripTelephone(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c != ' ' && c != '-') out += c;
  }
  return out;
}

}  // namespace

std::optional<int64_t> ParseInteger(std::string_view text) {
  std::string_view digits = text;
  bool negative = false;
  if (!digits.empty() && digits[0] == '-') {
    negative = true;
    digits.remove_prefix(1);
  }
  if (digits.empty() || digits.size() > 19) return std::nullopt;
  if (digits[0] == '0' && (negative || digits.size() > 1)) return std::nullopt;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (!negative && v > static_cast<uint64_t>(INT64_MAX)) return std::nullopt;
  if (negative && v > static_cast<uint64_t>(INT64_MAX) + 1) return std::nullopt;
  return negative ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
}

std::optional<std::string> NormalizeValue(MatchKind kind, std::string_view value,
                                          const Schema& schema) {
  switch (kind) {
    case MatchKind::kNone:
      return std::nullopt;
    case MatchKind::kCaseIgnore:
    case MatchKind::kCaseExact: {
      if (value.empty()) return std::nullopt;
      // Most values are ASCII: blanks folded and letters lowered in one pass.
      if (std::optional<std::string> ascii = FoldAsciiBlanksAndCase(value, kind)) return ascii;
      if (!IsValidUtf8(value)) return std::nullopt;
      std::string folded = FoldBlanks(value, true, true);
      if (folded.empty()) folded = " ";
      return kind == MatchKind::kCaseIgnore ? FoldCase(folded) : folded;
    }
    case MatchKind::kCaseIgnoreIA5:
    case MatchKind::kCaseExactIA5: {
      if (!IsAscii(value)) return std::nullopt;
      std::string folded = FoldBlanks(value, true, true);
      if (folded.empty() && !value.empty()) folded = " ";
      return kind == MatchKind::kCaseIgnoreIA5 ? LowerCase(folded) : folded;
    }
    case MatchKind::kTelephoneNumber: {
      if (value.empty() || !IsValidUtf8(value)) return std::nullopt;
      std::string stripped = StripTelephone(value);
      if (stripped.empty()) return std::nullopt;
      return FoldCase(stripped);
    }
    case MatchKind::kDistinguishedName:
      return NormalizeDn(value, schema);
    case MatchKind::kInteger: {
      if (!ParseInteger(value)) return std::nullopt;
      return std::string(value);
    }
    case MatchKind::kBoolean:
      if (value == "TRUE" || value == "FALSE") return std::string(value);
      return std::nullopt;
    case MatchKind::kObjectIdentifier: {
      if (value.empty()) return std::nullopt;
      if (const ObjectClass* c = schema.FindClass(value)) return LowerCase(c->PrimaryName());
      if (const AttributeType* t = schema.FindAttribute(value)) {
        return LowerCase(t->PrimaryName());
      }
      return LowerCase(value);
    }
    case MatchKind::kOctetString:
      return std::string(value);
    case MatchKind::kGeneralizedTime:
      return NormalizeGeneralizedTime(value);
  }
  return std::nullopt;
}

bool NormalizedEquals(MatchKind kind, std::string_view value, std::string_view normalized,
                      const Schema& schema) {
  const bool text_rule = kind == MatchKind::kCaseIgnore || kind == MatchKind::kCaseExact ||
                         kind == MatchKind::kCaseIgnoreIA5 || kind == MatchKind::kCaseExactIA5;
  if (!text_rule || !IsAscii(value)) {
    std::optional<std::string> n = NormalizeValue(kind, value, schema);
    return n && *n == normalized;
  }
  const bool ia5 = kind == MatchKind::kCaseIgnoreIA5 || kind == MatchKind::kCaseExactIA5;
  // An empty value is not valid for the directory-string rules; the IA5 ones keep it empty.
  if (value.empty()) return ia5 && normalized.empty();
  const bool lower = kind == MatchKind::kCaseIgnore || kind == MatchKind::kCaseIgnoreIA5;
  // What FoldBlanks(value, true, true) and lower-casing would write, compared as it comes.
  size_t j = 0;
  bool pending_blank = false;
  bool any = false;
  for (char c : value) {
    if (c == ' ') {
      pending_blank = true;
      continue;
    }
    if (pending_blank && any) {
      if (j >= normalized.size() || normalized[j] != ' ') return false;
      ++j;
    }
    pending_blank = false;
    any = true;
    char x = lower && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (j >= normalized.size() || normalized[j] != x) return false;
    ++j;
  }
  if (!any) return normalized == " ";  // only blanks: one blank stands for them
  return j == normalized.size();
}

std::optional<std::string> NormalizeSubstringPiece(MatchKind kind, std::string_view piece,
                                                   bool initial, bool final_piece) {
  switch (kind) {
    case MatchKind::kCaseIgnore:
    case MatchKind::kCaseExact: {
      if (!IsValidUtf8(piece)) return std::nullopt;
      std::string folded = FoldBlanks(piece, initial, final_piece);
      return kind == MatchKind::kCaseIgnore ? FoldCase(folded) : folded;
    }
    case MatchKind::kCaseIgnoreIA5:
    case MatchKind::kCaseExactIA5: {
      if (!IsAscii(piece)) return std::nullopt;
      std::string folded = FoldBlanks(piece, initial, final_piece);
      return kind == MatchKind::kCaseIgnoreIA5 ? LowerCase(folded) : folded;
    }
    case MatchKind::kTelephoneNumber:
      if (!IsValidUtf8(piece)) return std::nullopt;
      return FoldCase(StripTelephone(piece));
    default:
      return std::nullopt;
  }
}

int CompareNormalized(MatchKind kind, const std::string& a, const std::string& b) {
  if (kind == MatchKind::kInteger) {
    std::optional<int64_t> x = ParseInteger(a);
    std::optional<int64_t> y = ParseInteger(b);
    if (x && y) return *x < *y ? -1 : *x > *y ? 1 : 0;
  }
  int c = a.compare(b);
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

std::optional<ParsedDn> ParseDn(std::string_view dn, const Schema& schema) {
  ParsedDn out;
  if (dn.empty()) return out;
  std::string text(dn);
  LDAPDN parsed = nullptr;
  if (ldap_str2dn(text.c_str(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) {
    return std::nullopt;
  }
  bool ok = true;
  for (int i = 0; ok && parsed != nullptr && parsed[i] != nullptr; ++i) {
    std::vector<std::string> avas;
    for (int j = 0; parsed[i][j] != nullptr; ++j) {
      LDAPAVA* ava = parsed[i][j];
      std::string type(ava->la_attr.bv_val, ava->la_attr.bv_len);
      std::string value(ava->la_value.bv_val, ava->la_value.bv_len);
      if (i == 0 && j == 0) out.first_value = value;
      const AttributeType* t = schema.FindAttribute(type);
      std::string ntype = LowerCase(t != nullptr ? t->PrimaryName() : type);
      std::optional<std::string> nvalue;
      if ((ava->la_flags & LDAP_AVA_BINARY) != 0) {
        nvalue = value;
      } else if (t != nullptr && t->equality != MatchKind::kNone &&
                 t->equality != MatchKind::kDistinguishedName) {
        nvalue = NormalizeValue(t->equality, value, schema);
      } else {
        nvalue = FoldCase(FoldBlanks(value, true, true));
      }
      if (!nvalue) {
        ok = false;
        break;
      }
      // Escape the characters that structure a DN so that distinct DNs stay distinct.
      std::string escaped;
      for (char c : *nvalue) {
        if (c == ',' || c == '+' || c == '=' || c == '\\') escaped += '\\';
        escaped += c;
      }
      avas.push_back(ntype + "=" + escaped);
    }
    std::sort(avas.begin(), avas.end());
    out.rdns.push_back(Join(avas, "+"));
  }
  ldap_dnfree(parsed);
  if (!ok) return std::nullopt;
  return out;
}

std::optional<std::string> NormalizeDn(std::string_view dn, const Schema& schema) {
  std::optional<ParsedDn> p = ParseDn(dn, schema);
  if (!p) return std::nullopt;
  return Join(p->rdns, ",");
}

}  // namespace testqav
