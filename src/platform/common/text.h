// Text helpers with the semantics the system's own code relies on. Text is UTF-8; case
// folding and lower casing are Unicode-correct (ICU) with an ASCII fast path.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace testqav {

// Hashes std::string and std::string_view alike, so that a map keyed by text is searched
// with a view and no temporary string.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};
template <typename Value>
using TextMap = std::unordered_map<std::string, Value, TextHash, std::equal_to<>>;

// Lower case (the original's LCase), Unicode-aware.
std::string LowerCase(std::string_view s);
std::string UpperCase(std::string_view s);
// Case folding for comparisons that ignore letter case: Unicode simple folding, each code
// point to one code point ("ÄBC" and "äbc" fold alike, "straße" and "strasse" do not).
// Ill-formed UTF-8 folds to U+FFFD.
std::string FoldCase(std::string_view s);
// FoldCase into `out` (replacing what it held): a caller that folds many texts in a row
// keeps one buffer instead of allocating one per text.
void FoldCaseInto(std::string_view s, std::string& out);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
// True when needle occurs in haystack ignoring case (an empty needle always occurs).
bool ContainsIgnoreCase(std::string_view haystack, std::string_view needle);
// True when `separator` + element + `separator` occurs, ignoring case, in `separator` +
// list + `separator`: whether a list such as "a;b;c" holds the element.
bool ContainsElementIgnoreCase(std::string_view list, std::string_view element, char separator);
bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix);
bool StartsWith(std::string_view s, std::string_view prefix);
bool EndsWith(std::string_view s, std::string_view suffix);
bool Contains(std::string_view haystack, std::string_view needle);

// Removes leading and trailing blanks (space characters only, as the original's Trim).
std::string Trim(std::string_view s);
// Replaces every occurrence of from (non-empty) by to, left to right, non-overlapping.
std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);
// Splits at every occurrence of sep (non-empty); n separators give n + 1 pieces.
std::vector<std::string> Split(std::string_view s, std::string_view sep);
std::string Join(const std::vector<std::string>& parts, std::string_view sep);
// Upper-case hexadecimal of an unsigned value without leading zeros ("0" for 0).
std::string Hex(uint64_t v);
// Number of characters (code points) in UTF-8 text.
size_t CharLength(std::string_view s);
bool IsAscii(std::string_view s);
// UTF-16LE <-> UTF-8.
std::string Utf16LeToUtf8(std::string_view bytes);
std::string Utf8ToUtf16Le(std::string_view text);

}  // namespace testqav
