// The bundled sample organisation's SourceMCL-1.csv, checked field by field. The expectations
// were worked out by hand from the items of the sample's Mandatory Contacts folder and its
// directory entries (the comments say which list and which rule gives each value), not taken
// from the program's output.
//
// The folder holds eight items; five are parsed and numbered in folder order:
//   "Field staff"         list 1  kim.nguyen@ (SMTP), Frank Moss (display name), Dev Patel's
//                                 distinguished name, "Nobody Atall" (unknown), an internet
//                                 address, and an empty piece after the trailing ";"
//   "Spring campaign"     inactive: no number
//   "Purchasing chain"    list 2  Purchasing (contains Logistics, which contains Purchasing),
//                                 Night Shift (no members), Site Safety (no SMTP address)
//   "Escalation contacts" no target: no number
//   "Whole company"       list 3  posted as IPM.Post, IncludeDLs False: All Staff (which
//                                 contains Sales Team), Field Engineers (query-based, below
//                                 CN=Users: people whose title holds "Engineer"), the Support
//                                 Inbox public folder, kim.nguyen@ again
//   "Placeholder"         empty source list: no number
//   "Old addresses"       list 4  Carla's secondary address; the distinguished name of Ann's
//                                 old mailbox, which Ann's QAV record holds as an X.500 address
//   "Query lists"         list 5  query-based lists: Tacoma Office (below CN=Users: the people
//                                 in Tacoma, then Buyers and Warehouse, then itself) and Sales
//                                 Desk (from the root: the people in Sales, then the Sales
//                                 Team list). Buyers and Warehouse (from the root): the Buyer,
//                                 the Warehouse Lead and the Controller.
#include <signal.h>

#include <optional>

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/addressbook/address_book.h"
#include "support/host_folder.h"
#include "support/own_slapd.h"
#include "support/sample_dump_check.h"
#include "support/tcp_servers.h"

