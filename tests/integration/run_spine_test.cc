// Whole update runs on temporary host folders: registry settings, logon, agent folders and
// settings message, the registration folder's write-back, the end of the run.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/host_folder.h"

namespace testqav {
namespace {

using nlohmann::json;
using testing::HostFolder;
using testing::ReadFile;
using testing::RunResult;

json Folder(const std::string& name, json folders = json::array(), json messages = json::array()) {
  json f = {{"name", name}};
  if (!folders.empty()) f["folders"] = folders;
  if (!messages.empty()) f["messages"] = messages;
  return f;
}

json Settings(const std::string& hh_path, const std::string& hh_id = "",
              const std::string& mc_path = "", const std::string& mc_id = "") {
  return {{"class", "velkora.Agent"},
          {"subject", "velkoraAgent"},
          {"named", json::array({{{"name", "HHPath"}, {"type", "string"}, {"value", hh_path}},
                                 {{"name", "HHEntryID"}, {"type", "string"}, {"value", hh_id}},
                                 {{"name", "MCPath"}, {"type", "string"}, {"value", mc_path}},
                                 {{"name", "MCEntryID"}, {"type", "string"}, {"value", mc_id}}})}};
}

json Mailbox(json root_folders, json ipm_folders = json::array()) {
  json ipm = Folder("Top of Information Store", ipm_folders);
  json folders = json::array({ipm});
  for (auto& f : root_folders) folders.push_back(f);
  return {{"displayName", "Mailbox - Agent"}, {"root", {{"name", ""}, {"folders", folders}}}};
}

json LoadMailbox(const HostFolder& h) { return json::parse(ReadFile(h.MailboxFile())); }

const json* Find(const json& folder, const std::string& name) {
  if (!folder.contains("folders")) return nullptr;
  for (const auto& f : folder["folders"]) {
    if (f["name"] == name) return &f;
  }
  return nullptr;
}

std::string NamedValue(const json& message, const std::string& name) {
  for (const auto& n : message["named"]) {
    if (n.contains("name") && n["name"] == name) return n["value"].get<std::string>();
  }
  return "<missing>";
}

TEST(RunSpine, NeitherRegistryValueGivesTheSeparatorAndMissingServerOnly) {
  HostFolder h;
  h.WriteRegistry("", "");
  RunResult r = h.Run();
  EXPECT_EQ(r.exit_status, kExitMissingServer);
  ASSERT_EQ(r.lines.size(), 2u) << r.Dump();
  EXPECT_EQ(r.lines[0], std::make_pair(std::string(), std::string(40, '*')));
  EXPECT_EQ(r.lines[1], std::make_pair(std::string("Error"), std::string("missing Server Name")));
  EXPECT_TRUE(r.notices.empty());
}

TEST(RunSpine, MissingAliasEndsTheRun) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "");
  RunResult r = h.Run();
  EXPECT_EQ(r.exit_status, kExitMissingAlias);
  ASSERT_EQ(r.lines.size(), 2u) << r.Dump();
  EXPECT_TRUE(r.Has("Error", "missing Alias"));
}

TEST(RunSpine, MissingRegistryFileReadsAsMissingServer) {
  HostFolder h;
  RunResult r = h.Run();
  EXPECT_EQ(r.exit_status, kExitMissingServer);
  EXPECT_TRUE(r.Has("Error", "missing Server Name"));
}

TEST(RunSpine, UnknownMailboxFailsLogonButTheRunStillCompletes) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "nobody");
  h.WriteMailbox(Mailbox(json::array()).dump());
  RunResult r = h.Run();
  EXPECT_EQ(r.exit_status, kExitLogonFailed);
  EXPECT_TRUE(r.Has("", "logging on using EXCH01\\nobody"));
  EXPECT_TRUE(
      r.Has("Error", "Unable to locate UserInfo folder, possible network connectivity problem."))
      << r.Dump();
  EXPECT_TRUE(r.Has("", "complete"));
  EXPECT_EQ(r.notices, std::vector<std::string>{"TestQAV: Complete"});
}

TEST(RunSpine, MailboxWithoutAgentFoldersGetsBoth) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "agent");
  h.WriteMailbox(Mailbox(json::array()).dump());
  RunResult r = h.Run();
  EXPECT_EQ(r.exit_status, kExitNoRegistrationFolder) << h.diagnostics();
  EXPECT_TRUE(
      r.Has("Error", "Unable to locate AgentInfo message, possible network connectivity problem."))
      << r.Dump();
  json m = LoadMailbox(h);
  const json* agent = Find(m["root"], "velkoraAgentInfo");
  ASSERT_NE(agent, nullptr);
  EXPECT_NE(Find(*agent, "velkoraUserInfo"), nullptr);
  // No settings: no registration folder, so nothing is dumped.
  EXPECT_FALSE(std::filesystem::exists(h.path() / "QAV-1.csv"));
  EXPECT_TRUE(r.Has("", "complete"));
}

