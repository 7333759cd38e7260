// The embedded directory: LDIF loading with its errors, filter evaluation as a directory
// server does it, and the indexed search against the plain scan on random filters.
#include <algorithm>
#include <random>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/common/error_codes.h"
#include "platform/directory/embedded/ldif_directory.h"
#include "platform/directory/embedded/ldif_reader.h"
#include "platform/directory/filter.h"
#include "platform/directory/filter_eval.h"
#include "platform/directory/matching.h"
#include "test_support.h"

namespace testqav {
namespace {

using testing_support::OpenEmbedded;

std::set<std::string> Names(Directory& dir, const std::string& filter,
                            std::string_view base = "DC=example,DC=com",
                            SearchScope scope = SearchScope::kSubtree) {
  Result<std::vector<DirectoryEntry>> r = dir.Search(base, scope, filter, {"name"});
  EXPECT_TRUE(r.ok()) << filter << ": " << r.status().description();
  std::set<std::string> out;
  if (r.ok()) {
    for (const DirectoryEntry& e : *r) out.insert(e.First("name"));
  }
  return out;
}

class DirectoryEmbeddedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Result<std::shared_ptr<Directory>> d = OpenEmbedded();
    ASSERT_TRUE(d.ok()) << d.status().description();
    dir_ = *d;
  }
  std::shared_ptr<Directory> dir_;
};

// --- LDIF ------------------------------------------------------------------------------

struct LdifCase {
  const char* text;
  size_t line;
  const char* fault;
};

TEST(DirectoryLdif, MalformedFilesNameFileLineAndFault) {
  const LdifCase cases[] = {
      {"version: 2\n\ndn: cn=a\ncn: a\n", 1, "unsupported LDIF version"},
      {"dn: cn=a\ncn a\n", 2, "missing \":\""},
      {"dn: cn=a\ncn: a\n\ncn: b\n", 4, "record does not start with \"dn:\""},
      {"dn: cn=a,,dc=x\ncn: a\n", 1, "invalid distinguished name"},
      // Decoded values with line breaks must not split the diagnostic.
      {"version:: MQoy\n", 1, "unsupported LDIF version \"1\\x0A2\""},
      {"dn:: Y249YSwsCmRjPXg=\n", 1, "invalid distinguished name \"cn=a,,\\x0Adc=x\""},
      {"dn: cn=a\nchangetype: modify\n", 2, "change records are not supported"},
      {"dn: cn=a\ncn: a\n-\n", 3, "\"-\" separators"},
      {"dn: cn=a\ncn:: $$$\n", 2, "bad base64"},
      {"dn: cn=a\njpegPhoto:< file:///x\n", 2, "URL values"},
      {" folded\ndn: cn=a\n", 1, "continuation line"},
      {"# comment\n#  more\ndn: cn=a\ncn: a\nc n: x\n", 5, "invalid attribute description"},
      {"dn: cn=a\ncn: a\n long\ndn: cn=b\n", 4, "second \"dn:\""},
  };
  for (const LdifCase& c : cases) {
    std::ostringstream diagnostics;
    Result<std::vector<DirectoryEntry>> r = ParseLdif(c.text, "t.ldif", diagnostics);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.status().number(), err::kCorrupt);
    std::string prefix = "t.ldif:" + std::to_string(c.line) + ": ";
    EXPECT_EQ(r.status().description().rfind(prefix, 0), 0u)
        << c.text << " -> " << r.status().description();
    EXPECT_NE(r.status().description().find(c.fault), std::string::npos)
        << r.status().description();
    EXPECT_EQ(diagnostics.str(), r.status().description() + "\n");
    EXPECT_EQ(r.status().description().find('\n'), std::string::npos);
  }
}

