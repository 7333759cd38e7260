#include "platform/addressbook/entry_id.h"

#include <cstring>

#include "platform/common/error_codes.h"
#include "platform/common/hex.h"
#include "platform/common/text.h"

namespace testqav {
namespace {

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v & 0xFF));
  out.push_back(static_cast<uint8_t>(v >> 8));
}
uint32_t GetU32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 |
         uint32_t{b[at + 3]} << 24;
}
uint16_t GetU16(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

Status Invalid(std::string_view why) {
  return Status(err::kInvalidEntryId, "Invalid entry ID: " + std::string(why));
}

bool HasProvider(const std::vector<uint8_t>& b, const uint8_t (&uid)[16]) {
  return b.size() >= 20 && std::memcmp(b.data() + 4, uid, 16) == 0;
}

// Reads one NUL-terminated text starting at *at and moves *at past the terminator.
bool ReadText(const std::vector<uint8_t>& b, size_t* at, bool unicode, std::string* text) {
  if (unicode) {
    for (size_t i = *at; i + 1 < b.size(); i += 2) {
      if (b[i] == 0 && b[i + 1] == 0) {
        std::string_view raw(reinterpret_cast<const char*>(b.data()) + *at, i - *at);
        *text = Utf16LeToUtf8(raw);
        *at = i + 2;
        return true;
      }
    }
    return false;
  }
  for (size_t i = *at; i < b.size(); ++i) {
    if (b[i] == 0) {
      text->assign(reinterpret_cast<const char*>(b.data()) + *at, i - *at);
      *at = i + 1;
      return true;
    }
  }
  return false;
}

}  // namespace

std::vector<uint8_t> EncodeAddressBookEntryId(uint32_t display_type, std::string_view dn) {
  std::vector<uint8_t> out;
  out.reserve(28 + dn.size() + 1);
  PutU32(out, 0);
  out.insert(out.end(), std::begin(kExchangeProviderUid), std::end(kExchangeProviderUid));
  PutU32(out, 1);
  PutU32(out, display_type);
  out.insert(out.end(), dn.begin(), dn.end());
  out.push_back(0);
  return out;
}

std::string AddressBookEntryIdHex(uint32_t display_type, std::string_view dn) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out(2 * (28 + dn.size() + 1), '0');
  char* p = out.data();
  auto put = [&p](uint8_t b) {
    *p++ = kDigits[b >> 4];
    *p++ = kDigits[b & 0xF];
  };
  p += 8;  // flags, all zero
  for (uint8_t b : kExchangeProviderUid) put(b);
  put(1);  // version
  p += 6;
  for (int i = 0; i < 4; ++i) put(static_cast<uint8_t>(display_type >> (8 * i)));
  for (char c : dn) put(static_cast<uint8_t>(c));
  return out;  // the terminating NUL is the last "00"
}

std::vector<uint8_t> EncodeOneOffEntryId(std::string_view display_name,
                                         std::string_view address_type, std::string_view address) {
  std::vector<uint8_t> out;
  PutU32(out, 0);
  out.insert(out.end(), std::begin(kOneOffProviderUid), std::end(kOneOffProviderUid));
  PutU16(out, 0);
  PutU16(out, kOneOffSmtpFlags);
  for (std::string_view text : {display_name, address_type, address}) {
    std::string wide = Utf8ToUtf16Le(text);
    out.insert(out.end(), wide.begin(), wide.end());
    out.push_back(0);
    out.push_back(0);
  }
  return out;
}

Result<DecodedEntryId> DecodeEntryId(const std::vector<uint8_t>& bytes) {
  if (HasProvider(bytes, kExchangeProviderUid)) {
    if (bytes.size() < 29) return Invalid("address-book entry ID too short");
    AddressBookEntryId id;
    id.display_type = GetU32(bytes, 24);
    size_t at = 28;
    if (!ReadText(bytes, &at, false, &id.dn)) return Invalid("distinguished name not terminated");
    // Anything after the terminator would make two different IDs name one entry.
    if (at != bytes.size()) return Invalid("data after the distinguished name");
    if (id.dn.empty()) return Invalid("empty distinguished name");
    return DecodedEntryId(std::move(id));
  }
  if (HasProvider(bytes, kOneOffProviderUid)) {
    if (bytes.size() < 24) return Invalid("one-off entry ID too short");
    uint16_t flags = GetU16(bytes, 22);
    bool unicode = (flags & kOneOffUnicode) != 0;
    OneOffEntryId id;
    size_t at = 24;
    if (!ReadText(bytes, &at, unicode, &id.display_name) ||
        !ReadText(bytes, &at, unicode, &id.address_type) ||
        !ReadText(bytes, &at, unicode, &id.address)) {
      return Invalid("one-off text not terminated");
    }
    if (id.address_type.empty() || id.address.empty()) return Invalid("one-off without address");
    return DecodedEntryId(std::move(id));
  }
  return Invalid("unknown provider");
}

std::string BytesToHex(const std::vector<uint8_t>& bytes) {
  return HexUpper(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Result<std::vector<uint8_t>> HexToBytes(std::string_view hex) {
  if (hex.size() % 2 != 0) return Invalid("odd number of hexadecimal digits");
  std::string bytes;
  if (!DecodeHex(hex, &bytes)) return Invalid("not hexadecimal text");
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

}  // namespace testqav
