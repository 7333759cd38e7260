#include "platform/host/linux_host.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>

#include "platform/common/variant.h"

namespace testqav {
namespace {

// Streams and a hand-driven clock around one LinuxHost.
struct HostRig {
  explicit HostRig(bool wait_for_enter = false, bool progress = false, std::string input = "",
                   std::string folder = "/srv/host") {
    in.str(std::move(input));
    LinuxHostOptions o;
    o.program_folder = std::move(folder);
    o.wait_for_enter = wait_for_enter;
    o.progress_enabled = progress;
    o.in = &in;
    o.out = &out;
    o.err = &err;
    o.monotonic_ms = [this] { return clock_ms; };
    host.emplace(std::move(o));
  }
  std::istringstream in;
  std::ostringstream out;
  std::ostringstream err;
  int64_t clock_ms = 1000;
  std::optional<LinuxHost> host;  // declared last: its destructor still writes to err
};

// ---- Program folder -------------------------------------------------------------------

TEST(LinuxHostFolderTest, TrailingSlashesAreDropped) {
  EXPECT_EQ(HostRig(false, false, "", "/srv/host/").host->ProgramFolder(), "/srv/host");
  EXPECT_EQ(HostRig(false, false, "", "/srv/host//").host->ProgramFolder(), "/srv/host");
  EXPECT_EQ(HostRig(false, false, "", "rel/dir").host->ProgramFolder(), "rel/dir");
  // The root folder: appending "/TestQAV.log" must still give "/TestQAV.log".
  EXPECT_EQ(HostRig(false, false, "", "/").host->ProgramFolder(), "");
}

TEST(LinuxHostFolderTest, ExecutableFolderHoldsThisTestBinary) {
  const std::string folder = ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.front(), '/');
  EXPECT_NE(folder.back(), '/');
  EXPECT_TRUE(std::filesystem::is_regular_file(folder + "/testqav_host_test")) << folder;
}

// ---- Clock ----------------------------------------------------------------------------

class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTz() {
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

TEST(LinuxHostClockTest, NowIsTheLocalWallClock) {
  HostRig rig;
  {
    ScopedTz utc("UTC0");
    const int64_t before = std::time(nullptr);
    const int64_t now = UnixFromOleDate(rig.host->Now());
    const int64_t after = std::time(nullptr);
    EXPECT_GE(now, before);
    EXPECT_LE(now, after);
  }
  {
    // POSIX TZ sign: "<+0530>-5:30" is 5 h 30 min east of UTC.
    ScopedTz india("<+0530>-5:30");
    const double utc_now = OleDateFromUnix(std::time(nullptr));
    const double now = rig.host->Now();
    EXPECT_NEAR(now - utc_now, 5.5 / 24.0, 2.0 / 86400.0);
  }
  {
    ScopedTz west("<-10>10");
    const double utc_now = OleDateFromUnix(std::time(nullptr));
    EXPECT_NEAR(rig.host->Now() - utc_now, -10.0 / 24.0, 2.0 / 86400.0);
  }
}

TEST(LinuxHostClockTest, NowHasWholeSecondsThatFormatAsTheLocalTime) {
  ScopedTz tz("<+03>-3");
  HostRig rig;
  const time_t t = std::time(nullptr);
  const double now = rig.host->Now();
  const double secs = now * 86400.0;
  EXPECT_NEAR(secs, std::round(secs), 1e-3);
  // The date part counts local days: compare with localtime_r's calendar date.
  std::tm tm{};
  localtime_r(&t, &tm);
  const time_t back = static_cast<time_t>(UnixFromOleDate(now));
  std::tm as_utc{};
  gmtime_r(&back, &as_utc);
  EXPECT_EQ(as_utc.tm_year, tm.tm_year);
  EXPECT_EQ(as_utc.tm_yday, tm.tm_yday);
  EXPECT_EQ(as_utc.tm_hour, tm.tm_hour);
}

// ---- Notice ---------------------------------------------------------------------------

TEST(LinuxHostNoticeTest, WaitsForOneLineWhenAsked) {
  HostRig rig(/*wait_for_enter=*/true, false, "\nsecond line\n");
  rig.host->ShowNotice("Complete", "TestQAV");
  EXPECT_EQ(rig.out.str(), "TestQAV: Complete\nPress Enter to close.");
  // Exactly one line was consumed.
  std::string rest;
  std::getline(rig.in, rest);
  EXPECT_EQ(rest, "second line");
}

TEST(LinuxHostNoticeTest, EndOfInputEndsTheWait) {
  HostRig rig(/*wait_for_enter=*/true, false, "");
  rig.host->ShowNotice("Complete", "TestQAV");
  EXPECT_EQ(rig.out.str(), "TestQAV: Complete\nPress Enter to close.\n");
}

TEST(LinuxHostNoticeTest, DoesNotWaitWhenTold) {
  HostRig rig(/*wait_for_enter=*/false, false, "typed ahead\n");
  rig.host->ShowNotice("Complete", "TestQAV");
  EXPECT_EQ(rig.out.str(), "TestQAV: Complete\n");
  std::string rest;
  std::getline(rig.in, rest);
  EXPECT_EQ(rest, "typed ahead");  // nothing was read
}

TEST(LinuxHostNoticeTest, ClearsAProgressLineFirst) {
  HostRig rig(false, /*progress=*/true);
  rig.host->SetProgress("Reading", 3, 10);
  rig.host->DoEvents();
  rig.host->ShowNotice("Complete", "TestQAV");
  EXPECT_EQ(rig.err.str(), "\rReading: 3 of 10\r                \r");
  EXPECT_EQ(rig.out.str(), "TestQAV: Complete\n");
}

// ---- Progress -------------------------------------------------------------------------

TEST(LinuxHostProgressTest, LineFormatsWithAndWithoutTotal) {
  HostRig rig(false, /*progress=*/true);
  rig.host->SetProgress("MCL", 5, 120);
  rig.host->DoEvents();
  EXPECT_EQ(rig.err.str(), "\rMCL: 5 of 120");
  rig.err.str("");
  rig.clock_ms += 100;
  rig.host->SetProgress("MCL", 6, -1);
  rig.host->DoEvents();
  // Shorter than before: blanks cover the old " of 120" tail.
  EXPECT_EQ(rig.err.str(), "\rMCL: 6       ");
}

TEST(LinuxHostProgressTest, RedrawsAtMostTenTimesASecond) {
  HostRig rig(false, /*progress=*/true);
  int draws = 0;
  auto count_draw = [&] {
    if (!rig.err.str().empty()) ++draws;
    rig.err.str("");
  };
  // 2 simulated seconds, one item per millisecond.
  for (int i = 0; i < 2000; ++i) {
    rig.host->SetProgress("Registrations", i, 2000);
    rig.host->DoEvents();
    count_draw();
    ++rig.clock_ms;
  }
  EXPECT_EQ(draws, 20);
}

TEST(LinuxHostProgressTest, DrawsOnlyWhenDueAndChanged) {
  HostRig rig(false, /*progress=*/true);
  rig.host->DoEvents();  // nothing set yet
  EXPECT_EQ(rig.err.str(), "");
  rig.host->SetProgress("GAL", 1, 2);
  rig.host->DoEvents();
  EXPECT_EQ(rig.err.str(), "\rGAL: 1 of 2");
  rig.host->SetProgress("GAL", 2, 2);
  rig.clock_ms += LinuxHost::kProgressIntervalMs - 1;
  rig.host->DoEvents();
  EXPECT_EQ(rig.err.str(), "\rGAL: 1 of 2");  // not due yet
  rig.clock_ms += 1;
  rig.host->DoEvents();
  EXPECT_EQ(rig.err.str(), "\rGAL: 1 of 2\rGAL: 2 of 2");
  rig.clock_ms += 1000;
  rig.host->DoEvents();  // due but unchanged
  EXPECT_EQ(rig.err.str(), "\rGAL: 1 of 2\rGAL: 2 of 2");
}

TEST(LinuxHostProgressTest, EndProgressBlanksTheLineAndNextPhaseDrawsAtOnce) {
  HostRig rig(false, /*progress=*/true);
  rig.host->SetProgress("QAV", 10, 40);
  rig.host->DoEvents();
  rig.host->EndProgress();
  EXPECT_EQ(rig.err.str(), "\rQAV: 10 of 40\r             \r");
  rig.err.str("");
  rig.host->EndProgress();  // nothing drawn: nothing written
  EXPECT_EQ(rig.err.str(), "");
  rig.host->SetProgress("SourceMCL", 1, -1);
  rig.host->DoEvents();  // same clock reading, but a new line after EndProgress
  EXPECT_EQ(rig.err.str(), "\rSourceMCL: 1");
}

TEST(LinuxHostProgressTest, DisabledProgressWritesNothing) {
  std::string err_text;
  {
    HostRig rig(false, /*progress=*/false);
    for (int i = 0; i < 500; ++i) {
      rig.host->SetProgress("QAV", i, 500);
      rig.host->DoEvents();
      rig.clock_ms += 50;
    }
    rig.host->EndProgress();
    rig.host.reset();
    err_text = rig.err.str();
  }
  EXPECT_EQ(err_text, "");
}

TEST(LinuxHostProgressTest, DestructorClearsADrawnLine) {
  HostRig rig(false, /*progress=*/true);
  rig.host->SetProgress("x", 1, 1);
  rig.host->DoEvents();
  rig.host.reset();
  EXPECT_EQ(rig.err.str(), "\rx: 1 of 1\r         \r");
}

TEST(LinuxHostProgressTest, RealCoarseClockStillLimitsRedraws) {
  std::ostringstream err;
  LinuxHostOptions o;
  o.progress_enabled = true;
  o.err = &err;
  LinuxHost host(o);
  for (int i = 0; i < 200000; ++i) {
    host.SetProgress("p", i, -1);
    host.DoEvents();
  }
  const std::string s = err.str();
  const auto draws = std::count(s.begin(), s.end(), '\r');
  EXPECT_GE(draws, 1);
  // 200000 cheap calls take well under a few seconds; unlimited drawing would give 200000.
  EXPECT_LT(draws, 100);
  host.EndProgress();
}

// ---- Stop flag ------------------------------------------------------------------------

class StopSignalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(::sigaction(SIGINT, nullptr, &old_int_), 0);
    ASSERT_EQ(::sigaction(SIGTERM, nullptr, &old_term_), 0);
    StopFlag().store(false);
  }
  void TearDown() override {
    ::sigaction(SIGINT, &old_int_, nullptr);
    ::sigaction(SIGTERM, &old_term_, nullptr);
    StopFlag().store(false);
  }
  struct sigaction old_int_ {};
  struct sigaction old_term_ {};
};

