// Whole update runs over an organisation whose mandatory contact lists name query-based
// lists: lists with and without a base DN, nested lists and a list that reaches its parent,
// member lists reached through a query, rows that are no person or lack addresses, and a
// list whose address holds a filter wildcard.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/addressbook/address_book.h"
#include "support/host_folder.h"
#include "support/org_fixture.h"

namespace testqav {
namespace {

using testing::Attributes;
using testing::Dump;
using testing::MclItem;
using testing::OrgDN;
using testing::OrgFixture;
using testing::RunResult;

std::string Category(const std::string& cn) {
  return "CN=" + cn + ",CN=Schema,CN=Configuration," + testing::kOrgBase;
}

// A mailbox user below `parent` whose name (its RDN value) is `cn`.
Attributes Person(const std::string& cn, const std::string& mail, const Attributes& extra = {}) {
  Attributes a = {{"objectClass", "user"},         {"cn", cn},
                  {"displayName", "User " + cn},   {"mailNickname", cn},
                  {"legacyExchangeDN", OrgDN(cn)}, {"objectCategory", Category("Person")}};
  if (!mail.empty()) {
    a.emplace_back("mail", mail);
    a.emplace_back("proxyAddresses", "SMTP:" + mail);
  }
  for (const auto& e : extra) a.push_back(e);
  return a;
}

Attributes List(const std::string& cn, const std::string& display_name, const std::string& mail,
                const std::vector<std::string>& members) {
  Attributes a = {{"objectClass", "group"},
                  {"cn", cn},
                  {"displayName", display_name},
                  {"mail", mail},
                  {"proxyAddresses", "SMTP:" + mail},
                  {"legacyExchangeDN", OrgDN(cn)},
                  {"groupType", "8"},
                  {"objectCategory", Category("Group")}};
  for (const auto& m : members) a.emplace_back("member", m);
  return a;
}

// A query-based list; `proxy` is its SMTP proxy address (the address it is looked up by).
Attributes QueryList(const std::string& cn, const std::string& mail, const std::string& filter,
                     const std::string& base_dn = "", const std::string& proxy = "") {
  Attributes a = {{"objectClass", "msExchDynamicDistributionList"},
                  {"cn", cn},
                  {"displayName", cn},
                  {"mail", mail},
                  {"proxyAddresses", "SMTP:" + (proxy.empty() ? mail : proxy)},
                  {"legacyExchangeDN", OrgDN(cn)},
                  {"objectCategory", Category("ms-Exch-Dynamic-Distribution-List")}};
  if (!filter.empty()) a.emplace_back("msExchDynamicDLFilter", filter);
  if (!base_dn.empty()) a.emplace_back("msExchDynamicDLBaseDN", base_dn);
  return a;
}

std::map<std::string, std::map<std::string, std::string>> BySmtp(const Dump& d) {
  std::map<std::string, std::map<std::string, std::string>> out;
  for (const auto& row : d.rows) out[row.at("SMTP")] = row;
  return out;
}

void WriteQueryOrg(OrgFixture& org) {
  const std::string users = std::string("CN=Users,") + testing::kOrgBase;
  const std::string field = std::string("OU=Field,") + testing::kOrgBase;
  org.ldif.Object(field, {{"objectClass", "organizationalUnit"}, {"ou", "Field"}})
      .Object("CN=fa," + field, Person("fa", "fa@contoso.test",
                                       {{"department", "Field"},
                                        {"otherTelephone", " +1 555 0101 "},
                                        {"otherTelephone", "+1 555 0102"}}))
      .Object("CN=f_b," + field, Person("f_b", "f_b@contoso.test", {{"department", "Field"}}))
      .Object("CN=ua," + users, Person("ua", "ua@contoso.test", {{"department", "Field"}}))
      // Found by its Exchange name only; then one that has no address at all.
      .Object("CN=nomail," + users, Person("nomail", "", {{"department", "Field"}}))
      .Object("CN=nothing," + users, {{"objectClass", "user"},
                                      {"cn", "nothing"},
                                      {"department", "Field"},
                                      {"objectCategory", Category("Person")}})
      .Object("CN=ws1," + users, {{"objectClass", "computer"},
                                  {"cn", "ws1"},
                                  {"department", "Field"},
                                  {"objectCategory", Category("Computer")}})
      .Object("CN=boss," + users, Person("boss", "boss@contoso.test", {{"title", "Boss"}}))
      // A query-based list without an address, right after a person's row.
      .Object("CN=dyn-nomail," + users,
              {{"objectClass", "msExchDynamicDistributionList"},
               {"cn", "dyn-nomail"},
               {"msExchDynamicDLFilter", "(cn=ua)"},
               {"objectCategory", Category("ms-Exch-Dynamic-Distribution-List")}})
      .Object("CN=decoy," + users, Person("decoy", "decoy@contoso.test", {{"title", "Decoy"}}))
      .Object("CN=team," + users,
              List("team", "team", "team@contoso.test", {"CN=ua," + users, "CN=boss," + users}))
      // Its display name is not its name: a query's row does not find it in the address book.
      .Object("CN=ghost," + users,
              List("ghost", "Ghost List", "ghost@contoso.test", {"CN=fa," + field}))
      .Object("CN=dyn-base," + users,
              QueryList("dyn-base", "dyn-base@contoso.test", "(objectCategory=person)", field))
      .Object("CN=dyn-root," + users,
              QueryList("dyn-root", "dyn-root@contoso.test", "(department=Field)"))
      .Object("CN=dyn-outer," + users, QueryList("dyn-outer", "dyn-outer@contoso.test",
                                                 "(|(title=Boss)(cn=dyn-nomail)(cn=dyn-inner))"))
      .Object("CN=dyn-inner," + users,
              QueryList("dyn-inner", "dyn-inner@contoso.test",
                        "(|(cn=dyn-outer)(cn=team)(cn=ghost)(cn=dyn-miss)(cn=dyn-plain))"))
      .Object("CN=dyn-team," + users, QueryList("dyn-team", "dyn-team@contoso.test", "(cn=team)"))
      // Known by another address than its mail; and one without a filter.
      .Object("CN=dyn-miss," + users, QueryList("dyn-miss", "dyn-miss@contoso.test", "(cn=ua)", "",
                                                "dyn-missing@contoso.test"))
      .Object("CN=dyn-plain," + users, QueryList("dyn-plain", "dyn-plain@contoso.test", ""))
      .Object("CN=dynx," + users, QueryList("dynx", "dynx@contoso.test", "(title=Decoy)"))
      .Object("CN=dyn-star," + users, QueryList("dyn-star", "dyn*@contoso.test", "(title=Boss)"));
  org.mcls = {
      {"First",
       "dyn-base@contoso.test;dyn-root@contoso.test;dyn-outer@contoso.test;"
       "dyn-team@contoso.test;ghost@contoso.test",
       "t@contoso.test",
       {}},
      {"Second", "dyn-root@contoso.test;dyn-team@contoso.test", "t@contoso.test", {}},
      {"Starred", "dyn*@contoso.test", "t@contoso.test", {}},
  };
  org.Write();
}

TEST(QueryListRuns, RowsBecomeRecordsOncePerContactAndListsExpandOncePerMcl) {
  OrgFixture org;
  WriteQueryOrg(org);
  RunResult r = org.host().Run(testing::RealAddressBook());
  ASSERT_EQ(r.exit_status, kExitCompleted) << org.host().diagnostics() << r.Dump();
  Dump d = testing::ReadDump(org.path() / "SourceMCL-1.csv");
  ASSERT_TRUE(d.exists) << r.Dump();
  const std::string expand = "QAV::ExpandQueryDL:";
  const std::string from_query = "QAV::AddToSourceMCLFromQuery:";

  // In the order the rows first reached them; the list record comes from the MCL naming
  // ghost itself. Reached twice in one MCL, a contact carries its identifier once.
  std::vector<std::string> smtp;
  std::vector<std::string> mclid;
  for (const auto& row : d.rows) {
    smtp.push_back(row.at("SMTP"));
    mclid.push_back(row.at("MCLID"));
  }
  EXPECT_EQ(smtp,
            (std::vector<std::string>{"fa@contoso.test", "f#95b@contoso.test", "ua@contoso.test",
                                      "", "boss@contoso.test", "ghost@contoso.test"}))
      << r.Dump();
  // dyn*@ is one list, not a pattern: it reaches boss alone, not the lists whose addresses
  // the pattern would match (dyn-base@ first of all).
  EXPECT_EQ(mclid,
            (std::vector<std::string>{"{1}{2}", "{1}{2}", "{1}{2}", "{1}{2}", "{1}{2}{3}", "{1}"}));
  EXPECT_EQ(r.CountContaining(from_query + "appending MCLID to existing record for fa"), 1);
  EXPECT_EQ(r.CountContaining(from_query + "adding record for fa"), 1);

  auto rows = BySmtp(d);
  const auto& fa = rows["fa@contoso.test"];
  // The row's values as the directory gives them: the name is the RDN value, the Exchange
  // name keeps its capitals; only the first of two business-2 numbers, trimmed.
  EXPECT_EQ(fa.at("DisplayName"), "fa");
  EXPECT_EQ(fa.at("FileAs"), "fa");
  EXPECT_EQ(fa.at("FileAsFlag"), "32823");
  EXPECT_EQ(fa.at("ODN"), OrgDN("fa"));
  EXPECT_FALSE(fa.at("AddressID").empty());
  EXPECT_EQ(fa.at("Proxies"), ";fa@contoso.test;");
  EXPECT_EQ(fa.at("X500Proxies"), ";" + OrgDN("fa") + ";");
  EXPECT_EQ(fa.at("BusinessPhone2"), "+1 555 0101");
  EXPECT_EQ(fa.at("Department"), "Field");
  EXPECT_EQ(fa.at("DL"), "");
  // A row without mail is its own contact, known by its Exchange name; a row without either
  // address is skipped: neither takes the address of the row before it.
  EXPECT_EQ(rows[""].at("ODN"), OrgDN("nomail"));
  EXPECT_EQ(rows[""].at("DisplayName"), "nomail");
  EXPECT_EQ(r.CountContaining(from_query + "skipping record with no value for SMTP or ODN"), 2);
  EXPECT_EQ(
      r.CountContaining(expand + "ignoring row with objectCategory='" + Category("Computer") + "'"),
      2);

  // With a base DN the filter runs below it (fa and f_b), without one from the root.
  EXPECT_EQ(r.CountContaining(expand + "query returned 2 rows"), 1) << r.Dump();
  EXPECT_EQ(r.CountContaining(expand + "query returned 6 rows"), 2);
  // dyn-inner reaches its parent, an address that is no list's, a list without filter.
  EXPECT_EQ(r.CountContaining(expand + "expanding member query-based DL named 'dyn-inner'"), 1);
  EXPECT_EQ(r.CountContaining(expand + "skipping repeat expansion of dyn-outer"), 1);
  // A list row without an address is not taken for the row before it (boss@).
  EXPECT_TRUE(r.Has("", expand + "skipping repeat expansion of dyn-nomail"));
  EXPECT_EQ(r.CountContaining("dyn-nomail'"), 0);
  EXPECT_EQ(r.CountContaining("lookup for boss@"), 0);
  EXPECT_TRUE(r.Has("", expand +
                            "no query returned on lookup for dyn-miss@contoso.test;address is not "
                            "a query-based DL in domain GC://DC=contoso,DC=test"));
  EXPECT_TRUE(r.Has("", expand +
                            "no query returned on lookup for dyn-plain@contoso.test;address is not "
                            "a query-based DL"));
  // team: expanded through the address book once per MCL, refused the second time in MCL 1.
  EXPECT_EQ(r.CountContaining(expand + "expanding member DL named 'team'"), 2);
  EXPECT_EQ(r.CountContaining(expand + "skipping repeat expansion of team"), 1);
  EXPECT_EQ(r.CountContaining("QAV::AddToSourceMCL:appending MCLID to existing record for User "
                              "boss"),
            1);
  // ghost is not found by its name; that does not keep the MCL from expanding it when it
  // names the list itself.
  EXPECT_TRUE(r.Has("Warning", expand + "unable to retrieve address entry for DL named 'ghost'"));
  EXPECT_EQ(r.CountContaining("skipping repeat expansion of DL Ghost List"), 0);
  EXPECT_EQ(r.CountContaining("QAV::AddToSourceMCL:expanding DL Ghost List"), 1);
  EXPECT_EQ(rows["ghost@contoso.test"].at("DL"), "True");
}

}  // namespace
}  // namespace testqav
