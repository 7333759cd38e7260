// The program-wide state of one run and the services every procedure reaches: the run log,
// the host (events, progress, stop flag) and the messaging session. One Runtime lives for the
// process; procedures take it by reference instead of reaching for globals.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/host/host.h"
#include "platform/messaging/messaging.h"
#include "platform/recordset/recordset.h"

namespace testqav {

// Log levels of the run log.
inline constexpr int32_t kLogError = 1;
inline constexpr int32_t kLogWarning = 2;
inline constexpr int32_t kLogInfo = 4;
inline constexpr int32_t kLogDetail = 8;
inline constexpr int32_t kLogTrace = 12;

class LogWriter {
 public:
  virtual ~LogWriter() = default;
  // Never fails and never throws; level 12 writes nothing.
  virtual void WriteLog(const std::string& message, int32_t level) = 0;
  // Hands lines that a writer holds back to their file (a writer that writes every line
  // at once has nothing to do).
  virtual void Flush() {}
};

// Program-wide values, named as the system names them.
struct Globals {
  std::string ExServer;
  std::string ExAlias;
  SessionPtr MapiSession;
  FolderPtr AgentInfoFolder;
  FolderPtr UserInfoFolder;
  std::string AgentMessageID;
  bool ConnectivityWarned = false;
  std::string HHPath;
  std::string HHEntryID;
  std::string MCPath;
  std::string MCEntryID;
  std::string PublicStoreID;
};

class Runtime {
 public:
  Runtime(LogWriter& log, Host& host) : log_(log), host_(host) {}

  void WriteLog(const std::string& message, int32_t level) { log_.WriteLog(message, level); }
  void FlushLog() { log_.Flush(); }
  void DoEvents() { host_.DoEvents(); }
  bool StopRequested() const { return host_.StopRequested(); }
  Host& host() { return host_; }

  Globals g;
  // Set when a write that must not be lost (a dump, a store write-back) failed, so that the
  // process can end with a non-zero status although the run itself carried on.
  bool output_failed = false;
  // How the engine makes its in-memory data sets: the indexed record sets by default, the
  // plain scanning ones when a benchmark compares the two.
  std::function<std::unique_ptr<Recordset>()> make_recordset = [] { return CreateRecordset(); };

 private:
  LogWriter& log_;
  Host& host_;
};

}  // namespace testqav
