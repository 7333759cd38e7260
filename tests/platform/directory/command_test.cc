// ADsPath binding and command texts over every backend (slapd when configured).
#include <set>

#include <gtest/gtest.h>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/directory/command.h"
#include "platform/directory/connection.h"
#include "platform/directory/filter.h"
#include "test_support.h"

namespace testqav {
namespace {

class DirectoryCommandTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() == "slapd" && !testing_support::SlapdConfigured()) {
      GTEST_SKIP() << "TESTQAV_SLAPD_URL is not set";
    }
    Result<std::shared_ptr<Directory>> d =
        GetParam() == "slapd" ? testing_support::OpenSlapd() : testing_support::OpenEmbedded();
    ASSERT_TRUE(d.ok()) << d.status().description();
    dir_ = *d;
  }
  std::shared_ptr<Directory> dir_;
};

TEST_P(DirectoryCommandTest, BindsRootDseAndTheForestRoot) {
  Result<BoundObject> root = Bind(*dir_, "GC://rootDSE");
  ASSERT_TRUE(root.ok()) << root.status().description();
  Result<Variant> context = root->Get("rootDomainNamingContext");
  ASSERT_TRUE(context.ok());
  ASSERT_TRUE(context->IsString());
  EXPECT_TRUE(EqualsIgnoreCase(context->string_value(), "DC=example,DC=com"));

  Result<BoundObject> domain = Bind(*dir_, "GC://" + context->string_value());
  ASSERT_TRUE(domain.ok()) << domain.status().description();
  EXPECT_EQ(domain->ADsPath(), "GC://" + context->string_value());

  Result<BoundObject> with_server =
      Bind(*dir_, "LDAP://dc1.example.com/ou=sales,dc=example,dc=com");
  ASSERT_TRUE(with_server.ok()) << with_server.status().description();
  EXPECT_EQ(with_server->ADsPath(), "LDAP://dc1.example.com/ou=sales,dc=example,dc=com");
  Result<Variant> ou = with_server->Get("ou");
  ASSERT_TRUE(ou.ok());
  EXPECT_EQ(ou->string_value(), "Sales");

  Result<Variant> missing = with_server->Get("mail");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().number(), err::kDirPropertyNotFound);

  Result<BoundObject> nowhere = Bind(*dir_, "GC://OU=Nowhere,DC=example,DC=com");
  ASSERT_FALSE(nowhere.ok());
  EXPECT_EQ(nowhere.status().number(), err::kDirNoSuchObject);
  for (const char* bad : {"WinNT://x", "GC:/DC=a", "rootDSE", "GC://"}) {
    Result<BoundObject> r = Bind(*dir_, bad);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.status().number(), err::kDirBadPathname) << bad;
  }
}

TEST_P(DirectoryCommandTest, LookupQueryReadsColumnsByPosition) {
  Result<std::unique_ptr<Recordset>> rs =
      ExecuteCommand(*dir_, CreateRecordset,
                     "<GC://DC=example,DC=com>;((proxyAddresses=SMTP:sales.lists@example.com));"
                     "msExchDynamicDLFilter,msExchDynamicDLBaseDN;subTree");
  ASSERT_TRUE(rs.ok()) << rs.status().description();
  Recordset& set = **rs;
  EXPECT_EQ(set.State(), kStateOpen);
  ASSERT_FALSE(set.Eof());
  EXPECT_EQ(set.FieldCount(), 2);
  EXPECT_EQ(*set.FieldName(0), "msExchDynamicDLFilter");
  EXPECT_EQ(*set.FieldTypeOf(1), FieldType::kVariant);
  EXPECT_EQ(set.Value(0)->string_value(),
            "(& (mailnickname=*) (| (objectCategory=group) "
            "(objectCategory=msExchDynamicDistributionList) ))");
  EXPECT_TRUE(EqualsIgnoreCase(set.Value(1)->string_value(), "OU=Sales,DC=example,DC=com"));
  EXPECT_EQ(*set.RecordCount(), 1);

  rs = ExecuteCommand(*dir_, CreateRecordset,
                      "<GC://DC=example,DC=com>;((proxyAddresses=SMTP:nobody@example.com));"
                      "msExchDynamicDLFilter,msExchDynamicDLBaseDN;subTree");
  ASSERT_TRUE(rs.ok());
  EXPECT_EQ((*rs)->State(), kStateOpen);
  EXPECT_TRUE((*rs)->Eof());
}

