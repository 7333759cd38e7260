#include "harness/run_log.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/common/variant.h"
#include "support/fake_host.h"
#include "support/files.h"
#include "support/temp_dir.h"

namespace testqav {
namespace {

namespace fs = std::filesystem;

using testing::FakeHost;
using testing::ReadFile;

// OLE date of a wall-clock time given as calendar fields.
double OleDate(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return OleDateFromUnix(timegm(&tm));
}

class RunLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // "%x %X" in the C locale is "MM/DD/YY HH:MM:SS".
    const char* old = ::setlocale(LC_TIME, nullptr);
    old_locale_ = old ? old : "C";
    ::setlocale(LC_TIME, "C");
    ASSERT_FALSE(temp_.path().empty());
    dir_ = temp_.path();
    host_.SetFolder(dir_.string());
    host_.now = OleDate(2024, 3, 5, 14, 7, 9);
  }
  void TearDown() override { ::setlocale(LC_TIME, old_locale_.c_str()); }
  fs::path LogPath() const { return dir_ / "TestQAV.log"; }

  std::string old_locale_;
  testing::TempDir temp_;
  fs::path dir_;
  FakeHost host_;
};

// ---- Line format ----------------------------------------------------------------------

TEST_F(RunLogTest, LineIsTimestampMarkerMessageCrLf) {
  RunLog log(host_);
  log.WriteLog("QAV::GetRegFolder:found", 4);
  EXPECT_EQ(ReadFile(LogPath()), "03/05/24 14:07:09: QAV::GetRegFolder:found\r\n");
  EXPECT_EQ(log.ReadBack(), ReadFile(LogPath()));
  EXPECT_EQ(log.Path(), LogPath().string());
}

TEST_F(RunLogTest, MarkerDependsOnLevel) {
  struct Case {
    int32_t level;
    const char* marker;
  };
  const Case cases[] = {
      {1, ": [Error] "}, {2, ": [Warning] "}, {4, ": "},         {8, ": "},
      {0, ": "},         {3, ": "},           {-1, ": "},        {11, ": "},
      {13, ": "},        {INT32_MAX, ": "},   {INT32_MIN, ": "},
  };
  std::string expected;
  RunLog log(host_);
  for (const Case& c : cases) {
    log.WriteLog("m" + std::to_string(c.level), c.level);
    expected +=
        std::string("03/05/24 14:07:09") + c.marker + "m" + std::to_string(c.level) + "\r\n";
  }
  EXPECT_EQ(ReadFile(LogPath()), expected);
}

TEST_F(RunLogTest, EmptyMessageEndsWithTheMarker) {
  RunLog log(host_);
  log.WriteLog("", 4);
  log.WriteLog("", 1);
  log.WriteLog("", 2);
  EXPECT_EQ(ReadFile(LogPath()),
            "03/05/24 14:07:09: \r\n"
            "03/05/24 14:07:09: [Error] \r\n"
            "03/05/24 14:07:09: [Warning] \r\n");
}

TEST_F(RunLogTest, MessageIsWrittenExactlyAsPassed) {
  RunLog log(host_);
  const std::string multi = "GetFolder:Top/Agent\r\nunable to retrieve PublicStoreID";
  const std::string odd = "  spaces kept  \ttab, Grüße 日本, %s %n ";
  log.WriteLog(multi, 1);
  log.WriteLog(odd, 8);
  EXPECT_EQ(ReadFile(LogPath()),
            "03/05/24 14:07:09: [Error] " + multi + "\r\n" + "03/05/24 14:07:09: " + odd + "\r\n");
}

TEST_F(RunLogTest, MidnightShowsTheDateOnly) {
  RunLog log(host_);
  host_.now = OleDate(2023, 12, 31, 0, 0, 0);
  log.WriteLog("a", 4);
  host_.now = OleDate(2023, 12, 31, 0, 0, 1);
  log.WriteLog("b", 4);
  host_.now = OleDate(2024, 1, 1, 23, 59, 59);
  log.WriteLog("c", 2);
  EXPECT_EQ(ReadFile(LogPath()),
            "12/31/23: a\r\n"
            "12/31/23 00:00:01: b\r\n"
            "01/01/24 23:59:59: [Warning] c\r\n");
}

// Builds the Korean locale in its legacy EUC-KR encoding under `dir` (about two seconds)
// and points the C library at it: its dates are not "MM/DD/YY", contain non-ASCII text, and
// come out of strftime in a character set other than UTF-8. False when this machine lacks
// localedef or the locale sources.
bool BuildKoreanEucKrLocale(const fs::path& dir) {
  if (!fs::exists("/usr/share/i18n/locales/ko_KR")) return false;
  const std::string cmd =
      "localedef -i ko_KR -f EUC-KR '" + (dir / "ko_KR.EUC-KR").string() + "' >/dev/null 2>&1";
  if (std::system(cmd.c_str()) != 0) return false;
  ::setenv("LOCPATH", dir.c_str(), 1);
  return true;
}

