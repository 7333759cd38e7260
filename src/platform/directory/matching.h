// Value normalisation and comparison by matching rule, as a directory server does it, and
// distinguished-name parsing. Used by the embedded directory's filter evaluation and index.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/directory/schema.h"

namespace testqav {

// The normalised form of a value under a rule kind; nullopt when the value is not valid
// for the rule's syntax (an assertion with such a value is Undefined). kDistinguishedName
// needs the schema for the attribute types inside the DN.
std::optional<std::string> NormalizeValue(MatchKind kind, std::string_view value,
                                          const Schema& schema);

// Whether NormalizeValue(kind, value) exists and equals `normalized`. Evaluating an
// equality filter compares every candidate value with one normalised assertion; for the
// usual case of plain ASCII text under a case(-ignore) rule this compares on the fly instead
// of building the normalised copy.
bool NormalizedEquals(MatchKind kind, std::string_view value, std::string_view normalized,
                      const Schema& schema);

// A substring piece normalised like a value: blanks folded, leading ones removed from an
// initial piece and trailing ones from a final piece (values lose theirs too), telephone
// pieces without spaces and hyphens.
std::optional<std::string> NormalizeSubstringPiece(MatchKind kind, std::string_view piece,
                                                   bool initial, bool final_piece);

// -1, 0, 1 comparing two normalised values under an ordering rule kind.
int CompareNormalized(MatchKind kind, const std::string& a, const std::string& b);

// Signed 64-bit decimal as integer syntax allows it (no leading zeros, no "-0").
std::optional<int64_t> ParseInteger(std::string_view text);

struct ParsedDn {
  std::vector<std::string> rdns;  // normalised RDNs, leaf first
  std::string first_value;        // the leaf RDN's (first) value, unescaped
};
// nullopt when `dn` is not a valid LDAPv3 DN. "" is the empty DN (no RDNs).
std::optional<ParsedDn> ParseDn(std::string_view dn, const Schema& schema);
std::optional<std::string> NormalizeDn(std::string_view dn, const Schema& schema);

}  // namespace testqav
