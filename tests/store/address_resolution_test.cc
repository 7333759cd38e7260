// Address resolution over a real session: the embedded directory behind the address book, a
// JSON mailbox whose Inbox takes the scratch messages.
#include "store/address_resolution.h"

#include <gtest/gtest.h>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "support/org_fixture.h"

namespace testqav {
namespace {

using testing::OrgDN;

// An address entry with a chosen type, address and proxy list, for the types and address
// forms the directory never produces.
class FixedEntry : public AddressEntry {
 public:
  FixedEntry(std::string type, std::string address, Variant proxies = Variant())
      : type_(std::move(type)), address_(std::move(address)), proxies_(std::move(proxies)) {}
  Result<std::string> Type() const override { return type_; }
  Result<std::string> Address() const override { return address_; }
  Result<std::string> Name() const override { return address_; }
  Result<std::string> ID() const override { return std::string("00"); }
  Result<int32_t> DisplayType() const override { return 0; }
  Result<Variant> Field(uint32_t tag) const override {
    if (tag == 0x800F101E && !proxies_.IsEmpty()) return proxies_;
    return Status(err::kNotFound, "not found");
  }
  Result<std::vector<AddressEntryPtr>> Members() override { return std::vector<AddressEntryPtr>{}; }
  Result<std::string> SmtpAddress() const override { return std::string(); }

 private:
  std::string type_;
  std::string address_;
  Variant proxies_;
};

Variant Texts(const std::vector<std::string>& items) {
  std::vector<Variant> v;
  for (const auto& s : items) v.emplace_back(s);
  return Variant::Array(v);
}

TEST(AddressResolution, SmtpFromEntryOfEachType) {
  EXPECT_EQ(GetSMTPFromAE(std::make_shared<FixedEntry>("SMTP", "smtp:Jane@Example.com")),
            "Jane@Example.com");
  EXPECT_EQ(GetSMTPFromAE(std::make_shared<FixedEntry>("SMTP", "SmTp:x@y.z")), "x@y.z");
  EXPECT_EQ(GetSMTPFromAE(std::make_shared<FixedEntry>("SMTP", "x@y.z")), "x@y.z");
  // The primary is the element with the upper-case prefix, wherever it stands.
  EXPECT_EQ(GetSMTPFromAE(std::make_shared<FixedEntry>(
                "EX", "/o=x/cn=a", Texts({"X500:/o=old/cn=a", "smtp:b@y.z", "SMTP:A@Y.z"}))),
            "A@Y.z");
  EXPECT_EQ(GetSMTPFromAE(std::make_shared<FixedEntry>("EX", "/o=x/cn=a",
                                                       Texts({"smtp:a@y.z", "Smtp:b@y.z"}))),
            "");
  EXPECT_EQ(GetSMTPFromAE(std::make_shared<FixedEntry>("EX", "/o=x/cn=a", Texts({}))), "");
  EXPECT_EQ(GetSMTPFromAE(std::make_shared<FixedEntry>("EX", "/o=x/cn=a")), "");
  // An entry of another type has no SMTP address here, whatever its proxies say.
  EXPECT_EQ(
      GetSMTPFromAE(std::make_shared<FixedEntry>("X400", "SMTP:a@y.z", Texts({"SMTP:a@y.z"}))), "");
  EXPECT_EQ(GetSMTPFromAE(nullptr), "");
}

class AddressResolutionSession : public ::testing::Test {
 protected:
  void SetUp() override {
    org_.ldif
        .User("alice", "alice@contoso.test",
              {"SMTP:Alice@Contoso.test", "smtp:a.smith@contoso.test", "X400:c=US;"})
        .User("lower", "lower@contoso.test", {"smtp:lower@contoso.test"})
        .User("noprox", "noprox@contoso.test")
        .Group("nomail", "")
        .Group("team", "team@contoso.test", {"SMTP:team@contoso.test"});
    org_.Write();
    session_ = org_.Logon(t_.rt);
    ASSERT_TRUE(session_->LoggedOn()) << org_.diagnostics();
  }
  void TearDown() override {
    // Every scratch message was deleted: the Inbox holds nothing.
    auto inbox = session_->Inbox();
    ASSERT_TRUE(inbox.ok());
    auto msgs = (*inbox)->Messages();
    ASSERT_TRUE(msgs.ok());
    EXPECT_EQ(*(*msgs)->Count(), 0);
    session_->Logoff().IgnoreError();
  }
  AddressEntryPtr Gal(const std::string& alias) {
    auto helper = session_->CreateHelperSession();
    if (!helper.ok()) return nullptr;
    auto e = (*helper)->GalEntryByDN(OrgDN(alias));
    return e.ok() ? *e : nullptr;
  }

