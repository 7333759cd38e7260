// One update run from start to end: settings, logon, agent folders, the engine, the notice.
#pragma once

#include <functional>

#include "harness/runtime.h"
#include "platform/registry/registry.h"

namespace testqav {

// Exit statuses of the program (documented in the README).
enum ExitStatus : int {
  kExitCompleted = 0,
  kExitUsage = 2,
  kExitMissingServer = 3,
  kExitMissingAlias = 4,
  kExitNoSession = 5,
  kExitLogonFailed = 6,
  kExitOutputFailed = 7,
};

inline constexpr const char* kAgentRegistryKey = "Software\\velkora\\velkoraAgent";

struct DriverServices {
  const Registry* registry = nullptr;
  // Creates the messaging session ("MAPI.Session"); an error when it cannot be created.
  std::function<Result<SessionPtr>()> create_session;
  // Called with the logon error (for a message on standard error); may be empty.
  std::function<void(const Status&)> on_logon_failed;
};

// Performs the run and returns the process's exit status.
int Main(Runtime& rt, const DriverServices& services);

}  // namespace testqav
