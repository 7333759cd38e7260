// Test doubles for the run's services: a log that records its lines, and a Runtime wired to
// it and to a FakeHost (support/fake_host.h).
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/runtime.h"
#include "support/fake_host.h"

namespace testqav::testing {

class RecordingLog : public LogWriter {
 public:
  void WriteLog(const std::string& message, int32_t level) override {
    if (level == kLogTrace) return;
    lines.emplace_back(level, message);
  }
  bool Has(const std::string& message, int32_t level) const {
    for (const auto& [l, m] : lines) {
      if (l == level && m == message) return true;
    }
    return false;
  }
  bool HasContaining(const std::string& part) const {
    for (const auto& line : lines) {
      if (line.second.find(part) != std::string::npos) return true;
    }
    return false;
  }
  int Count(const std::string& message) const {
    int n = 0;
    for (const auto& line : lines) n += line.second == message ? 1 : 0;
    return n;
  }
  std::string Dump() const {
    std::string out;
    for (const auto& [l, m] : lines) out += std::to_string(l) + ": " + m + "\n";
    return out;
  }
  std::vector<std::pair<int32_t, std::string>> lines;
};

// Puts the outputs that a run staged (its dumps) in place, as the driver does at the end of
// a completed run, for tests that drive the engine without the driver.
inline void PutOutputsInPlace(Runtime& rt) {
  for (const Runtime::StagedOutput& s : rt.TakeStagedOutputs()) {
    std::filesystem::rename(s.temp_path, s.final_path);
  }
}

struct TestRuntime {
  explicit TestRuntime(std::string folder = ".") : host(std::move(folder)), rt(log, host) {}
  RecordingLog log;
  FakeHost host;
  Runtime rt;
};

}  // namespace testqav::testing
