// Proxy list expansion over a real session and directory: which addresses enter the two
// lists, in which form and order, and how the contact's ODN is settled.
#include <gtest/gtest.h>

#include "engine/qav.h"
#include "platform/common/text.h"
#include "support/org_fixture.h"

namespace testqav {
namespace {

using testing::OrgDN;

class ProxyExpansion : public ::testing::Test {
 protected:
  void SetUp() override {
    org_.ldif
        .User("mixed", "mixed.case@contoso.test",
              {"SMTP:Mixed.Case@Contoso.test", "X400:c=US;a= ;p=Contoso;o=Exchange;s=Case;",
               "smtp:Second@Contoso.TEST", "X500:/o=Old/ou=First/cn=Recipients/cn=MIXED"})
        .User("bare", "bare@contoso.test")
        .Group("team", "team@contoso.test", {"SMTP:team@contoso.test"});
    org_.Write();
    session_ = org_.Logon(t_.rt);
    ASSERT_TRUE(session_->LoggedOn()) << org_.diagnostics();
    engine_ = std::make_unique<QAV>(t_.rt);
    t_.log.lines.clear();
  }
  void TearDown() override {
    engine_.reset();
    session_->Logoff().IgnoreError();
  }
  void Expand(const std::string& address, bool evaluate, bool skip) {
    engine_->GetAllProxies(address, proxies_, x500_, odn_, evaluate, skip);
  }

