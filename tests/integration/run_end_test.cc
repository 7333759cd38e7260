// Whole runs that end early: stopped by a real SIGTERM in each phase, or without their
// directory (it cannot be opened, or its server goes away in the middle of the run). Each
// must say so in the log and in its exit status, and leave the dumps of the earlier run as
// they were.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/addressbook/address_book.h"
#include "platform/host/linux_host.h"
#include "support/host_folder.h"
#include "support/tcp_servers.h"

namespace testqav {
namespace {

namespace fs = std::filesystem;
using testing::HostFolder;
using testing::ReadFile;
using testing::RunResult;
using testing::WriteFile;

const char kEarlier[] = "earlier run\r\n";

AddressBookOpener DirectoryOpener() {
  return [](const fs::path& dir, std::ostream& diag) { return OpenAddressBook(dir, diag); };
}

// The sample organisation, with dumps that an earlier run left.
void PrepareSample(const HostFolder& h) {
  h.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  WriteFile(h.path() / "QAV-1.csv", kEarlier);
  WriteFile(h.path() / "QAV-GAL.csv", kEarlier);
}

void ExpectEarlierDumpsKept(const HostFolder& h) {
  EXPECT_EQ(ReadFile(h.path() / "QAV-1.csv"), kEarlier);
  EXPECT_EQ(ReadFile(h.path() / "QAV-GAL.csv"), kEarlier);
  for (const auto& entry : fs::directory_iterator(h.path())) {
    EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }
}

// A host whose stop flag is the process's, set by the real signal handler, and which sends
// itself SIGTERM when the run reaches a given item of a given phase (or a given yield).
class SignalHost : public testing::FakeHost {
 public:
  SignalHost(std::string folder, std::string phase, int64_t item)
      : FakeHost(std::move(folder)), phase_(std::move(phase)), item_(item) {}
  void SetProgress(std::string_view phase, int64_t done, int64_t) override {
    if (phase == phase_ && done == item_) ::raise(SIGTERM);
  }
  void DoEvents() override {
    FakeHost::DoEvents();
    if (phase_.empty() && events == item_) ::raise(SIGTERM);
  }
  bool StopRequested() const override { return StopFlag().load(); }

