#include "platform/common/utf8.h"

namespace testqav {

size_t Utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  auto b = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  auto cont = [&](size_t i) { return i < text.size() && (b(i) & 0xC0) == 0x80; };
  const unsigned char c = b(0);
  if (c < 0x80) return 1;
  // C0 and C1 would only start overlong forms of ASCII.
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && b(1) < 0xA0) return 0;  // overlong
    if (c == 0xED && b(1) > 0x9F) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && b(1) < 0x90) return 0;  // overlong
    if (c == 0xF4 && b(1) > 0x8F) return 0;  // past U+10FFFF
    return 4;
  }
  return 0;
}

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    // ASCII runs are the common case; step over them without the sequence rules.
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
      continue;
    }
    const size_t n = Utf8SequenceLength(text.substr(i));
    if (n == 0) return false;
    i += n;
  }
  return true;
}

}  // namespace testqav