TEST(RunSpine, OlderLayoutIsMigrated) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "agent");
  json user_info = Folder("velkoraUserInfo", json::array(),
                          json::array({{{"class", "velkora.UserInfo"}, {"subject", "u1"}},
                                       Settings(""),
                                       {{"class", "IPM.Note"}, {"subject", "stray"}}}));
  h.WriteMailbox(Mailbox(json::array({user_info})).dump());
  RunResult r = h.Run();
  // The settings name no registration folder.
  EXPECT_EQ(r.exit_status, kExitNoRegistrationFolder) << h.diagnostics();
  json m = LoadMailbox(h);
  EXPECT_EQ(Find(m["root"], "velkoraUserInfo"), nullptr) << m.dump(1);
  const json* agent = Find(m["root"], "velkoraAgentInfo");
  ASSERT_NE(agent, nullptr);
  const json* moved = Find(*agent, "velkoraUserInfo");
  ASSERT_NE(moved, nullptr);
  ASSERT_EQ((*moved)["messages"].size(), 1u);
  EXPECT_EQ((*moved)["messages"][0]["class"], "velkora.UserInfo");
  // Every message that is not a user information message went to the agent folder.
  ASSERT_EQ((*agent)["messages"].size(), 2u);
  // The settings message was among them and is found there.
  EXPECT_FALSE(r.HasPrefix("Error", "Unable to locate AgentInfo message")) << r.Dump();
}

TEST(RunSpine, FolderNameInOtherCaseIsNotTheAgentFolder) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "agent");
  h.WriteMailbox(Mailbox(json::array({Folder("velkoraagentinfo", json::array(),
                                             json::array({Settings("x")}))}))
                     .dump());
  RunResult r = h.Run();
  json m = LoadMailbox(h);
  // Folder names are unique ignoring case in a store, so the agent folder cannot be created
  // beside it either: the run has no agent folders.
  EXPECT_EQ(Find(m["root"], "velkoraAgentInfo"), nullptr);
  EXPECT_TRUE(
      r.Has("Error", "Unable to locate UserInfo folder, possible network connectivity problem."))
      << r.Dump();
}

TEST(RunSpine, EverySurplusSettingsMessageIsDeleted) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "agent");
  json agent = Folder(
      "velkoraAgentInfo", json::array({Folder("velkoraUserInfo")}),
      json::array({Settings("first"), Settings("second"), Settings("third"), Settings("fourth")}));
  h.WriteMailbox(Mailbox(json::array({agent})).dump());
  h.Run();
  json m = LoadMailbox(h);
  const json& messages = (*Find(m["root"], "velkoraAgentInfo"))["messages"];
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(NamedValue(messages[0], "HHPath"), "first");
}

TEST(RunSpine, RegistrationFolderFoundByPathThenByEntryId) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "agent");
  json agent = Folder("velkoraAgentInfo", json::array({Folder("velkoraUserInfo")}),
                      json::array({Settings("Mailbox - Agent\\ handheld \\registrations\\")}));
  json ipm = json::array({Folder("Handheld", json::array({Folder("Registrations")}))});
  h.WriteMailbox(Mailbox(json::array({agent}), ipm).dump());

  RunResult first = h.Run();
  EXPECT_EQ(first.exit_status, kExitCompleted) << h.diagnostics();
  EXPECT_TRUE(first.Has("Warning",
                        "GetRegFolder: failed to retrieve Reg folder using GetFolder; try "
                        "GetTargetFolder(Mailbox - Agent\\ handheld \\registrations\\) "))
      << first.Dump();
  json m = LoadMailbox(h);
  const json& settings = (*Find(m["root"], "velkoraAgentInfo"))["messages"][0];
  const json* reg =
      Find(*Find(*Find(m["root"], "Top of Information Store"), "Handheld"), "Registrations");
  ASSERT_NE(reg, nullptr);
  const std::string reg_id = (*reg)["entryId"].get<std::string>();
  EXPECT_EQ(NamedValue(settings, "HHEntryID"), reg_id);
  // The path is kept as it was written; the first run did not know the canonical one.
  EXPECT_EQ(NamedValue(settings, "HHPath"), "Mailbox - Agent\\ handheld \\registrations\\");
  EXPECT_TRUE(std::filesystem::exists(h.path() / "QAV-1.csv"));
  EXPECT_TRUE(std::filesystem::exists(h.path() / "QAV-GAL.csv"));

  RunResult second = h.Run();
  EXPECT_TRUE(second.Has("",
                         "GetRegFolder: attempting to retrieve folder using GetFolder with "
                         "EntryID=" +
                             reg_id))
      << second.Dump();
  EXPECT_FALSE(second.HasPrefix("Warning", "GetRegFolder:"));
  m = LoadMailbox(h);
  EXPECT_EQ(NamedValue((*Find(m["root"], "velkoraAgentInfo"))["messages"][0], "HHPath"),
            "\\\\Mailbox - Agent\\Handheld\\Registrations");
}

