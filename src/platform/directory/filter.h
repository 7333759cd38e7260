// LDAP search filters in their string form: parsing into a tree, and writing a tree back
// as RFC 4515 text. The parser accepts what OpenLDAP's client library accepts, giving the
// tree that library would encode: blanks after "(" and between list members, "(&)" and
// "(|)", a bare "attr=value" without parentheses, the old "\*" "\(" "\)" "\\" escapes
// besides "\XX". It also accepts what Active Directory's client accepts beyond that, as
// directory owners store it in query-based lists: blanks before and after the filter and
// before the ")" of a "!", and a bare item as the only member of "!", "&" or "|"
// ("(!cn=SystemMailbox{*})" is "(!(cn=SystemMailbox{*}))"). It rejects bad hex escapes,
// unescaped parentheses or "*" where no wildcard may stand, blanks in attribute
// descriptions, empty inner substring pieces ("a**b") and trailing text.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/status.h"

namespace testqav {

struct FilterNode {
  enum class Kind {
    kAnd,
    kOr,
    kNot,
    kEquality,
    kSubstrings,
    kGreaterOrEqual,
    kLessOrEqual,
    kPresent,
    kApprox,
    kExtensible,
  };
  Kind kind = Kind::kAnd;
  std::vector<FilterNode> children;  // kAnd, kOr (any number), kNot (exactly one)
  std::string attribute;             // as written (may be "" for extensible without type)
  std::string value;                 // unescaped assertion value
  // Substrings: initial/final absent when the value starts/ends with "*".
  std::optional<std::string> initial;
  std::vector<std::string> any;
  std::optional<std::string> final_part;
  // Extensible: matching rule (may be ""), and the ":dn" flag.
  std::string rule;
  bool dn_attributes = false;
};

// Parses a filter; err::kDirInvalidFilter otherwise, described as
// `invalid search filter "<the text>": <the fault>`.
Result<FilterNode> ParseFilter(std::string_view text);

// RFC 4515 text of a tree; values escaped with \XX for "*", "(", ")", "\" and NUL.
std::string FilterToString(const FilterNode& node);

// Trees for callers that build filters from values: no escaping, nothing to parse.
FilterNode EqualityFilter(std::string attribute, std::string value);
// attribute=value* (an initial substring).
FilterNode PrefixFilter(std::string attribute, std::string value);
FilterNode AnyOfFilter(std::vector<FilterNode> children);
FilterNode AllOfFilter(std::vector<FilterNode> children);

// Escapes an assertion value for use in a filter text.
std::string EscapeFilterValue(std::string_view value);

}  // namespace testqav