TEST_F(RunLogTest, TimestampFollowsLcTimeAndIsWrittenAsUtf8) {
  const fs::path locales = dir_ / "locales";
  fs::create_directory(locales);
  if (!BuildKoreanEucKrLocale(locales)) GTEST_SKIP() << "cannot build a test locale here";
  const bool switched = ::setlocale(LC_TIME, "ko_KR.EUC-KR") != nullptr;
  ::unsetenv("LOCPATH");
  ASSERT_TRUE(switched);
  host_.SetFolder((dir_ / "out").string());
  fs::create_directory(host_.ProgramFolder());
  RunLog log(host_);
  log.WriteLog("x", 4);
  host_.now = OleDate(2024, 3, 5, 0, 0, 0);
  log.WriteLog("y", 1);
  EXPECT_EQ(ReadFile(fs::path(host_.ProgramFolder()) / "TestQAV.log"),
            "2024년 03월 05일 14시 07분 09초: x\r\n"
            "2024년 03월 05일: [Error] y\r\n");
}

// ---- Level 12 -------------------------------------------------------------------------

TEST_F(RunLogTest, TraceLevelTouchesNothing) {
  RunLog log(host_);
  log.WriteLog("GetRowVal:No Match", 12);
  EXPECT_FALSE(fs::exists(LogPath()));
  EXPECT_EQ(host_.now_calls, 0);
  // Also with a file already there: it keeps its exact content.
  log.WriteLog("first", 4);
  log.WriteLog("trace", 12);
  EXPECT_EQ(ReadFile(LogPath()), "03/05/24 14:07:09: first\r\n");
}

// ---- File handling --------------------------------------------------------------------

TEST_F(RunLogTest, FirstCallCreatesLaterCallsAppend) {
  ASSERT_FALSE(fs::exists(LogPath()));
  {
    RunLog log(host_);
    log.WriteLog("one", 4);
    EXPECT_EQ(ReadFile(LogPath()), "03/05/24 14:07:09: one\r\n");
    log.WriteLog("two", 4);
  }
  // A new log (the next run) appends to what the last run left.
  RunLog next(host_);
  next.WriteLog("three", 1);
  EXPECT_EQ(ReadFile(LogPath()),
            "03/05/24 14:07:09: one\r\n03/05/24 14:07:09: two\r\n"
            "03/05/24 14:07:09: [Error] three\r\n");
}

TEST_F(RunLogTest, ExistingContentIsNeverTruncated) {
  {
    std::ofstream pre(LogPath(), std::ios::binary);
    pre << "older run\r\n";
  }
  RunLog log(host_);
  log.WriteLog("new", 4);
  EXPECT_EQ(ReadFile(LogPath()), "older run\r\n03/05/24 14:07:09: new\r\n");
}

TEST_F(RunLogTest, TwoLogsOnOneFileEachAppendAtTheEnd) {
  // As two runs at once would: each keeps its own descriptor open, and neither line may land
  // over the other's.
  RunLog first(host_);
  RunLog second(host_);
  first.WriteLog("a", 4);
  second.WriteLog("b", 4);
  first.WriteLog("c", 4);
  EXPECT_EQ(ReadFile(LogPath()),
            "03/05/24 14:07:09: a\r\n03/05/24 14:07:09: b\r\n03/05/24 14:07:09: c\r\n");
}

TEST_F(RunLogTest, EachLineIsVisibleToOthersBeforeTheCallReturns) {
  RunLog log(host_);
  for (int i = 0; i < 5; ++i) {
    log.WriteLog(std::to_string(i), 4);
    // Read by another descriptor while the log still holds its own.
    const std::string content = ReadFile(LogPath());
    EXPECT_EQ(content.substr(content.size() - 3), std::to_string(i) + "\r\n");
  }
}

TEST_F(RunLogTest, MissingFolderLosesTheLineAndALaterCallSucceeds) {
  host_.SetFolder((dir_ / "not" / "yet").string());
  RunLog log(host_);
  log.WriteLog("lost", 1);  // must simply return
  EXPECT_FALSE(fs::exists(dir_ / "not"));
  fs::create_directories(dir_ / "not" / "yet");
  log.WriteLog("kept", 1);
  EXPECT_EQ(ReadFile(dir_ / "not" / "yet" / "TestQAV.log"), "03/05/24 14:07:09: [Error] kept\r\n");
}

TEST_F(RunLogTest, DirectoryInTheFilesPlaceLosesTheLineUntilItIsGone) {
  fs::create_directory(LogPath());
  RunLog log(host_);
  log.WriteLog("lost", 4);
  log.WriteLog("lost too", 2);
  EXPECT_TRUE(fs::is_directory(LogPath()));
  fs::remove(LogPath());
  log.WriteLog("kept", 4);
  EXPECT_EQ(ReadFile(LogPath()), "03/05/24 14:07:09: kept\r\n");
}

TEST_F(RunLogTest, FailedWriteReopensOnTheNextCall) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  // Opening succeeds, every write fails with "no space left".
  fs::create_symlink("/dev/full", LogPath());
  RunLog log(host_);
  log.WriteLog("lost", 4);
  fs::remove(LogPath());
  log.WriteLog("kept", 4);
  ASSERT_TRUE(fs::is_regular_file(LogPath()));
  EXPECT_EQ(ReadFile(LogPath()), "03/05/24 14:07:09: kept\r\n");
}