TEST(RunSpine, UnknownRegistrationFolderProducesNoDumps) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "agent");
  json agent = Folder("velkoraAgentInfo", json::array({Folder("velkoraUserInfo")}),
                      json::array({Settings("Mailbox - Agent\\Nowhere")}));
  h.WriteMailbox(Mailbox(json::array({agent})).dump());
  RunResult r = h.Run();
  EXPECT_TRUE(r.Has("Error",
                    "basCDO::GetTargetFolder error: Nowhere folder could not be found "
                    "in specified location."))
      << r.Dump();
  EXPECT_FALSE(std::filesystem::exists(h.path() / "QAV-1.csv"));
  EXPECT_TRUE(r.Has("", "complete"));
}

TEST(RunSpine, StoreNameInOtherCaseIsLookedForAsAFolder) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "agent");
  json agent = Folder("velkoraAgentInfo", json::array({Folder("velkoraUserInfo")}),
                      json::array({Settings("mailbox - agent\\Registrations")}));
  h.WriteMailbox(Mailbox(json::array({agent}), json::array({Folder("Registrations")})).dump());
  RunResult r = h.Run();
  EXPECT_TRUE(r.Has("Error",
                    "basCDO::GetTargetFolder error: mailbox - agent folder could not be "
                    "found in specified location."))
      << r.Dump();
  EXPECT_FALSE(std::filesystem::exists(h.path() / "QAV-1.csv"));
}

TEST(RunSpine, StorePathWithoutTheStoreNameIsRefused) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "agent");
  json agent = Folder("velkoraAgentInfo", json::array({Folder("velkoraUserInfo")}),
                      json::array({Settings("Other Mailbox\\Registrations")}));
  h.WriteMailbox(Mailbox(json::array({agent})).dump());
  RunResult r = h.Run();
  EXPECT_TRUE(r.Has("Error", "basCDO::GetTargetFolder error: unable to identify root folder"))
      << r.Dump();
}

TEST(RunSpine, PublicFolderPathsAndEntryIds) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "agent");
  json agent = Folder(
      "velkoraAgentInfo", json::array({Folder("velkoraUserInfo")}),
      json::array({Settings("Public Folders\\All Public Folders\\Handheld\\Registrations\\")}));
  h.WriteMailbox(Mailbox(json::array({agent})).dump());
  json pub = {
      {"displayName", "Public Folders"},
      {"publicFolders", true},
      {"root",
       {{"name", ""},
        {"folders",
         json::array({Folder(
             "All Public Folders",
             json::array({Folder("Handheld", json::array({Folder("Registrations")}))}))})}}}};
  testing::WriteFile(h.ServerDir() / "public.json", pub.dump());
  RunResult first = h.Run();
  EXPECT_EQ(first.exit_status, kExitCompleted) << h.diagnostics();
  EXPECT_TRUE(std::filesystem::exists(h.path() / "QAV-1.csv")) << first.Dump();
  // The second run opens the public folder by its entry ID: the default store does not have
  // it, the public store is located once and gives it.
  RunResult second = h.Run();
  EXPECT_TRUE(second.HasPrefix("", "GetRegFolder: attempting to retrieve folder using GetFolder"))
      << second.Dump();
  EXPECT_EQ(second.CountContaining("GetFolder:Unable to get folder using PublicStoreID"), 0);
  EXPECT_TRUE(std::filesystem::exists(h.path() / "QAV-GAL.csv"));
}

