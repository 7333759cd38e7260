// Hexadecimal text of bytes: what entry IDs, store GUIDs and binary values are written as.
#pragma once

#include <string>
#include <string_view>

namespace testqav {

// Two upper-case digits per byte, in order ("" for no bytes).
std::string HexUpper(std::string_view bytes);
// The value (0 to 15) of a hexadecimal digit of either case; -1 for any other character.
int HexDigitValue(char c);
// Replaces *bytes with the bytes that hexadecimal text of either case stands for (the caller's
// buffer is reused: the store loader decodes an ID per object). False when the text has an
// odd number of characters or a character that is not a hexadecimal digit; *bytes is then
// unspecified.
bool DecodeHex(std::string_view hex, std::string* bytes);

}  // namespace testqav