TEST_F(RunLogTest, FollowsTheHostFolderWhenItChanges) {
  RunLog log(host_);
  log.WriteLog("a", 4);
  fs::create_directory(dir_ / "other");
  host_.SetFolder((dir_ / "other").string());
  log.WriteLog("b", 4);
  EXPECT_EQ(ReadFile(LogPath()), "03/05/24 14:07:09: a\r\n");
  EXPECT_EQ(ReadFile(dir_ / "other" / "TestQAV.log"), "03/05/24 14:07:09: b\r\n");
}

TEST_F(RunLogTest, WorksThroughTheLogWriterInterface) {
  RunLog log(host_);
  LogWriter& writer = log;
  writer.WriteLog("via interface", kLogWarning);
  writer.WriteLog("hidden", kLogTrace);
  EXPECT_EQ(ReadFile(LogPath()), "03/05/24 14:07:09: [Warning] via interface\r\n");
}

// ---- Encoding -------------------------------------------------------------------------

TEST(RunLogEncodingTest, LocaleTextBecomesUtf8) {
  EXPECT_EQ(LocaleTextToUtf8("05/03/24 14:07", "ISO-8859-1"), "05/03/24 14:07");
  EXPECT_EQ(LocaleTextToUtf8("f\xE9vr. 5", "ISO-8859-1"), "f\xC3\xA9vr. 5");
  EXPECT_EQ(LocaleTextToUtf8("f\xC3\xA9vr.", "UTF-8"), "f\xC3\xA9vr.");
  // Broken UTF-8 and unknown character sets cannot pass unchanged.
  EXPECT_EQ(LocaleTextToUtf8("a\xC3(", "UTF-8"), "a?(");
  EXPECT_EQ(LocaleTextToUtf8("a\xFF", "NO-SUCH-CHARSET"), "a?");
  // An overlong encoding of "/" is not UTF-8.
  EXPECT_EQ(LocaleTextToUtf8("\xC0\xAF", "UTF-8"), "??");
}

TEST(RunLogEncodingTest, FormattedLineKeepsUtf8Messages) {
  ::setlocale(LC_TIME, "C");
  EXPECT_EQ(FormatRunLogLine(OleDate(2024, 3, 5, 0, 0, 0), "é", 2),
            "03/05/24: [Warning] \xC3\xA9\r\n");
}

}  // namespace
}  // namespace testqav

namespace testqav {
namespace {

// ---- What survives --------------------------------------------------------------------

class RunLogSurvivalTest : public RunLogTest {
 protected:
  std::string Line(const std::string& text) { return "03/05/24 14:07:09: " + text + "\r\n"; }
};

TEST_F(RunLogSurvivalTest, AKilledProcessHasLostNothingItLogged) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    RunLog log(host_);
    for (int i = 0; i < 1000; ++i) log.WriteLog("line " + std::to_string(i), 4);
    ::kill(::getpid(), SIGKILL);  // no destructor, no exit handler runs
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  std::string expected;
  for (int i = 0; i < 1000; ++i) expected += Line("line " + std::to_string(i));
  EXPECT_EQ(ReadFile(LogPath()), expected);
}

TEST_F(RunLogSurvivalTest, ARotatedFileIsCreatedAnewAtTheNextLine) {
  RunLog log(host_);
  log.WriteLog("before rename", 4);
  fs::rename(LogPath(), dir_ / "TestQAV.log.1");
  log.WriteLog("after rename", 4);
  EXPECT_EQ(ReadFile(dir_ / "TestQAV.log.1"), Line("before rename"));
  EXPECT_EQ(ReadFile(LogPath()), Line("after rename"));
  fs::remove(LogPath());
  log.WriteLog("after removal", 4);
  EXPECT_EQ(ReadFile(LogPath()), Line("after removal"));
  // A file that is only touched or appended to by someone else stays the one written to.
  { std::ofstream(LogPath(), std::ios::app) << "other\r\n"; }
  fs::permissions(LogPath(), fs::perms::owner_read | fs::perms::owner_write);
  log.WriteLog("still here", 4);
  EXPECT_EQ(ReadFile(LogPath()), Line("after removal") + "other\r\n" + Line("still here"));
  EXPECT_EQ(log.LostLines(), 0u);
}

TEST_F(RunLogSurvivalTest, LostLinesAreCountedWithTheFirstReason) {
  fs::create_directory(LogPath());
  RunLog log(host_);
  log.WriteLog("lost", 4);
  log.WriteLog("lost too", 1);
  log.WriteLog("trace", 12);
  EXPECT_EQ(log.LostLines(), 2u);
  EXPECT_NE(log.FirstLoss().find("TestQAV.log: Is a directory"), std::string::npos)
      << log.FirstLoss();
  fs::remove(LogPath());
  log.WriteLog("kept", 4);
  EXPECT_EQ(log.LostLines(), 2u);
  EXPECT_EQ(ReadFile(LogPath()), Line("kept"));
}

}  // namespace
}  // namespace testqav