  testing::OrgFixture org_;
  testing::TestRuntime t_;
  SessionPtr session_;
};

TEST_F(AddressResolutionSession, ExchangeEntriesFromTheDirectory) {
  ASSERT_NE(Gal("alice"), nullptr);
  EXPECT_EQ(GetSMTPFromAE(Gal("alice")), "Alice@Contoso.test");
  // A mail attribute does not stand in for a missing primary proxy.
  EXPECT_EQ(GetSMTPFromAE(Gal("lower")), "");
  EXPECT_EQ(GetSMTPFromAE(Gal("noprox")), "");
}

TEST_F(AddressResolutionSession, PrimarySmtpFromOdn) {
  EXPECT_EQ(PrimarySMTPfromODN(t_.rt, OrgDN("alice")), "Alice@Contoso.test");
  EXPECT_EQ(PrimarySMTPfromODN(t_.rt, LowerCase(OrgDN("alice"))), "Alice@Contoso.test");
  // Resolved, but without a primary proxy: empty, and no warning.
  EXPECT_EQ(PrimarySMTPfromODN(t_.rt, OrgDN("lower")), "");
  EXPECT_TRUE(t_.log.lines.empty()) << t_.log.Dump();

  const std::string unknown = OrgDN("nobody");
  EXPECT_EQ(PrimarySMTPfromODN(t_.rt, unknown), "");
  ASSERT_EQ(t_.log.lines.size(), 1u) << t_.log.Dump();
  EXPECT_TRUE(t_.log.Has("PrimarySMTPfromODN:failed to retrieve primary SMTP address for '" +
                             unknown + "': address did not resolve",
                         kLogWarning))
      << t_.log.Dump();
}

TEST_F(AddressResolutionSession, PrimarySmtpOfAnSmtpAddress) {
  // A secondary address of a user gives the primary one, in the directory's spelling.
  EXPECT_EQ(GetPrimarySMTP(t_.rt, "a.smith@contoso.test"), "Alice@Contoso.test");
  EXPECT_EQ(GetPrimarySMTP(t_.rt, "A.SMITH@contoso.test"), "Alice@Contoso.test");
  EXPECT_EQ(GetPrimarySMTP(t_.rt, "alice@contoso.test"), "Alice@Contoso.test");
  // An internet address the directory does not know resolves to itself.
  EXPECT_EQ(GetPrimarySMTP(t_.rt, "Someone@Partner.example"), "Someone@Partner.example");
  // An address that does not resolve at all comes back unchanged.
  EXPECT_EQ(GetPrimarySMTP(t_.rt, "not an address"), "not an address");
  // A user without a primary proxy: resolved, so the result is empty.
  EXPECT_EQ(GetPrimarySMTP(t_.rt, "lower@contoso.test"), "");
  EXPECT_TRUE(t_.log.lines.empty()) << t_.log.Dump();
}

TEST_F(AddressResolutionSession, EntryIdRoundTrip) {
  const std::string id = GetIdForODN(t_.rt, OrgDN("alice"));
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(GetIdForODN(t_.rt, LowerCase(OrgDN("alice"))), id);
  EXPECT_EQ(GetAddressEntryFromId(t_.rt, id), "Alice@Contoso.test");
  EXPECT_EQ(GetAddressEntryFromId(t_.rt, LowerCase(id)), "Alice@Contoso.test");
  // The ID of an internet address the directory does not know gives the address back.
  auto helper = session_->CreateHelperSession();
  ASSERT_TRUE(helper.ok());
  auto inbox = session_->Inbox();
  auto msg = (*(*inbox)->Messages())->Add();
  ASSERT_TRUE(msg.ok());
  auto recips = (*msg)->Recipients();
  auto r = (*recips)->Add("Someone@Partner.example");
  ASSERT_TRUE(r.ok() && (*r)->Resolve(false).ok());
  auto one_off = (*(*r)->AddressEntry())->ID();
  ASSERT_TRUE(one_off.ok());
  EXPECT_EQ(GetAddressEntryFromId(t_.rt, *one_off), "Someone@Partner.example");
  EXPECT_TRUE(t_.log.lines.empty()) << t_.log.Dump();
}

TEST_F(AddressResolutionSession, EmptyInputsGiveEmptyWithoutALine) {
  EXPECT_EQ(GetIdForODN(t_.rt, ""), "");
  EXPECT_EQ(GetAddressEntryFromId(t_.rt, ""), "");
  EXPECT_TRUE(t_.log.lines.empty()) << t_.log.Dump();
}

TEST_F(AddressResolutionSession, EntryWithoutSmtpAddressIsDescribed) {
  const std::string id = GetIdForODN(t_.rt, OrgDN("nomail"));
  ASSERT_FALSE(id.empty()) << t_.log.Dump();
  EXPECT_EQ(GetAddressEntryFromId(t_.rt, id), "no SMTP address for Group nomail; Type: EX");
  // A list with an address is an address like any other.
  EXPECT_EQ(GetAddressEntryFromId(t_.rt, GetIdForODN(t_.rt, OrgDN("team"))), "team@contoso.test");
  EXPECT_TRUE(t_.log.lines.empty()) << t_.log.Dump();
}

TEST_F(AddressResolutionSession, UnknownOdnAndBadIdsAreErrorLines) {
  const std::string unknown = OrgDN("gone");
  EXPECT_EQ(GetIdForODN(t_.rt, unknown), "");
  ASSERT_EQ(t_.log.lines.size(), 1u);
  EXPECT_EQ(t_.log.lines[0].first, kLogError);
  EXPECT_EQ(t_.log.lines[0].second.rfind("GetIdForODN error for '" + unknown + "' ", 0), 0u)
      << t_.log.Dump();
  // The description of the platform's error follows the quoted name.
  EXPECT_GT(t_.log.lines[0].second.size(), ("GetIdForODN error for '" + unknown + "' ").size());

  t_.log.lines.clear();
  EXPECT_EQ(GetAddressEntryFromId(t_.rt, "NOT-HEX"), "");
  ASSERT_EQ(t_.log.lines.size(), 1u);
  EXPECT_EQ(t_.log.lines[0].first, kLogError);
  EXPECT_EQ(t_.log.lines[0].second.rfind("GetAddressEntryFromId failed ", 0), 0u) << t_.log.Dump();
}

TEST(AddressResolution, WithoutASessionNothingResolves) {
  testing::TestRuntime t;
  EXPECT_EQ(GetPrimarySMTP(t.rt, "a@b.test"), "a@b.test");
  EXPECT_EQ(PrimarySMTPfromODN(t.rt, "/o=x/cn=y"), "");
  EXPECT_TRUE(
      t.log.Has("PrimarySMTPfromODN:failed to retrieve primary SMTP address for "
                "'/o=x/cn=y': address did not resolve",
                kLogWarning));
  EXPECT_EQ(GetIdForODN(t.rt, "/o=x/cn=y"), "");
  EXPECT_TRUE(t.log.HasContaining("GetIdForODN error for '/o=x/cn=y' "));
}

}  // namespace
}  // namespace testqav