TEST(DirectoryLdif, ReadsFoldingBase64CommentsAndOptions) {
  std::ostringstream diagnostics;
  Result<std::vector<DirectoryEntry>> r = ParseLdif(
      "version: 1\r\n# a comment\r\n#  folded comment\r\n"
      "dn: cn=Alpha Beta,dc=exa\r\n mple,dc=com\r\n"
      "cn: Alpha\r\n  Beta\r\n"
      "description:: w6nDqQ==\r\n"
      "description;lang-en: second\r\n"
      "\r\n\r\n"
      "dn:: Y249R2FtbWEsZGM9ZXhhbXBsZSxkYz1jb20=\r\ncn: Gamma\r\n",
      "ok.ldif", diagnostics);
  ASSERT_TRUE(r.ok()) << r.status().description();
  ASSERT_EQ(r->size(), 2u);
  EXPECT_EQ((*r)[0].dn, "cn=Alpha Beta,dc=example,dc=com");
  EXPECT_EQ((*r)[0].First("cn"), "Alpha Beta");
  EXPECT_EQ((*r)[0].Values("DESCRIPTION"), (std::vector<std::string>{"éé", "second"}));
  EXPECT_EQ((*r)[1].dn, "cn=Gamma,dc=example,dc=com");
  EXPECT_TRUE(diagnostics.str().empty());
}

// A fault names its line in the file; of two faults the first is reported, except that a
// continuation line with nothing to continue, anywhere, goes before every other fault.
TEST(DirectoryLdif, FaultsNameTheirLineAndTheFirstIsReported) {
  std::string text = "version: 1\n\n";
  for (int i = 0; i < 40; ++i) {
    const std::string n = std::to_string(i);
    text += "dn: cn=u" + n + ",dc=example,dc=com\nobjectClass: person\ncn: u" + n + "\nsn: S" + n +
            "\n\n";
  }
  // A fault late in the file, and another earlier: the first one is reported.
  std::string late = text + "dn: cn=bad\ncn a\n";
  const size_t late_line = static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 2;
  std::ostringstream late_diagnostics;
  auto c = LdifDirectoryFromText(late, "p.ldif", late_diagnostics);
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.status().description().rfind("p.ldif:" + std::to_string(late_line) + ": ", 0), 0u)
      << c.status().description();
  EXPECT_EQ(late_diagnostics.str(), c.status().description() + "\n");
  std::string both = late;
  both.replace(both.find("sn: S2\n"), 7, "sn S2\n");
  std::ostringstream both_diagnostics;
  auto d = LdifDirectoryFromText(both, "p.ldif", both_diagnostics);
  ASSERT_FALSE(d.ok());
  EXPECT_NE(d.status().description().find("missing \":\" in \"sn S2\""), std::string::npos)
      << d.status().description();
  EXPECT_EQ(both_diagnostics.str(), d.status().description() + "\n");
  // A continuation line with nothing to continue, anywhere, goes before every other fault.
  std::string orphan = both + "\n continued\n";
  std::ostringstream orphan_diagnostics;
  auto o = LdifDirectoryFromText(orphan, "p.ldif", orphan_diagnostics);
  ASSERT_FALSE(o.ok());
  EXPECT_NE(o.status().description().find("continuation line"), std::string::npos);
  const size_t orphan_line = static_cast<size_t>(std::count(both.begin(), both.end(), '\n')) + 2;
  EXPECT_EQ(o.status().description().rfind("p.ldif:" + std::to_string(orphan_line) + ": ", 0), 0u)
      << o.status().description();
  EXPECT_EQ(orphan_diagnostics.str(), o.status().description() + "\n");
}

TEST(DirectoryLdif, MissingFileIsAnError) {
  std::ostringstream diagnostics;
  Result<std::shared_ptr<Directory>> r = LoadLdifDirectory("/nonexistent/x.ldif", diagnostics);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().number(), err::kNotFound);
  EXPECT_NE(diagnostics.str().find("/nonexistent/x.ldif"), std::string::npos);
}

TEST(DirectoryLdif, RootDseFromEntriesOrFromTheEmptyDn) {
  std::ostringstream diagnostics;
  auto d = LdifDirectoryFromText(
      "dn: cn=a,ou=x,DC=Child,DC=Corp,DC=Test\ncn: a\n\n"
      "dn: cn=b,DC=corp,DC=test\ncn: b\n\ndn: o=elsewhere\no: elsewhere\n",
      "r.ldif", diagnostics);
  ASSERT_TRUE(d.ok());
  Result<DirectoryEntry> dse = (*d)->RootDse();
  ASSERT_TRUE(dse.ok());
  EXPECT_EQ(dse->First("rootDomainNamingContext"), "DC=Corp,DC=Test");
  EXPECT_EQ(dse->First("defaultNamingContext"), "DC=Corp,DC=Test");

  auto given = LdifDirectoryFromText(
      "dn:\nrootDomainNamingContext: DC=forest,DC=test\ndefaultNamingContext: DC=a,DC=test\n\n"
      "dn: cn=b,DC=a,DC=test\ncn: b\n",
      "g.ldif", diagnostics);
  ASSERT_TRUE(given.ok());
  EXPECT_EQ((*given)->RootDse()->First("rootDomainNamingContext"), "DC=forest,DC=test");
  EXPECT_EQ((*given)->RootDse()->First("defaultNamingContext"), "DC=a,DC=test");
  // The rootDSE entry is not an ordinary entry.
  EXPECT_EQ(Names(**given, "(cn=*)", "", SearchScope::kSubtree), (std::set<std::string>{"b"}));
}

