// How a directory object appears in the address book: whether it is an entry at all, its
// address type, address, name and display type, and its MAPI properties by tag. Pure
// functions of one directory object; searching is the address book's business.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/status.h"
#include "platform/common/variant.h"
#include "platform/directory/directory.h"

namespace testqav {

// Display types (PR_DISPLAY_TYPE).
inline constexpr int32_t kDtMailUser = 0;
inline constexpr int32_t kDtDistList = 1;
inline constexpr int32_t kDtForum = 2;
inline constexpr int32_t kDtAgent = 3;
inline constexpr int32_t kDtOrganization = 4;
inline constexpr int32_t kDtPrivateDistList = 5;
inline constexpr int32_t kDtRemoteMailUser = 6;

// Property tags the address book answers beyond the attribute table.
inline constexpr uint32_t kPrDisplayName = 0x3001001E;
inline constexpr uint32_t kPrAddrType = 0x3002001E;
inline constexpr uint32_t kPrEmailAddress = 0x3003001E;
inline constexpr uint32_t kPrDisplayType = 0x39000003;
inline constexpr uint32_t kPrSmtpAddress = 0x39FE001E;
inline constexpr uint32_t kPrAccount = 0x3A00001E;
inline constexpr uint32_t kPrProxyAddresses = 0x800F101E;

// One row of the tag -> attribute table. Text properties are matched by property id, so
// the 8-bit, Unicode and multi-valued forms of a tag all reach the same attribute.
struct PropertyMapping {
  uint32_t tag;  // the tag in its usual form
  std::string_view attribute;
  bool multi_valued;  // answered as a Variant() array whatever form of the tag is read
};
const std::vector<PropertyMapping>& PropertyMappings();
// The row for a tag (any text form of its property id), or nullptr.
const PropertyMapping* FindPropertyMapping(uint32_t tag);

// The attributes that entry building and property reads need; searches request these.
const std::vector<std::string>& EntryAttributes();

// Values of an attribute, name compared ignoring case; empty when absent.
ValueList AttributeValues(const EntryView& e, std::string_view name);
std::string FirstValue(const EntryView& e, std::string_view name);

bool IsHiddenFromAddressLists(const EntryView& e);
// Has mail, an SMTP proxy address (either prefix case) or a legacyExchangeDN.
bool IsMailEnabled(const EntryView& e);
// Mail-enabled and not hidden.
bool IsAddressEntryObject(const EntryView& e);

// From msExchRecipientDisplayType when present and known, else from the object classes.
int32_t DisplayTypeOf(const EntryView& e);

// The element of proxyAddresses that begins with "SMTP:" in exactly that case, without the
// prefix; else the mail attribute; else "".
std::string PrimarySmtpOf(const EntryView& e);
// True when `address` equals mail or the address part of an "smtp:" proxy (prefix in any
// case), compared ignoring case.
bool HasSmtpAddress(const EntryView& e, std::string_view address);

// What an address entry shows for a directory object.
struct EntryFacts {
  std::string type;  // "EX" with a legacyExchangeDN, else "SMTP"
  std::string address;
  std::string name;
  int32_t display_type = kDtMailUser;
  // Hex text. Empty for a directory object: its ID follows from the facts above (EntryIdOf),
  // and is worked out when asked for rather than kept for every entry.
  std::string entry_id;
};
// The entry ID of `facts` (hex text): the one they hold, else the one the directory object
// they describe has.
std::string EntryIdOf(const EntryFacts& facts);
// err::kNotFound when the object is not an address entry.
Result<EntryFacts> FactsOf(const EntryView& e);

// A property of a directory entry by tag. err::kNotFound when the entry lacks it.
Result<Variant> DirectoryProperty(const EntryView& e, const EntryFacts& facts, uint32_t tag);
// A property of a one-off internet entry by tag.
Result<Variant> OneOffProperty(const EntryFacts& facts, uint32_t tag);

// Internet address form: one "@", a non-empty local part, a domain of non-empty dot-separated
// labels with at least one dot, no blanks, controls or the characters ()<>,;:\"[].
bool IsSmtpAddressShaped(std::string_view text);

Status PropertyNotFound(uint32_t tag);

}  // namespace testqav
