// Whole `merge` runs over small organisations: which folders the repository message leads
// to, in which order, what each contact's slots are worked out to, how contacts of several
// folders become one record, and how a ranking that cannot be followed ends the merge.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/addressbook/address_book.h"
#include "support/host_folder.h"
#include "support/org_fixture.h"

namespace testqav {
namespace {

using testing::ContactFolder;
using testing::ContactItem;
using testing::Dump;
using testing::OrgFixture;
using testing::RunResult;

nlohmann::json Named(const std::string& name, const nlohmann::json& value) {
  return {{"name", name}, {"type", value.is_boolean() ? "boolean" : "string"}, {"value", value}};
}

nlohmann::json Repository(const std::string& folder_id, const std::string& ranking) {
  return {{"class", "IPM.Post.Master Contact Repository"},
          {"subject", "Master Contact Repository"},
          {"named", {Named("MCR EntryID", folder_id), Named("ACF Trust Ranking", ranking)}}};
}

nlohmann::json Acf(const std::string& subject, const std::string& folder_id,
                   bool inactive = false) {
  nlohmann::json named = nlohmann::json::array();
  if (!folder_id.empty()) named.push_back(Named("ACF EntryID", folder_id));
  if (inactive) named.push_back(Named("QAV.Inactive", true));
  return {{"class", "IPM.Post.ACF"}, {"subject", subject}, {"named", named}};
}

std::vector<std::string> Column(const Dump& d, const std::string& field) {
  std::vector<std::string> out;
  for (const auto& row : d.rows) out.push_back(row.at(field));
  return out;
}

RunResult Merge(const OrgFixture& org) {
  return org.host().Run(testing::RealAddressBook(), nullptr, RunJob::kMerge);
}

// ann and bob are mailboxes; everyone else is outside the organisation.
void AddPeople(OrgFixture& org) {
  org.ldif.User("ann", "ann@contoso.test", {"SMTP:ann@contoso.test"})
      .User("bob", "bob@contoso.test", {"SMTP:bob@contoso.test"});
}

TEST(MergeRuns, RepositoryFirstThenActiveAcfsInTrustOrderIntoOneRecordPerContact) {
  OrgFixture org;
  AddPeople(org);
  const std::string ghost = "/o=Contoso/ou=Site/cn=Recipients/cn=ghost";
  org.contact_folders = {
      {"Repository",
       {{"Ann Lee", {"ann@contoso.test", testing::OrgDN("ann"), ""}, {"", "", ""}},
        // Only the first distinguished name of a contact is looked up.
        {"Two names", {testing::OrgDN("bob"), testing::OrgDN("ann"), ""}, {"", "", ""}},
        {"Unknown", {ghost, "", ""}, {"00000000ABCD", "", ""}},
        {"Quoted", {" 'Carol@Fabrikam.example' ", "", ""}, {"", "", ""}}}},
      {"Partner contacts",
       {{"Ann again", {"ANN@contoso.test", "", "ann.home@fabrikam.example"}, {"", "", ""}},
        {"Dan", {"dan@fabrikam.example", "", ""}, {"", "", ""}}}},
      {"Supplier contacts", {{"Eve", {"eve@fabrikam.example", "", ""}, {"", "", ""}}}},
  };
  org.agent_messages = {
      Repository(OrgFixture::FolderId(0), "Partners|Suppliers|No folder"),
      // Surplus repository messages: the first one is the agent's.
      Repository(OrgFixture::FolderId(2), ""),
      Repository(OrgFixture::FolderId(2), ""),
      Acf("Partners", OrgFixture::FolderId(1)),
      Acf("Suppliers", OrgFixture::FolderId(2), /*inactive=*/true),
      Acf("No folder", ""),
  };
  org.Write();
  RunResult r = Merge(org);
  ASSERT_EQ(r.exit_status, kExitCompleted) << org.host().diagnostics() << r.Dump();

  Dump d = testing::ReadDump(org.path() / "Merge-1.csv");
  ASSERT_TRUE(d.exists) << r.Dump();
  EXPECT_EQ(Column(d, "Subject"),
            (std::vector<std::string>{"Ann Lee", "Two names", "Unknown", "Quoted", "Dan"}));
  EXPECT_EQ(Column(d, "SMTP"),
            (std::vector<std::string>{"ann@contoso.test", "bob@contoso.test", "",
                                      "carol@fabrikam.example", "dan@fabrikam.example"}));
  // The repository's record of Ann keeps what it gave; the partner folder fills her empty
  // second address and is named among her sources.
  EXPECT_EQ(d.rows[0].at("Email2"), "ann.home@fabrikam.example");
  EXPECT_EQ(d.rows[0].at("SMTPList"), "ann@contoso.test;");
  EXPECT_EQ(d.rows[0].at("ODN"), testing::OrgDN("ann"));
  EXPECT_EQ(d.rows[0].at("ODNList"), "/o=contoso/ou=site/cn=recipients/cn=ann;");
  EXPECT_EQ(d.rows[0].at("Sources"), "Repository|Partner contacts");
  EXPECT_EQ(d.rows[1].at("ODN"), testing::OrgDN("bob"));
  EXPECT_EQ(d.rows[1].at("Email2"), "");
  EXPECT_EQ(d.rows[3].at("SMTPList"), "carol@fabrikam.example;");
  EXPECT_EQ(Column(d, "Rank"), (std::vector<std::string>{"0", "0", "0", "0", "1"}));
  EXPECT_EQ(Column(d, "Folder"), (std::vector<std::string>{"Repository", "Repository", "Repository",
                                                           "Repository", "Partner contacts"}));

  EXPECT_EQ(r.CountContaining("MergeACF: adding data from Master Contact Repository "
                              "folder:Repository"),
            1)
      << r.Dump();
  EXPECT_EQ(r.CountContaining("MergeACF:searching for ACF #3 named No folder"), 1);
  EXPECT_EQ(r.CountContaining("MergeACF: merging data from Alternate Contact Folder:Partner "
                              "contacts"),
            1);
  EXPECT_EQ(r.CountContaining("MergeACF:skipping Suppliers, Inactive flag is set"), 1);
  EXPECT_EQ(r.CountContaining("checking emails for Eve"), 0);
  EXPECT_EQ(
      r.CountContaining("AddFromACF:GetIdForODN failed for Email1 (" + ghost + ") on Unknown"), 1);
  EXPECT_EQ(r.CountContaining("AddFromACF:GetAddressEntryFromId for Email1EntryID returned "), 1);
  // The update run's dumps are not written by a merge; the surplus repository messages are
  // gone from the mailbox.
  EXPECT_FALSE(testing::ReadDump(org.path() / "QAV-1.csv").exists);
  const std::string mailbox = testing::ReadFile(org.host().MailboxFile("EXCH01", "agent"));
  size_t repositories = 0;
  for (size_t at = mailbox.find("IPM.Post.Master Contact Repository"); at != std::string::npos;
       at = mailbox.find("IPM.Post.Master Contact Repository", at + 1)) {
    ++repositories;
  }
  EXPECT_EQ(repositories, 1u);
}

// The organisation of a merge whose ranking is `ranking`; the ACF messages are `acfs`.
RunResult MergeWith(OrgFixture& org, const std::string& ranking,
                    const std::vector<nlohmann::json>& acfs) {
  AddPeople(org);
  org.contact_folders = {
      {"Repository", {{"Ann Lee", {"ann@contoso.test", "", ""}, {"", "", ""}}}},
      {"First", {{"Bob", {"bob@contoso.test", "", ""}, {"", "", ""}}}},
      {"Second", {{"Dan", {"dan@fabrikam.example", "", ""}, {"", "", ""}}}},
  };
  org.agent_messages = {Repository(OrgFixture::FolderId(0), ranking)};
  for (const auto& a : acfs) org.agent_messages.push_back(a);
  org.Write();
  return Merge(org);
}

TEST(MergeRuns, ARankingThatCannotBeFollowedEndsTheMerge) {
  {
    // No ranking: the repository alone.
    OrgFixture org;
    RunResult r = MergeWith(org, "", {});
    EXPECT_EQ(r.exit_status, kExitCompleted) << r.Dump();
    EXPECT_EQ(testing::ReadDump(org.path() / "Merge-1.csv").rows.size(), 1u);
  }
  {
    // The first ACF is merged, the second has no message: the merge ends there.
    OrgFixture org;
    RunResult r = MergeWith(org, "A|B", {Acf("A", OrgFixture::FolderId(1))});
    EXPECT_EQ(r.exit_status, kExitMergeFailed) << r.Dump();
    EXPECT_EQ(r.CountContaining("merging data from Alternate Contact Folder:First"), 1);
    EXPECT_EQ(r.CountContaining("unable to locate ACF #2 named B; aborting merge"), 1);
    EXPECT_FALSE(testing::ReadDump(org.path() / "Merge-1.csv").exists);
    EXPECT_NE(r.exit_reason.find("merge did not complete"), std::string::npos);
  }
  {
    // Found ignoring case, but no message has exactly that subject.
    OrgFixture org;
    RunResult r = MergeWith(org, "partners", {Acf("Partners", OrgFixture::FolderId(1))});
    EXPECT_EQ(r.exit_status, kExitMergeFailed) << r.Dump();
    EXPECT_EQ(r.CountContaining("unable to locate ACF #1 named partners; aborting merge"), 1);
  }
  {
    // The search finds a message in other letters first; of the exact ones the last wins.
    OrgFixture org;
    RunResult r = MergeWith(
        org, "Partners",
        {Acf("PARTNERS", OrgFixture::FolderId(0)), Acf("Partners", OrgFixture::FolderId(1)),
         Acf("Partners", OrgFixture::FolderId(2))});
    EXPECT_EQ(r.exit_status, kExitCompleted) << r.Dump();
    EXPECT_EQ(r.CountContaining("merging data from Alternate Contact Folder:Second"), 1);
    EXPECT_EQ(r.CountContaining("merging data from Alternate Contact Folder:First"), 0);
  }
  {
    // No repository message: nothing to merge, nothing logged by the merge.
    OrgFixture org;
    AddPeople(org);
    org.Write();
    RunResult r = Merge(org);
    EXPECT_EQ(r.exit_status, kExitMergeFailed) << r.Dump();
    EXPECT_EQ(r.CountContaining("MergeACF:"), 0);
  }
}

}  // namespace
}  // namespace testqav