  testing::OrgFixture org_;
  testing::TestRuntime t_;
  SessionPtr session_;
  std::unique_ptr<QAV> engine_;
  std::string proxies_, x500_, odn_;
};

TEST_F(ProxyExpansion, MailboxUserGivesEveryAddressOnce) {
  const std::string dn = OrgDN("mixed");
  Expand(dn, true, false);
  EXPECT_EQ(proxies_, ";mixed.case@contoso.test;second@contoso.test;");
  EXPECT_EQ(x500_, ";" + dn + ";/o=Old/ou=First/cn=Recipients/cn=MIXED;");
  EXPECT_EQ(odn_, dn);
  EXPECT_TRUE(t_.log.Has("QAV::GetAllProxies:attempting to resolve " + dn, kLogInfo));
  EXPECT_TRUE(t_.log.Has("GetAllProxies:adding ODN '" + dn + "' from lookup of " + dn, kLogDetail))
      << t_.log.Dump();
  EXPECT_TRUE(t_.log.Has("GetAllProxies:adding 'mixed.case@contoso.test' to Proxies for " + dn,
                         kLogDetail));
  EXPECT_TRUE(
      t_.log.Has("GetAllProxies:adding '/o=Old/ou=First/cn=Recipients/cn=MIXED' to "
                 "X500Proxies for " +
                     dn,
                 kLogDetail));
  EXPECT_TRUE(t_.log.Has(
      "GetAllProxies:Proxies for " + dn + " = ;mixed.case@contoso.test;second@contoso.test",
      kLogDetail))
      << t_.log.Dump();
  EXPECT_FALSE(t_.log.HasContaining("X400")) << t_.log.Dump();
}

TEST_F(ProxyExpansion, SecondCallWithAKnownAddressDoesNotResolve) {
  const std::string dn = OrgDN("mixed");
  Expand(dn, true, false);
  const std::string first_proxies = proxies_;
  const std::string first_x500 = x500_;
  t_.log.lines.clear();
  Expand("MIXED.case@Contoso.test", true, true);
  // Returned without their outer separators, otherwise unchanged.
  EXPECT_EQ(";" + proxies_ + ";", first_proxies);
  EXPECT_EQ(";" + x500_ + ";", first_x500);
  EXPECT_EQ(odn_, dn);
  ASSERT_EQ(t_.log.lines.size(), 1u) << t_.log.Dump();
  EXPECT_TRUE(
      t_.log.Has("GetAllProxies: found MIXED.case@Contoso.test in existing proxy "
                 "string; no need to repeat expansion",
                 kLogDetail))
      << t_.log.Dump();
  // A distinguished name already in the X.500 list is known as well.
  t_.log.lines.clear();
  Expand(LowerCase(dn), true, true);
  EXPECT_FALSE(t_.log.HasContaining("attempting to resolve")) << t_.log.Dump();
}

TEST_F(ProxyExpansion, ResolvingAgainAddsNothingTwice) {
  const std::string dn = OrgDN("mixed");
  Expand(dn, true, false);
  const std::string first_proxies = proxies_;
  const std::string first_x500 = x500_;
  Expand("second@contoso.test", true, false);
  EXPECT_EQ(proxies_, first_proxies);
  EXPECT_EQ(x500_, first_x500);
  EXPECT_EQ(odn_, dn);
}

TEST_F(ProxyExpansion, ListsWithAndWithoutOuterSeparatorsAreAlike) {
  proxies_ = ";;keep@partner.example;";
  x500_ = "/o=x/cn=keep";
  Expand("mixed.case@contoso.test", true, false);
  const std::string a_proxies = proxies_, a_x500 = x500_;
  proxies_ = "keep@partner.example";
  x500_ = ";/o=x/cn=keep;;";
  odn_.clear();
  Expand("mixed.case@contoso.test", true, false);
  EXPECT_EQ(proxies_, a_proxies);
  EXPECT_EQ(x500_, a_x500);
  EXPECT_EQ(proxies_, ";keep@partner.example;mixed.case@contoso.test;second@contoso.test;");
  EXPECT_EQ(x500_, ";/o=x/cn=keep;" + OrgDN("mixed") + ";/o=Old/ou=First/cn=Recipients/cn=MIXED;");
}

TEST_F(ProxyExpansion, EntryWithoutProxiesLeavesAClosedEmptyList) {
  Expand("bare@contoso.test", true, false);
  EXPECT_EQ(proxies_, ";");
  EXPECT_EQ(x500_, ";" + OrgDN("bare") + ";");
  EXPECT_EQ(odn_, OrgDN("bare"));
}

TEST_F(ProxyExpansion, DistributionListNeverKeepsTheOdn) {
  const std::string dn = OrgDN("team");
  odn_ = LowerCase(dn);
  Expand(dn, true, false);
  EXPECT_EQ(odn_, "");
  EXPECT_EQ(x500_, ";" + dn + ";");
  EXPECT_EQ(proxies_, ";team@contoso.test;");
  EXPECT_TRUE(t_.log.Has("GetAllProxies:invalidating supplied ODN '" + LowerCase(dn) +
                             "' but including value in X500Proxies",
                         kLogInfo))
      << t_.log.Dump();
  // A list resolved for a contact with another ODN leaves that ODN alone.
  odn_ = OrgDN("mixed");
  proxies_.clear();
  x500_.clear();
  Expand("team@contoso.test", true, false);
  EXPECT_EQ(odn_, OrgDN("mixed"));
  EXPECT_EQ(x500_, ";" + dn + ";");
}

TEST_F(ProxyExpansion, SuppliedOdnIsCheckedOnlyWhenAskedTo) {
  const std::string former = "/o=Contoso/ou=Site/cn=Recipients/cn=former";
  odn_ = former;
  Expand("mixed.case@contoso.test", true, false);
  EXPECT_EQ(odn_, OrgDN("mixed"));
  EXPECT_TRUE(t_.log.Has("GetAllProxies:changing ODN from '" + former + "' to '" + OrgDN("mixed") +
                             "' from lookup of mixed.case@contoso.test",
                         kLogDetail))
      << t_.log.Dump();

  odn_ = former;
  proxies_.clear();
  x500_.clear();
  t_.log.lines.clear();
  Expand("mixed.case@contoso.test", false, false);
  EXPECT_EQ(odn_, former);
  EXPECT_FALSE(t_.log.HasContaining("ODN")) << t_.log.Dump();
  // The directory's name still enters the X.500 list.
  EXPECT_EQ(x500_, ";" + OrgDN("mixed") + ";/o=Old/ou=First/cn=Recipients/cn=MIXED;");

  // The same name in another letter case is no change.
  odn_ = LowerCase(OrgDN("mixed"));
  t_.log.lines.clear();
  Expand("mixed.case@contoso.test", true, false);
  EXPECT_EQ(odn_, LowerCase(OrgDN("mixed")));
  EXPECT_FALSE(t_.log.HasContaining("ODN")) << t_.log.Dump();
}

TEST_F(ProxyExpansion, InternetRecipientAddsItselfAsGiven) {
  odn_ = "/o=x/cn=keep";
  Expand("Some.One@Partner.example", true, false);
  EXPECT_EQ(proxies_, ";Some.One@Partner.example;");
  EXPECT_EQ(x500_, ";");
  EXPECT_EQ(odn_, "/o=x/cn=keep");
  EXPECT_TRUE(
      t_.log.Has("GetAllProxies:Proxies for Some.One@Partner.example = "
                 ";Some.One@Partner.example",
                 kLogDetail))
      << t_.log.Dump();
  // Already in the list (another case): not added again.
  Expand("some.one@partner.example", true, false);
  EXPECT_EQ(proxies_, ";Some.One@Partner.example;");
}

TEST_F(ProxyExpansion, UnresolvedAddressLeavesStrippedLists) {
  proxies_ = ";a@b.example;";
  x500_ = ";/o=x/cn=a;";
  odn_ = "/o=x/cn=a";
  Expand("Nobody Atall", true, false);
  EXPECT_EQ(proxies_, "a@b.example");
  EXPECT_EQ(x500_, "/o=x/cn=a");
  EXPECT_EQ(odn_, "/o=x/cn=a");
  bool found = false;
  for (const auto& [level, text] : t_.log.lines) {
    found = found || (level == kLogInfo &&
                      text.rfind("QAV::GetAllProxies:failed to resolve Nobody Atall ", 0) == 0);
  }
  EXPECT_TRUE(found) << t_.log.Dump();
}

TEST_F(ProxyExpansion, StopFlagOrEmptyAddressChangesNothing) {
  proxies_ = ";a@b.example;";
  x500_ = ";/o=x/cn=a;";
  odn_ = "/o=x/cn=a";
  Expand("", true, false);
  EXPECT_EQ(proxies_, ";a@b.example;");
  t_.host.stop = true;
  Expand("mixed.case@contoso.test", true, false);
  EXPECT_EQ(proxies_, ";a@b.example;");
  EXPECT_EQ(x500_, ";/o=x/cn=a;");
  EXPECT_EQ(odn_, "/o=x/cn=a");
  EXPECT_TRUE(t_.log.lines.empty()) << t_.log.Dump();
}

}  // namespace
}  // namespace testqav
