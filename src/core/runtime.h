// The program-wide state of one run and the services every procedure reaches: the run log,
// the host (events, progress, stop flag) and the messaging session. One Runtime lives for the
// process; procedures take it by reference instead of reaching for globals.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/common/status.h"
#include "platform/host/host.h"
#include "platform/messaging/messaging.h"
#include "platform/recordset/recordset.h"

namespace testqav {

class ProvenanceObserver;

// Log levels of the run log.
inline constexpr int32_t kLogError = 1;
inline constexpr int32_t kLogWarning = 2;
inline constexpr int32_t kLogInfo = 4;
inline constexpr int32_t kLogDetail = 8;
inline constexpr int32_t kLogTrace = 12;

class LogWriter {
 public:
  virtual ~LogWriter() = default;
  // Never fails and never throws; level 12 writes nothing. May be called from more than one
  // thread.
  virtual void WriteLog(const std::string& message, int32_t level) = 0;
  // False when trace lines (level 12) are dropped unseen, so that a caller need not compose
  // them. A writer that records them for a test keeps the default.
  virtual bool KeepsTrace() const { return true; }
};

// The text of a value as a log line shows it: every control character (C0, DEL, C1, and
// the Unicode line and paragraph separators) in a visible form, "<CR>", "<LF>", "<TAB>" or
// "<U+001B>", so that a value from outside (a registration's topic, a directory attribute)
// can never end a line and start one of its own.
std::string LogSafeText(std::string_view text);

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

// Why a run ends before its work is done. The first cause is the one kept.
enum class RunEnd {
  kNone,
  kStopped,          // the user asked the run to stop (SIGINT, SIGTERM)
  kDirectoryFailed,  // the address book could not be opened, or its directory was lost
};

// Where the run is: the work under way and, for a loop, how far it is.
struct RunPosition {
  std::string phase;  // "" before the first phase is named
  int64_t done = -1;  // items done, -1 when the phase counts none
  int64_t total = -1;
};

class Runtime {
 public:
  Runtime(LogWriter& log, Host& host) : log_(log), host_(host) {}

  // Writes one log line. Values from outside may be part of `message`, so its control
  // characters are shown escaped (LogSafeText): one call is always one line.
  void WriteLog(const std::string& message, int32_t level);
  // One log entry on several lines: each piece escaped as above, the pieces joined with
  // CR LF. For the few messages whose own text is laid out on more than one line.
  void WriteLogLines(std::initializer_list<std::string_view> pieces, int32_t level);
  // Whether a trace line would be seen by anyone: a line that is composed for every contact
  // an MCL reaches is only composed then.
  bool TraceWanted() const { return log_.KeepsTrace(); }
  void DoEvents() { host_.DoEvents(); }
  Host& host() { return host_; }

  // The run-wide StopRequested: true once the run must end early, because the user asked it
  // to stop or because the session's address book is not available (it could not be opened,
  // or its directory was lost for good). The first cause, and the position of the run when
  // it was seen, are kept (End(), EndPosition()).
  bool StopRequested();
  // Records a cause found elsewhere (the driver's final check of the address book).
  void EndRun(RunEnd cause, Status why);
  RunEnd End() const;
  // The position when the run ended early, and the error behind a kDirectoryFailed end.
  RunPosition EndPosition() const;
  Status EndStatus() const;