TEST_P(DirectoryCommandTest, MemberQueryGivesArraysNullsAndTypedValues) {
  const std::string attributes =
      "name,mail,legacyExchangeDN,mobile,telephoneNumber,facsimileTelephoneNumber,"
      "homePhone,pager,otherTelephone,otherHomePhone,title,company,department,"
      "physicalDeliveryOfficeName,streetAddress,l,st,postalCode,co,givenName,sn,objectCategory";
  Result<std::unique_ptr<Recordset>> rs =
      ExecuteCommand(*dir_, CreateRecordset,
                     "<GC://DC=example,DC=com>;(&(objectClass=user)(objectCategory=person)"
                     "(mailNickname=*)(msExchHomeServerName=*EX1)(!(name=SystemMailbox{*))"
                     "(!(msExchRecipientTypeDetails=16777216)));" +
                         attributes + ";SUBTREE");
  ASSERT_TRUE(rs.ok()) << rs.status().description();
  Recordset& set = **rs;
  EXPECT_EQ(set.FieldCount(), 22);
  EXPECT_EQ(*set.RecordCount(), 3);
  std::set<std::string> names;
  for (; !set.Eof(); set.MoveNext().IgnoreError()) {
    names.insert(set.Value("name")->string_value());
    if (set.Value("name")->string_value() != "Alice Archer") continue;
    EXPECT_EQ(set.Value("mail")->TypeName(), "String");
    EXPECT_EQ(set.Value(1)->string_value(), "alice.archer@example.com");
    Variant other = *set.Value("otherTelephone");
    ASSERT_TRUE(other.IsArray());
    ASSERT_EQ(other.array().size(), 2u);
    EXPECT_EQ(other.array()[1].string_value(), "+1 206 555 0106");
    EXPECT_TRUE(set.Value("otherHomePhone")->IsNull());
    EXPECT_EQ(set.Value("title")->string_value(), "Chief Engineer");
    EXPECT_EQ(set.Value("streetAddress")->string_value(), "1 Main Street");
    EXPECT_EQ(set.Value("objectCategory")->string_value(),
              "CN=Person,CN=Schema,CN=Configuration,DC=example,DC=com");
  }
  // Single- or multi-valued as Active Directory defines the attribute, not as the LDAP core
  // schema does: directReports and ou are arrays, employeeNumber and company are not.
  rs = ExecuteCommand(*dir_, CreateRecordset,
                      "<GC://DC=example,DC=com>;(|(employeeNumber=9001)(ou=Sales));"
                      "directReports,employeeNumber,company,ou;subtree");
  ASSERT_TRUE(rs.ok()) << rs.status().description();
  ASSERT_EQ(*(*rs)->RecordCount(), 2);
  for (; !(*rs)->Eof(); (*rs)->MoveNext().IgnoreError()) {
    if ((*rs)->Value("ou")->IsNull()) {
      EXPECT_TRUE((*rs)->Value("directReports")->IsArray());
      EXPECT_EQ((*rs)->Value("employeeNumber")->TypeName(), "String");
      EXPECT_EQ((*rs)->Value("company")->TypeName(), "String");
    } else {
      EXPECT_TRUE((*rs)->Value("ou")->IsArray());
    }
  }
  EXPECT_EQ(names, (std::set<std::string>{"Alice Archer", "Erin Eastwood", "O'Brien, Pat"}));

  rs = ExecuteCommand(*dir_, CreateRecordset,
                      "<LDAP://DC=example,DC=com>;(cn=All Sales);groupType,member;onelevel");
  ASSERT_TRUE(rs.ok());
  EXPECT_TRUE((*rs)->Eof());  // the group is two levels down
  rs = ExecuteCommand(
      *dir_, CreateRecordset,
      "<LDAP://OU=Sales,DC=example,DC=com>;(cn=All Sales);groupType,member;OneLevel");
  ASSERT_TRUE(rs.ok());
  ASSERT_FALSE((*rs)->Eof());
  EXPECT_EQ((*rs)->Value("groupType")->TypeName(), "Long");
  EXPECT_EQ((*rs)->Value("groupType")->integer_value(), 8);
  EXPECT_EQ((*rs)->Value("member")->array().size(), 3u);
}

TEST_P(DirectoryCommandTest, FailuresCarryNumbers) {
  Result<std::unique_ptr<Recordset>> rs =
      ExecuteCommand(*dir_, CreateRecordset, "<GC://DC=example,DC=com>;(cn=a**b);cn;subtree");
  ASSERT_FALSE(rs.ok());
  EXPECT_EQ(rs.status().number(), err::kDirInvalidFilter);
  rs = ExecuteCommand(*dir_, CreateRecordset,
                      "<GC://OU=Nowhere,DC=example,DC=com>;(cn=*);cn;subtree");
  ASSERT_FALSE(rs.ok());
  EXPECT_EQ(rs.status().number(), err::kDirNoSuchObject);
}