 private:
  std::string phase_;
  int64_t item_;
};

class StoppedRun : public ::testing::Test {
 protected:
  void SetUp() override {
    StopFlag().store(false);
    ASSERT_TRUE(InstallStopSignalHandlers().ok());
  }
  void TearDown() override {
    StopFlag().store(false);
    ::signal(SIGTERM, SIG_DFL);
  }
};

TEST_F(StoppedRun, InEachPhaseKeepsTheEarlierDumpsAndSaysWhere) {
  struct Case {
    std::string phase;
    int64_t item;
    std::string where;  // how the stop line names the place
  };
  const std::vector<Case> cases = {
      {"registrations", 2, "registrations after 2 of 12"},
      {"GAL supplement", 3, "GAL supplement after 3 of 9"},
      {"QAV-1.csv", 1, "QAV-1.csv after 1 of 9"},
      {"QAV-GAL.csv", 9, "QAV-GAL.csv after 9 of 9"},
      {"mandatory contact lists", 2, "mandatory contact lists after 2 of 8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.phase);
    SetUp();
    HostFolder h;
    PrepareSample(h);
    SignalHost host(h.path().string(), c.phase, c.item);
    RunResult r = h.Run(DirectoryOpener(), &host);
    EXPECT_EQ(r.exit_status, kExitStopped) << r.Dump();
    const std::string line = "run stopped on request during " + c.where +
                             "; no dumps written, those of earlier runs left in place";
    EXPECT_TRUE(r.Has("Warning", line)) << r.Dump();
    EXPECT_EQ(r.exit_reason, line.substr(0));
    EXPECT_EQ(r.CountContaining("run stopped"), 1);
    EXPECT_FALSE(r.Has("", "complete"));
    EXPECT_TRUE(r.notices.empty());
    ExpectEarlierDumpsKept(h);
  }
}

// A merge stopped in the middle of a folder writes no Merge-1.csv and says where it was.
TEST_F(StoppedRun, TheMergeWritesNoDump) {
  HostFolder h;
  PrepareSample(h);
  SignalHost host(h.path().string(), "merging Contact Repository", 2);
  RunResult r = h.Run(DirectoryOpener(), &host, RunJob::kMerge);
  EXPECT_EQ(r.exit_status, kExitStopped) << r.Dump();
  EXPECT_TRUE(r.Has("Warning",
                    "run stopped on request during merging Contact Repository after 2 of 6; no "
                    "dumps written, those of earlier runs left in place"))
      << r.Dump();
  EXPECT_EQ(r.CountContaining("checking emails for"), 2);
  EXPECT_FALSE(fs::exists(h.path() / "Merge-1.csv"));
}

// The folder path of a registration folder found by its entry ID is worked out by a walk
// up the folder tree; a stop in that walk must not leave its lower part as the saved path.
TEST_F(StoppedRun, InTheFolderPathWalkSavesNoPath) {
  HostFolder h;
  PrepareSample(h);
  RunResult first = h.Run(DirectoryOpener());
  ASSERT_EQ(first.exit_status, kExitCompleted) << first.Dump();
  WriteFile(h.path() / "QAV-1.csv", kEarlier);
  WriteFile(h.path() / "QAV-GAL.csv", kEarlier);
  const std::string mailbox = ReadFile(h.MailboxFile("EXCH01", "qavagent"));
  ASSERT_NE(mailbox.find("HHEntryID"), std::string::npos);

  SignalHost host(h.path().string(), "", 1);  // the walk's first step is the run's first yield
  RunResult r = h.Run(DirectoryOpener(), &host);
  EXPECT_EQ(r.exit_status, kExitStopped) << r.Dump();
  EXPECT_TRUE(r.HasPrefix("Warning", "run stopped on request during registration folder lookup"))
      << r.Dump();
  EXPECT_EQ(ReadFile(h.MailboxFile("EXCH01", "qavagent")), mailbox);
  ExpectEarlierDumpsKept(h);
}

// ---- Runs without their directory --------------------------------------------------------

struct BrokenDirectory {
  std::string name;
  std::function<void(const fs::path& server_dir)> make;
  std::string reason;  // part of the level-1 line
};

TEST(DirectoryFailure, ADirectoryThatCannotBeOpenedEndsTheRun) {
  const uint16_t refused = testing::RefusedPort();
  const std::vector<BrokenDirectory> cases = {
      {"bad base64 line",
       [](const fs::path& d) {
         std::string ldif = ReadFile(d / "directory.ldif");
         const size_t at = ldif.find("\ndn: ");
         ldif.insert(at + 1, "description:: @@not base64@@\n");
         WriteFile(d / "directory.ldif", ldif);
       },
       "directory.ldif:"},
      {"entry without dn",
       [](const fs::path& d) { WriteFile(d / "directory.ldif", "objectClass: top\ncn: x\n"); },
       "directory.ldif:1:"},
      {"empty file", [](const fs::path& d) { WriteFile(d / "directory.ldif", ""); },
       "names no defaultNamingContext"},
      {"named pipe",
       [](const fs::path& d) {
         fs::remove(d / "directory.ldif");
         ASSERT_EQ(::mkfifo((d / "directory.ldif").c_str(), 0600), 0);
       },
       "is a named pipe (FIFO), not a regular file"},
      {"device",
       [](const fs::path& d) {
         fs::remove(d / "directory.ldif");
         fs::create_symlink("/dev/zero", d / "directory.ldif");
       },
       "is a character device, not a regular file"},
      {"conf without url",
       [](const fs::path& d) {
         fs::remove(d / "directory.ldif");
         WriteFile(d / "directory.conf", "timeout = 5\n");
       },
       "directory.conf:0: no url given"},
      {"conf that is a folder",
       [](const fs::path& d) {
         fs::remove(d / "directory.ldif");
         fs::create_directory(d / "directory.conf");
       },
       "directory.conf: is a folder, not a regular file"},
      {"refused port",
       [refused](const fs::path& d) {
         fs::remove(d / "directory.ldif");
         WriteFile(d / "directory.conf",
                   "url = ldap://127.0.0.1:" + std::to_string(refused) + "\ntimeout = 5\n");
       },
       "Can't contact LDAP server"},
      {"unresolvable host",
       [](const fs::path& d) {
         fs::remove(d / "directory.ldif");
         WriteFile(d / "directory.conf", "url = ldap://no-such-host.invalid\ntimeout = 5\n");
       },
       "Can't contact LDAP server"},
      {"password file on a device",
       [](const fs::path& d) {
         fs::remove(d / "directory.ldif");
         WriteFile(d / "directory.conf",
                   "url = ldap://127.0.0.1:389\nbind_dn = cn=x\npassword_file = /dev/zero\n");
       },
       "/dev/zero: is a character device, not a regular file"},
  };
  for (const BrokenDirectory& c : cases) {
    SCOPED_TRACE(c.name);
    HostFolder h;
    PrepareSample(h);
    c.make(h.ServerDir());
    RunResult r = h.Run(DirectoryOpener());
    EXPECT_EQ(r.exit_status, kExitDirectoryFailed) << r.Dump() << h.diagnostics();
    ASSERT_TRUE(r.HasPrefix("Error", "directory not available: ")) << r.Dump();
    EXPECT_EQ(r.CountContaining(c.reason), 1) << r.Dump();
    EXPECT_EQ(r.CountContaining("directory not available"), 1) << r.Dump();
    EXPECT_NE(r.exit_reason.find("directory not available"), std::string::npos);
    // Ended at once: at most the registration in hand (when the directory was still being
    // opened as the pass began) says that its look-up failed, not one line per user.
    EXPECT_LE(r.CountContaining("GetIdForODN"), 1) << r.Dump();
    int errors = 0;
    for (const auto& line : r.lines) errors += line.first == "Error" ? 1 : 0;
    EXPECT_LE(errors, 3) << r.Dump();
    EXPECT_FALSE(r.Has("", "complete"));
    ExpectEarlierDumpsKept(h);
  }
}

// The directory server goes away while the registrations are read: the run ends with one
// error line, not one per user, and keeps the earlier dumps.
TEST(DirectoryFailure, AServerLostWhileTheAddressBookIsReadEndsTheRun) {
  const char* url = std::getenv("TESTQAV_SLAPD_URL");
  const char* bind_dn = std::getenv("TESTQAV_SLAPD_BIND_DN");
  const char* password = std::getenv("TESTQAV_SLAPD_PASSWORD_FILE");
  if (url == nullptr || bind_dn == nullptr || password == nullptr) {
    GTEST_SKIP() << "TESTQAV_SLAPD_* not set (scripts/with-slapd.sh starts a slapd)";
  }
  const std::string u = url;
  const uint16_t slapd_port = static_cast<uint16_t>(std::stoi(u.substr(u.rfind(':') + 1)));

  // The directory suite's organisation, and registrations of its mailbox users.
  std::string ldif = ReadFile(testing::SourceDir() / "tests/platform/directory/data/org.ldif");
  std::vector<std::string> mails;
  for (size_t at = ldif.find("\nmail: "); at != std::string::npos;
       at = ldif.find("\nmail: ", at + 1)) {
    const size_t end = ldif.find('\n', at + 7);
    mails.push_back(ldif.substr(at + 7, end - at - 7));
  }
  ASSERT_GE(mails.size(), 4u);

  // The run's requests: the bind, the rootDSE, then the address book's snapshot (its base
  // entry, then the pages of the mail-enabled objects). The server goes away at the rootDSE,
  // and in the middle of the snapshot.
  for (int cut_after : {1, 3}) {
    SCOPED_TRACE(cut_after);
    testing::CuttingProxy proxy(slapd_port, cut_after);
    HostFolder h;
    PrepareSample(h);
    fs::remove(h.ServerDir() / "directory.ldif");
    WriteFile(h.ServerDir() / "directory.conf",
              "url = ldap://127.0.0.1:" + std::to_string(proxy.port()) + "\nbind_dn = " + bind_dn +
                  "\npassword_file = " + password + "\ntimeout = 10\n");
    nlohmann::json mailbox = nlohmann::json::parse(ReadFile(h.MailboxFile("EXCH01", "qavagent")));
    auto& regs = mailbox["root"]["folders"][0]["folders"][1]["folders"][0]["messages"];
    ASSERT_TRUE(regs.is_array());
    regs = nlohmann::json::array();
    for (size_t i = 0; i < mails.size(); ++i) {
      regs.push_back(
          {{"class", "IPM.Post.velkora.Registration"},
           {"subject", "Handheld registration"},
           {"topic", mails[i]},
           {"lastModified", "2026-11-02T09:15:00Z"},
           {"named", {{{"name", "PIN"}, {"type", "string"}, {"value", "P" + std::to_string(i)}}}}});
    }
    WriteFile(h.MailboxFile("EXCH01", "qavagent"), mailbox.dump(1));

    RunResult r = h.Run(DirectoryOpener());
    EXPECT_TRUE(proxy.cut());
    EXPECT_EQ(r.exit_status, kExitDirectoryFailed) << r.Dump() << h.diagnostics();
    EXPECT_TRUE(r.HasPrefix("Error", "directory not available: ")) << r.Dump();
    EXPECT_EQ(r.CountContaining("lost for the rest of the run"), 1) << r.Dump();
    // Nothing is resolved without the whole address book.
    EXPECT_EQ(r.CountContaining("attempting to resolve"), 0) << r.Dump();
    int errors = 0;
    for (const auto& line : r.lines) errors += line.first == "Error" ? 1 : 0;
    EXPECT_EQ(errors, 1) << r.Dump();
    ExpectEarlierDumpsKept(h);
  }
}

// ---- The registration folder ----------------------------------------------------------------

TEST(RegistrationFolderMissing, EndsWithItsOwnStatusAndSaysTheDumpsAreOld) {
  HostFolder h;
  PrepareSample(h);
  std::string mailbox = ReadFile(h.MailboxFile("EXCH01", "qavagent"));
  const std::string path = "Mailbox - QAV Agent\\\\handheld\\\\Registrations";
  const size_t at = mailbox.find(path);
  ASSERT_NE(at, std::string::npos);
  mailbox.replace(at, path.size(), "Mailbox - QAV Agent\\\\handheld\\\\Gone");
  WriteFile(h.MailboxFile("EXCH01", "qavagent"), mailbox);
  RunResult r = h.Run(DirectoryOpener());
  EXPECT_EQ(r.exit_status, kExitNoRegistrationFolder) << r.Dump();
  EXPECT_TRUE(r.HasPrefix("Error", "basCDO::GetTargetFolder error: Gone folder could not be found"))
      << r.Dump();
  // The run's own lines end as ever; standard error says the dumps are an earlier run's.
  EXPECT_TRUE(r.Has("", "complete"));
  EXPECT_NE(r.exit_reason.find("from an earlier run"), std::string::npos) << r.exit_reason;
  ExpectEarlierDumpsKept(h);
}

// ---- A second run while another holds the store -------------------------------------------

// The store's lock is the first thing a logon takes: a run that another run keeps out ends
// with the logon status without starting to open its directory, and leaves the dumps alone.
TEST(LockedOut, ASecondRunEndsWithTheLogonStatusBeforeOpeningItsDirectory) {
  HostFolder h;
  PrepareSample(h);
  std::ostringstream diag;
  SessionPtr first = CreateJsonSession(h.path(), diag);
  ASSERT_TRUE(first->Logon("EXCH01\nqavagent").ok());
  std::atomic<bool> opened{false};
  RunResult r = h.Run([&opened](const fs::path& dir, std::ostream& d) {
    opened = true;
    return OpenAddressBook(dir, d);
  });
  EXPECT_EQ(r.exit_status, kExitLogonFailed) << r.Dump();
  EXPECT_NE(r.exit_reason.find("store is in use by another run"), std::string::npos)
      << r.exit_reason;
  EXPECT_FALSE(opened.load());
  ExpectEarlierDumpsKept(h);
  ASSERT_TRUE(first->Logoff().ok());
  // With the first run over, the same run goes through.
  EXPECT_EQ(h.Run(DirectoryOpener()).exit_status, kExitCompleted);
}

}  // namespace
}  // namespace testqav
