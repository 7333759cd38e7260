// The program as a user runs it: a child process on a host folder, its exit status, what it
// prints on standard error, the log and the dumps it leaves. Covers what only the whole
// process shows: signals, the run log that cannot be written, hostile input files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "app/run_driver.h"
#include "support/host_folder.h"
#include "support/tcp_servers.h"

namespace testqav {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::WriteFile;

const char kEarlier[] = "earlier run\r\n";

struct Child {
  pid_t pid = -1;
  fs::path out;
  fs::path err;
};

// Starts the program with `args`, standard input from /dev/null, output to files in `dir`.
Child Start(const fs::path& dir, const std::vector<std::string>& args) {
  Child c;
  c.out = dir / "stdout.txt";
  c.err = dir / "stderr.txt";
  std::vector<std::string> argv = {TESTQAV_PROGRAM};
  argv.insert(argv.end(), args.begin(), args.end());
  c.pid = ::fork();
  if (c.pid == 0) {
    int in = ::open("/dev/null", O_RDONLY);
    int out = ::open(c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = ::open(c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    std::vector<char*> raw;
    for (std::string& a : argv) raw.push_back(a.data());
    raw.push_back(nullptr);
    ::execv(raw[0], raw.data());
    ::_exit(127);
  }
  return c;
}

// The exit status, or 128 + the signal that ended the program. (A program that hangs is
// ended by the test runner's time limit.)
int Wait(const Child& c) {
  int status = 0;
  while (::waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Text with what the wall clock puts in it removed: the stamp that starts each log line and
// the messages' modification times (a run stamps those it changes).
std::string ClockFree(std::string text) {
  std::string out;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (size_t stamp = line.find(": "); stamp != std::string::npos && !line.empty() &&
                                        std::isdigit(static_cast<unsigned char>(line[0]))) {
      line = line.substr(stamp);
    }
    if (size_t at = line.find("\"lastModified\": \""); at != std::string::npos) {
      line = line.substr(0, at);
    }
    out += line + "\n";
  }
  return out;
}

int RunProgram(const fs::path& dir, const std::vector<std::string>& args) {
  return Wait(Start(dir, args));
}

class Program : public ::testing::Test {
 protected:
  void SampleWithEarlierDumps() {
    host_.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
    WriteFile(Host() / "QAV-1.csv", kEarlier);
    WriteFile(Host() / "QAV-GAL.csv", kEarlier);
  }
  fs::path Host() const { return host_.path(); }
  std::string Err() const { return ReadFile(scratch_.path() / "stderr.txt"); }
  // The host folder's dumps and log (clock aside) are those of the run in `other`.
  void ExpectSameRunAs(const fs::path& other) {
    for (const char* file : {"QAV-1.csv", "QAV-GAL.csv", "SourceMCL-1.csv"}) {
      EXPECT_EQ(ReadFile(Host() / file), ReadFile(other / file)) << file;
    }
    EXPECT_EQ(ClockFree(ReadFile(Host() / "TestQAV.log")),
              ClockFree(ReadFile(other / "TestQAV.log")));
  }

  int RunHere(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--host", Host().string(), "--no-wait"});
    return RunProgram(scratch_.path(), args);
  }

  testing::HostFolder host_;
  testing::TempDir scratch_;
};

// A directory server that accepts the connection and never answers keeps the run waiting;
// the first SIGTERM still ends it, with the stop line, its own status and the earlier dumps.
TEST_F(Program, FirstSigtermEndsARunBlockedOnTheDirectory) {
  SampleWithEarlierDumps();
  testing::SilentServer frozen;
  fs::remove(host_.ServerDir() / "directory.ldif");
  WriteFile(host_.ServerDir() / "directory.conf",
            "url = ldap://127.0.0.1:" + std::to_string(frozen.port()) + "\ntimeout = 600\n");
  Child c = Start(scratch_.path(), {"--host", Host().string(), "--no-wait"});
  // Once the bind request has arrived, the run waits for an answer that never comes.
  ASSERT_TRUE(frozen.WaitForData());
  ::kill(c.pid, SIGTERM);
  EXPECT_EQ(Wait(c), kExitStopped);
  const std::string log = ReadFile(Host() / "TestQAV.log");
  EXPECT_NE(log.find(": [Warning] run stopped on request during "), std::string::npos) << log;
  EXPECT_EQ(log.find(": complete"), std::string::npos) << log;
  EXPECT_NE(ReadFile(c.err).find("testqav: run stopped on request during "), std::string::npos)
      << ReadFile(c.err);
  EXPECT_EQ(ReadFile(Host() / "QAV-1.csv"), kEarlier);
  EXPECT_EQ(ReadFile(Host() / "QAV-GAL.csv"), kEarlier);
}

// The log is what failed: the run still completes and writes its dumps, and standard error
// and the exit status say that the log is incomplete.
TEST_F(Program, ARunLogThatCannotBeWrittenIsReported) {
  SampleWithEarlierDumps();
  fs::create_directory(Host() / "TestQAV.log");
  EXPECT_EQ(RunHere(), kExitLogLost);
  EXPECT_NE(Err().find("line(s) could not be written to the run log (" +
                       (Host() / "TestQAV.log").string() + ": Is a directory)"),
            std::string::npos)
      << Err();
  EXPECT_NE(ReadFile(Host() / "QAV-1.csv"), kEarlier);
}

// Every non-zero status comes with one line on standard error that says why.
TEST_F(Program, EveryFailureSaysWhyOnStandardError) {
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> make;
    int status;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"no server name",
       [](const fs::path& h) {
         WriteFile(h / "registry.reg",
                   "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\velkora\\velkoraAgent]\r\n");
       },
       kExitMissingServer, "testqav: the registry names no server: no \"ExServer\" value"},
      {"no alias",
       [](const fs::path& h) {
         WriteFile(h / "registry.reg",
                   "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\velkora\\velkoraAgent]\r\n"
                   "\"ExServer\"=\"EXCH01\"\r\n");
       },
       kExitMissingAlias, "testqav: the registry names no mailbox: no \"ExAlias\" value"},
      {"registry on a device",
       [](const fs::path& h) {
         fs::remove(h / "registry.reg");
         fs::create_symlink("/dev/zero", h / "registry.reg");
       },
       kExitMissingServer, "registry.reg: is a character device, not a regular file"},
      {"registry that is a named pipe",
       [](const fs::path& h) {
         fs::remove(h / "registry.reg");
         ::mkfifo((h / "registry.reg").c_str(), 0600);
       },
       kExitMissingServer, "registry.reg: is a named pipe (FIFO), not a regular file"},
      {"mailbox that is a folder",
       [](const fs::path& h) {
         const fs::path m = h / "exchange/EXCH01/mailboxes/qavagent.json";
         fs::remove(m);
         fs::create_directory(m);
       },
       kExitLogonFailed, "qavagent.json: is a folder, not a regular file"},
      {"directory that cannot be read",
       [](const fs::path& h) { WriteFile(h / "exchange/EXCH01/directory.ldif", ""); },
       kExitDirectoryFailed, "testqav: directory not available: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::HostFolder folder;
    folder.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
    c.make(folder.path());
    EXPECT_EQ(RunProgram(scratch_.path(), {"--host", folder.path().string(), "--no-wait"}),
              c.status);
    EXPECT_NE(Err().find(c.says), std::string::npos) << Err();
  }
}

// `merge` performs the repository merge instead of the update run, and a merge that cannot
// be done says so with its own status.
TEST_F(Program, MergeWritesItsOwnDumpOrSaysWhyNot) {
  host_.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  EXPECT_EQ(RunProgram(scratch_.path(), {"merge", "--host", Host().string(), "--no-wait"}),
            kExitCompleted)
      << Err();
  EXPECT_TRUE(fs::exists(Host() / "Merge-1.csv"));
  EXPECT_FALSE(fs::exists(Host() / "QAV-1.csv"));

  testing::HostFolder folder;
  folder.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  const fs::path mailbox = folder.path() / "exchange/EXCH01/mailboxes/qavagent.json";
  std::string text = ReadFile(mailbox);
  for (size_t at; (at = text.find("IPM.Post.Master Contact Repository")) != std::string::npos;) {
    text.replace(at, 34, "IPM.Post.Retired Contact Repositor");
  }
  WriteFile(mailbox, text);
  EXPECT_EQ(RunProgram(scratch_.path(), {"merge", "--host", folder.path().string(), "--no-wait"}),
            kExitMergeFailed);
  EXPECT_NE(Err().find("merge did not complete"), std::string::npos) << Err();
  EXPECT_FALSE(fs::exists(folder.path() / "Merge-1.csv"));
}

// explain leaves the host folder as it was, prints JSON on request and has a status of its
// own for a name that nothing in the run matches.
TEST_F(Program, ExplainChangesNothingAndSaysWhenNothingMatches) {
  host_.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  const fs::path mailbox = Host() / "exchange/EXCH01/mailboxes/qavagent.json";
  const std::string before = ReadFile(mailbox);
  EXPECT_EQ(RunProgram(scratch_.path(), {"explain", "--host", Host().string(), "--json",
                                         "Kim.Nguyen@northwind.test"}),
            kExitCompleted)
      << Err();
  const auto j = nlohmann::json::parse(ReadFile(scratch_.path() / "stdout.txt"));
  EXPECT_EQ(j["source_contact"]["record"]["MCLID"], "{1}{3}{5}");
  EXPECT_EQ(RunProgram(scratch_.path(), {"explain", "--host", Host().string(), "no such one"}), 13);
  EXPECT_NE(Err().find("nothing in the run matches"), std::string::npos) << Err();
  EXPECT_EQ(RunProgram(scratch_.path(), {"explain", "--host", Host().string()}), kExitUsage);
  EXPECT_EQ(ReadFile(mailbox), before);
  EXPECT_FALSE(fs::exists(Host() / "TestQAV.log"));
  EXPECT_FALSE(fs::exists(Host() / "QAV-1.csv"));
}

// The report only listens: a run with it leaves the same dumps, log and mailbox as one
// without it, and its page carries the run's records and nothing from elsewhere.
TEST_F(Program, AReportLeavesTheRunAsItWas) {
  testing::HostFolder plain;
  host_.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  plain.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  const fs::path page = scratch_.path() / "report.html";
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(RunHere({"--report", page.string()}), kExitCompleted) << Err();
    ASSERT_EQ(RunProgram(scratch_.path(), {"--host", plain.path().string(), "--no-wait"}),
              kExitCompleted)
        << Err();
  }
  ExpectSameRunAs(plain.path());
  const std::string mailbox = "exchange/EXCH01/mailboxes/qavagent.json";
  EXPECT_EQ(ClockFree(ReadFile(Host() / mailbox)), ClockFree(ReadFile(plain.path() / mailbox)));

  const std::string html = ReadFile(page);
  EXPECT_EQ(html.find("<script src"), std::string::npos);
  EXPECT_EQ(html.find("<link"), std::string::npos);
  const std::string open = "<script id=\"data\" type=\"application/json\">";
  const size_t from = html.find(open);
  ASSERT_NE(from, std::string::npos);
  const size_t to = html.find("</script>", from);
  const auto data = nlohmann::json::parse(html.substr(from + open.size(), to - from - open.size()));
  EXPECT_EQ(data["figures"]["duplicates"], 1);
  EXPECT_EQ(data["datasets"]["SourceMCL-1.csv"]["rows"].size(), 13u);
  EXPECT_EQ(data["datasets"]["QAV-GAL.csv"]["rows"].size(), 9u);
}

// The reference record sets scan where the default ones look up: the sample's run, its
// query-based lists included, is the same with either.
TEST_F(Program, TheReferenceRecordSetsGiveTheSameRun) {
  testing::HostFolder plain;
  host_.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  plain.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  ASSERT_EQ(RunHere({"--recordset", "reference"}), kExitCompleted) << Err();
  ASSERT_EQ(RunProgram(scratch_.path(), {"--host", plain.path().string(), "--no-wait"}),
            kExitCompleted)
      << Err();
  ExpectSameRunAs(plain.path());
  EXPECT_EQ(RunHere({"--recordset", "hashed"}), kExitUsage);
}

// TESTQAV_PHASE_TIMES=1 makes a run say on standard error how long each phase took, for
// the benchmarks; without it standard error stays as it was.
TEST_F(Program, PhaseTimesOnRequestOnly) {
  SampleWithEarlierDumps();
  ASSERT_EQ(RunHere(), kExitCompleted);
  EXPECT_EQ(Err().find("phase"), std::string::npos) << Err();
  EXPECT_EQ(Err().find("query-based list"), std::string::npos) << Err();
  ::setenv("TESTQAV_PHASE_TIMES", "1", 1);
  const int status = RunHere();
  ::unsetenv("TESTQAV_PHASE_TIMES");
  ASSERT_EQ(status, kExitCompleted) << Err();
  const std::string err = Err();
  size_t at = 0;
  for (const char* phase : {"settings", "logon", "registrations", "QAV-1.csv", "GAL supplement",
                            "QAV-GAL.csv", "logoff"}) {
    const std::string line = std::string(" s ") + phase + "\n";
    const size_t found = err.find(line, at);
    ASSERT_NE(found, std::string::npos) << phase << " missing or out of order in\n" << err;
    const size_t start = err.rfind("testqav: phase ", found);
    ASSERT_NE(start, std::string::npos) << err;
    const std::string seconds = err.substr(start + 15, found - start - 15);
    EXPECT_EQ(seconds.find_first_not_of("0123456789."), std::string::npos) << seconds;
    at = found;
  }
  // Then each query-based list that an MCL names, with the rows of its member queries (a
  // nested list's count in the list that reached it: Tacoma Office 5 + Buyers and Warehouse 3).
  const std::regex list_line(
      "testqav: query-based list [0-9.]+ s ([0-9]+) rows [0-9.]+ s queries (\\S+)\n");
  std::vector<std::string> lists;
  for (auto it = std::sregex_iterator(err.begin(), err.end(), list_line);
       it != std::sregex_iterator(); ++it) {
    lists.push_back((*it)[2].str() + " " + (*it)[1].str());
  }
  EXPECT_EQ(lists, (std::vector<std::string>{"field.engineers@northwind.test 1",
                                             "tacoma.office@northwind.test 8",
                                             "sales.desk@northwind.test 3"}))
      << err;
}

// A filter of thousands of nested lists is a syntax error like any other, not a crash.
TEST_F(Program, DeeplyNestedSearchFilterIsASyntaxError) {
  host_.CopyFrom(testing::SourceDir() / "examples" / "sample-org");
  std::string filter;
  for (int i = 0; i < 8000; ++i) filter += "(&";
  filter += "(cn=x)";
  for (int i = 0; i < 8000; ++i) filter += ")";
  const int status = RunProgram(scratch_.path(), {"search", "--host", Host().string(),
                                                  "<GC://dc=x>;" + filter + ";cn;subtree"});
  EXPECT_NE(status, 0);
  EXPECT_LT(status, 128) << "ended by a signal";
  EXPECT_NE(Err().find("nested more than 128 levels deep"), std::string::npos) << Err();
}

}  // namespace
}  // namespace testqav
