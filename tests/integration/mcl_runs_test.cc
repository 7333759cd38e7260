// Whole update runs over small organisations whose mandatory-contacts folder exercises how
// lists are numbered, which items are passed over, how nested and cyclic distribution lists
// are expanded once per list, and how a registered user is named in SourceMCL.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/addressbook/address_book.h"
#include "support/host_folder.h"
#include "support/org_fixture.h"

namespace testqav {
namespace {

using testing::Dump;
using testing::MclItem;
using testing::OrgFixture;
using testing::Registration;
using testing::RunResult;

std::map<std::string, std::map<std::string, std::string>> BySmtp(const Dump& d) {
  std::map<std::string, std::map<std::string, std::string>> out;
  for (const auto& row : d.rows) out[row.at("SMTP")] = row;
  return out;
}

std::vector<std::string> Column(const Dump& d, const std::string& field) {
  std::vector<std::string> out;
  for (const auto& row : d.rows) out.push_back(row.at(field));
  return out;
}

// lista and listb contain each other; deptc holds two people; two lists have no SMTP
// address; one list has no members.
void WriteListsOrg(OrgFixture& org) {
  org.ldif
      .User("ann", "ann@contoso.test", {"SMTP:ann@contoso.test", "smtp:a@contoso.test"},
            {{"telephoneNumber", "+1 555 0100"}, {"department", "Sales"}})
      .User("bob", "bob@contoso.test", {"SMTP:bob@contoso.test"},
            {{"otherTelephone", "  +1 555 0201  "}, {"otherTelephone", "+1 555 0202"}})
      .User("cy", "cy@contoso.test", {"SMTP:cy@contoso.test"})
      .User("dee", "dee@contoso.test", {"SMTP:dee@contoso.test"})
      .Group("lista", "lista@contoso.test", {"SMTP:lista@contoso.test"}, {"listb", "ann"})
      .Group("listb", "listb@contoso.test", {"SMTP:listb@contoso.test"}, {"lista", "bob"})
      .Group("deptc", "deptc@contoso.test", {"SMTP:deptc@contoso.test"}, {"cy", "dee"})
      .Group("empty", "empty@contoso.test", {"SMTP:empty@contoso.test"})
      .Group("nosmtp1", "", {}, {"cy"})
      .Group("nosmtp2", "", {}, {"dee"});
  org.mcls = {
      {"Switched off", "ann@contoso.test", "t@contoso.test", {{"QAV.Inactive", "true"}}},
      {"Nobody to push to", "ann@contoso.test", "", {}},
      {"Nothing to push", "", "t@contoso.test", {}},
      {"First", "Group lista", "t@contoso.test", {}},
      {"Odd, class", "bob@contoso.test;;nobody here;", "t@contoso.test", {}, "IPM.Note"},
      {"No lists", "deptc@contoso.test", "t@contoso.test", {{"MCL.IncludeDLs", "false"}}},
      {"Again",
       "lista@contoso.test;Group listb;Group empty;Group nosmtp1;Group nosmtp2",
       "t@contoso.test",
       {}},
  };
  org.Write();
}

TEST(MclRuns, ListsAreNumberedInFolderOrderAndExpandedOncePerList) {
  OrgFixture org;
  WriteListsOrg(org);
  RunResult r = org.host().Run(testing::RealAddressBook());
  ASSERT_EQ(r.exit_status, kExitCompleted) << org.host().diagnostics() << r.Dump();
  Dump d = testing::ReadDump(org.path() / "SourceMCL-1.csv");
  ASSERT_TRUE(d.exists) << r.Dump();

  // The switched-off, target-less and source-less items take no number.
  EXPECT_EQ(r.CountContaining("parsing data from First as list 1"), 1) << r.Dump();
  EXPECT_EQ(r.CountContaining("parsing data from Odd, class as list 2"), 1);
  EXPECT_EQ(r.CountContaining("parsing data from No lists as list 3"), 1);
  EXPECT_EQ(r.CountContaining("parsing data from Again as list 4"), 1);
  EXPECT_EQ(r.CountContaining("skipping Switched off, Inactive flag is set"), 1);
  EXPECT_EQ(r.CountContaining("skipping Nobody to push to, missing target"), 1);
  EXPECT_EQ(r.CountContaining("examining Nothing to push"), 1);
  EXPECT_EQ(r.CountContaining("found item 'Odd, class' with incorrect MessageClass 'IPM.Note'"), 1);
  // Both empty pieces and the unknown name are reported, and nothing is made of them.
  EXPECT_EQ(r.CountContaining("unable to retrieve EX AddressEntry for  "), 2);
  EXPECT_EQ(r.CountContaining("unable to retrieve EX AddressEntry for nobody here"), 1);

  // Rows in the order they were first added; every MCL that reached a contact once.
  EXPECT_EQ(Column(d, "SMTP"), (std::vector<std::string>{"lista@contoso.test", "listb@contoso.test",
                                                         "bob@contoso.test", "ann@contoso.test",
                                                         "cy@contoso.test", "dee@contoso.test"}));
  EXPECT_EQ(Column(d, "MCLID"), (std::vector<std::string>{"{1}{4}", "{1}{4}", "{1}{2}{4}", "{1}{4}",
                                                          "{3}{4}", "{3}{4}"}));
  EXPECT_EQ(Column(d, "DL"), (std::vector<std::string>{"True", "True", "", "", "", ""}));

  // lista reached again through listb, in MCL 1 and in MCL 4; listb named again in MCL 4
  // after lista had expanded it.
  EXPECT_EQ(r.CountContaining("skipping repeat expansion of DL Group lista"), 2);
  EXPECT_EQ(r.CountContaining("skipping repeat expansion of DL Group listb"), 1);
  EXPECT_EQ(r.CountContaining("skipping DL Group empty because it has no members"), 1);
  EXPECT_EQ(r.CountContaining("skipping creation of record for DL 'Group deptc'; "
                              "IncludeDLs=False for this MCL"),
            1);
  // Lists without an SMTP address get no record, yet each is expanded: one does not stand
  // for the other.
  EXPECT_EQ(r.CountContaining("skipping Group nosmtp1: no SMTP address"), 1);
  EXPECT_EQ(r.CountContaining("skipping Group nosmtp2: no SMTP address"), 1);

  auto rows = BySmtp(d);
  const auto& ann = rows["ann@contoso.test"];
  // Closed at both ends, so that a later search finds the first and the last element.
  EXPECT_EQ(ann.at("Proxies"), ";ann@contoso.test;a@contoso.test;");
  EXPECT_EQ(ann.at("X500Proxies"), ";/o=Contoso/ou=Site/cn=Recipients/cn=ann;");
  EXPECT_EQ(ann.at("ODN"), "/o=contoso/ou=site/cn=recipients/cn=ann");
  EXPECT_EQ(ann.at("QAV Business Phone"), "+1 555 0100");
  EXPECT_EQ(ann.at("Department"), "Sales");
  EXPECT_EQ(ann.at("DisplayName"), "User ann");
  EXPECT_EQ(ann.at("FileAsFlag"), "32823");
  // The first of several business-2 numbers, trimmed.
  EXPECT_EQ(rows["bob@contoso.test"].at("BusinessPhone2"), "+1 555 0201");
  const auto& lista = rows["lista@contoso.test"];
  EXPECT_EQ(lista.at("LastName"), "Group lista");
  EXPECT_EQ(lista.at("Proxies"), "");
  EXPECT_EQ(r.CountContaining("MCL collection is not available"), 0);
}

TEST(MclRuns, RegisteredUserIsNamedAsTheQavDataSetNamesThem) {
  OrgFixture org;
  // eve has an Exchange name but no SMTP address; she registered from an outside address.
  org.ldif.User("eve", "").User("gus", "gus@contoso.test",
                                {"SMTP:gus@contoso.test", "smtp:g@contoso.test"});
  Registration eve;
  eve.topic = "eve@fabrikam.example";
  eve.last_modified = "2024-03-01T10:00:00Z";
  eve.named = {{"PIN", "2A000001"}, {"ODN", testing::OrgDN("eve")}};
  Registration gus;
  gus.topic = "g@contoso.test";
  gus.last_modified = "2024-03-02T10:00:00Z";
  gus.named = {{"PIN", "2A000002"}};
  org.registrations = {eve, gus};
  org.mcls = {{"People", testing::OrgDN("eve") + ";g@contoso.test", "t@contoso.test", {}}};
  org.Write();
  RunResult r = org.host().Run(testing::RealAddressBook());
  ASSERT_EQ(r.exit_status, kExitCompleted) << org.host().diagnostics() << r.Dump();

  Dump d = testing::ReadDump(org.path() / "SourceMCL-1.csv");
  ASSERT_EQ(d.rows.size(), 2u) << r.Dump();
  // Known to the MCL only by her Exchange name, eve is stored under the address her
  // registration gave.
  EXPECT_EQ(r.CountContaining("found match on different primary SMTP; replacing '' with "
                              "'eve@fabrikam.example'"),
            1)
      << r.Dump();
  EXPECT_EQ(d.rows[0].at("SMTP"), "eve@fabrikam.example");
  EXPECT_EQ(d.rows[0].at("ODN"), "/o=contoso/ou=site/cn=recipients/cn=eve");
  // A secondary address in the MCL is the same registered user.
  EXPECT_EQ(r.CountContaining("found match on existing primary SMTP 'gus@contoso.test'"), 1);
  EXPECT_EQ(d.rows[1].at("SMTP"), "gus@contoso.test");
  EXPECT_EQ(d.rows[1].at("MCLID"), "{1}");
}

TEST(MclRuns, WithoutAMandatoryContactsFolderTheOtherDumpsAreStillWritten) {
  OrgFixture org;
  org.ldif.User("ann", "ann@contoso.test", {"SMTP:ann@contoso.test"});
  Registration ann;
  ann.topic = "ann@contoso.test";
  ann.named = {{"PIN", "2A000001"}};
  org.registrations = {ann};
  org.Write();
  RunResult r = org.host().Run(testing::RealAddressBook());
  ASSERT_EQ(r.exit_status, kExitCompleted) << org.host().diagnostics() << r.Dump();
  EXPECT_EQ(r.CountContaining("failure collecting MCL data; aborting"), 1) << r.Dump();
  EXPECT_TRUE(testing::ReadDump(org.path() / "QAV-1.csv").exists);
  EXPECT_TRUE(testing::ReadDump(org.path() / "QAV-GAL.csv").exists);
  EXPECT_FALSE(testing::ReadDump(org.path() / "SourceMCL-1.csv").exists);
}

}  // namespace
}  // namespace testqav
