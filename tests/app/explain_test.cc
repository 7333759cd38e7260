// Provenance and the dry run on the sample organisation: an observer leaves a run exactly as
// it was, a dry run leaves the host folder exactly as it was, and `explain` tells the
// sample's tricky cases as they happen (a duplicate registration, a person reached through
// nested lists and through a query-based list, lists refused as repeats).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "app/dry_run.h"
#include "app/explain.h"
#include "app/services.h"
#include "platform/addressbook/address_book.h"
#include "support/host_folder.h"

namespace testqav {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;
using testing::HostFolder;
using testing::ReadFile;

// Every file below `root` (path relative to it -> content).
std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) files[fs::relative(e.path(), root).string()] = ReadFile(e.path());
  }
  return files;
}

fs::path Sample() { return testing::SourceDir() / "examples" / "sample-org"; }

// A snapshot with the modification times that a run stamps on the messages it changes
// (the wall clock's) written as "<run>": two runs a few milliseconds apart differ there.
std::map<std::string, std::string> StampFree(std::map<std::string, std::string> files) {
  const std::string original = ReadFile(Sample() / "exchange/EXCH01/mailboxes/qavagent.json");
  const std::string key = "\"lastModified\": \"";
  for (auto& [name, text] : files) {
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
      const size_t from = at + key.size();
      const size_t to = text.find('"', from);
      if (to == std::string::npos) break;
      if (original.find(key + text.substr(from, to - from) + "\"") == std::string::npos) {
        text.replace(from, to - from, "<run>");
      }
    }
  }
  return files;
}

AddressBookOpener Opener() {
  return [](const fs::path& dir, std::ostream& diag) { return OpenAddressBook(dir, diag); };
}

DryRunResult DryRun(const HostFolder& folder, ProvenanceObserver* observer) {
  testing::FakeHost host(folder.path().string());
  std::ostringstream diagnostics;
  std::unique_ptr<Registry> registry =
      LoadRegistryFile((folder.path() / "registry.reg").string(), diagnostics);
  DriverServices services;
  services.registry = registry.get();
  services.create_session = [&] { return CreateHostSession(folder.path(), diagnostics, true); };
  return DryRunUpdate(host, services, observer);
}

TEST(Provenance, AnObserverLeavesLogDumpsAndMailboxAsTheyWere) {
  HostFolder plain;
  HostFolder observed;
  plain.CopyFrom(Sample());
  observed.CopyFrom(Sample());
  // Twice each: the first run migrates the agent's folders, the second finds them by ID.
  ProvenanceRecorder recorder;
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(plain.Run(Opener()).exit_status, kExitCompleted) << plain.diagnostics();
    ASSERT_EQ(observed.Run(Opener(), nullptr, RunJob::kUpdate, &recorder).exit_status,
              kExitCompleted);
  }
  EXPECT_EQ(StampFree(Snapshot(plain.path())), StampFree(Snapshot(observed.path())));
  EXPECT_FALSE(recorder.registrations.empty());
  EXPECT_FALSE(recorder.contacts.empty());
}

TEST(DryRun, ChangesNothingAndGivesTheDumpsARealRunWrites) {
  HostFolder folder;
  folder.CopyFrom(Sample());
  const auto before = Snapshot(folder.path());
  ProvenanceRecorder recorder;
  const DryRunResult dry = DryRun(folder, &recorder);
  ASSERT_EQ(dry.exit_status, kExitCompleted) << dry.exit_reason;
  // The first run of the sample migrates the agent's folders and records the registration
  // folder's ID in the settings message: all of that stays in memory.
  EXPECT_EQ(Snapshot(folder.path()), before);
  ASSERT_EQ(dry.dumps.size(), 3u);

  ASSERT_EQ(folder.Run(Opener()).exit_status, kExitCompleted);
  for (const auto& [name, text] : dry.dumps) {
    EXPECT_EQ(text, ReadFile(folder.path() / name)) << name;
  }
}

class Explain : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_.CopyFrom(Sample());
    run_ = DryRun(folder_, &recorder_);
    ASSERT_EQ(run_.exit_status, kExitCompleted) << run_.exit_reason;
  }
  Json Ask(const std::string& name, int expected_status = 0) {
    std::ostringstream out;
    EXPECT_EQ(WriteExplanation(name, recorder_, run_, true, out), expected_status) << name;
    return Json::parse(out.str());
  }
  std::string AskText(const std::string& name) {
    std::ostringstream out;
    WriteExplanation(name, recorder_, run_, false, out);
    return out.str();
  }
  // The events of the source contact in the given MCL.
  static std::vector<Json> EventsIn(const Json& j, const std::string& mcl) {
    std::vector<Json> out;
    for (const Json& e : j["source_contact"]["events"]) {
      if (e["mcl"] == mcl) out.push_back(e);
    }
    return out;
  }
  static std::vector<std::string> PathNames(const Json& event) {
    std::vector<std::string> names;
    for (const Json& step : event["path"]) names.push_back(step["name"].get<std::string>());
    return names;
  }

  HostFolder folder_;
  ProvenanceRecorder recorder_;
  DryRunResult run_;
};

