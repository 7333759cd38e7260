// The bundled sample organisation's Merge-1.csv, checked field by field. The expectations were
// worked out by hand from the sample's repository message, its ACF messages and the contacts
// of their folders (see the comments), not taken from the program's output.
#include <gtest/gtest.h>

#include "platform/addressbook/address_book.h"
#include "support/host_folder.h"
#include "support/sample_dump_check.h"

namespace testqav {
namespace {

using testing::Dn;
using testing::HostFolder;
using testing::LowerDn;
using testing::ReadFile;
using testing::Row;

TEST(SampleOrganisation, MergeMatchesTheHandDerivedRecords) {
  HostFolder h;
  h.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  testing::RunResult r = h.Run([](const std::filesystem::path& dir,
                                  std::ostream& diag) { return OpenAddressBook(dir, diag); },
                               nullptr, RunJob::kMerge);
  ASSERT_EQ(r.exit_status, kExitCompleted) << h.diagnostics() << r.Dump();
  const std::string repository = "Contact Repository";
  const std::string partners = "Partner Contacts";
  const std::vector<Row> expected = {
      // Slot 1 is an SMTP address, slot 2 Ann's own distinguished name: its primary address
      // is the one she already has, so no second address; the partner folder's copy of her
      // (rank 1) fills that gap with its third slot and is named among the sources.
      {{"SMTP", "ann.lee@northwind.test"},
       {"Email2", "ann@fabrikam.example"},
       {"SMTPList", "ann.lee@northwind.test;"},
       {"ODN", Dn("alee")},
       {"ODNList", LowerDn("alee") + ";"},
       {"Subject", "Ann Lee"},
       {"Folder", repository},
       {"Rank", "0"},
       {"Sources", repository + "|" + partners}},
      // Two distinguished names: only the first is looked up.
      {{"SMTP", "ben.ortiz@northwind.test"},
       {"ODN", Dn("bortiz")},
       {"ODNList", LowerDn("bortiz") + ";"},
       {"Subject", "Ben and Carla"},
       {"Folder", repository},
       {"Rank", "0"},
       {"Sources", repository}},
      // Unknown distinguished names give no address (the entry-ID fallback is only logged),
      // so these contacts have no identity and keep records of their own.
      {{"Subject", "Old supplier"}, {"Folder", repository}, {"Rank", "0"}, {"Sources", repository}},
      {{"Subject", "Unknown; no ID"},
       {"Folder", repository},
       {"Rank", "0"},
       {"Sources", repository}},
      // Trimmed, lower-cased, quotes stripped.
      {{"SMTP", "partner@fabrikam.example"},
       {"SMTPList", "partner@fabrikam.example;"},
       {"Subject", "Quoted partner"},
       {"Folder", repository},
       {"Rank", "0"},
       {"Sources", repository}},
      // Slot 1 holds a Boolean: passed over; slot 2 gives the primary address.
      {{"SMTP", "iris.wong@northwind.test"},
       {"SMTPList", "iris.wong@northwind.test;"},
       {"Subject", "Iris Wong (phone list)"},
       {"Folder", repository},
       {"Rank", "0"},
       {"Sources", repository}},
      {{"SMTP", "ivan.petrov@fabrikam.example"},
       {"SMTPList", "ivan.petrov@fabrikam.example;"},
       {"Subject", "Ivan Petrov"},
       {"Folder", partners},
       {"Rank", "1"},
       {"Sources", partners}},
      // A resolved name first, then an SMTP address: the list holds only the SMTP-form one.
      {{"SMTP", "dev.patel@northwind.test"},
       {"Email2", "dev@fabrikam.example"},
       {"SMTPList", "dev@fabrikam.example;"},
       {"ODN", Dn("dpatel")},
       {"ODNList", LowerDn("dpatel") + ";"},
       {"Subject", "Dev Patel"},
       {"Folder", partners},
       {"Rank", "1"},
       {"Sources", partners}},
      // Suppliers is inactive and Field has no folder entry ID: Gina and Hal are not merged.
  };
  testing::ExpectDump(ReadFile(h.path() / "Merge-1.csv"), expected, "Merge-1.csv", 10);
  EXPECT_EQ(r.CountContaining("AddFromACF:GetAddressEntryFromId for Email1EntryID returned "
                              "frank.moss@northwind.test"),
            1)
      << r.Dump();
  EXPECT_EQ(r.CountContaining("MergeACF:skipping Suppliers, Inactive flag is set"), 1);
  EXPECT_EQ(r.CountContaining("MergeACF:searching for ACF #3 named Field"), 1);
  EXPECT_EQ(r.CountContaining("checking emails for Hal King"), 0);
}

}  // namespace
}  // namespace testqav
