// One contract for every directory backend (the embedded one always; slapd when
// TESTQAV_SLAPD_URL names a server loaded with data/org.ldif), and the
// differential run of a filter corpus on both backends.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/directory/embedded/ldif_reader.h"
#include "platform/directory/filter.h"
#include "platform/directory/ldap/ldap_directory.h"
#include "platform/directory/matching.h"
#include "test_support.h"

namespace testqav {
namespace {

using testing_support::OpenEmbedded;
using testing_support::OpenSlapd;
using testing_support::SlapdConfigured;

constexpr char kBase[] = "DC=example,DC=com";

std::shared_ptr<Directory> Open(const std::string& backend) {
  Result<std::shared_ptr<Directory>> d = backend == "slapd" ? OpenSlapd() : OpenEmbedded();
  EXPECT_TRUE(d.ok()) << d.status().description();
  return d.ok() ? *d : nullptr;
}

// Sorted DNs (normalised to lower case) of a search, or "ERROR <number>".
std::vector<std::string> Dns(Directory& dir, const std::string& filter,
                             const std::string& base = kBase,
                             SearchScope scope = SearchScope::kSubtree) {
  Result<std::vector<DirectoryEntry>> r = dir.Search(base, scope, filter, {"cn"});
  if (!r.ok()) return {"ERROR " + std::to_string(r.status().number())};
  std::vector<std::string> out;
  for (const DirectoryEntry& e : *r) {
    // Servers spell DNs differently ("\2C" or "\,"): compare normalised forms.
    std::optional<std::string> dn = NormalizeDn(e.dn, *Schema::Builtin());
    out.push_back(dn.value_or("BAD DN " + e.dn));
  }
  std::sort(out.begin(), out.end());
  return out;
}

class DirectoryContract : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "slapd" && !SlapdConfigured()) {
      GTEST_SKIP() << "TESTQAV_SLAPD_URL is not set "
                      "(scripts/test-directory-slapd.sh sets it)";
    }
    dir_ = Open(GetParam());
    ASSERT_NE(dir_, nullptr);
  }
  std::shared_ptr<Directory> dir_;
};

TEST_P(DirectoryContract, RootDseNamesTheForestRoot) {
  Result<DirectoryEntry> dse = dir_->RootDse();
  ASSERT_TRUE(dse.ok());
  EXPECT_TRUE(EqualsIgnoreCase(dse->First("rootDomainNamingContext"), kBase))
      << dse->First("rootDomainNamingContext");
  EXPECT_TRUE(EqualsIgnoreCase(dse->First("defaultNamingContext"), kBase));
}

TEST_P(DirectoryContract, FindsAQueryBasedListByProxyAddress) {
  Result<std::vector<DirectoryEntry>> r =
      dir_->Search(kBase, SearchScope::kSubtree, "(proxyAddresses=SMTP:everyone.ex1@example.com)",
                   {"msExchDynamicDLFilter", "msExchDynamicDLBaseDN"});
  ASSERT_TRUE(r.ok()) << r.status().description();
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ(r->front().First("msExchDynamicDLFilter"),
            "(&(objectClass=user)(objectCategory=person)(mailNickname=*)("
            "msExchHomeServerName=*EX1)"
            "(!(name=SystemMailbox{*))(!(msExchRecipientTypeDetails=16777216)))");
  EXPECT_TRUE(r->front().Values("msExchDynamicDLBaseDN").empty());
}

