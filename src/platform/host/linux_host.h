// The host services of a Linux process: the host folder, the local wall clock, a notice on
// the terminal, a rate-limited progress line on stderr, and the run-wide stop flag that
// SIGINT and SIGTERM set.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>

#include "platform/common/status.h"
#include "platform/host/host.h"

namespace testqav {

// The folder of the running executable (from /proc/self/exe), without a trailing "/"; the
// empty text when the link cannot be read (or the executable sits in "/").
std::string ExecutableFolder();

// The run-wide stop flag. Lock-free, so a signal handler may set it.
std::atomic<bool>& StopFlag();

// Installs handlers for SIGINT and SIGTERM that set StopFlag() and make StopSignalFd()
// readable. Each handler is installed with SA_RESETHAND: the first signal asks the run to
// stop at the next item, a second one of the same kind gets the default action, so a stuck
// run can still be killed.
Status InstallStopSignalHandlers();
// A descriptor that becomes readable when the first stop signal arrives, for a thread or a
// wait that must wake up at once; -1 before InstallStopSignalHandlers.
int StopSignalFd();

struct LinuxHostOptions {
  // The host folder; a trailing "/" is dropped ("/" itself becomes the empty text).
  std::string program_folder;
  // ShowNotice waits for a line on `in` (the caller sets this when stdin is a terminal and
  // waiting was not turned off).
  bool wait_for_enter = false;
  // DoEvents draws the progress line on `err` (the caller sets this when stderr is a
  // terminal).
  bool progress_enabled = false;
  std::istream* in = nullptr;   // null: std::cin
  std::ostream* out = nullptr;  // null: std::cout
  std::ostream* err = nullptr;  // null: std::cerr
  // Monotonic milliseconds for the progress refresh; null: CLOCK_MONOTONIC_COARSE. Tests
  // inject a fake clock here.
  std::function<int64_t()> monotonic_ms;
};

class LinuxHost : public Host {
 public:
  // The progress line is redrawn at most once per this many milliseconds.
  static constexpr int64_t kProgressIntervalMs = 100;

  explicit LinuxHost(LinuxHostOptions options);
  ~LinuxHost() override;

  LinuxHost(const LinuxHost&) = delete;
  LinuxHost& operator=(const LinuxHost&) = delete;

  const std::string& ProgramFolder() const override;
  // Local wall-clock time (localtime_r, so TZ applies) as an OLE date, to the second.
  double Now() const override;
  // Prints "<caption>: <text>" on its own line of `out`; with wait_for_enter it then prints
  // "Press Enter to close." and reads one line from `in` (end of input ends the wait too,
  // and so does a stop signal when `in` is the process's standard input).
  // A progress line on `err` is cleared first so the two do not mix on one terminal.
  void ShowNotice(std::string_view text, std::string_view caption) override;
  // Cheap enough to call once per record: without progress it returns at once; with
  // progress it reads a coarse clock and redraws only when the interval has passed and the
  // line changed.
  void DoEvents() override;
  // Remembers the phase and counts; the line is drawn by the next due DoEvents. It reads
  // "\r<phase>: <done> of <total>", or "\r<phase>: <done>" when total < 0, padded with
  // blanks over whatever longer line was there before.
  void SetProgress(std::string_view phase, int64_t done, int64_t total) override;
  // Blanks a drawn progress line and forgets the phase.
  void EndProgress() override;
  bool StopRequested() const override;

 private:
  int64_t NowMs() const;
  std::string ProgressText() const;
  void DrawProgress(int64_t now_ms);

  std::string program_folder_;
  bool wait_for_enter_;
  bool progress_enabled_;
  std::istream* in_;
  std::ostream* out_;
  std::ostream* err_;
  std::function<int64_t()> monotonic_ms_;

  bool has_progress_ = false;
  std::string phase_;
  int64_t done_ = 0;
  int64_t total_ = -1;
  bool progress_changed_ = false;
  bool ever_drawn_ = false;
  int64_t last_draw_ms_ = 0;
  size_t drawn_width_ = 0;  // characters of the line currently on the terminal
};

}  // namespace testqav