// --- evaluation --------------------------------------------------------------------------

struct EvalCase {
  const char* filter;
  std::set<std::string> names;
};

TEST_F(DirectoryEmbeddedTest, EvaluatesAsADirectoryServerDoes) {
  const std::set<std::string> kMailboxUsers = {
      "Alice Archer", "Bob Baker",    "Erin Eastwood",
      "Zoe Zeller",   "O'Brien, Pat", "SystemMailbox{1f05a927-3be2-4fb9-aa03-b59fe3b56f4c}"};
  const EvalCase cases[] = {
      // An attribute that the schema does not define is a Unicode string, as Active Directory
      // compares one: ignoring case, with ordering and substrings; an entry without it is
      // FALSE (the negation, below, holds for every entry).
      {"(noSuchAttribute=1)", {}},
      {"(!(!(noSuchAttribute=*)))", {}},
      {"(|(noSuchAttribute=1)(cn=Dave Dunn))", {"Dave Dunn"}},
      {"(msDS-cloudExtensionAttribute1=EMPLOYEE)", {"Bob Baker", "Carol Chen"}},
      {"(MSDS-CLOUDEXTENSIONATTRIBUTE1=*tor)", {"Alice Archer"}},
      {"(msDS-cloudExtensionAttribute1>=f)", {"Dave Dunn", "Frank Fox"}},
      {"(msDS-cloudExtensionAttribute1=\u00E4RGER*)", {"Frank Fox"}},
      {"(&(objectClass=user)(!(msDS-cloudExtensionAttribute1=*)))",
       {"Erin Eastwood", "Zoe Zeller", "O'Brien, Pat",
        "SystemMailbox{1f05a927-3be2-4fb9-aa03-b59fe3b56f4c}", "WS-0042"}},
      // Known attribute the entry lacks is FALSE, so its negation holds.
      {"(&(objectClass=group)(!(mail=*)))", {"Domain Admins"}},
      {"(&(objectClass=group)(!(mail=x@y)))", {"All Sales", "Engineering Staff", "Domain Admins"}},
      // No equality rule (fax): Undefined even where the value is there.
      {"(facsimileTelephoneNumber=+1 206 555 0104)", {}},
      {"(!(facsimileTelephoneNumber=+1 206 555 0104))", {}},
      {"(facsimileTelephoneNumber=*)", {"Alice Archer"}},
      // Invalid assertion values are Undefined.
      {"(groupType=eight)", {}},
      {"(!(groupType=eight))", {}},
      {"(groupType=08)", {}},
      {"(msExchHideFromAddressLists=true)", {}},
      {"(objectCategory=notADn)", {}},
      // Integer, ordering, Boolean.
      {"(groupType=8)", {"All Sales"}},
      {"(groupType<=-2147483640)", {"Domain Admins", "Engineering Staff"}},
      {"(groupType<=-2147483641)", {"Domain Admins"}},
      {"(msExchRecipientTypeDetails>=16777216)",
       {"Bob Baker", "SystemMailbox{1f05a927-3be2-4fb9-aa03-b59fe3b56f4c}"}},
      {"(msExchHideFromAddressLists=TRUE)",
       {"Erin Eastwood", "SystemMailbox{1f05a927-3be2-4fb9-aa03-b59fe3b56f4c}"}},
      // Ordering on strings, as Active Directory offers it (RFC 4519 and slapd have none).
      {"(cn>=s)",
       {"Zoe Zeller", "SystemMailbox{1f05a927-3be2-4fb9-aa03-b59fe3b56f4c}", "WS-0042",
        "Sales Lists", "Support Folder", "Users"}},
      {"(c>=H)", {"Alice Archer"}},
      {"(employeeNumber<=10050)", {"Alice Archer"}},  // a string: "9001" sorts after "10050"
      {"(sn<=b)", {"Alice Archer"}},
      // Times compare as instants, whatever the zone and precision.
      {"(whenCreated=20210301120000+0100)", {"Bob Baker"}},
      {"(whenCreated>=20210301110000,25Z)", {"Carol Chen"}},
      {"(whenCreated<=2020010100Z)", {"Alice Archer", "WS-0042"}},
      // Bitwise rules on signed values.
      {"(groupType:1.2.840.113556.1.4.803:=2147483648)", {"Engineering Staff", "Domain Admins"}},
      {"(groupType:1.2.840.113556.1.4.803:=-2147483648)", {"Engineering Staff", "Domain Admins"}},
      {"(groupType:1.2.840.113556.1.4.803:=2147483650)", {"Domain Admins"}},
      {"(groupType:1.2.840.113556.1.4.804:=10)",
       {"All Sales", "Engineering Staff", "Domain Admins"}},
      {"(userAccountControl:1.2.840.113556.1.4.803:=2)",
       {"Bob Baker", "SystemMailbox{1f05a927-3be2-4fb9-aa03-b59fe3b56f4c}"}},
      {"(msExchRecipientTypeDetails:1.2.840.113556.1.4.804:=70368744177664)", {"Bob Baker"}},
      {"(cn:1.2.840.113556.1.4.803:=2)", {}},  // unsuitable rule
      {"(!(cn:1.2.840.113556.1.4.803:=2))", {}},
      {"(cn:caseExactMatch:=alice archer)", {}},
      {"(cn:caseExactMatch:=Alice Archer)", {"Alice Archer"}},
      // Telephone numbers ignore spaces and hyphens, not parentheses.
      {"(telephoneNumber=+1 206-555-0200)", {"Bob Baker"}},
      {"(telephoneNumber=2065550300)", {"Carol Chen"}},
      {"(telephoneNumber=+1 \\28206\\29 5550100)", {"Alice Archer"}},
      {"(mobile=*555 0101)", {"Alice Archer"}},
      // Blank folding and Unicode case folding.
      {"(displayName=bob baker)", {"Bob Baker"}},
      {"(displayName=  BOB   BAKER )", {"Bob Baker"}},
      {"(displayName=zoë zeller)", {"Zoe Zeller"}},
      {"(givenName=ZOË)", {"Zoe Zeller"}},
      {"(displayName=carol chÉn)", {"Carol Chen"}},
      // IA5 mail ignores ASCII case.
      {"(mail=BOB.BAKER@example.COM)", {"Bob Baker"}},
      // DN matching.
      {"(member=cn=carol chen, ou=SALES,dc=example,dc=com)", {"All Sales"}},
      {"(member=CN=O'Brien\\5c, Pat,OU=Sales,DC=example,DC=com)", {"All Sales"}},
      {"(msExchDynamicDLBaseDN=ou=sales,dc=example,dc=com)", {"Sales Lists"}},
      // objectCategory short names and class hierarchy.
      {"(objectCategory=group)", {"All Sales", "Engineering Staff", "Domain Admins"}},
      {"(objectCategory=msExchDynamicDistributionList)", {"Everyone On EX1", "Sales Lists"}},
      {"(objectCategory=publicFolder)", {"Support Folder"}},
      {"(objectCategory=computer)", {"WS-0042"}},
      {"(&(objectCategory=contact)(objectClass=contact))", {"Frank Fox", "Gina Gray"}},
      {"(&(objectClass=user)(!(objectCategory=person)))", {"WS-0042"}},
      {"(objectClass=organizationalPerson)",
       {"Alice Archer", "Bob Baker", "Carol Chen", "Dave Dunn", "Erin Eastwood", "Zoe Zeller",
        "O'Brien, Pat", "SystemMailbox{1f05a927-3be2-4fb9-aa03-b59fe3b56f4c}", "Frank Fox",
        "Gina Gray", "WS-0042"}},
      // name is the RDN value; attribute names ignore case.
      {"(name=o'brien, pat)", {"O'Brien, Pat"}},
      {"(NAME=Users)", {"Users"}},
      {"(name=example)", {"example"}},
      {"(&(objectClass=user)(objectCategory=person)(mailNickname=*)(msExchHomeServerName=*))",
       kMailboxUsers},
      {"(& (MAILNICKNAME=*) (| (objectCategory=group) ))", {"All Sales", "Engineering Staff"}},
      {"(&(mailNickname=*)(!(name=SystemMailbox{*))(!(msExchRecipientTypeDetails=16777216))"
       "(objectCategory=person)(msExchHomeServerName=*EX1))",
       {"Alice Archer", "Erin Eastwood", "O'Brien, Pat"}},
      // Substrings, escapes, streetAddress alias of street.
      {"(company=*\\28holding\\29)", {"Zoe Zeller"}},
      {"(department=r\\2ad)", {"Zoe Zeller"}},
      {"(department=R\\*D)", {"Zoe Zeller"}},
      {"(street=1 main*)", {"Alice Archer"}},
      {"(streetaddress=*MAIN STREET)", {"Alice Archer"}},
      {"(proxyAddresses=smtp:*@sales.example.com)", {"Carol Chen"}},
      {"(legacyExchangeDN=/o=example/ou=first administrative group/cn=recipients/cn=bbaker)",
       {"Bob Baker"}},
      {"(cn~=gina gray)", {"Gina Gray"}},
      {"(&)", {}},  // checked by count below
  };
  for (const EvalCase& c : cases) {
    if (std::string(c.filter) == "(&)") continue;
    EXPECT_EQ(Names(*dir_, c.filter), c.names) << c.filter;
  }
  EXPECT_EQ(Names(*dir_, "(&)").size(), 20u);
  EXPECT_EQ(Names(*dir_, "(!(noSuchAttribute=1))").size(), 20u);
  // U AND T is U for Dave Dunn, so its negation leaves him out; for everyone else the AND
  // is FALSE and the negation TRUE.
  std::set<std::string> all_but_dave = Names(*dir_, "(&)");
  all_but_dave.erase("Dave Dunn");
  EXPECT_EQ(Names(*dir_, "(!(&(groupType=eight)(cn=Dave Dunn)))"), all_but_dave);
  EXPECT_TRUE(Names(*dir_, "(|)").empty());
}

