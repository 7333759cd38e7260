// The bundled sample organisation's QAV-1.csv and QAV-GAL.csv, checked field by field. The
// expectations below were worked out by hand from the sample's registration messages and
// directory entries (see the comments), not taken from the program's output.
#include <gtest/gtest.h>

#include "platform/addressbook/address_book.h"
#include "support/host_folder.h"
#include "support/sample_dump_check.h"

namespace testqav {
namespace {

using testing::Dn;
using testing::EntryId;
using testing::ExpectDump;
using testing::HostFolder;
using testing::LowerDn;
using testing::ReadFile;
using testing::Row;

// Registration rows in the order the newest-first sort gives them; the two rows that are
// not usable (eve@localhost, the deviceinfo: topic) and Ben's older registration make no
// record.
std::vector<Row> ExpectedQav1() {
  return {
      // Ben's newest registration; his ODN resolves, so the lists come from the directory.
      {{"PIN", "2B000002"},
       {"SMTP", "ben.ortiz@northwind.test"},
       {"ODN", LowerDn("bortiz")},
       {"AddressID", EntryId("bortiz")},
       {"Proxies", ";ben.ortiz@northwind.test;"},
       {"X500Proxies", ";" + Dn("bortiz") + ";"},
       {"QAV Business Fax", "+1 425 555 0299"}},
      // An internet address: a one-off entry gives the address itself; no X.500 names.
      {{"PIN", "93A4B5C6"},
       {"SMTP", "partner@fabrikam.example"},
       {"Proxies", ";partner@fabrikam.example;"},
       {"X500Proxies", ";"}},
      {{"PIN", "8293A4B5"},
       {"SMTP", "iris.wong@northwind.test"},
       {"ODN", LowerDn("iwong")},
       {"AddressID", EntryId("iwong")},
       {"Proxies", ";iris.wong@northwind.test;"},
       {"X500Proxies", ";" + Dn("iwong") + ";"},
       {"QAV Business Phone", "+1 425 555 7777"},
       {"QAV Home Phone", "+1 425 555 7778"},
       {"PrivateFields", "Title;Company"}},
      // "_" and "%" are stored encoded.
      {{"PIN", "718293A4"},
       {"SMTP", "hal#95king@northwind.test"},
       {"ODN", LowerDn("hking")},
       {"AddressID", EntryId("hking")},
       {"Proxies", ";hal#95king@northwind.test;hal#25king@northwind.test;"},
       {"X500Proxies", ";" + Dn("hking") + ";"}},
      // Proxies without ";" at its ends, no ODN: the SMTP is already in the list, so it is
      // not resolved and the record keeps no ODN.
      {{"PIN", "60718293"},
       {"SMTP", "gina.ross@northwind.test"},
       {"Proxies", ";gina.ross@northwind.test;g.ross@northwind.test;"},
       {"QAV Pager", "+1 253 555 0150"}},
      // An ODN the directory does not know is dropped; the SMTP lookup settles the ODN as the
      // directory spells it, with no AddressID.
      {{"PIN", "5F607182"},
       {"SMTP", "frank.moss@northwind.test"},
       {"ODN", Dn("fmoss")},
       {"Proxies", ";frank.moss@northwind.test;"},
       {"X500Proxies", ";" + Dn("fmoss") + ";"}},
      // PIN "None" falls back to the DeviceID, trimmed.
      {{"PIN", "3D1E2F40"},
       {"SMTP", "dev.patel@northwind.test"},
       {"ODN", Dn("dpatel")},
       {"Proxies", ";dev.patel@northwind.test;"},
       {"X500Proxies", ";" + Dn("dpatel") + ";"},
       {"RadioPhone", "R-4471"}},
      // A secondary address as topic becomes the primary one; proxies lower-cased.
      {{"PIN", "2C3D4E5F"},
       {"SMTP", "carla.diaz@northwind.test"},
       {"ODN", Dn("cdiaz")},
       {"Proxies", ";carla.diaz@northwind.test;c.diaz@northwind.test;carla@sales.northwind.test;"},
       {"X500Proxies", ";" + Dn("cdiaz") + ";"}},
      // Mobile mode 0: the registration's mobile number goes nowhere. The X.400 proxy is
      // ignored; the old X.500 name follows the entry's own.
      {{"PIN", "2A4F10C1"},
       {"SMTP", "ann.lee@northwind.test"},
       {"ODN", LowerDn("alee")},
       {"AddressID", EntryId("alee")},
       {"Proxies", ";ann.lee@northwind.test;a.lee@northwind.test;"},
       {"X500Proxies",
        ";" + Dn("alee") + ";/o=Northwind/ou=First Administrative Group/cn=Recipients/cn=alee;"}},
  };
}

std::vector<Row> ExpectedQavGal() {
  std::vector<Row> rows = ExpectedQav1();
  // Ben: mobile, title and company from the directory; his own fax stays.
  rows[0]["MobilePhone"] = "+1 425 555 0201";
  rows[0]["Title"] = "Account Manager";
  rows[0]["Company"] = "Northwind Traders";
  // The one-off partner is not an Exchange entry: unchanged.
  // Iris: her registered business phone is kept although the directory has another.
  rows[2]["Title"] = "Controller";
  rows[2]["Company"] = "Northwind Traders";
  rows[3]["Title"] = "Warehouse Lead";
  // Gina had no ODN: the GAL entry gives it (as the directory spells it) and its entry ID.
  rows[4]["ODN"] = Dn("gross");
  rows[4]["AddressID"] = EntryId("gross");
  rows[4]["City"] = "Tacoma";
  rows[5]["Title"] = "Buyer";
  rows[6]["MobilePhone"] = "+1 425 555 0401";
  rows[6]["Title"] = "Field Engineer";
  rows[7]["QAV Business Phone"] = "+1 425 555 0301";
  rows[7]["Department"] = "Sales";
  // Ann: everything the directory has; the fax is not copied (FaxMapping 0); the first of
  // her two business-2 numbers; the comma in the office written as ";".
  Row& ann = rows[8];
  ann["MobilePhone"] = "+1 425 555 0102";
  ann["QAV Business Phone"] = "+1 425 555 0101";
  ann["QAV Home Phone"] = "+1 425 555 0103";
  ann["QAV Pager"] = "+1 425 555 0104";
  ann["BusinessPhone2"] = "+1 425 555 0106";
  ann["HomePhone2"] = "+1 425 555 0108";
  ann["Title"] = "Sales Director";
  ann["Company"] = "Northwind Traders";
  ann["Department"] = "Sales";
  ann["Office"] = "Building 2; Room 210";
  ann["StreetAddress"] = "12 Harbour Road";
  ann["City"] = "Redmond";
  ann["State"] = "WA";
  ann["Zip"] = "98052";
  ann["Country"] = "United States";
  return rows;
}

TEST(SampleOrganisation, DumpsMatchTheHandDerivedRecords) {
  HostFolder h;
  h.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  testing::RunResult r = h.Run([](const std::filesystem::path& dir, std::ostream& diag) {
    return OpenAddressBook(dir, diag);
  });
  ASSERT_EQ(r.exit_status, kExitCompleted) << h.diagnostics();
  ExpectDump(ReadFile(h.path() / "QAV-1.csv"), ExpectedQav1(), "QAV-1", 43);
  ExpectDump(ReadFile(h.path() / "QAV-GAL.csv"), ExpectedQavGal(), "QAV-GAL", 43);

  EXPECT_TRUE(r.Has("", "QAV::GetQAVData:skipping row with SMTP=eve@localhost")) << r.Dump();
  EXPECT_TRUE(
      r.Has("", "QAV::GetQAVData:skipping row with SMTP=deviceinfo:3d1e2f40@northwind.test"));
  EXPECT_TRUE(r.Has("Warning",
                    "QAV::GetQAVData:found existing record using Filter = [SMTP] LIKE "
                    "'ben.ortiz@northwind.test' OR [ODN] LIKE '" +
                        LowerDn("bortiz") +
                        "' OR [Proxies] Like '*;ben.ortiz@northwind.test;*' OR [X500Proxies] "
                        "Like '*;" +
                        Dn("bortiz") + ";*'; skipping duplicate Reg message"));
  EXPECT_TRUE(r.HasPrefix("Error", "GetIdForODN error for '" + LowerDn("fmoss-retired") + "' "));
  EXPECT_TRUE(r.Has("", "GetAllProxies:adding ODN '" + Dn("fmoss") +
                            "' from lookup of frank.moss@northwind.test"));
  EXPECT_TRUE(r.Has("",
                    "QAV::UpdateRstFromGAL:failed to resolved partner@fabrikam.example as EX "
                    "address entry; found SMTP"));
}

}  // namespace
}  // namespace testqav
