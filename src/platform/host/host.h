// Host services: the program folder, the local clock, the modal notice, yielding to event
// processing (with a progress line), and the run-wide stop flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace testqav {

class Host {
 public:
  virtual ~Host() = default;
  // The folder that plays the program folder's part (the host folder), no trailing "/".
  virtual const std::string& ProgramFolder() const = 0;
  // Current local date and time as an OLE date.
  virtual double Now() const = 0;
  // Shows a modal notice with an OK button and waits until the user closes it (or returns
  // at once where nobody can answer).
  virtual void ShowNotice(std::string_view text, std::string_view caption) = 0;
  // Lets pending events run once (the original's DoEvents); also refreshes the progress line.
  virtual void DoEvents() = 0;
  // Names the long work under way and how far it is; total < 0 when unknown.
  virtual void SetProgress(std::string_view phase, int64_t done, int64_t total) = 0;
  virtual void EndProgress() = 0;
  // The run-wide StopRequested flag (set by SIGINT and SIGTERM).
  virtual bool StopRequested() const = 0;
};

}  // namespace testqav
