#include "platform/common/text.h"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace testqav {

bool IsAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

namespace {

// Sizes `out` as `s` and lower-cases the ASCII text at the start of `s` into it, up to the
// first byte outside ASCII, which needs the Unicode rules; returns how many bytes it wrote
// (s.size() when `s` is ASCII).
size_t AsciiLowerPrefix(std::string_view s, std::string& out) {
  out.resize(s.size());
  const size_t n = s.size();
  char* dst = out.data();
  size_t i = 0;
  // Eight bytes at a time while none is outside ASCII: every text the run compares (addresses,
  // distinguished names) passes through here. In a byte below 0x80, adding 0x80 - 'A' sets the
  // top bit from 'A' on and adding 0x80 - 'Z' - 1 from past 'Z', without a carry into the next
  // byte; the bytes where the two differ are the capitals, which gain 0x20.
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  for (; i + 8 <= n; i += 8) {
    uint64_t w = 0;
    std::memcpy(&w, s.data() + i, 8);
    if ((w & kHigh) != 0) break;
    const uint64_t capitals = ((w + kOnes * (0x80 - 'A')) ^ (w + kOnes * (0x80 - 'Z' - 1))) & kHigh;
    w |= capitals >> 2;
    std::memcpy(dst + i, &w, 8);
  }
  for (; i < n; ++i) {
    const char c = s[i];
    if (static_cast<unsigned char>(c) >= 0x80) return i;
    dst[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return n;
}

// Lower-cases ASCII text in one pass; false (with `out` unspecified) when `s` is not ASCII.
bool AsciiLowerInto(std::string_view s, std::string& out) {
  return AsciiLowerPrefix(s, out) == s.size();
}

}  // namespace

std::string LowerCase(std::string_view s) {
  std::string out;
  if (AsciiLowerInto(s, out)) return out;
  icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  u.toLower(icu::Locale::getRoot());
  out.clear();
  u.toUTF8String(out);
  return out;
}

std::string UpperCase(std::string_view s) {
  if (IsAscii(s)) {
    std::string out(s);
    for (char& c : out) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
  }
  icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  u.toUpper(icu::Locale::getRoot());
  std::string out;
  u.toUTF8String(out);
  return out;
}

std::string FoldCase(std::string_view s) {
  std::string out;
  FoldCaseInto(s, out);
  return out;
}

void FoldCaseInto(std::string_view s, std::string& out) {
  // Case folding and lower-casing agree on ASCII.
  out.clear();
  const size_t ascii = AsciiLowerPrefix(s, out);
  if (ascii == s.size()) return;
  // Simple folding, one code point to one: letter case is ignored, spelling is not. Full
  // folding would make "straße" and "strasse", two mailboxes, one text (a directory server
  // keeps them apart too). ASCII is lowered as it comes; ill-formed UTF-8 becomes U+FFFD.
  out.resize(ascii);
  const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
  const int64_t n = static_cast<int64_t>(s.size());
  int64_t i = static_cast<int64_t>(ascii);
  while (i < n) {
    const uint8_t b = bytes[i];
    if (b < 0x80) {
      out.push_back(b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : static_cast<char>(b));
      ++i;
      continue;
    }
    UChar32 c = 0;
    U8_NEXT(bytes, i, n, c);
    const auto folded = static_cast<uint32_t>(c < 0 ? 0xFFFD : u_foldCase(c, U_FOLD_CASE_DEFAULT));
    uint8_t buffer[U8_MAX_LENGTH];
    int32_t length = 0;
    U8_APPEND_UNSAFE(buffer, length, folded);
    out.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(length));
  }
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  // One pass over the common length while both sides are ASCII. An ASCII difference after
  // an equal ASCII prefix decides: folding goes character by character and maps each ASCII
  // character to one ASCII character. Characters outside ASCII may fold onto ASCII letters
  // (the Kelvin sign onto "k"), so a byte outside ASCII on either side hands over to folding.
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    char x = a[i], y = b[i];
    if (((static_cast<unsigned char>(x) | static_cast<unsigned char>(y)) & 0x80) != 0) {
      return FoldCase(a) == FoldCase(b);
    }
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  if (a.size() == b.size()) return true;
  if (IsAscii(a.substr(n)) && IsAscii(b.substr(n))) return false;
  return FoldCase(a) == FoldCase(b);
}

namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Where `needle` occurs in `haystack` ignoring ASCII case, from `from` on; npos when not.
size_t FindAsciiIgnoreCase(std::string_view haystack, std::string_view needle, size_t from) {
  if (needle.size() > haystack.size()) return std::string_view::npos;
  const char first = AsciiLower(needle.front());
  for (size_t i = from; i + needle.size() <= haystack.size(); ++i) {
    if (AsciiLower(haystack[i]) != first) continue;
    size_t k = 1;
    while (k < needle.size() && AsciiLower(haystack[i + k]) == AsciiLower(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

}  // namespace

bool ContainsIgnoreCase(std::string_view haystack, std::string_view needle) {
  if (needle.empty()) return true;
  // When both are ASCII, folding is ASCII lower-casing, so the texts are searched as they
  // stand. One side alone is not enough: the Kelvin sign folds onto "k".
  if (IsAscii(haystack) && IsAscii(needle)) {
    return FindAsciiIgnoreCase(haystack, needle, 0) != std::string_view::npos;
  }
  return FoldCase(haystack).find(FoldCase(needle)) != std::string::npos;
}

bool ContainsElementIgnoreCase(std::string_view list, std::string_view element, char separator) {
  if (element.empty() || !IsAscii(list) || !IsAscii(element)) {
    const std::string sep(1, separator);
    return ContainsIgnoreCase(sep + std::string(list) + sep, sep + std::string(element) + sep);
  }
  // An occurrence of the element counts when a separator, or an end of the list, is on
  // either side of it: the same as finding it with separators around it in the list with
  // separators around it.
  for (size_t at = FindAsciiIgnoreCase(list, element, 0); at != std::string_view::npos;
       at = FindAsciiIgnoreCase(list, element, at + 1)) {
    const size_t end = at + element.size();
    if ((at == 0 || list[at - 1] == separator) && (end == list.size() || list[end] == separator)) {
      return true;
    }
  }
  return false;
}

bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix) {
  if (IsAscii(prefix) && IsAscii(s.substr(0, std::min(s.size(), prefix.size())))) {
    return s.size() >= prefix.size() && EqualsIgnoreCase(s.substr(0, prefix.size()), prefix);
  }
  std::string fs = FoldCase(s), fp = FoldCase(prefix);
  return fs.compare(0, fp.size(), fp) == 0;
}

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool Contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  return std::string(s.substr(b, e - b));
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string out;
  out.reserve(s.size());
  size_t pos = 0;
  while (true) {
    size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s.substr(pos));
  return out;
}

std::vector<std::string> Split(std::string_view s, std::string_view sep) {
  std::vector<std::string> out;
  if (sep.empty()) {
    out.emplace_back(s);
    return out;
  }
  size_t pos = 0;
  while (true) {
    size_t hit = s.find(sep, pos);
    if (hit == std::string_view::npos) break;
    out.emplace_back(s.substr(pos, hit - pos));
    pos = hit + sep.size();
  }
  out.emplace_back(s.substr(pos));
  return out;
}

std::string Join(const std::vector<std::string>& parts, std::string_view sep) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) out.append(sep);
    out.append(parts[i]);
  }
  return out;
}

std::string Hex(uint64_t v) {
  static const char* kDigits = "0123456789ABCDEF";
  if (v == 0) return "0";
  std::string out;
  while (v) {
    out.push_back(kDigits[v & 0xF]);
    v >>= 4;
  }
  std::reverse(out.begin(), out.end());
  return out;
}

size_t CharLength(std::string_view s) {
  size_t n = 0;
  for (char c : s) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

std::string Utf16LeToUtf8(std::string_view bytes) {
  std::u16string u;
  u.reserve(bytes.size() / 2);
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    u.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                      (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  icu::UnicodeString us(u.data(), static_cast<int32_t>(u.size()));
  std::string out;
  us.toUTF8String(out);
  return out;
}

std::string Utf8ToUtf16Le(std::string_view text) {
  icu::UnicodeString us = icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  std::string out;
  out.reserve(static_cast<size_t>(us.length()) * 2);
  for (int32_t i = 0; i < us.length(); ++i) {
    char16_t c = us.charAt(i);
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>((c >> 8) & 0xFF));
  }
  return out;
}

}  // namespace testqav
