#include "platform/common/hex.h"

namespace testqav {

std::string HexUpper(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out(bytes.size() * 2, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    out[2 * i] = kDigits[b >> 4];
    out[2 * i + 1] = kDigits[b & 15];
  }
  return out;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool DecodeHex(std::string_view hex, std::string* bytes) {
  if (hex.size() % 2 != 0) return false;
  bytes->resize(hex.size() / 2);
  for (size_t i = 0; i < bytes->size(); ++i) {
    const int hi = HexDigitValue(hex[2 * i]);
    const int lo = HexDigitValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    (*bytes)[i] = static_cast<char>((hi << 4) | lo);
  }
  return true;
}

}  // namespace testqav
