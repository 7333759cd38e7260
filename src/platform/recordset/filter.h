// The record-set filter language: parsing a filter text into a tree of comparisons, and the
// matching rule of one comparison against one field value. Both record-set implementations
// share these, so they can only differ in how they find the matching records.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/status.h"
#include "platform/common/variant.h"

namespace testqav::recordset_internal {

// How the (case-folded) core of a comparison is matched against a folded value text.
enum class MatchKind {
  kExact,     // "=" or LIKE without wildcards: the whole text
  kPrefix,    // LIKE 'core*'
  kSuffix,    // LIKE '*core'
  kContains,  // LIKE '*core*'
};

struct Comparison {
  int32_t field = -1;
  bool like = false;  // LIKE (true) or "=" (false)
  MatchKind kind = MatchKind::kExact;
  // The literal text compared: the value without its wildcards, in a LIKE value each "[c]"
  // read as the character c, case-folded.
  std::string folded_core;
};

struct FilterNode {
  enum class Kind { kCompare, kOr, kAnd };
  Kind kind = Kind::kCompare;
  Comparison compare;                // kCompare
  std::vector<FilterNode> children;  // kOr, kAnd: two or more
};

// Resolves a field name (as written, without brackets) to its position, or nullopt.
using FieldResolver = std::function<std::optional<int32_t>(std::string_view name)>;

// Parses a filter text. Errors: kAdoInvalidArg with a description naming the fault and its
// 1-based character position, e.g. "Invalid filter: unknown field 'Foo' at position 1".
Result<FilterNode> ParseFilter(std::string_view text, const FieldResolver& resolve);

// The text that a comparison sees for a stored value: texts as they are, other values in
// their text form. Null (nullptr) has none.
std::optional<std::string> ComparableText(const Variant* value);

// True when a value matches a comparison. Null never matches.
bool MatchesValue(const Comparison& compare, const Variant* value);
// The same for an already case-folded value text.
bool MatchesFolded(const Comparison& compare, std::string_view folded_text);

}  // namespace testqav::recordset_internal
