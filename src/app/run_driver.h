// One update run from start to end: settings, logon, agent folders, the engine, the notice.
#pragma once

#include <functional>
#include <string>

#include "core/runtime.h"
#include "platform/registry/registry.h"

namespace testqav {

// Exit statuses of the program (documented in the README and in --help). When several
// apply, the first of: 6, 10, 8, 9, 7 (and 11, which the program adds for its log).
enum ExitStatus : int {
  kExitCompleted = 0,
  kExitUsage = 2,
  kExitMissingServer = 3,
  kExitMissingAlias = 4,
  kExitNoSession = 5,
  kExitLogonFailed = 6,
  kExitOutputFailed = 7,
  kExitStopped = 8,
  kExitNoRegistrationFolder = 9,
  kExitDirectoryFailed = 10,
  kExitLogLost = 11,
  kExitMergeFailed = 12,
};

// What a run does once the agent's folders are found: the update run, or the contact
// repository merge (which the update run never does).
enum class RunJob { kUpdate, kMerge };

inline constexpr const char* kAgentRegistryKey = "Software\\velkora\\velkoraAgent";

struct DriverServices {
  const Registry* registry = nullptr;
  // Creates the messaging session ("MAPI.Session"); an error when it cannot be created.
  std::function<Result<SessionPtr>()> create_session;
  // Called with the logon error (for a message on standard error); may be empty.
  std::function<void(const Status&)> on_logon_failed;
  // Makes the run's record sets (its data sets and the directory queries' results); empty:
  // the runtime's own.
  RecordsetFactory make_recordset;
};

// Performs the run and returns the process's exit status; for a non-zero status,
// rt.ExitReason() says why in one line.
int Main(Runtime& rt, const DriverServices& services, RunJob job = RunJob::kUpdate);

// Where a run was, for a log line: "registrations after 12 of 100", "logon".
std::string DescribePosition(const RunPosition& position);

// Ends a stopped run from outside its own course (the stop guard, when the run is blocked):
// records the stop, removes the outputs staged so far, writes the run's end line unless it
// was written already, and returns the status the process must end with (rt.ExitReason()
// says why). Returns -1, doing nothing, when the run is already putting its outputs in
// place or past that point: it then ends by itself. The caller holds rt.FinishMutex().
int EndStoppedRunLocked(Runtime& rt);

}  // namespace testqav