TEST_P(DirectoryContract, RunsStoredListFiltersWithMemberAttributes) {
  Result<std::vector<DirectoryEntry>> r =
      dir_->Search(kBase, SearchScope::kSubtree,
                   "(&(objectClass=user)(objectCategory=person)(mailNickname=*)("
                   "msExchHomeServerName=*EX1)"
                   "(!(name=SystemMailbox{*))(!(msExchRecipientTypeDetails=16777216)))",
                   {"name", "mail", "otherTelephone", "streetAddress", "objectCategory", "co"});
  ASSERT_TRUE(r.ok()) << r.status().description();
  std::set<std::string> names;
  for (const DirectoryEntry& e : *r) names.insert(e.First("name"));
  EXPECT_EQ(names, (std::set<std::string>{"Alice Archer", "Erin Eastwood", "O'Brien, Pat"}));
  for (const DirectoryEntry& e : *r) {
    if (e.First("name") != "Alice Archer") continue;
    EXPECT_EQ(e.First("mail"), "alice.archer@example.com");
    EXPECT_EQ(e.Values("otherTelephone"),
              (std::vector<std::string>{"+1 206 555 0105", "+1 206 555 0106"}));
    EXPECT_EQ(e.First("streetAddress"), "1 Main Street");
    EXPECT_EQ(e.First("co"), "United States");
    EXPECT_EQ(e.First("objectCategory"), "CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com");
  }
  r = dir_->Search("OU=Sales,DC=example,DC=com", SearchScope::kSubtree,
                   "(& (mailnickname=*) (| (objectCategory=group) "
                   "(objectCategory=msExchDynamicDistributionList) ))",
                   {"name", "objectCategory"});
  ASSERT_TRUE(r.ok()) << r.status().description();
  names.clear();
  for (const DirectoryEntry& e : *r) names.insert(e.First("name"));
  EXPECT_EQ(names, (std::set<std::string>{"All Sales", "Sales Lists"}));
}

// Filters in the forms that Active Directory accepts beyond RFC 4515, as
// directory owners store them in query-based lists: every backend answers them
// alike.
TEST_P(DirectoryContract, TakesActiveDirectoryFilterForms) {
  auto normal = [](std::vector<std::string> dns) {
    for (std::string& dn : dns) dn = NormalizeDn(dn, *Schema::Builtin()).value_or("BAD " + dn);
    std::sort(dns.begin(), dns.end());
    return dns;
  };
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"(&(objectCategory=person)(objectClass=user)(mailNickname=*)(!cn="
       "SystemMailbox{*}))",
       {"CN=Alice Archer,CN=Users,DC=example,DC=com", "CN=Bob Baker,CN=Users,DC=example,DC=com",
        "CN=Erin Eastwood,CN=Users,DC=example,DC=com", "CN=Zoe Zeller,CN=Users,DC=example,DC=com",
        "CN=Carol Chen,OU=Sales,DC=example,DC=com",
        "CN=O'Brien\\, Pat,OU=Sales,DC=example,DC=com"}},
      {"  (& (mailnickname=*) (| (objectCategory=group) ) )  ",
       {"CN=All Sales,OU=Sales,DC=example,DC=com",
        "CN=Engineering Staff,CN=Users,DC=example,DC=com"}},
      {"(&(objectClass=contact) (!(mail=*@partner.example.org) ))",
       {"CN=Gina Gray,OU=Sales,DC=example,DC=com"}},
      {"(|mail=alice.archer@example.com)", {"CN=Alice Archer,CN=Users,DC=example,DC=com"}},
      {"(&(objectClass=group)(!groupType:1.2.840.113556.1.4.803:=2147483648))",
       {"CN=All Sales,OU=Sales,DC=example,DC=com"}},
  };
  for (const auto& [filter, dns] : cases) EXPECT_EQ(Dns(*dir_, filter), normal(dns)) << filter;
}

