// The update run that changes nothing: the same engine over the same host folder, with its
// log lines dropped, its dumps written to a scratch folder of its own and read back, and a
// session whose write-backs the caller has made to be discarded. What `explain` runs.
#pragma once

#include <map>
#include <string>

#include "app/run_driver.h"
#include "platform/host/host.h"

namespace testqav {

class ProvenanceObserver;

struct DryRunResult {
  int exit_status = -1;     // as Main gives it
  std::string exit_reason;  // for a non-zero status
  // The dumps the run would have put in place ("QAV-1.csv", "QAV-GAL.csv",
  // "SourceMCL-1.csv"), by file name; none when it did not complete.
  std::map<std::string, std::string> dumps;
};

// Performs the update run once with `observer` (may be null) listening. `services` must
// create a session that keeps every change in memory (JsonSessionOptions): the dry run
// itself only sees to the log and the dumps. The host answers everything but the folder,
// which is a scratch folder below the system's temporary folder, removed before returning;
// no notice is shown. Nothing is written to the host folder.
DryRunResult DryRunUpdate(Host& host, const DriverServices& services, ProvenanceObserver* observer);

}  // namespace testqav