// The provider's connection: opened on the directory under the provider's name only, it
// runs the lookup query; an address with a filter wildcard in it, escaped, names itself.
TEST_P(DirectoryCommandTest, ConnectionRunsTheLookupQueryOnceOpen) {
  int sources = 0;
  DirectoryConnection connection(
      [&]() -> Result<std::shared_ptr<Directory>> {
        ++sources;
        return dir_;
      },
      CreateRecordset);
  const std::string lookup =
      "<GC://DC=example,DC=com>;((proxyAddresses=SMTP:sales.lists@example.com));"
      "msExchDynamicDLFilter,msExchDynamicDLBaseDN;subTree";
  EXPECT_EQ(connection.Execute(lookup).status().number(), err::kAdoObjectClosed);
  EXPECT_EQ(connection.Open("MSDASQL", "Active Directory Provider").number(), err::kAdoNoProvider);
  EXPECT_EQ(sources, 0);
  ASSERT_TRUE(connection.Open("ADsDSOObject", "Active Directory Provider").ok());
  EXPECT_EQ(connection.State(), kStateOpen);
  EXPECT_EQ(connection.Open("ADsDSOObject", "").number(), err::kAdoObjectOpen);
  Result<std::unique_ptr<Recordset>> rs = connection.Execute(lookup);
  ASSERT_TRUE(rs.ok()) << rs.status().description();
  EXPECT_EQ(*(*rs)->RecordCount(), 1);
  EXPECT_TRUE(EqualsIgnoreCase((*rs)->Value(1)->string_value(), "OU=Sales,DC=example,DC=com"));

  const std::string pattern = "sales*@example.com";
  rs = connection.Execute("<GC://DC=example,DC=com>;((proxyAddresses=SMTP:" + pattern +
                          "));msExchDynamicDLFilter,msExchDynamicDLBaseDN;subTree");
  ASSERT_TRUE(rs.ok());
  EXPECT_EQ(*(*rs)->RecordCount(), 1);  // unescaped, the address is a pattern
  rs = connection.Execute(
      "<GC://DC=example,DC=com>;((proxyAddresses=SMTP:" + EscapeFilterValue(pattern) +
      "));msExchDynamicDLFilter,msExchDynamicDLBaseDN;subTree");
  ASSERT_TRUE(rs.ok()) << rs.status().description();
  EXPECT_EQ((*rs)->State(), kStateOpen);
  EXPECT_TRUE((*rs)->Eof());
  connection.Close();
  EXPECT_EQ(connection.State(), kStateClosed);
  EXPECT_EQ(sources, 1);
}

INSTANTIATE_TEST_SUITE_P(Directory, DirectoryCommandTest, ::testing::Values("embedded", "slapd"));

TEST(DirectoryCommandText, ParsesAndRejects) {
  Result<DirectoryCommand> c =
      ParseCommandText("<GC://dc1/DC=a,DC=b>;((proxyAddresses=SMTP:x@y));a, b ,c;subTree");
  ASSERT_TRUE(c.ok()) << c.status().description();
  EXPECT_EQ(c->base.provider, "GC");
  EXPECT_EQ(c->base.server, "dc1");
  EXPECT_EQ(c->base.dn, "DC=a,DC=b");
  EXPECT_EQ(c->filter, "(proxyAddresses=SMTP:x@y)");
  EXPECT_EQ(c->attributes, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(c->scope, SearchScope::kSubtree);
  EXPECT_EQ(ParseCommandText("<LDAP://DC=a>;(cn=x);cn;BASE")->scope, SearchScope::kBase);
  EXPECT_EQ(ParseCommandText("<LDAP://DC=a>;(cn=x);cn")->scope, SearchScope::kSubtree);
  // Only redundant wrapping is removed; a filter that is not one stays as it is.
  EXPECT_EQ(ParseCommandText("<LDAP://DC=a>;((cn=x)(cn=y));cn")->filter, "((cn=x)(cn=y))");

  const char* bad[] = {"GC://DC=a;(cn=x);cn",        "<GC://DC=a;(cn=x);cn",
                       "<GC://DC=a>(cn=x);cn",       "<GC://DC=a>;(cn=x)",
                       "<GC://DC=a>;(cn=x);cn;deep", "<GC://DC=a>;(cn=x);a,,b"};
  for (const char* text : bad) {
    Result<DirectoryCommand> r = ParseCommandText(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.status().number(), err::kInvalidArg) << text;
  }
  EXPECT_EQ(ParseCommandText("<FOO://x>;(cn=x);cn").status().number(), err::kDirBadPathname);
}

}  // namespace
}  // namespace testqav