TEST_P(DirectoryContract, ReportsErrorsWithNumbers) {
  Result<std::vector<DirectoryEntry>> r =
      dir_->Search(kBase, SearchScope::kSubtree, "(cn=a**b)", {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().number(), err::kDirInvalidFilter);
  // A filter that neither dialect takes is refused before any server sees it,
  // by name.
  r = dir_->Search(kBase, SearchScope::kSubtree, "(!cn=a)(cn=b)", {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().number(), err::kDirInvalidFilter);
  EXPECT_EQ(r.status().description(),
            "invalid search filter \"(!cn=a)(cn=b)\": unexpected text after "
            "the filter");
  r = dir_->Search("OU=Missing,DC=example,DC=com", SearchScope::kSubtree, "(cn=*)", {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().number(), err::kDirNoSuchObject);
}

TEST_P(DirectoryContract, ScopesAgree) {
  EXPECT_EQ(Dns(*dir_, "(objectClass=*)", "OU=Sales,DC=example,DC=com", SearchScope::kBase),
            std::vector<std::string>{"ou=sales,dc=example,dc=com"});
  EXPECT_EQ(
      Dns(*dir_, "(objectClass=*)", "OU=Sales,DC=example,DC=com", SearchScope::kOneLevel).size(),
      6u);
}

// Callers that keep entries get at least what a search gives, whoever holds the
// entries.
TEST_P(DirectoryContract, SharedEntriesHoldWhatASearchGives) {
  const FilterNode filter =
      AnyOfFilter({EqualityFilter("objectClass", "user"), EqualityFilter("objectClass", "group")});
  // Schema spellings, an alias ("street"), odd case and a computed value
  // (distinguishedName).
  const std::vector<std::vector<std::string>> requests = {
      {"cn", "name", "mail", "proxyAddresses", "streetAddress", "member", "otherTelephone"},
      {"street", "MAIL", "displayName"},
      {"distinguishedName", "cn"},
      {}};
  for (const std::vector<std::string>& attributes : requests) {
    Result<std::vector<DirectoryEntry>> copies =
        dir_->Search(kBase, SearchScope::kSubtree, FilterToString(filter), attributes);
    Result<std::vector<SharedDirectoryEntry>> shared =
        SearchShared(*dir_, kBase, SearchScope::kSubtree, filter, attributes);
    ASSERT_TRUE(copies.ok()) << copies.status().description();
    ASSERT_TRUE(shared.ok()) << shared.status().description();
    ASSERT_EQ(shared->size(), copies->size());
    ASSERT_GT(copies->size(), 3u);
    for (size_t i = 0; i < copies->size(); ++i) {
      const DirectoryEntry& copy = (*copies)[i];
      const EntryView& kept = *(*shared)[i];
      EXPECT_EQ(kept.Dn(), copy.dn);
      std::vector<std::string> names = attributes;
      if (names.empty()) {
        for (const DirectoryAttribute& a : copy.attributes) names.push_back(a.name);
      }
      for (const std::string& a : names) {
        ValueList values = kept.Values(a);
        EXPECT_EQ(std::vector<std::string>(values.begin(), values.end()), copy.Values(a))
            << copy.dn << " " << a;
      }
    }
  }
  Result<std::vector<SharedDirectoryEntry>> missing =
      SearchShared(*dir_, "OU=Missing,DC=example,DC=com", SearchScope::kSubtree, filter, {"cn"});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().number(), err::kDirNoSuchObject);
}

INSTANTIATE_TEST_SUITE_P(Directory, DirectoryContract, ::testing::Values("embedded", "slapd"));

// --- differential
// ------------------------------------------------------------------------

// Filters that Exchange stores or that the program sends, plus edge cases of
// the matching rules. `name` filters use RDN values only: slapd reads `name` as
// the supertype of cn, sn, ou and the like, and the test data keeps those
// apart.
const char* const kHandWritten[] = {
    "(&(objectClass=user)(objectCategory=person)(mailNickname=*)("
    "msExchHomeServerName=*))",
    "(& (mailnickname=*) (| (objectCategory=group) ))",
    "(!(name=SystemMailbox{*))",
    "(!(msExchRecipientTypeDetails=16777216))",
    "(!(!(mailNickname=*)))",
    "(!(!(!(objectCategory=group))))",
    "(&(mailNickname=*)(!(name=SystemMailbox{*))(!(msExchRecipientTypeDetails="
    "16777216)))",
    "(&(objectCategory=person)(objectClass=user)(!(userAccountControl:1.2.840."
    "113556.1.4.803:=2)))",
    "(groupType:1.2.840.113556.1.4.803:=2147483648)",
    "(groupType:1.2.840.113556.1.4.803:=-2147483648)",
    "(groupType:1.2.840.113556.1.4.804:=6)",
    "(!(groupType:1.2.840.113556.1.4.804:=8))",
    "(msExchRecipientTypeDetails:1.2.840.113556.1.4.804:=70368744177664)",
    "(msExchRecipientTypeDetails:1.2.840.113556.1.4.803:=70368744177665)",
    "(cn:1.2.840.113556.1.4.803:=1)",
    "(!(cn:1.2.840.113556.1.4.803:=1))",
    "(objectCategory=person)",
    "(objectCategory=group)",
    "(objectCategory=msExchDynamicDistributionList)",
    "(objectCategory=publicFolder)",
    "(objectCategory=contact)",
    "(objectCategory=user)",
    "(objectCategory=computer)",
    "(objectClass=user)",
    "(&(objectClass=user)(!(objectClass=computer)))",
    "(objectClass=organizationalPerson)",
    "(proxyAddresses=SMTP:alice.archer@example.com)",
    "(proxyAddresses=smtp:ALICE.ARCHER@EXAMPLE.COM)",
    "(proxyAddresses=smtp:*@sales.example.com)",
    "(proxyAddresses=x500:*)",
    "(legacyExchangeDN=/o=Example/ou=First Administrative "
    "Group/cn=Recipients/cn=bbaker)",
    "(mail=BOB.BAKER@EXAMPLE.COM)",
    "(mail=*@example.com)",
    "(telephoneNumber=+1 206-555-0200)",
    "(telephoneNumber=2065550300)",
    "(telephoneNumber=+1 \\28206\\29 555 0100)",
    "(telephoneNumber=*555*)",
    "(mobile=+4420 7946-0000)",
    "(facsimileTelephoneNumber=+1 206 555 0104)",
    "(!(facsimileTelephoneNumber=+1 206 555 0104))",
    "(facsimileTelephoneNumber=*)",
    "(displayName=  bob   BAKER )",
    "(displayName=zoë zeller)",
    "(displayName=ZOË*)",
    "(givenName=zoË)",
    "(member=cn=carol chen,ou=sales,dc=example,dc=com)",
    "(member=CN=O'Brien\\5c, Pat,OU=Sales,DC=example,DC=com)",
    "(!(member=cn=alice archer,cn=users,dc=example,dc=com))",
    "(msExchDynamicDLBaseDN=ou=sales,dc=example,dc=com)",
    "(msExchHideFromAddressLists=TRUE)",
    "(!(msExchHideFromAddressLists=TRUE))",
    "(msExchHideFromAddressLists=true)",
    "(groupType=eight)",
    "(!(groupType=eight))",
    "(groupType=08)",
    "(groupType>=0)",
    "(groupType<=-2147483640)",
    "(msExchRecipientTypeDetails>=16777216)",
    "(company>=f)",
    "(department<=finance)",
    "(company=*\\28holding\\29)",
    "(department=r\\2ad)",
    "(department=R\\*D)",
    "(streetAddress=1 main*)",
    "(street=*MAIN STREET)",
    // Letter case is ignored, spelling is not: "Hauptstraße 5" is no
    // "hauptstrasse 5".
    "(streetAddress=HAUPTSTRA\u00DFE 5)",
    "(streetAddress=hauptstrasse 5)",
    "(street=*STRASSE*)",
    "(street=*stra\u00DF*)",
    "(name=Users)",
    "(name=o'brien, pat)",
    "(name=SystemMailbox{*)",
    "(cn~=gina gray)",
    "(cn:caseExactMatch:=alice archer)",
    "(cn:caseExactMatch:=Alice Archer)",
    "(cn:dn:=Sales)",
    "(&)",
    "(|)",
    "(!(&))",
    "(mailNickname=*)",
    "(&(objectCategory=person)(|(department=Sales)(department=Engineering)))",
    "(|(mail=alice.archer@example.com)(legacyExchangeDN=*cn=cchen))",
    // Active Directory's forms, which the LDAP backend sends in their RFC 4515
    // spelling.
    "(&(mailNickname=*)(!name=SystemMailbox{*})(!msExchRecipientTypeDetails="
    "16777216))",
    " (& (objectCategory=person) (!(extensionAttribute1=*staff) ) ) ",
    "(|extensionAttribute2=sales)",
    // Active Directory's attributes with their syntaxes: DNs compared as DNs,
    // strings ignoring case with ordering (slapd has none on the RFC types,
    // employeeNumber among them), telephone numbers without spaces and hyphens,
    // integers as numbers, times as instants, octet strings as bytes.
    "(manager=cn=bob baker, cn=users, dc=example, dc=com)",
    "(!(manager=CN=Bob Baker,CN=Users,DC=example,DC=com))",
    "(manager=*)",
    "(memberOf=cn=all sales,ou=sales,dc=example,dc=com)",
    "(memberOf=CN=Domain Admins,CN=Users,DC=example,DC=com)",
    "(directReports=CN=Alice Archer,CN=Users,DC=example,DC=com)",
    "(managedBy=cn=Alice Archer,cn=Users,DC=Example,DC=Com)",
    "(managedBy=bad dn)",
    "(employeeNumber=10042)",
    "(employeeNumber=*00*)",
    "(employeeID=e-0042)",
    "(userPrincipalName=bob.baker@CORP.example.com)",
    "(userPrincipalName=*@corp.example.com)",
    "(userPrincipalName>=b)",
    "(extensionAttribute1=field staff)",
    "(extensionAttribute1=*STAFF)",
    "(extensionAttribute1>=O)",
    "(extensionAttribute1<=office staff)",
    "(!(extensionAttribute1=*))",
    "(extensionAttribute15=cost  centre 4711)",
    "(extensionAttribute15=COST CENTRE*)",
    "(c=us)",
    "(countryCode=840)",
    "(countryCode>=830)",
    "(countryCode=0840)",
    "(primaryGroupID=513)",
    "(primaryGroupID:1.2.840.113556.1.4.803:=3)",
    "(accountExpires=9223372036854775807)",
    "(accountExpires<=132000000000000000)",
    "(whenCreated=20210301110000Z)",
    "(whenCreated=202103011100Z)",
    "(whenCreated=20210301063000-0430)",
    "(whenCreated>=20210301110000.1Z)",
    "(whenCreated<=20200101000000Z)",
    "(whenCreated>=2021)",
    "(!(whenCreated=20211301000000Z))",
    "(otherTelephone=+1-206-555-0105)",
    "(otherTelephone=*5550106)",
    "(otherMobile=+12065550107)",
    "(ipPhone=41 05)",
    "(info=prefers e-mail)",
    "(info=*MAIL)",
    "(dNSHostName=WS-0042.example.com)",
    "(operatingSystem=windows*)",
    "(msExchRequireAuthToSendTo=TRUE)",
    "(!(msExchRequireAuthToSendTo=TRUE))",
    "(objectGUID="
    "\\00\\11\\22\\2a\\28\\29\\5c\\33\\44\\55\\66\\77\\88\\99\\aa\\bb)",
    "(objectGUID="
    "\\00\\11\\22\\2A\\28\\29\\5C\\33\\44\\55\\66\\77\\88\\99\\AA\\bc)",
    "(objectGUID=*)",
    // An attribute that testqav's schema does not define: compared as Active
    // Directory compares a Unicode string (slapd defines it so for this test).
    "(msDS-cloudExtensionAttribute1=employee)",
    "(msds-cloudextensionattribute1=EMPLOYEE)",
    "(msDS-cloudExtensionAttribute1=*ee)",
    "(msDS-cloudExtensionAttribute1=*tr*ct*)",
    "(msDS-cloudExtensionAttribute1>=f)",
    "(msDS-cloudExtensionAttribute1<=employee)",
    "(msDS-cloudExtensionAttribute1=\u00E4rger*)",
    "(msDS-cloudExtensionAttribute1:caseExactMatch:=Employee)",
    "(!(msDS-cloudExtensionAttribute1=employee))",
    "(!(msDS-cloudExtensionAttribute1=*))",
    "(!msDS-cloudExtensionAttribute1=contractor)",
};

// Random filters from a grammar over the test data's attributes and values.
std::string GeneratedFilter(std::mt19937& rng, int depth) {
  static const char* kEquality[] = {"(department=Sales)",
                                    "(department=sales)",
                                    "(department=Finance)",
                                    "(company=Example Corp)",
                                    "(company=example  corp)",
                                    "(l=Seattle)",
                                    "(st=or)",
                                    "(co=Germany)",
                                    "(sn=Baker)",
                                    "(givenName=alice)",
                                    "(initials=Q)",
                                    "(generationQualifier=jr)",
                                    "(title=Sales Manager)",
                                    "(mailNickname=ffox)",
                                    "(mailNickname=allsales)",
                                    "(sAMAccountName=DDUNN)",
                                    "(userAccountControl=512)",
                                    "(userAccountControl=514)",
                                    "(groupType=-2147483646)",
                                    "(msExchRecipientDisplayType=3)",
                                    "(msExchRecipientTypeDetails=1)",
                                    "(targetAddress=SMTP:frank@partner.example.org)",
                                    "(description=no mailbox)",
                                    "(objectClass=group)",
                                    "(objectClass=contact)",
                                    "(objectClass=top)",
                                    "(objectClass=msExchDynamicDistributionList)",
                                    "(objectCategory=person)",
                                    "(objectCategory=group)",
                                    "(physicalDeliveryOfficeName=building 7)",
                                    "(postalCode=98101)",
                                    "(homePhone=2065550102)",
                                    "(pager=5550103)",
                                    "(otherTelephone=+1 206 555 0106)",
                                    "(mail=gina@customer.example.net)",
                                    "(uid=nobody)",
                                    "(ou=sales)",
                                    "(dc=example)",
                                    "(manager=cn=bob baker,cn=users,dc=example,dc=com)",
                                    "(extensionAttribute1=staff)",
                                    "(msDS-cloudExtensionAttribute1=employee)",
                                    "(countryCode=826)"};
  static const char* kOther[] = {"(department=*)",
                                 "(company=*corp)",
                                 "(sn=*e*)",
                                 "(displayName=*a*)",
                                 "(title=*manager)",
                                 "(mail=*example.com)",
                                 "(proxyAddresses=smtp:*)",
                                 "(mobile=*)",
                                 "(otherTelephone=*0105)",
                                 "(cn=A*)",
                                 "(cn=*r)",
                                 "(l=*)",
                                 "(userAccountControl>=600)",
                                 "(userAccountControl:1.2.840.113556.1.4.803:=512)",
                                 "(userAccountControl:1.2.840.113556.1.4.804:=4098)",
                                 "(groupType:1.2.840.113556.1.4.803:=2)",
                                 "(msExchRecipientDisplayType<=6)",
                                 "(msExchHideFromAddressLists=FALSE)",
                                 "(legacyExchangeDN=*recipients*)",
                                 "(msExchHomeServerName=*cn=EX2)",
                                 "(msDS-cloudExtensionAttribute1=*e*)",
                                 "(memberOf=*)",
                                 "(facsimileTelephoneNumber=1)",
                                 "(mailNickname>=m)",
                                 "(sAMAccountName<=b)",
                                 "(groupType=bad)"};
  constexpr size_t kEq = sizeof(kEquality) / sizeof(kEquality[0]);
  constexpr size_t kOt = sizeof(kOther) / sizeof(kOther[0]);
  if (depth == 0 || rng() % 3 == 0) {
    return rng() % 2 ? kEquality[rng() % kEq] : kOther[rng() % kOt];
  }
  switch (rng() % 4) {
    case 0: {
      // Active Directory's bare operand now and then: "(!(cn=x))" written
      // "(!cn=x)".
      std::string operand = GeneratedFilter(rng, depth - 1);
      if (rng() % 3 == 0 && operand[1] != '&' && operand[1] != '|' && operand[1] != '!') {
        operand = operand.substr(1, operand.size() - 2);
      }
      return "(!" + operand + ")";
    }
    case 1:
      return "(| " + GeneratedFilter(rng, depth - 1) + " " + GeneratedFilter(rng, depth - 1) + " )";
    default: {
      std::string out = "(&";
      int n = 1 + static_cast<int>(rng() % 3);
      for (int i = 0; i < n; ++i) out += GeneratedFilter(rng, depth - 1);
      return out + ")";
    }
  }
}

TEST(DirectoryDifferential, EmbeddedAndSlapdReturnTheSameEntries) {
  if (!SlapdConfigured()) GTEST_SKIP() << "TESTQAV_SLAPD_URL is not set";
  std::shared_ptr<Directory> embedded = Open("embedded");
  std::shared_ptr<Directory> slapd = Open("slapd");
  ASSERT_TRUE(embedded && slapd);
  std::vector<std::string> corpus(std::begin(kHandWritten), std::end(kHandWritten));
  std::mt19937 rng(1234);
  while (corpus.size() < 400) corpus.push_back(GeneratedFilter(rng, 3));
  int non_empty = 0;
  for (const std::string& f : corpus) {
    std::vector<std::string> expected = Dns(*slapd, f);
    EXPECT_EQ(Dns(*embedded, f), expected) << f;
    non_empty += expected.empty() || expected[0].rfind("ERROR", 0) == 0 ? 0 : 1;
  }
  EXPECT_GT(non_empty, 150);
}

// --- configuration
// ------------------------------------------------------------------------

TEST(DirectoryConf, ParsesKeysAndRejectsFaultsByLine) {
  Result<LdapConfig> c = ParseDirectoryConf(
      "# organisation directory\n"
      "url = ldaps://dc1.example.com:636\n"
      "  bind_dn = CN=svc,CN=Users,DC=example,DC=com \n"
      "password_file=/etc/testqav/pw\n"
      "verify_certificates = No\n"
      "timeout = 15\n"
      "ca_file = /etc/ssl/ca.pem\n"
      "base = DC=example,DC=com\n",
      "directory.conf");
  ASSERT_TRUE(c.ok()) << c.status().description();
  EXPECT_EQ(c->url, "ldaps://dc1.example.com:636");
  EXPECT_EQ(c->bind_dn, "CN=svc,CN=Users,DC=example,DC=com");
  EXPECT_EQ(c->password_file, "/etc/testqav/pw");
  EXPECT_FALSE(c->verify_certificates);
  EXPECT_FALSE(c->starttls);
  EXPECT_EQ(c->timeout_seconds, 15);
  EXPECT_EQ(c->ca_file, "/etc/ssl/ca.pem");
  EXPECT_EQ(c->base, "DC=example,DC=com");
  EXPECT_TRUE(ParseDirectoryConf("url = ldap://h\n", "d")->verify_certificates);

  const std::pair<const char*, const char*> bad[] = {
      {"url = http://x\n", "d:1: url must start with ldap:// or ldaps://"},
      {"url = ldap://x\nstarttls = maybe\n", "d:2: starttls must be yes or no"},
      {"url = ldap://x\ntimeout = 0\n", "d:2: timeout must be a number of seconds from 1 to 3600"},
      {"url = ldap://x\npassword = secret\n", "d:2: unknown key \"password\""},
      {"url ldap://x\n", "d:1: expected \"key = value\""},
      {"bind_dn = x\n", "d:0: no url given"},
      {"url = ldaps://x\nstarttls = yes\n", "d:0: starttls cannot be used with ldaps://"},
  };
  for (const auto& [text, message] : bad) {
    Result<LdapConfig> r = ParseDirectoryConf(text, "d");
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.status().number(), err::kInvalidArg);
    EXPECT_EQ(r.status().description(), message);
  }
}

// Every server gets RFC 4515 text, Active Directory too (libldap would refuse
// its forms); only a server that is not Active Directory gets category DNs for
// short names.
TEST(DirectoryLdapBackend, SendsRfc4515TextToEveryServer) {
  const char* stored = " (& (objectCategory=person) (!cn=SystemMailbox{*}) ) ";
  EXPECT_EQ(LdapFilterText(stored, true, "DC=x,DC=test").value_or("?"),
            "(&(objectCategory=person)(!(cn=SystemMailbox{*})))");
  EXPECT_EQ(LdapFilterText(stored, false, "DC=x,DC=test").value_or("?"),
            "(&(objectCategory=CN=Person,CN=Schema,CN=Configuration,DC=x,DC=test)"
            "(!(cn=SystemMailbox{*})))");
  Result<std::string> bad = LdapFilterText("(!cn=a)(cn=b)", true, "DC=x,DC=test");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.status().number(), err::kDirInvalidFilter);
}

