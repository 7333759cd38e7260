// Small shared helpers over variants and texts.
#pragma once

#include <string>
#include <string_view>

#include "platform/common/variant.h"

namespace testqav {

// True when v is an array whose bounds can be read (a dimensioned array, possibly of one
// element; an array of no elements has no readable upper bound in the original's terms).
bool IsFilledArray(const Variant& v);
// Each element in upper-case hexadecimal, two digits at least, joined; "" for a non-array.
std::string ArrayToHex(const Variant& v);
// Removes t from the end of s while s ends with it, then from the start; returns s (also
// left in s). An empty t leaves s unchanged (it could never be removed).
std::string TrimRepeated(std::string& s, std::string_view t);
// Gives a non-empty ";"-joined list a ";" at both ends, so that a "*;x;*" pattern finds its
// first and last elements too; an empty list stays empty.
void CloseList(std::string& list);

}  // namespace testqav