TEST_F(Explain, NothingMatchedHasItsOwnStatus) {
  const Json j = Ask("nobody@nowhere.example", kExitNothingMatched);
  EXPECT_FALSE(j["found"]);
  EXPECT_NE(AskText("nobody@nowhere.example").find("Nothing"), std::string::npos);
}

TEST_F(Explain, TheOlderRegistrationIsADuplicateFoundThroughItsAddress) {
  const Json j = Ask("BEN.ORTIZ@northwind.test");
  const Json& user = j["registered_user"];
  EXPECT_EQ(user["record"]["PIN"], "2B000002");
  ASSERT_EQ(user["registrations"].size(), 2u) << j.dump(2);
  // Newest first: the newer registration made the record, the older one is the duplicate.
  EXPECT_EQ(user["registrations"][0]["outcome"], "added");
  EXPECT_EQ(user["registrations"][0]["registration"]["pin"], "2B000002");
  EXPECT_EQ(user["registrations"][1]["outcome"], "duplicate");
  EXPECT_EQ(user["registrations"][1]["registration"]["pin"], "2B000001");
  EXPECT_EQ(user["registrations"][1]["matched_field"], "SMTP");
  EXPECT_EQ(user["registrations"][1]["duplicate_of"], "ben.ortiz@northwind.test");
  // Ben is the target of "Field staff" (1) and "Old addresses" (4).
  ASSERT_EQ(j["target_of"].size(), 2u);
  EXPECT_EQ(j["target_of"][0]["mcl"], "1");
  EXPECT_EQ(j["target_of"][1]["mcl"], "4");
  bool kim = false;
  for (const Json& c : j["target_of"][0]["contacts"])
    kim |= c["smtp"] == "kim.nguyen@northwind.test";
  EXPECT_TRUE(kim);
}

TEST_F(Explain, APersonReachedThroughNestedListsAndAQueryBasedList) {
  // Asked by an X.500 address of Ann's old mailbox: any of a record's names finds it.
  const Json j =
      Ask("/o=Northwind/ou=Exchange Administrative Group (FYDIBOHF23SPDLT)/cn=Recipients/cn=ALEE");
  ASSERT_TRUE(j["found"]);
  EXPECT_EQ(j["source_contact"]["record"]["MCLID"], "{3}{4}{5}");
  const auto whole_company = EventsIn(j, "3");
  ASSERT_EQ(whole_company.size(), 1u);
  EXPECT_EQ(whole_company[0]["outcome"], "added");
  EXPECT_EQ(PathNames(whole_company[0]), (std::vector<std::string>{"All Staff", "Sales Team"}));
  const auto query_lists = EventsIn(j, "5");
  ASSERT_FALSE(query_lists.empty());
  EXPECT_EQ(query_lists[0]["outcome"], "appended");
  ASSERT_EQ(query_lists[0]["path"].size(), 1u);
  EXPECT_EQ(query_lists[0]["path"][0]["kind"], "query-based list");
  EXPECT_EQ(query_lists[0]["path"][0]["smtp"], "sales.desk@northwind.test");
  EXPECT_NE(query_lists[0]["path"][0]["filter"].get<std::string>().find("department=Sales"),
            std::string::npos);
  ASSERT_EQ(j["source_contact"]["reached_by"].size(), 3u);
  EXPECT_EQ(j["source_contact"]["reached_by"][2]["target"], "gina.ross@northwind.test");
  EXPECT_EQ(Ask("mia chen")["source_contact"]["record"]["SMTP"], "Mia.Chen@northwind.test");
}

TEST_F(Explain, ListsThatReachThemselvesAreRefused) {
  const auto purchasing = EventsIn(Ask("Purchasing"), "2");
  bool refused = false;
  for (const Json& e : purchasing) {
    if (e["outcome"] != "refused") continue;
    refused = true;
    EXPECT_EQ(PathNames(e), (std::vector<std::string>{"Purchasing", "Logistics"}));
  }
  EXPECT_TRUE(refused);
  const auto tacoma = EventsIn(Ask("tacoma.office@northwind.test"), "5");
  ASSERT_EQ(tacoma.size(), 2u);
  EXPECT_EQ(tacoma[0]["outcome"], "expanded");
  EXPECT_EQ(tacoma[1]["outcome"], "refused");
  EXPECT_EQ(tacoma[1]["path"][0]["smtp"], "tacoma.office@northwind.test");
}

}  // namespace
}  // namespace testqav