namespace testqav {
namespace {

using testing::Dn;
using testing::EntryId;
using testing::ExpectDump;
using testing::HostFolder;
using testing::LowerDn;
using testing::ReadFile;
using testing::Row;
using testing::SplitFields;
using testing::SplitLines;

const char kAnnOldDn[] = "/o=Northwind/ou=First Administrative Group/cn=Recipients/cn=alee";

// A person record: SMTP as the QAV match leaves it (encoded), the MCLID list, the ODN as the
// address book gives it, lower-cased by the record builder (the proxy look-up leaves a
// mailbox's ODN alone when it differs only in case), the entry ID of that ODN, and the two
// lists of every SMTP (lower-cased) and X.500 address, ";"-closed. No PIN, no fax
// (FaxMapping 0), no other phone or home fax (the address book has neither); FileAsFlag is
// 32823 unless the name holds a comma.
Row Person(const std::string& smtp, const std::string& mclid, const std::string& alias,
           const std::string& proxies, const std::string& name) {
  return {{"SMTP", smtp},          {"MCLID", mclid},
          {"ODN", LowerDn(alias)}, {"AddressID", EntryId(alias)},
          {"Proxies", proxies},    {"X500Proxies", ";" + Dn(alias) + ";"},
          {"DisplayName", name},   {"FileAs", name},
          {"FileAsFlag", "32823"}};
}

// A list record (IncludeDLs True): SMTP, MCLID, ODN, its entry ID (display type 1), the
// organisation fields, the name as DisplayName, LastName and FileAs, DL True; no proxies.
Row List(const std::string& smtp, const std::string& mclid, const std::string& alias,
         const std::string& name) {
  return {{"SMTP", smtp},          {"MCLID", mclid},
          {"ODN", LowerDn(alias)}, {"AddressID", EntryId(alias, 1)},
          {"DisplayName", name},   {"LastName", name},
          {"FileAs", name},        {"FileAsFlag", "32823"},
          {"DL", "True"}};
}

std::vector<Row> ExpectedSourceMcl() {
  std::vector<Row> rows;

  // List 1, first piece, by SMTP address; named again in list 3, and in Tacoma in list 5, so
  // {1}{3}{5}. Every property
  // the address book has: the first of two business-2 numbers, the secondary address
  // lower-cased, the display name's comma written as ";" in the dump and FileAsFlag 32791.
  Row kim = Person("kim.nguyen@northwind.test", "{1}{3}{5}", "knguyen",
                   ";kim.nguyen@northwind.test;knguyen@northwind.test;", "Nguyen; Kim");
  kim["FileAsFlag"] = "32791";
  kim["MobilePhone"] = "+1 253 555 0702";
  kim["QAV Business Phone"] = "+1 253 555 0701";
  kim["QAV Home Phone"] = "+1 253 555 0703";
  kim["QAV Pager"] = "+1 253 555 0704";
  kim["BusinessPhone2"] = "+1 253 555 0706";
  kim["HomePhone2"] = "+1 253 555 0708";
  kim["Title"] = "Operations Manager";
  kim["Company"] = "Northwind Traders";
  kim["Department"] = "Operations";
  kim["Office"] = "Depot 4";
  kim["StreetAddress"] = "8 Quay Street";
  kim["City"] = "Tacoma";
  kim["State"] = "WA";
  kim["Zip"] = "98402";
  kim["Country"] = "United States";
  kim["FirstName"] = "Kim";
  kim["LastName"] = "Nguyen";
  kim["MiddleName"] = "T";
  kim["Generation"] = "Jr.";
  rows.push_back(kim);

  // List 1 by display name; list 2 reaches him again through Purchasing, list 5 as the
  // Buyer: {1}{2}{5}. A registered user whose QAV record has the same primary SMTP: nothing
  // replaced.
  Row frank = Person("frank.moss@northwind.test", "{1}{2}{5}", "fmoss",
                     ";frank.moss@northwind.test;", "Frank Moss");
  frank["Title"] = "Buyer";
  frank["FirstName"] = "Frank";
  frank["LastName"] = "Moss";
  rows.push_back(frank);

  // List 1 by distinguished name ("EX:" + the piece); list 3 through All Staff: {1}{3}. Field
  // Engineers finds him again in list 3, whose identifier his record already has.
  Row dev = Person("dev.patel@northwind.test", "{1}{3}", "dpatel", ";dev.patel@northwind.test;",
                   "Dev Patel");
  dev["MobilePhone"] = "+1 425 555 0401";
  dev["Title"] = "Field Engineer";
  dev["FirstName"] = "Dev";
  dev["LastName"] = "Patel";
  rows.push_back(dev);
  // "Nobody Atall", orders@contoso.example (an internet entry, not "EX") and the empty piece
  // give no record.

  // List 2: Purchasing gets its own record (IncludeDLs True) with the group's company and
  // department, then is expanded: Frank (appended above), then Logistics.
  Row purchasing = List("purchasing@northwind.test", "{2}", "purchasing", "Purchasing");
  purchasing["Company"] = "Northwind Traders";
  purchasing["Department"] = "Purchasing";
  rows.push_back(purchasing);
  // Logistics, nested in Purchasing: a record, then Hal; its member Purchasing is already in
  // list 2's register and is not expanded again.
  rows.push_back(List("logistics@northwind.test", "{2}", "logistics", "Logistics"));

  // Hal, through Logistics: "_" and "%" stored as "#95" and "#25" in SMTP and Proxies. The
  // Warehouse Lead of list 5, found by his row's hal_king@ written the stored way: {2}{5}.
  Row hal = Person("hal#95king@northwind.test", "{2}{5}", "hking",
                   ";hal#95king@northwind.test;hal#25king@northwind.test;", "Hal King");
  hal["Title"] = "Warehouse Lead";
  hal["FirstName"] = "Hal";
  hal["LastName"] = "King";
  rows.push_back(hal);
  // Night Shift has no members: no record.

  // Site Safety has no SMTP address, so no record of its own, but its member Gina is added.
  // In Tacoma: {2}{5}.
  Row gina = Person("gina.ross@northwind.test", "{2}{5}", "gross",
                    ";gina.ross@northwind.test;g.ross@northwind.test;", "Gina Ross");
  gina["City"] = "Tacoma";
  gina["FirstName"] = "Gina";
  gina["LastName"] = "Ross";
  rows.push_back(gina);

  // List 3 (IncludeDLs False): no record for All Staff or Sales Team; Sales Team's members
  // Ann, Carla and Ivan, then Ben; Dev was appended above.
  // Ann: reached again in list 4 through her old mailbox, which the QAV match turns into
  // her: {3}{4}; in Sales in list 5: {3}{4}{5}. Her office's comma is written as ";"; her old
  // X.500 name follows her own.
  Row ann = Person("ann.lee@northwind.test", "{3}{4}{5}", "alee",
                   ";ann.lee@northwind.test;a.lee@northwind.test;", "Ann Lee");
  ann["X500Proxies"] = ";" + Dn("alee") + ";" + kAnnOldDn + ";";
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
  ann["FirstName"] = "Ann";
  ann["LastName"] = "Lee";
  rows.push_back(ann);

  // Carla: named in list 4 by her secondary address, which resolves to her entry, whose
  // primary address is her record's: {3}{4}; in Sales in list 5: {3}{4}{5}.
  Row carla = Person("carla.diaz@northwind.test", "{3}{4}{5}", "cdiaz",
                     ";carla.diaz@northwind.test;c.diaz@northwind.test;carla@sales.northwind.test;",
                     "Carla Diaz");
  carla["QAV Business Phone"] = "+1 425 555 0301";
  carla["Department"] = "Sales";
  carla["FirstName"] = "Carla";
  carla["LastName"] = "Diaz";
  rows.push_back(carla);

  // Ivan is a mail contact (display type 6): a person, but no mailbox, so the proxy look-up
  // drops the ODN it was given (keeping it among the X.500 addresses); the entry ID found for
  // that ODN before is kept, with display type 6. Sales Desk reaches the Sales Team list,
  // whose members the address book gives: {3}{5}.
  Row ivan = Person("ivan.petrov@fabrikam.example", "{3}{5}", "ipetrov",
                    ";ivan.petrov@fabrikam.example;", "Ivan Petrov");
  ivan["ODN"] = "";
  ivan["AddressID"] = EntryId("ipetrov", 6);
  ivan["Company"] = "Fabrikam";
  ivan["FirstName"] = "Ivan";
  ivan["LastName"] = "Petrov";
  rows.push_back(ivan);

  Row ben = Person("ben.ortiz@northwind.test", "{3}", "bortiz", ";ben.ortiz@northwind.test;",
                   "Ben Ortiz");
  ben["MobilePhone"] = "+1 425 555 0201";
  ben["Title"] = "Account Manager";
  ben["Company"] = "Northwind Traders";
  ben["FirstName"] = "Ben";
  ben["LastName"] = "Ortiz";
  rows.push_back(ben);
  // The Support Inbox public folder is neither a person nor a list: no record. List 4 adds no
  // record.

  // List 5, from the directory's rows, their values as the directory gives them: the name
  // (the RDN value) as DisplayName and FileAs, the Exchange name with its capitals, the SMTP
  // address as spelled; the lists from the address book as for any record.
  // Iris, the Controller in Buyers and Warehouse: a registered user, named as her QAV record
  // names her (the same address).
  Row iris;
  iris["SMTP"] = "iris.wong@northwind.test";
  iris["MCLID"] = "{5}";
  iris["ODN"] = Dn("iwong");
  iris["AddressID"] = EntryId("iwong");
  iris["Proxies"] = ";iris.wong@northwind.test;";
  iris["X500Proxies"] = ";" + Dn("iwong") + ";";
  iris["QAV Business Phone"] = "+1 425 555 0601";
  iris["Title"] = "Controller";
  iris["Company"] = "Northwind Traders";
  iris["FirstName"] = "Iris";
  iris["LastName"] = "Wong";
  iris["DisplayName"] = "Iris Wong";
  iris["FileAs"] = "Iris Wong";
  iris["FileAsFlag"] = "32823";
  rows.push_back(iris);
  // Mia, in Tacoma after the nested list: her address as the directory spells it, the first
  // of her two business-2 numbers.
  Row mia;
  mia["SMTP"] = "Mia.Chen@northwind.test";
  mia["MCLID"] = "{5}";
  mia["ODN"] = Dn("mchen");
  mia["AddressID"] = EntryId("mchen");
  mia["Proxies"] = ";mia.chen@northwind.test;mchen@northwind.test;";
  mia["X500Proxies"] = ";" + Dn("mchen") + ";";
  mia["MobilePhone"] = "+1 253 555 0802";
  mia["QAV Business Phone"] = "+1 253 555 0801";
  mia["BusinessPhone2"] = "+1 253 555 0806";
  mia["Title"] = "Dispatcher";
  mia["Company"] = "Northwind Traders";
  mia["Department"] = "Operations";
  mia["Office"] = "Depot 4";
  mia["City"] = "Tacoma";
  mia["State"] = "WA";
  mia["Zip"] = "98402";
  mia["Country"] = "United States";
  mia["FirstName"] = "Mia";
  mia["LastName"] = "Chen";
  mia["DisplayName"] = "Mia Chen";
  mia["FileAs"] = "Mia Chen";
  mia["FileAsFlag"] = "32823";
  rows.push_back(mia);
  return rows;
}

TEST(SampleOrganisation, SourceMclMatchesTheHandDerivedRecords) {
  HostFolder h;
  h.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  testing::RunResult r = h.Run([](const std::filesystem::path& dir, std::ostream& diag) {
    return OpenAddressBook(dir, diag);
  });
  ASSERT_EQ(r.exit_status, kExitCompleted) << h.diagnostics();
  const std::string text = ReadFile(h.path() / "SourceMCL-1.csv");
  const std::vector<std::string> lines = SplitLines(text);
  ASSERT_FALSE(lines.empty()) << r.Dump();
  EXPECT_EQ(SplitFields(lines[0]), (std::vector<std::string>{"SMTP",
                                                             "MCLID",
                                                             "ODN",
                                                             "AddressID",
                                                             "Proxies",
                                                             "X500Proxies",
                                                             "PIN",
                                                             "MobilePhone",
                                                             "RadioPhone",
                                                             "QAV Business Phone",
                                                             "QAV Business Fax",
                                                             "QAV Home Phone",
                                                             "QAV Pager",
                                                             "BusinessPhone2",
                                                             "HomePhone2",
                                                             "Title",
                                                             "Company",
                                                             "Department",
                                                             "Office",
                                                             "StreetAddress",
                                                             "City",
                                                             "State",
                                                             "Zip",
                                                             "Country",
                                                             "HomeStreet",
                                                             "HomeCity",
                                                             "HomeState",
                                                             "HomeZip",
                                                             "HomeCountry",
                                                             "HomeAddress",
                                                             "FirstName",
                                                             "LastName",
                                                             "MiddleName",
                                                             "Generation",
                                                             "DisplayName",
                                                             "Description",
                                                             "PrivateFields",
                                                             "FileAs",
                                                             "FileAsFlag",
                                                             "Notes",
                                                             "LastChange",
                                                             "OtherPhone",
                                                             "HomeFax",
                                                             "OtherFax",
                                                             "Email2",
                                                             "Email3",
                                                             "DL",
                                                             "UserField2",
                                                             "UserField3",
                                                             "UserField4"}));
  ExpectDump(text, ExpectedSourceMcl(), "SourceMCL-1", 50);

  const std::string collect = "QAV::CollectDataMCL:";
  const std::string parse = "QAV::ParseSourceMCL:";
  const std::string add = "QAV::AddToSourceMCL:";
  const std::string expand = "QAV::ExpandQueryDL:";
  const std::string from_query = "QAV::AddToSourceMCLFromQuery:";
  EXPECT_EQ(r.CountContaining("MCL collection is not available"), 0) << r.Dump();
  EXPECT_TRUE(r.Has("", collect +
                            "found item 'Whole company' with incorrect MessageClass 'IPM.Post'; "
                            "checking for MCL properties"))
      << r.Dump();
  EXPECT_TRUE(r.Has("", collect + "skipping Spring campaign, Inactive flag is set"));
  EXPECT_TRUE(r.Has("Warning", collect + "skipping Escalation contacts, missing target"));
  // The numbers skip the inactive item, the one without target and the empty source list.
  EXPECT_TRUE(r.Has("", collect + "parsing data from Whole company as list 3"));
  EXPECT_TRUE(r.Has("", collect + "parsing data from Old addresses as list 4"));
  EXPECT_TRUE(r.Has("", collect + "examining Placeholder"));
  EXPECT_EQ(r.CountContaining("from Placeholder as list"), 0);
  // The unknown name, the internet address and the empty piece after the trailing ";": no
  // error is pending when the resolver finds no Exchange entry, so nothing follows the blank.
  EXPECT_TRUE(r.Has("", parse + " unable to retrieve EX AddressEntry for Nobody Atall "));
  EXPECT_TRUE(r.Has("", parse + " unable to retrieve EX AddressEntry for orders@contoso.example "));
  EXPECT_TRUE(r.Has("", parse + " unable to retrieve EX AddressEntry for  "));
  EXPECT_TRUE(r.Has("", add + "skipping repeat expansion of DL Purchasing"));
  EXPECT_TRUE(r.Has("", add + "skipping DL Night Shift because it has no members"));
  EXPECT_TRUE(r.Has("Warning", add + "skipping Site Safety: no SMTP address"));
  EXPECT_TRUE(r.Has(
      "", add + "skipping creation of record for DL 'All Staff'; IncludeDLs=False for this MCL"));
  EXPECT_TRUE(r.Has(
      "", add + "skipping creation of record for DL 'Sales Team'; IncludeDLs=False for this MCL"));
  EXPECT_TRUE(
      r.Has("", add + "attempting to expand field.engineers@northwind.test as query-based DL"));
  EXPECT_TRUE(r.Has("", collect + "parsing data from Query lists as list 5"));
  // Field Engineers: one row (Dev); Tacoma Office: Gina, Kim, Buyers and Warehouse, itself,
  // Mia; Buyers and Warehouse and Sales Desk: three each.
  EXPECT_TRUE(r.Has("", expand + "expanding query-based DL field.engineers@northwind.test"));
  EXPECT_EQ(r.CountContaining(expand + "query returned "), 4);
  EXPECT_TRUE(r.Has("", expand + "query returned 1 rows"));
  EXPECT_TRUE(r.Has("", expand + "query returned 5 rows"));
  EXPECT_EQ(r.CountContaining(expand + "query returned 3 rows"), 2);
  EXPECT_EQ(r.CountContaining(expand + "adding row with objectCategory='CN=Person,CN=Schema,"
                                       "CN=Configuration,DC=northwind,DC=test'"),
            9);
  EXPECT_TRUE(r.Has("", expand + "expanding member query-based DL named 'Buyers and Warehouse'"));
  EXPECT_TRUE(r.Has("", expand + "skipping repeat expansion of Tacoma Office"));
  EXPECT_TRUE(r.Has("", expand + "expanding member DL named 'Sales Team'"));
  EXPECT_TRUE(r.Has("", from_query + "adding record for Iris Wong"));
  EXPECT_TRUE(r.Has("", from_query + "adding record for Mia Chen"));
  // A row's addresses as the directory spells them, in the filter of its QAV match.
  const std::string mia_odn =
      "/o=Northwind/ou=Exchange Administrative Group (FYDIBOHF23SPDLT)/cn=Recipients/cn=mchen";
  EXPECT_TRUE(r.Has("",
                    "QAV::FindMatchInQAV:found no match in QAV data using filter =SMTP LIKE "
                    "'Mia.Chen@northwind.test' OR ODN LIKE '" +
                        mia_odn + "' OR Proxies Like '*;Mia.Chen@northwind.test;*' OR " +
                        "X500Proxies Like '*;" + mia_odn + ";*'"))
      << r.Dump();
  // Her new record's two proxy look-ups, line after line, as the row's ODN and SMTP address
  // resolve in the address book.
  const std::vector<std::string> mia_proxies = {
      from_query + "adding record for Mia Chen",
      "QAV::GetAllProxies:attempting to resolve " + mia_odn,
      "GetAllProxies:adding 'mia.chen@northwind.test' to Proxies for " + mia_odn,
      "GetAllProxies:adding 'mchen@northwind.test' to Proxies for " + mia_odn,
      "GetAllProxies:Proxies for " + mia_odn + " = ;mia.chen@northwind.test;mchen@northwind.test",
      "GetAllProxies:X500Proxies for " + mia_odn + " = ;" + mia_odn,
      "GetAllProxies: found Mia.Chen@northwind.test in existing proxy string; no need to repeat "
      "expansion",
  };
  auto first = std::find_if(r.lines.begin(), r.lines.end(),
                            [&](const auto& l) { return l.second == mia_proxies.front(); });
  ASSERT_GE(std::distance(first, r.lines.end()), static_cast<ptrdiff_t>(mia_proxies.size()))
      << r.Dump();
  for (size_t i = 0; i < mia_proxies.size(); ++i) {
    EXPECT_EQ((first + static_cast<ptrdiff_t>(i))->second, mia_proxies[i]);
  }
  EXPECT_EQ(r.CountContaining(from_query + "appending MCLID to existing record for "), 6);
  EXPECT_TRUE(r.Has("", add + "appending MCLID to existing record for Ivan Petrov"));
  EXPECT_TRUE(r.Has("", add +
                            "DisplayType = 2 for Support Inbox with SMTP support@northwind.test "
                            "and ODN " +
                            LowerDn("support")));
  // Ann's old mailbox has an address of its own; the QAV match finds Ann's record through
  // the old name among her X.500 addresses and takes her primary address instead.
  EXPECT_TRUE(r.Has("",
                    "QAV::FindMatchInQAV:found match on different primary SMTP; replacing "
                    "'ann.lee.old@northwind.test' with 'ann.lee@northwind.test'"));
  EXPECT_TRUE(r.Has("",
                    "QAV::FindMatchInQAV: found match on existing primary SMTP "
                    "'carla.diaz@northwind.test'"));
}

// The same run against slapd loaded with the sample's directory: the query-based lists find
// the same rows in the same order, and every dump is the same file.
TEST(SampleOrganisation, DumpsAreTheSameOverSlapd) {
  if (!testing::OwnSlapd::Wanted()) {
    GTEST_SKIP() << "TESTQAV_SLAPD_URL not set: slapd suites do not run here";
  }
  const std::filesystem::path sample = testing::SourceDir() / "examples" / "sample-org";
  testing::OwnSlapd slapd(sample / "exchange" / "EXCH01" / "directory.ldif");
  ASSERT_TRUE(slapd.failure().empty()) << slapd.failure();
  auto opener = [](const std::filesystem::path& dir, std::ostream& diag) {
    return OpenAddressBook(dir, diag);
  };
  HostFolder embedded;
  embedded.CopyFrom(sample);
  ASSERT_EQ(embedded.Run(opener).exit_status, kExitCompleted) << embedded.diagnostics();
  HostFolder ldap;
  ldap.CopyFrom(sample);
  std::filesystem::remove(ldap.ServerDir() / "directory.ldif");
  testing::WriteFile(ldap.ServerDir() / "directory.conf", slapd.DirectoryConf());
  testing::RunResult r = ldap.Run(opener);
  ASSERT_EQ(r.exit_status, kExitCompleted) << ldap.diagnostics() << r.Dump();
  EXPECT_EQ(r.CountContaining("QAV::ExpandQueryDL:query returned "), 4) << r.Dump();
  for (const char* dump : {"QAV-1.csv", "QAV-GAL.csv", "SourceMCL-1.csv"}) {
    EXPECT_EQ(ReadFile(ldap.path() / dump), ReadFile(embedded.path() / dump)) << dump;
  }
}

// A server that stops answering once the address book is read (the query-based lists still
// ask it), one that still takes binds but answers no search (the run gives up after
// max_timeouts of them), and one frozen from the start: each run ends with status 10 after
// a few one-second time-outs, writes no dumps, and says why.
TEST(SampleOrganisation, AServerThatStopsAnsweringEndsTheRun) {
  if (!testing::OwnSlapd::Wanted()) {
    GTEST_SKIP() << "TESTQAV_SLAPD_URL not set: slapd suites do not run here";
  }
  const std::filesystem::path sample = testing::SourceDir() / "examples" / "sample-org";
  testing::OwnSlapd slapd(sample / "exchange" / "EXCH01" / "directory.ldif");
  ASSERT_TRUE(slapd.failure().empty()) << slapd.failure();
  auto opener = [](const std::filesystem::path& dir, std::ostream& diag) {
    return OpenAddressBook(dir, diag);
  };
  // The bind, the rootDSE, the snapshot's base entry and its one page pass; then silence.
  // Without the proxy, slapd itself is stopped (SIGSTOP): its socket still takes the
  // connection, nothing answers the bind.
  using Mode = testing::CuttingProxy::Mode;
  for (std::optional<Mode> stall :
       {std::optional<Mode>(Mode::kStall), std::optional<Mode>(Mode::kStallSearches),
        std::optional<Mode>()}) {
    const bool frozen = !stall;
    SCOPED_TRACE(frozen ? "slapd stopped" : stall == Mode::kStall ? "no answers" : "no searches");
    std::string conf = slapd.DirectoryConf();
    std::optional<testing::CuttingProxy> proxy;
    if (frozen) {
      ASSERT_EQ(::kill(slapd.pid(), SIGSTOP), 0);
    } else {
      proxy.emplace(slapd.port(), 4, *stall);
      conf = "url = ldap://127.0.0.1:" + std::to_string(proxy->port()) + "/\n" +
             conf.substr(conf.find('\n') + 1);
    }
    conf.replace(conf.find("timeout = 10"), 12, "timeout = 1");
    HostFolder h;
    h.CopyFrom(sample);
    std::filesystem::remove(h.ServerDir() / "directory.ldif");
    testing::WriteFile(h.ServerDir() / "directory.conf", conf);
    testing::RunResult r = h.Run(opener);
    if (frozen) ::kill(slapd.pid(), SIGCONT);
    EXPECT_EQ(r.exit_status, kExitDirectoryFailed) << h.diagnostics() << r.Dump();
    // The line that ends the run says why.
    std::string why;
    for (const auto& line : r.lines) {
      if (line.first == "Error" && line.second.rfind("directory not available: ", 0) == 0) {
        why = line.second;
      }
    }
    EXPECT_NE(why.find("Timed out (LDAP result code -5)"), std::string::npos) << r.Dump();
    if (!frozen) {
      EXPECT_TRUE(proxy->cut());
      EXPECT_NE(why.find("lost for the rest of the run"), std::string::npos) << why;
      EXPECT_NE(why.find("run ended during mandatory contact lists"), std::string::npos) << why;
    }
    if (stall == Mode::kStallSearches) {
      EXPECT_NE(why.find("3 operations in a row were not answered"), std::string::npos) << why;
    }
    for (const char* dump : {"QAV-1.csv", "QAV-GAL.csv", "SourceMCL-1.csv"}) {
      EXPECT_FALSE(std::filesystem::exists(h.path() / dump)) << dump;
    }
  }
}

}  // namespace
}  // namespace testqav
