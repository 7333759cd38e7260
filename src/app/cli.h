// Command-line parsing of the testqav program.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace testqav {

struct CommandLine {
  enum class Command { kRun, kMerge, kSearch, kResolve, kExplain, kHelp, kVersion };
  Command command = Command::kRun;
  std::optional<std::string> host_dir;
  bool no_wait = false;
  bool json = false;                  // explain: JSON instead of text
  std::string report;                 // the update run: where its HTML report goes ("" for none)
  bool reference_recordsets = false;  // --recordset reference: record sets without indexes
  std::string argument;  // the command text of "search", the name of "resolve" or "explain"
  std::string error;     // non-empty when the arguments are wrong
};

CommandLine ParseCommandLine(const std::vector<std::string>& args);
std::string UsageText();

}  // namespace testqav
