// The run log: one line per call appended to "TestQAV.log" in the host folder, the only
// place where the run's failures become visible. Writing to it never fails the caller.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "core/runtime.h"
#include "platform/host/host.h"

namespace testqav {

inline constexpr char kRunLogFileName[] = "TestQAV.log";

// One log line: the locale's general date form of `ole_date` (LC_TIME; converted to UTF-8
// when the locale's own encoding is another), the level marker (": [Error] " for 1,
// ": [Warning] " for 2, ": " for any other level), the message byte for byte, CR LF.
std::string FormatRunLogLine(double ole_date, const std::string& message, int32_t level);
// The same line from the date's text as FormatRunLogStamp gives it.
std::string ComposeRunLogLine(std::string_view stamp, const std::string& message, int32_t level);
// The same line into `line`, which is emptied first (and keeps its room for the next one).
void ComposeRunLogLineInto(std::string& line, std::string_view stamp, const std::string& message,
                           int32_t level);
std::string FormatRunLogStamp(double ole_date);

// Text in the given character set (an iconv name such as "ISO-8859-1") as UTF-8. Text
// that is valid UTF-8 already, or plain ASCII, is returned unchanged; bytes that cannot be
// converted become "?".
std::string LocaleTextToUtf8(std::string_view text, const char* codeset);

class RunLog : public LogWriter {
 public:
  // The folder and the clock come from `host`, which must outlive the log.
  explicit RunLog(Host& host);
  ~RunLog() override;

  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Level 12 returns at once without touching the file system. Any other level appends one
  // line (see FormatRunLogLine) in a single write to the file, before the call returns: a
  // process that is killed or crashes afterwards has lost nothing it logged. Safe to call
  // from several threads. A file that was renamed or removed since the last line (rotated)
  // is created anew. Never throws and never reports: a line that cannot be written is lost
  // and counted (LostLines), and the next call opens the file afresh.
  void WriteLog(const std::string& message, int32_t level) override;
  bool KeepsTrace() const override { return false; }

  // host folder + "/TestQAV.log".
  std::string Path() const;
  // The whole log file as it is on disk; "" when it cannot be read.
  std::string ReadBack();

  // Lines that could not be written, and the reason the first of them was lost.
  uint64_t LostLines() const;
  std::string FirstLoss() const;

 private:
  void Close();
  // Whether the open descriptor is still the file at `path` (nobody renamed or removed it).
  bool StillThere(const std::string& path);
  // Appends `bytes` to the file at `path`; false (with `why` set) when they are lost.
  bool WriteOut(const std::string& path, std::string_view bytes, std::string* why);

  Host& host_;
  mutable std::mutex mu_;  // guards everything below
  int fd_ = -1;
  std::string open_path_;  // the path fd_ was opened on
  // Reports a rename or removal of the open file, so that it is noticed without a look at
  // the path on every line; -1 when the system has no watch to spare (then the path is
  // looked at every time).
  int watch_fd_ = -1;
  int watch_ = -1;
  bool watch_signals_ = false;  // the kernel signals the watch's events (see StillThere)
  uint64_t watch_seen_ = 0;
  // The date text of the last line and the second it stands for: a run writes many lines
  // a second.
  int64_t stamp_second_ = 0;
  std::string stamp_;
  // The log's path for the folder it was made for, and the line being written: both kept
  // from one line to the next, so that a line costs no allocation.
  std::string path_folder_;
  std::string path_;
  std::string line_;
  uint64_t lost_lines_ = 0;
  std::string first_loss_;
};

}  // namespace testqav