  // Names the work under way (for the progress line and for a stopped run's log line).
  void SetPhase(std::string_view phase);
  // The same for a loop: how many items are done of how many (total < 0: unknown).
  void SetProgress(std::string_view phase, int64_t done, int64_t total);
  // The loop is over: the progress line goes, the phase stays named.
  void EndProgress();
  RunPosition Position() const;
  // Wall time of each phase, in the order the run entered them (a phase entered again after
  // another is a new entry); the phase under way counts up to now. The run log's stamps name
  // whole seconds, too coarse to tell where the time of a run of a few seconds goes.
  struct PhaseTime {
    std::string phase;
    double seconds = 0;
  };
  std::vector<PhaseTime> PhaseTimes() const;
  // Wall time of each query-based list expanded from an MCL source (nested lists count in
  // the list that reached them): the rows its member queries returned, the time of its
  // directory queries (lookup and member query, the record sets filled) and of the whole
  // expansion, rows and nested lists included. How fast a large list turns into SourceMCL
  // records is lost in the phase of all MCLs.
  struct QueryListTime {
    std::string address;
    int64_t rows = 0;
    double query_seconds = 0;
    double seconds = 0;
  };
  void NoteQueryListTime(QueryListTime time);
  std::vector<QueryListTime> QueryListTimes() const;

  // Output files written beside their final name and put in place together at the end of a
  // run that completed, so that a stopped or failed run leaves the previous ones as they
  // were. A later staging of the same final path replaces the earlier one.
  struct StagedOutput {
    std::string temp_path;
    std::string final_path;
  };
  void StageOutput(std::string temp_path, std::string final_path);
  // An output of this run could not be written: none of the staged ones is put in place,
  // so that the set on disk stays one run's.
  void NoteStagingFailed();
  bool StagingFailed() const;
  // Takes the staged outputs (the caller renames or removes them); none are left staged.
  std::vector<StagedOutput> TakeStagedOutputs();
  // Marks the run as past the point where it can be ended early: after this, StopRequested
  // keeps answering but a stop no longer changes the outcome. Returns false (and marks
  // nothing) when the run has already ended early.
  bool MarkFinishing();
  bool Finishing() const;
  // True for the first caller only: whoever reports an early end (its log line) claims it.
  bool ClaimEndReport();

  // A write that must not be lost (a dump, a store write-back) failed: the process ends
  // with a non-zero status although the run itself carried on. The first reason is kept.
  void NoteOutputFailed(std::string reason);
  bool OutputFailed() const;
  std::string OutputFailure() const;

  // The one line that says why the process ends with a non-zero status (for standard
  // error, since the log may be what failed).
  void SetExitReason(std::string reason);
  std::string ExitReason() const;

  // The registration folder could not be located, so the run collected and wrote nothing.
  void NoteRegistrationFolderMissing() { registration_folder_missing_ = true; }
  bool RegistrationFolderMissing() const { return registration_folder_missing_; }

  // The one lock that decides between the run's own end and an end forced from outside
  // (the stop guard): whoever holds it may rename outputs into place or end the process.
  std::mutex& FinishMutex() { return finish_mu_; }

  Globals g;
  // How the engine makes its in-memory data sets: the indexed record sets by default, the
  // plain scanning ones when a benchmark compares the two.
  RecordsetFactory make_recordset = CreateRecordset;
  // Who listens to the engine's decisions (engine/provenance.h); null for an ordinary run.
  // Not owned; it must outlive the run.
  ProvenanceObserver* provenance = nullptr;

 private:
  void EndRunLocked(RunEnd cause, Status why);
  void EnterPhaseLocked(std::string_view phase);

  LogWriter& log_;
  Host& host_;

  // Read on every item of the long loops: the fast path is one atomic load.
  std::atomic<bool> ended_{false};
  mutable std::mutex mu_;  // guards everything below (the stop guard reads it too)
  RunEnd end_ = RunEnd::kNone;
  Status end_status_;
  RunPosition end_position_;
  RunPosition position_;
  std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> phase_starts_;
  std::vector<QueryListTime> query_list_times_;
  std::vector<StagedOutput> staged_;
  bool staging_failed_ = false;
  bool finishing_ = false;
  bool end_reported_ = false;
  std::string exit_reason_;
  std::string output_failure_;
  bool output_failed_ = false;
  bool registration_folder_missing_ = false;
  std::mutex finish_mu_;
};

}  // namespace testqav