TEST_F(StopSignalTest, SigintSetsTheFlagAndTheSecondOneGetsTheDefault) {
  HostRig rig;
  ASSERT_TRUE(InstallStopSignalHandlers().ok());
  EXPECT_FALSE(rig.host->StopRequested());
  ASSERT_EQ(::raise(SIGINT), 0);
  EXPECT_TRUE(rig.host->StopRequested());
  struct sigaction now {};
  ASSERT_EQ(::sigaction(SIGINT, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST_F(StopSignalTest, SigtermSetsTheFlag) {
  HostRig rig;
  ASSERT_TRUE(InstallStopSignalHandlers().ok());
  ASSERT_EQ(::raise(SIGTERM), 0);
  EXPECT_TRUE(rig.host->StopRequested());
  EXPECT_TRUE(StopFlag().load());
}

TEST_F(StopSignalTest, FlagIsRunWideAcrossHosts) {
  HostRig a;
  HostRig b;
  ASSERT_TRUE(InstallStopSignalHandlers().ok());
  ASSERT_EQ(::raise(SIGINT), 0);
  EXPECT_TRUE(a.host->StopRequested());
  EXPECT_TRUE(b.host->StopRequested());
}

TEST(StopSignalDeathTest, SecondSigintKillsAStuckRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (!InstallStopSignalHandlers().ok()) std::_Exit(3);
        ::raise(SIGINT);
        if (!StopFlag().load()) std::_Exit(4);
        ::raise(SIGINT);
        std::_Exit(5);  // only reached if the second signal was caught again
      },
      ::testing::KilledBySignal(SIGINT), "");
}

}  // namespace
}  // namespace testqav
