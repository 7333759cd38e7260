#include "platform/addressbook/entry_properties.h"

#include <charconv>

#include "platform/addressbook/entry_id.h"
#include "platform/common/error_codes.h"
#include "platform/common/text.h"

namespace testqav {
namespace {

constexpr uint32_t kTypeMask = 0xFFFF;
constexpr uint32_t kPtBinary = 0x0102;
constexpr uint32_t kPtString8 = 0x001E;
constexpr uint32_t kPtUnicode = 0x001F;
constexpr uint32_t kMvFlag = 0x1000;

bool IsTextType(uint32_t tag) {
  uint32_t type = tag & kTypeMask & ~kMvFlag;
  return type == kPtString8 || type == kPtUnicode;
}
bool SameTextProperty(uint32_t tag, uint32_t other) {
  return (tag >> 16) == (other >> 16) && IsTextType(tag) && IsTextType(other);
}

bool HasClass(const EntryView& e, std::string_view cls) {
  for (std::string_view v : AttributeValues(e, "objectClass")) {
    if (EqualsIgnoreCase(v, cls)) return true;
  }
  return false;
}

bool HasAttribute(const EntryView& e, std::string_view name) {
  return !AttributeValues(e, name).empty();
}

// True for an SMTP proxy element (prefix in any case); *address is then the part after it.
bool SmtpProxyAddress(std::string_view proxy, std::string_view* address) {
  if (!StartsWithIgnoreCase(proxy, "smtp:")) return false;
  *address = proxy.substr(5);
  return true;
}

int32_t DisplayTypeFromClass(const EntryView& e) {
  if (HasClass(e, "msExchDynamicDistributionList")) return kDtAgent;
  if (HasClass(e, "publicFolder")) return kDtForum;
  if (HasClass(e, "group")) return kDtDistList;
  // A contact also carries person/organizationalPerson, so it is tested before users.
  if (HasClass(e, "contact")) return kDtRemoteMailUser;
  if (HasClass(e, "organization")) return kDtOrganization;
  // A user is a mailbox when the directory says where the mailbox lives; a mail-enabled user
  // that forwards to an outside address (targetAddress) is a remote mail user.
  if (HasAttribute(e, "homeMDB") || HasAttribute(e, "msExchHomeServerName")) return kDtMailUser;
  if (HasAttribute(e, "targetAddress")) return kDtRemoteMailUser;
  if (HasAttribute(e, "legacyExchangeDN")) return kDtMailUser;
  return kDtRemoteMailUser;
}

std::string SmtpTypeAddress(const EntryView& e) {
  std::string mail = FirstValue(e, "mail");
  if (!mail.empty()) return mail;
  std::string primary = PrimarySmtpOf(e);
  if (!primary.empty()) return primary;
  for (std::string_view p : AttributeValues(e, "proxyAddresses")) {
    std::string_view address;
    if (SmtpProxyAddress(p, &address) && !address.empty()) return std::string(address);
  }
  return "";
}

Variant TextArray(ValueList values) {
  std::vector<Variant> items;
  items.reserve(values.size());
  for (std::string_view v : values) items.emplace_back(v);
  return Variant::Array(std::move(items));
}

}  // namespace

Status PropertyNotFound(uint32_t tag) {
  // Asked for every field an entry lacks (the GAL pass asks for twenty of every entry's):
  // the tag is written out by hand rather than through printf.
  std::string text = "The entry has no property 0x00000000";
  for (size_t i = text.size(); tag != 0; tag >>= 4) text[--i] = "0123456789ABCDEF"[tag & 0xF];
  return Status(err::kNotFound, std::move(text));
}

const std::vector<PropertyMapping>& PropertyMappings() {
  static const std::vector<PropertyMapping> kTable = {
      {0x3001001E, "displayName", false},
      {0x3003001E, "legacyExchangeDN", false},
      {0x39FE001E, "mail", false},
      {0x800F101E, "proxyAddresses", true},
      {0x3A00001E, "mailNickname", false},
      {0x3A1C001E, "mobile", false},
      {0x3A08001E, "telephoneNumber", false},
      {0x3A23001E, "facsimileTelephoneNumber", false},
      {0x3A09001E, "homePhone", false},
      {0x3A21001E, "pager", false},
      {0x3A1B101E, "otherTelephone", true},
      {0x3A2F101E, "otherHomePhone", true},
      {0x3A17001E, "title", false},
      {0x3A16001E, "company", false},
      {0x3A18001E, "department", false},
      {0x3A19001E, "physicalDeliveryOfficeName", false},
      {0x3A29001E, "streetAddress", false},
      {0x3A27001E, "l", false},
      {0x3A28001E, "st", false},
      {0x3A2A001E, "postalCode", false},
      {0x3A26001E, "co", false},
      {0x3A06001E, "givenName", false},
      {0x3A11001E, "sn", false},
      {0x3A44001E, "initials", false},
      {0x3A05001E, "generationQualifier", false},
  };
  return kTable;
}

const PropertyMapping* FindPropertyMapping(uint32_t tag) {
  for (const PropertyMapping& m : PropertyMappings()) {
    if (m.tag == tag || SameTextProperty(m.tag, tag)) return &m;
  }
  return nullptr;
}

const std::vector<std::string>& EntryAttributes() {
  static const std::vector<std::string> kAttributes = [] {
    std::vector<std::string> a = {"objectClass",
                                  "cn",
                                  "name",
                                  "msExchHideFromAddressLists",
                                  "msExchRecipientDisplayType",
                                  "homeMDB",
                                  "msExchHomeServerName",
                                  "targetAddress",
                                  "member"};
    for (const PropertyMapping& m : PropertyMappings()) a.emplace_back(m.attribute);
    return a;
  }();
  return kAttributes;
}

ValueList AttributeValues(const EntryView& e, std::string_view name) { return e.Values(name); }

std::string FirstValue(const EntryView& e, std::string_view name) {
  ValueList v = e.Values(name);
  return v.empty() ? std::string() : std::string(v.front());
}

bool IsHiddenFromAddressLists(const EntryView& e) {
  return EqualsIgnoreCase(Trim(FirstValue(e, "msExchHideFromAddressLists")), "TRUE");
}

bool IsMailEnabled(const EntryView& e) {
  if (!FirstValue(e, "mail").empty() || !FirstValue(e, "legacyExchangeDN").empty()) return true;
  for (std::string_view p : AttributeValues(e, "proxyAddresses")) {
    std::string_view address;
    if (SmtpProxyAddress(p, &address) && !address.empty()) return true;
  }
  return false;
}

bool IsAddressEntryObject(const EntryView& e) {
  return IsMailEnabled(e) && !IsHiddenFromAddressLists(e);
}

int32_t DisplayTypeOf(const EntryView& e) {
  std::string raw = Trim(FirstValue(e, "msExchRecipientDisplayType"));
  int64_t value = 0;
  auto [end, ec] = std::from_chars(raw.data(), raw.data() + raw.size(), value);
  if (!raw.empty() && ec == std::errc() && end == raw.data() + raw.size()) {
    // The low byte is the recipient kind; the high bits are flags (ACL-able, synced).
    switch (value & 0xFF) {
      case 0:
      case 7:  // room mailbox
      case 8:  // equipment mailbox
        return kDtMailUser;
      case 1:
      case 9:  // security group
        return kDtDistList;
      case 2:
        return kDtForum;
      case 3:
        return kDtAgent;
      case 4:
        return kDtOrganization;
      case 5:
        return kDtPrivateDistList;
      case 6:
        return kDtRemoteMailUser;
      default:
        break;  // a kind this address book does not know: the class decides
    }
  }
  return DisplayTypeFromClass(e);
}

std::string PrimarySmtpOf(const EntryView& e) {
  for (std::string_view p : AttributeValues(e, "proxyAddresses")) {
    if (StartsWith(p, "SMTP:")) return std::string(p.substr(5));
  }
  return FirstValue(e, "mail");
}

bool HasSmtpAddress(const EntryView& e, std::string_view address) {
  for (std::string_view m : AttributeValues(e, "mail")) {
    if (EqualsIgnoreCase(m, address)) return true;
  }
  for (std::string_view p : AttributeValues(e, "proxyAddresses")) {
    std::string_view part;
    if (SmtpProxyAddress(p, &part) && EqualsIgnoreCase(part, address)) return true;
  }
  return false;
}

Result<EntryFacts> FactsOf(const EntryView& e) {
  if (!IsAddressEntryObject(e)) {
    return Status(err::kNotFound, "Not an address-book entry: " + std::string(e.Dn()));
  }
  EntryFacts f;
  f.display_type = DisplayTypeOf(e);
  std::string dn = FirstValue(e, "legacyExchangeDN");
  if (!dn.empty()) {
    f.type = "EX";
    f.address = dn;
  } else {
    f.type = "SMTP";
    f.address = SmtpTypeAddress(e);
  }
  for (std::string_view attr : {"displayName", "cn", "name", "mailNickname"}) {
    f.name = Trim(FirstValue(e, attr));
    if (!f.name.empty()) break;
  }
  if (f.name.empty()) f.name = f.address;
  return f;
}

std::string EntryIdOf(const EntryFacts& facts) {
  if (!facts.entry_id.empty()) return facts.entry_id;
  return facts.type == "EX"
             ? AddressBookEntryIdHex(static_cast<uint32_t>(facts.display_type), facts.address)
             : BytesToHex(EncodeOneOffEntryId(facts.name, "SMTP", facts.address));
}

Result<Variant> DirectoryProperty(const EntryView& e, const EntryFacts& facts, uint32_t tag) {
  if (tag == (0x0FFF0000 | kPtBinary)) return Variant(EntryIdOf(facts));
  if (tag == kPrDisplayType) return Variant::Long(facts.display_type);
  if (SameTextProperty(tag, kPrAddrType)) return Variant(facts.type);
  // Display name and e-mail address are what Name and Address show, fallbacks included.
  if (SameTextProperty(tag, kPrDisplayName)) return Variant(facts.name);
  if (SameTextProperty(tag, kPrEmailAddress)) return Variant(facts.address);
  const PropertyMapping* m = FindPropertyMapping(tag);
  if (m == nullptr) return PropertyNotFound(tag);
  ValueList values = AttributeValues(e, m->attribute);
  if (values.empty()) return PropertyNotFound(tag);
  if (m->multi_valued) return TextArray(values);
  return Variant(values.front());
}

Result<Variant> OneOffProperty(const EntryFacts& facts, uint32_t tag) {
  if (tag == (0x0FFF0000 | kPtBinary)) return Variant(facts.entry_id);
  if (tag == kPrDisplayType) return Variant::Long(facts.display_type);
  if (SameTextProperty(tag, kPrAddrType)) return Variant(facts.type);
  if (SameTextProperty(tag, kPrDisplayName)) return Variant(facts.name);
  if (SameTextProperty(tag, kPrEmailAddress)) return Variant(facts.address);
  if (SameTextProperty(tag, kPrSmtpAddress) && facts.type == "SMTP") {
    return Variant(facts.address);
  }
  return PropertyNotFound(tag);
}

bool IsSmtpAddressShaped(std::string_view text) {
  size_t at = text.find('@');
  if (at == std::string_view::npos || at == 0 || text.find('@', at + 1) != std::string_view::npos) {
    return false;
  }
  for (char c : text) {
    auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F) return false;
    if (std::string_view("()<>,;:\\\"[]").find(c) != std::string_view::npos) return false;
  }
  std::string_view domain = text.substr(at + 1);
  if (domain.find('.') == std::string_view::npos) return false;
  for (const std::string& label : Split(domain, ".")) {
    if (label.empty()) return false;
  }
  return true;
}

}  // namespace testqav
