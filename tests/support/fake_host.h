// A Host for tests: a settable program folder and clock, notices recorded, and a stop that a
// test requests directly or after a number of DoEvents calls. It keeps the Host contract
// (tests/platform/host/host_contract_test.cc runs it).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/host/host.h"

namespace testqav::testing {

class FakeHost : public Host {
 public:
  explicit FakeHost(std::string folder = ".") { SetFolder(std::move(folder)); }

  void SetFolder(std::string folder) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    folder_ = std::move(folder);
  }
  const std::string& ProgramFolder() const override { return folder_; }
  double Now() const override {
    ++now_calls;
    return now;
  }
  void ShowNotice(std::string_view text, std::string_view caption) override {
    notices.emplace_back(std::string(caption) + ": " + std::string(text));
  }
  void DoEvents() override {
    ++events;
    if (stop_after_events >= 0 && events >= stop_after_events) stop = true;
  }
  void SetProgress(std::string_view, int64_t, int64_t) override {}
  void EndProgress() override {}
  bool StopRequested() const override { return stop; }

  // An OLE date in December 2025.
  double now = 46000.5;
  mutable int now_calls = 0;
  bool stop = false;
  long events = 0;
  long stop_after_events = -1;
  std::vector<std::string> notices;

 private:
  std::string folder_;
};

}  // namespace testqav::testing
