// The run log: one line per call appended to "TestQAV.log" in the host folder, the only
// place where the run's failures become visible. Writing to it never fails the caller.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "harness/runtime.h"
#include "platform/host/host.h"

namespace testqav {

inline constexpr char kRunLogFileName[] = "TestQAV.log";

// One log line: the locale's general date form of `ole_date` (LC_TIME; converted to UTF-8
// when the locale's own encoding is another), the level marker (": [Error] " for 1,
// ": [Warning] " for 2, ": " for any other level), the message byte for byte, CR LF.
std::string FormatRunLogLine(double ole_date, const std::string& message, int32_t level);
// The same line from the date's text as FormatRunLogStamp gives it.
std::string ComposeRunLogLine(std::string_view stamp, const std::string& message, int32_t level);
std::string FormatRunLogStamp(double ole_date);

// Text in the given character set (an iconv name such as "ISO-8859-1") as UTF-8. Text
// that is valid UTF-8 already, or plain ASCII, is returned unchanged; bytes that cannot be
// converted become "?".
std::string LocaleTextToUtf8(std::string_view text, const char* codeset);

// How soon a line reaches the file.
enum class LogBatching {
  // Each line is handed to the kernel in a single write before WriteLog returns, so it
  // survives a crash of the process and another reader sees it at once.
  kEachLine,
  // Lines are collected and written together: when 64 KiB are waiting, when the oldest
  // waiting line is 0.1 s old (host clock) at the next call, at once for an error line, and
  // on Flush and destruction. A run that logs a few lines per registered user spends most
  // of its logging time in write calls otherwise; a crash loses at most the last 0.1 s.
  kBatched,
};

class RunLog : public LogWriter {
 public:
  // The folder and the clock come from `host`, which must outlive the log.
  explicit RunLog(Host& host, LogBatching batching = LogBatching::kEachLine);
  ~RunLog() override;

  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Level 12 returns at once without touching the file system. Any other level appends
  // one line (see FormatRunLogLine), written as LogBatching says. Never throws and never
  // reports: a line that cannot be written is lost, and the next write opens the file
  // afresh.
  void WriteLog(const std::string& message, int32_t level) override;
  void Flush() override;

  // host folder + "/TestQAV.log".
  std::string Path() const;
  // The whole log file as it is on disk, after writing what waits; "" when it cannot be
  // read.
  std::string ReadBack();

 private:
  void Close();
  // Appends `bytes` to the file at `path`; false when they are lost.
  bool WriteOut(const std::string& path, std::string_view bytes);

  Host& host_;
  LogBatching batching_;
  int fd_ = -1;
  std::string open_path_;      // the path fd_ was opened on
  std::string waiting_;        // lines not yet written (kBatched)
  std::string waiting_path_;   // the file they belong to
  double oldest_waiting_ = 0;  // host time of the first of them
  // The date text of the last line and the second it stands for: a run writes many lines
  // a second.
  int64_t stamp_second_ = 0;
  std::string stamp_;
};

}  // namespace testqav