TEST(DirectoryLdapBackend, ConnectionFailuresCarryTheLdapCode) {
  LdapConfig config;
  config.url = "ldap://127.0.0.1:1/";  // nothing listens on port 1
  config.timeout_seconds = 2;
  Result<std::shared_ptr<Directory>> d = OpenLdapDirectory(config);
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.status().number(), err::kDirServerDown);
  EXPECT_NE(d.status().description().find("Can't contact LDAP server (LDAP result code -1)"),
            std::string::npos)
      << d.status().description();
}

TEST(DirectoryLdapBackend, WrongPasswordIsALogonFailureWithoutThePassword) {
  if (!SlapdConfigured()) GTEST_SKIP() << "TESTQAV_SLAPD_URL is not set";
  std::string path = ::testing::TempDir() + "/directory-wrong-password";
  { std::ofstream(path) << "not-the-password-Xy7\n"; }
  LdapConfig config;
  config.url = testing_support::Env("TESTQAV_SLAPD_URL");
  config.bind_dn = testing_support::Env("TESTQAV_SLAPD_BIND_DN");
  config.password_file = path;
  Result<std::shared_ptr<Directory>> d = OpenLdapDirectory(config);
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.status().number(), err::kLogonFailed);
  EXPECT_NE(d.status().description().find("Invalid credentials (LDAP result code 49)"),
            std::string::npos)
      << d.status().description();
  EXPECT_EQ(d.status().description().find("not-the-password"), std::string::npos);
}

}  // namespace
}  // namespace testqav
