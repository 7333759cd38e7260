// Whole update runs in which two registrations have addresses that differ only in what the
// engine's own machinery could confuse: a "*" that a filter might read as a wildcard, a "#"
// that the stored encoding might read as an escape, and a letter that case folding might
// spell differently. Each is a different mailbox and must give a record of its own.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "platform/addressbook/address_book.h"
#include "support/host_folder.h"
#include "support/org_fixture.h"

namespace testqav {
namespace {

using testing::Dump;
using testing::OrgFixture;
using testing::Registration;
using testing::RunResult;

Registration Reg(const std::string& topic, const std::string& modified, const std::string& pin) {
  Registration r;
  r.topic = topic;
  r.last_modified = modified;
  r.named = {{"PIN", pin}};
  return r;
}

TEST(RegistrationIdentity, AddressesThatOnlyLookAlikeAreDifferentUsers) {
  OrgFixture org;
  // Newest first is the order of reading, so of each pair the first one listed is stored
  // first and the second is the one that a confusion would drop as its duplicate.
  org.registrations = {
      Reg("partner@fabrikam.example", "2024-03-06T10:00:00Z", "2A000001"),
      Reg("*ner@fabrikam.example", "2024-03-05T10:00:00Z", "2A000002"),
      Reg("tom%x@fabrikam.example", "2024-03-04T10:00:00Z", "2A000003"),
      Reg("tom#25x@fabrikam.example", "2024-03-03T10:00:00Z", "2A000004"),
      Reg("stra\u00DFe@fabrikam.example", "2024-03-02T10:00:00Z", "2A000005"),
      Reg("strasse@fabrikam.example", "2024-03-01T10:00:00Z", "2A000006"),
      // The same mailbox in other letters is still one user.
      Reg("STRASSE@Fabrikam.Example", "2024-02-01T10:00:00Z", "2A000007"),
  };
  org.Write();
  RunResult r = org.host().Run(testing::RealAddressBook());
  ASSERT_EQ(r.exit_status, kExitCompleted) << org.host().diagnostics() << r.Dump();

  Dump d = testing::ReadDump(org.path() / "QAV-1.csv");
  ASSERT_TRUE(d.exists) << r.Dump();
  std::map<std::string, std::string> smtp_by_pin;
  for (const auto& row : d.rows) smtp_by_pin[row.at("PIN")] = row.at("SMTP");
  // The dump shows the stored form: "%" as "#25", and "#" as "#23".
  const std::map<std::string, std::string> expected = {
      {"2A000001", "partner@fabrikam.example"},     {"2A000002", "*ner@fabrikam.example"},
      {"2A000003", "tom#25x@fabrikam.example"},     {"2A000004", "tom#2325x@fabrikam.example"},
      {"2A000005", "stra\u00DFe@fabrikam.example"}, {"2A000006", "strasse@fabrikam.example"},
  };
  EXPECT_EQ(smtp_by_pin, expected) << r.Dump();
  // Only the registration in other letters was a duplicate, found by its own address.
  EXPECT_EQ(r.CountContaining("skipping duplicate Reg message"), 1) << r.Dump();
  EXPECT_EQ(r.CountContaining("found existing record using Filter = [SMTP] LIKE "
                              "'strasse@fabrikam.example'"),
            1);
}

}  // namespace
}  // namespace testqav
