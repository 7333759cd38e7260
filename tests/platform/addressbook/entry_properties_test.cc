#include "platform/addressbook/entry_properties.h"

#include <gtest/gtest.h>

#include "platform/addressbook/entry_id.h"
#include "platform/common/error_codes.h"

namespace testqav {
namespace {

DirectoryEntryView Object(std::string dn, std::vector<DirectoryAttribute> attributes) {
  return DirectoryEntryView(DirectoryEntry{std::move(dn), std::move(attributes)});
}

DirectoryEntryView Mailbox() {
  return Object("CN=Jane Smith,OU=Staff,DC=contoso,DC=com",
                {{"objectClass", {"top", "person", "organizationalPerson", "user"}},
                 {"cn", {"Jane Smith"}},
                 {"displayName", {"Jane Smith"}},
                 {"mail", {"Jane.Smith@contoso.com"}},
                 {"legacyExchangeDN", {"/o=Contoso/ou=First/cn=Recipients/cn=jsmith"}},
                 {"proxyAddresses",
                  {"smtp:js@contoso.com", "SMTP:Jane.Smith@contoso.com", "X500:/o=Old/cn=js",
                   "X400:c=US;a= ;p=Contoso;s=Smith"}},
                 {"homeMDB", {"CN=DB1,DC=contoso,DC=com"}},
                 {"mobile", {"+1 555 0100"}},
                 {"otherTelephone", {"+1 555 0101", "+1 555 0102"}},
                 {"otherHomePhone", {"+1 555 0200"}},
                 {"streetAddress", {"1 Main St"}},
                 {"street", {"wrong attribute"}},
                 {"initials", {"Q"}}});
}

struct ClassCase {
  std::vector<std::string> classes;
  std::vector<DirectoryAttribute> extra;
  int32_t display_type;
};

TEST(AddressBookDisplayTypeTest, DerivedFromObjectClass) {
  const std::vector<ClassCase> cases = {
      {{"top", "person", "organizationalPerson", "user"}, {{"homeMDB", {"x"}}}, 0},
      {{"top", "person", "organizationalPerson", "user"}, {{"msExchHomeServerName", {"x"}}}, 0},
      {{"top", "person", "organizationalPerson", "user"}, {{"targetAddress", {"SMTP:a@b.c"}}}, 6},
      {{"top", "person", "organizationalPerson", "user"}, {}, 0},  // has legacyExchangeDN
      {{"top", "person", "organizationalPerson", "contact"}, {}, 6},
      {{"top", "group"}, {}, 1},
      {{"top", "msExchDynamicDistributionList"}, {}, 3},
      {{"top", "publicFolder"}, {}, 2},
      {{"top", "organization"}, {}, 4},
      {{"TOP", "GROUP"}, {}, 1},  // class names ignore case
  };
  for (const ClassCase& c : cases) {
    std::vector<DirectoryAttribute> attrs = {{"objectClass", c.classes},
                                             {"legacyExchangeDN", {"/o=X/cn=a"}}};
    attrs.insert(attrs.end(), c.extra.begin(), c.extra.end());
    EXPECT_EQ(DisplayTypeOf(Object("CN=a", attrs)), c.display_type) << c.classes.back();
  }
  // A mail-enabled user without mailbox, forwarding address or Exchange DN is a remote user.
  EXPECT_EQ(DisplayTypeOf(Object("CN=a", {{"objectClass", {"user"}}, {"mail", {"a@b.c"}}})), 6);
}

TEST(AddressBookDisplayTypeTest, RecipientDisplayTypeOverridesClass) {
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {"0", 0},
      {"1", 1},
      {"2", 2},
      {"3", 3},
      {"6", 6},
      {"7", 0},
      {"8", 0},
      {"9", 1},
      {"1073741833", 1},   // ACL-able security group
                           // 0x40000009
      {"-2147483642", 6},  // synced remote user 0x80000006
      {"1073741824", 0},   // ACL-able mailbox 0x40000000
  };
  for (const auto& [raw, expected] : cases) {
    DirectoryEntryView e =
        Object("CN=a", {{"objectClass", {"contact"}}, {"msExchRecipientDisplayType", {raw}}});
    EXPECT_EQ(DisplayTypeOf(e), expected) << raw;
  }
  // Unknown kinds and unreadable values leave the decision to the class.
  for (std::string raw : {"10", "abc", ""}) {
    DirectoryEntryView e =
        Object("CN=a", {{"objectClass", {"group"}}, {"msExchRecipientDisplayType", {raw}}});
    EXPECT_EQ(DisplayTypeOf(e), 1) << raw;
  }
}

TEST(AddressBookEntryRulesTest, MailEnabledAndHidden) {
  EXPECT_TRUE(IsAddressEntryObject(Mailbox()));
  EXPECT_TRUE(IsAddressEntryObject(Object("CN=a", {{"mail", {"a@b.c"}}})));
  EXPECT_TRUE(IsAddressEntryObject(Object("CN=a", {{"proxyAddresses", {"smtp:a@b.c"}}})));
  EXPECT_TRUE(IsAddressEntryObject(Object("CN=a", {{"legacyExchangeDN", {"/o=X/cn=a"}}})));
  EXPECT_FALSE(IsAddressEntryObject(Object("CN=a", {{"proxyAddresses", {"X500:/o=X/cn=a"}}})));
  EXPECT_FALSE(IsAddressEntryObject(Object("CN=a", {{"cn", {"a"}}})));
  for (std::string hidden : {"TRUE", "true"}) {
    EXPECT_FALSE(IsAddressEntryObject(
        Object("CN=a", {{"mail", {"a@b.c"}}, {"msExchHideFromAddressLists", {hidden}}})));
  }
  EXPECT_TRUE(IsAddressEntryObject(
      Object("CN=a", {{"mail", {"a@b.c"}}, {"msExchHideFromAddressLists", {"FALSE"}}})));
  auto facts = FactsOf(Object("CN=a", {{"cn", {"a"}}}));
  ASSERT_FALSE(facts.ok());
  EXPECT_EQ(facts.status().number(), err::kNotFound);
}

TEST(AddressBookEntryRulesTest, FactsOfExchangeAndInternetObjects) {
  auto ex = FactsOf(Mailbox());
  ASSERT_TRUE(ex.ok());
  EXPECT_EQ(ex->type, "EX");
  EXPECT_EQ(ex->address, "/o=Contoso/ou=First/cn=Recipients/cn=jsmith");
  EXPECT_EQ(ex->name, "Jane Smith");
  EXPECT_EQ(ex->display_type, 0);
  EXPECT_EQ(EntryIdOf(*ex),
            BytesToHex(EncodeAddressBookEntryId(0, "/o=Contoso/ou=First/cn=Recipients/cn=jsmith")));

  // Without legacyExchangeDN: an internet entry with the mail address and a one-off ID; the
  // name falls back to cn.
  auto smtp = FactsOf(Object(
      "CN=Ext,DC=x",
      {{"objectClass", {"contact"}}, {"cn", {"Ext Person"}}, {"mail", {"ext@partner.example"}}}));
  ASSERT_TRUE(smtp.ok());
  EXPECT_EQ(smtp->type, "SMTP");
  EXPECT_EQ(smtp->address, "ext@partner.example");
  EXPECT_EQ(smtp->name, "Ext Person");
  EXPECT_EQ(smtp->display_type, 6);
  EXPECT_EQ(EntryIdOf(*smtp),
            BytesToHex(EncodeOneOffEntryId("Ext Person", "SMTP", "ext@partner.example")));
  // An ID the facts hold (a one-off entry re-opened from its ID) is the one given.
  EntryFacts given = *smtp;
  given.entry_id = "00000000ABCD";
  EXPECT_EQ(EntryIdOf(given), "00000000ABCD");

  // Only a secondary proxy: that address; no name attributes: the address is the name.
  auto proxy_only = FactsOf(Object("CN=p", {{"proxyAddresses", {"smtp:p@x.example"}}}));
  ASSERT_TRUE(proxy_only.ok());
  EXPECT_EQ(proxy_only->address, "p@x.example");
  EXPECT_EQ(proxy_only->name, "p@x.example");
}

TEST(AddressBookPropertyTest, SingleValuedTagsReadTheirAttributes) {
  DirectoryEntryView e = Mailbox();
  EntryFacts facts = FactsOf(e).value();
  const std::vector<std::pair<uint32_t, std::string>> cases = {
      {0x3001001E, "Jane Smith"},
      {0x3003001E, "/o=Contoso/ou=First/cn=Recipients/cn=jsmith"},
      {0x3002001E, "EX"},
      {0x39FE001E, "Jane.Smith@contoso.com"},
      {0x3A1C001E, "+1 555 0100"},
      {0x3A1C001F, "+1 555 0100"},  // Unicode form of the same property
      {0x3A29001E, "1 Main St"},    // streetAddress, not street
      {0x3A44001E, "Q"},
      {0x0FFF0102, EntryIdOf(facts)},
  };
  for (const auto& [tag, expected] : cases) {
    auto v = DirectoryProperty(e, facts, tag);
    ASSERT_TRUE(v.ok()) << std::hex << tag;
    EXPECT_EQ(v->TypeName(), "String") << std::hex << tag;
    EXPECT_EQ(v->string_value(), expected) << std::hex << tag;
  }
  auto dt = DirectoryProperty(e, facts, 0x39000003);
  ASSERT_TRUE(dt.ok());
  EXPECT_EQ(*dt, Variant::Long(0));
}

TEST(AddressBookPropertyTest, MultiValuedAttributesAreArraysWhateverTheTagForm) {
  DirectoryEntryView e = Mailbox();
  EntryFacts facts = FactsOf(e).value();
  auto proxies = DirectoryProperty(e, facts, 0x800F101E);
  ASSERT_TRUE(proxies.ok());
  ASSERT_TRUE(proxies->IsArray());
  ASSERT_EQ(proxies->array().size(), 4u);
  EXPECT_EQ(proxies->array()[0].string_value(), "smtp:js@contoso.com");
  EXPECT_EQ(proxies->array()[1].string_value(), "SMTP:Jane.Smith@contoso.com");
  for (uint32_t tag : {0x3A1B001Eu, 0x3A1B101Eu, 0x3A1B001Fu}) {
    auto other = DirectoryProperty(e, facts, tag);
    ASSERT_TRUE(other.ok()) << std::hex << tag;
    EXPECT_EQ(*other, Variant::Array({Variant("+1 555 0101"), Variant("+1 555 0102")}));
  }
  auto home2 = DirectoryProperty(e, facts, 0x3A2F001E);
  ASSERT_TRUE(home2.ok());
  EXPECT_EQ(*home2, Variant::Array({Variant("+1 555 0200")}));
}

TEST(AddressBookPropertyTest, MissingPropertiesAreNotFound) {
  DirectoryEntryView e = Mailbox();
  EntryFacts facts = FactsOf(e).value();
  // Absent attributes, properties with no directory source, and unknown tags.
  for (uint32_t tag :
       {0x3A08001Eu, 0x3A2A001Eu, 0x3A1F001Eu, 0x3A25001Eu, 0x12340003u, 0x3A1C0003u}) {
    auto v = DirectoryProperty(e, facts, tag);
    ASSERT_FALSE(v.ok()) << std::hex << tag;
    EXPECT_EQ(v.status().number(), err::kNotFound) << std::hex << tag;
  }
  // The message names the tag in eight hexadecimal digits.
  EXPECT_EQ(DirectoryProperty(e, facts, 0x3A08001Eu).status().description(),
            "The entry has no property 0x3A08001E");
  EXPECT_EQ(DirectoryProperty(e, facts, 0x00000003u).status().description(),
            "The entry has no property 0x00000003");
}

TEST(AddressBookPropertyTest, PrimarySmtpAndAddressMatching) {
  DirectoryEntryView e = Mailbox();
  EXPECT_EQ(PrimarySmtpOf(e), "Jane.Smith@contoso.com");
  EXPECT_TRUE(HasSmtpAddress(e, "JS@CONTOSO.COM"));
  EXPECT_TRUE(HasSmtpAddress(e, "jane.smith@contoso.com"));
  EXPECT_FALSE(HasSmtpAddress(e, "/o=Old/cn=js"));
  EXPECT_FALSE(HasSmtpAddress(e, "js@contoso"));
  // Only secondary proxies: the primary is the mail attribute, or nothing.
  EXPECT_EQ(PrimarySmtpOf(Object("CN=a", {{"proxyAddresses", {"smtp:a@b.c"}}})), "");
  EXPECT_EQ(
      PrimarySmtpOf(Object("CN=a", {{"proxyAddresses", {"smtp:a@b.c"}}, {"mail", {"m@b.c"}}})),
      "m@b.c");
}

TEST(AddressBookOneOffTest, InternetEntryProperties) {
  EntryFacts f{"SMTP", "a@b.example", "a@b.example", 0,
               BytesToHex(EncodeOneOffEntryId("a@b.example", "SMTP", "a@b.example"))};
  EXPECT_EQ(OneOffProperty(f, 0x3002001E)->string_value(), "SMTP");
  EXPECT_EQ(OneOffProperty(f, 0x3003001E)->string_value(), "a@b.example");
  EXPECT_EQ(OneOffProperty(f, 0x39FE001E)->string_value(), "a@b.example");
  EXPECT_EQ(OneOffProperty(f, 0x0FFF0102)->string_value(), f.entry_id);
  auto proxies = OneOffProperty(f, 0x800F101E);
  ASSERT_FALSE(proxies.ok());
  EXPECT_EQ(proxies.status().number(), err::kNotFound);
}

TEST(AddressBookTextRulesTest, SmtpShape) {
  for (std::string_view good : {"a@b.c", "first.last+tag@sub.example.org", "x_y@d-1.io"}) {
    EXPECT_TRUE(IsSmtpAddressShaped(good)) << good;
  }
  for (std::string_view bad : {"", "a", "@b.c", "a@", "a@b", "a@@b.c", "a@b@c.d", "a b@c.d",
                               "a@b..c", "a@.b.c", "a@b.c.", "<a@b.c>", "a;b@c.d", "Smith, J"}) {
    EXPECT_FALSE(IsSmtpAddressShaped(bad)) << bad;
  }
}

}  // namespace
}  // namespace testqav