TEST_F(DirectoryEmbeddedTest, ScopesBasesAndErrors) {
  EXPECT_EQ(Names(*dir_, "(objectClass=*)", "OU=Sales,DC=example,DC=com", SearchScope::kOneLevel),
            (std::set<std::string>{"Carol Chen", "Dave Dunn", "O'Brien, Pat", "Gina Gray",
                                   "All Sales", "Sales Lists"}));
  EXPECT_EQ(Names(*dir_, "(objectClass=*)", "ou=sales,dc=EXAMPLE,dc=com", SearchScope::kBase),
            (std::set<std::string>{"Sales"}));
  EXPECT_EQ(
      Names(*dir_, "(cn=*)", "CN=O'Brien\\, Pat,OU=Sales,DC=example,DC=com", SearchScope::kSubtree),
      (std::set<std::string>{"O'Brien, Pat"}));

  Result<std::vector<DirectoryEntry>> r =
      dir_->Search("OU=Nowhere,DC=example,DC=com", SearchScope::kSubtree, "(cn=*)", {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().number(), err::kDirNoSuchObject);
  r = dir_->Search("not a dn", SearchScope::kSubtree, "(cn=*)", {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().number(), err::kDirInvalidDnSyntax);
  r = dir_->Search("DC=example,DC=com", SearchScope::kSubtree, "((proxyAddresses=x))", {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.status().number(), err::kDirInvalidFilter);
}

TEST_F(DirectoryEmbeddedTest, ReturnsRequestedAttributesUnderRequestedNames) {
  Result<std::vector<DirectoryEntry>> r =
      dir_->Search("DC=example,DC=com", SearchScope::kSubtree, "(mail=alice.archer@example.com)",
                   {"NAME", "streetAddress", "otherTelephone", "pager", "noSuch", "mail"});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 1u);
  const DirectoryEntry& e = r->front();
  EXPECT_EQ(e.dn, "CN=Alice Archer,CN=Users,DC=example,DC=com");
  ASSERT_EQ(e.attributes.size(), 5u);
  EXPECT_EQ(e.attributes[0].name, "NAME");
  EXPECT_EQ(e.attributes[0].values, std::vector<std::string>{"Alice Archer"});
  EXPECT_EQ(e.attributes[1].name, "streetAddress");
  EXPECT_EQ(e.attributes[2].values,
            (std::vector<std::string>{"+1 206 555 0105", "+1 206 555 0106"}));
  EXPECT_EQ(e.attributes[4].name, "mail");
}

// A caller that keeps entries gets the stored ones, not copies, when it asks for attributes
// as the file spells them; asked otherwise it gets what a search gives.
TEST(DirectoryLdif, HandsOutStoredEntriesWithoutCopying) {
  std::ostringstream diagnostics;
  auto dir = LdifDirectoryFromText(
      "dn: DC=x,DC=test\nobjectClass: domain\n\n"
      "dn: CN=Ann Smith,DC=x,DC=test\nobjectClass: user\ncn: Ann Smith\nname: Wrong\n"
      "mail: ann@x.test\nstreetAddress: 1 Main St\n\n"
      "dn: CN=Bob,DC=x,DC=test\nobjectClass: user\nstreet: 2 Main St\nmail: bob@x.test\n",
      "shared.ldif", diagnostics);
  ASSERT_TRUE(dir.ok()) << diagnostics.str();
  const FilterNode ann = EqualityFilter("mail", "ANN@x.test");
  auto first = SearchShared(**dir, "DC=x,DC=test", SearchScope::kSubtree, ann, {"mail", "name"});
  auto again = SearchShared(**dir, "DC=x,DC=test", SearchScope::kSubtree, ann, {"mail", "name"});
  ASSERT_TRUE(first.ok() && again.ok());
  ASSERT_EQ(first->size(), 1u);
  ASSERT_EQ(again->size(), 1u);
  // The same stored text both times.
  EXPECT_EQ(first->front()->Values("mail").front().data(),
            again->front()->Values("mail").front().data());
  // `name` is the RDN value, whatever the file says.
  EXPECT_EQ(first->front()->Values("name").front(), "Ann Smith");
  Result<std::vector<DirectoryEntry>> full =
      (*dir)->Search("CN=Ann Smith,DC=x,DC=test", SearchScope::kBase, "(objectClass=*)", {});
  ASSERT_TRUE(full.ok());
  ASSERT_EQ(full->size(), 1u);
  EXPECT_EQ(full->front().Values("name"), std::vector<std::string>{"Ann Smith"});

  // The file spells the street both ways, so neither spelling is answered by stored entries.
  auto streets = SearchShared(**dir, "DC=x,DC=test", SearchScope::kSubtree,
                              EqualityFilter("objectClass", "user"), {"streetAddress"});
  ASSERT_TRUE(streets.ok());
  ASSERT_EQ(streets->size(), 2u);
  EXPECT_EQ(streets->at(0)->Values("streetAddress").front(), "1 Main St");
  EXPECT_EQ(streets->at(1)->Values("streetAddress").front(), "2 Main St");
  // The entries live on with the views after the directory itself is dropped.
  dir = Status(err::kNotFound, "dropped");
  EXPECT_EQ(first->front()->Dn(), "CN=Ann Smith,DC=x,DC=test");
}

// --- index against the plain scan ----------------------------------------------------------

std::string RandomFilter(std::mt19937& rng, int depth) {
  static const char* kItems[] = {
      "(mail=bob.baker@example.com)", "(mail=nobody@example.com)", "(objectClass=user)",
      "(objectClass=group)", "(objectCategory=person)", "(objectCategory=group)",
      "(proxyAddresses=smtp:aa@example.com)", "(proxyAddresses=SMTP:carol.chen@example.com)",
      "(name=Users)", "(name=Bob Baker)", "(mailNickname=*)", "(department=Sales)", "(noSuch=1)",
      "(groupType=eight)", "(groupType=8)", "(cn=A*)", "(displayName=zoë zeller)",
      "(legacyExchangeDN=/o=Example/ou=First Administrative Group/cn=Recipients/cn=cchen)",
      "(facsimileTelephoneNumber=1)", "(msExchHideFromAddressLists=TRUE)", "(cn~=gina gray)",
      "(groupType:1.2.840.113556.1.4.803:=2)", "(msDS-cloudExtensionAttribute1=employee)",
      "(manager=cn=bob baker,cn=users,dc=example,dc=com)", "(extensionAttribute1=staff)",
      // Initial pieces: blanks, case, non-ASCII, multi-valued and unknown attributes.
      "(displayName=b*)", "(sn=  CH*)", "(displayName=Zoë Z*)", "(displayName=bob  b*r)",
      "(givenName=g*a*)", "(proxyAddresses=smtp:*)", "(mailNickname=*)", "(telephoneNumber=+1 5*)",
      "(extensionAttribute1=st*)", "(&(givenName=Gina)(sn=G*))"};
  constexpr size_t kCount = sizeof(kItems) / sizeof(kItems[0]);
  if (depth == 0 || rng() % 3 == 0) return kItems[rng() % kCount];
  switch (rng() % 3) {
    case 0:
      return "(!" + RandomFilter(rng, depth - 1) + ")";
    default: {
      std::string out = rng() % 2 ? "(&" : "(|";
      int n = static_cast<int>(rng() % 4);
      for (int i = 0; i < n; ++i) out += RandomFilter(rng, depth - 1);
      return out + ")";
    }
  }
}

TEST(DirectoryIndex, IndexedSearchEqualsPlainScan) {
  Result<std::shared_ptr<Directory>> fast = OpenEmbedded(true);
  Result<std::shared_ptr<Directory>> plain = OpenEmbedded(false);
  ASSERT_TRUE(fast.ok() && plain.ok());
  std::mt19937 rng(7);
  int non_empty = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string f = RandomFilter(rng, 3);
    std::set<std::string> a = Names(**fast, f);
    ASSERT_EQ(a, Names(**plain, f)) << f;
    non_empty += a.empty() ? 0 : 1;
  }
  EXPECT_GT(non_empty, 300);
}

TEST(DirectoryIndex, EqualityLookupsOnALargeDirectoryFindTheirEntries) {
  constexpr int kEntries = 100000;
  std::string ldif = "dn: DC=big,DC=test\ndc: big\nobjectClass: domain\n\n";
  ldif.reserve(static_cast<size_t>(kEntries) * 200);
  for (int i = 0; i < kEntries; ++i) {
    std::string n = std::to_string(i);
    ldif += "dn: CN=User " + n + ",DC=big,DC=test\nobjectClass: user\ncn: User " + n + "\nmail: u" +
            n + "@big.test\nproxyAddresses: SMTP:u" + n +
            "@big.test\nlegacyExchangeDN: /o=Big/cn=u" + n + "\n\n";
  }
  std::ostringstream diagnostics;
  auto dir = LdifDirectoryFromText(ldif, "big.ldif", diagnostics);
  ASSERT_TRUE(dir.ok()) << dir.status().description();
  // Build the indexes up front (in one pass over the entries),
  // then make many look-ups through them. How fast they are is the benchmarks' business.
  dynamic_cast<SearchHints&>(**dir).ExpectEqualitySearches(
      {"proxyAddresses", "mail", "legacyExchangeDN", "cn", "sn"});
  ASSERT_EQ(Names(**dir, "(cn=user 99999)", "DC=big,DC=test"), std::set<std::string>{"User 99999"});
  ASSERT_TRUE(Names(**dir, "(sn=User 1)", "DC=big,DC=test").empty());
  ASSERT_EQ(Names(**dir, "(proxyAddresses=smtp:u1@big.test)", "DC=big,DC=test").size(), 1u);
  ASSERT_EQ(Names(**dir, "(mail=u1@big.test)", "DC=big,DC=test").size(), 1u);
  ASSERT_EQ(Names(**dir, "(legacyExchangeDN=/o=Big/cn=u1)", "DC=big,DC=test").size(), 1u);
  for (int i = 0; i < 300; ++i) {
    std::string n = std::to_string(i * 331 % kEntries);
    ASSERT_EQ(Names(**dir, "(proxyAddresses=SMTP:U" + n + "@BIG.TEST)", "DC=big,DC=test"),
              std::set<std::string>{"User " + n});
    ASSERT_EQ(Names(**dir, "(|(mail=u" + n + "@big.test)(legacyExchangeDN=/o=Big/cn=x))",
                    "DC=big,DC=test")
                  .size(),
              1u);
  }
}

}  // namespace
}  // namespace testqav