// A dump that cannot be written, or put in place, fails the run's outputs as a whole: the
// dumps on disk stay those of one earlier run, never a mix.
TEST(RunSpine, DumpThatCannotBeWrittenEndsWithItsOwnStatus) {
  for (const char* in_the_way : {"QAV-GAL.csv.tmp", "QAV-GAL.csv"}) {
    SCOPED_TRACE(in_the_way);
    HostFolder h;
    h.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
    testing::WriteFile(h.path() / "QAV-1.csv", "earlier run\r\n");
    std::filesystem::create_directory(h.path() / in_the_way);  // a folder in the way
    RunResult r = h.Run();
    EXPECT_EQ(r.exit_status, kExitOutputFailed);
    EXPECT_TRUE(r.HasPrefix("Error", "QAV::Dump:unable to write ") ||
                r.HasPrefix("Error", "unable to put "))
        << r.Dump();
    EXPECT_TRUE(r.Has(
        "Error", "the dumps of this run were not put in place, those of earlier runs are kept"))
        << r.Dump();
    // The run itself carried on to its end.
    EXPECT_TRUE(r.Has("", "complete"));
    EXPECT_EQ(ReadFile(h.path() / "QAV-1.csv"), "earlier run\r\n");
    EXPECT_FALSE(std::filesystem::exists(h.path() / "QAV-1.csv.tmp"));
  }
}

TEST(RunSpine, SampleOrganisationTwice) {
  HostFolder h;
  h.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  RunResult first = h.Run();
  EXPECT_EQ(first.exit_status, kExitCompleted) << h.diagnostics();
  ASSERT_GE(first.lines.size(), 3u);
  EXPECT_EQ(first.lines[0].second, std::string(40, '*'));
  EXPECT_TRUE(first.Has("", "logging on using EXCH01\\qavagent"));
  EXPECT_TRUE(first.HasPrefix("Warning", "GetRegFolder: failed to retrieve Reg folder"));
  EXPECT_EQ(first.lines.back(), std::make_pair(std::string(), std::string("complete")));
  RunResult second = h.Run();
  EXPECT_TRUE(second.HasPrefix("", "GetRegFolder: attempting to retrieve folder using GetFolder"));
  EXPECT_FALSE(second.HasPrefix("Warning", "GetRegFolder:"));
}

// A mandatory-contacts folder known by its path only: the empty entry ID is looked up first,
// with the lines that gives, then the path finds the folder.
TEST(RunSpine, MandatoryFolderWithoutEntryIdIsLookedUpByPath) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "agent");
  json agent = Folder(
      "velkoraAgentInfo", json::array({Folder("velkoraUserInfo")}),
      json::array({Settings("Mailbox - Agent\\Registrations", "", "Mailbox - Agent\\Mandatory")}));
  h.WriteMailbox(
      Mailbox(json::array({agent}), json::array({Folder("Registrations"), Folder("Mandatory")}))
          .dump());
  RunResult r = h.Run();
  EXPECT_EQ(r.exit_status, kExitCompleted) << r.Dump();
  EXPECT_TRUE(r.HasPrefix("Error", "GetFolder:Unable to get folder in default store: "))
      << r.Dump();
  EXPECT_TRUE(r.HasPrefix("Warning",
                          "GetMandatoryFolder: unable to retrieve MC folder using GetFolder; try "
                          "GetTargetFolder "))
      << r.Dump();
  EXPECT_EQ(r.CountContaining("GetTargetFolder error"), 0) << r.Dump();
}

// A registration's topic comes from a device: whatever it holds, it stays inside its line.
TEST(RunSpine, ValuesFromOutsideCannotForgeLogLines) {
  HostFolder h;
  h.WriteRegistry("EXCH01", "agent");
  json agent = Folder("velkoraAgentInfo", json::array({Folder("velkoraUserInfo")}),
                      json::array({Settings("Mailbox - Agent\\Registrations")}));
  json reg = {{"class", "IPM.Post.velkora.Registration"},
              {"topic", "evil\r\n12/09/26 10:00:00: complete"},
              {"lastModified", "2026-11-02T09:15:00Z"}};
  h.WriteMailbox(Mailbox(json::array({agent}),
                         json::array({Folder("Registrations", json::array(), json::array({reg}))}))
                     .dump());
  RunResult r = h.Run();
  EXPECT_EQ(r.exit_status, kExitCompleted) << r.Dump();
  EXPECT_TRUE(
      r.Has("", "QAV::GetQAVData:skipping row with SMTP=evil<CR><LF>12/09/26 10:00:00: complete"))
      << r.Dump();
  EXPECT_EQ(r.CountContaining("complete"), 2);
  EXPECT_EQ(r.lines.back(), std::make_pair(std::string(), std::string("complete")));
}

}  // namespace
}  // namespace testqav
