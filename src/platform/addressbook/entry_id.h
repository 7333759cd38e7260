// Address-book entry IDs in their binary layouts, handed out as upper-case hexadecimal text.
//
// Permanent address-book entry ID (directory entries):
//   flags (4 bytes, 0) | provider UID DC A7 40 C8 C0 42 10 1A B4 B9 08 00 2B 2F E1 82 |
//   version (4, = 1) | display type (4) | distinguished name, 8-bit, NUL-terminated
// One-off entry ID (internet addresses the directory does not hold):
//   flags (4, 0) | provider UID 81 2B 1F A4 BE A3 10 19 9D 6E 00 DD 01 0F 54 02 |
//   version (2, = 0) | flags (2, 0x9001 = Unicode | no rich info) |
//   display name | address type | address, each NUL-terminated, UTF-16LE when the Unicode
//   flag is set and 8-bit otherwise
// All integers are little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/common/status.h"

namespace testqav {

inline constexpr uint8_t kExchangeProviderUid[16] = {
    0xDC, 0xA7, 0x40, 0xC8, 0xC0, 0x42, 0x10, 0x1A, 0xB4, 0xB9, 0x08, 0x00, 0x2B, 0x2F, 0xE1, 0x82};
inline constexpr uint8_t kOneOffProviderUid[16] = {0x81, 0x2B, 0x1F, 0xA4, 0xBE, 0xA3, 0x10, 0x19,
                                                   0x9D, 0x6E, 0x00, 0xDD, 0x01, 0x0F, 0x54, 0x02};
inline constexpr uint16_t kOneOffUnicode = 0x8000;
inline constexpr uint16_t kOneOffNoRichInfo = 0x0001;
// What internet one-offs carry: Unicode, no rich info, and the 0x1000 bit that Exchange
// sets on SMTP one-offs (encoding bits; ignored when reading).
inline constexpr uint16_t kOneOffSmtpFlags = 0x9001;

struct AddressBookEntryId {
  uint32_t display_type = 0;
  std::string dn;  // legacyExchangeDN
};

struct OneOffEntryId {
  std::string display_name;  // UTF-8
  std::string address_type;  // "SMTP"
  std::string address;
};

using DecodedEntryId = std::variant<AddressBookEntryId, OneOffEntryId>;

std::vector<uint8_t> EncodeAddressBookEntryId(uint32_t display_type, std::string_view dn);
// BytesToHex(EncodeAddressBookEntryId(display_type, dn)) written directly: a run makes one
// for every contact it stores.
std::string AddressBookEntryIdHex(uint32_t display_type, std::string_view dn);
// Always written with kOneOffSmtpFlags (UTF-16LE texts).
std::vector<uint8_t> EncodeOneOffEntryId(std::string_view display_name,
                                         std::string_view address_type, std::string_view address);

// Decodes either layout. err::kInvalidEntryId when the bytes are neither (wrong provider,
// too short, a text without its terminating NUL, a DN with an embedded NUL).
Result<DecodedEntryId> DecodeEntryId(const std::vector<uint8_t>& bytes);

// Upper-case hexadecimal text of bytes, and back (either letter case accepted;
// err::kInvalidEntryId for an odd length or a non-hex character).
std::string BytesToHex(const std::vector<uint8_t>& bytes);
Result<std::vector<uint8_t>> HexToBytes(std::string_view hex);

}  // namespace testqav
