// Ends a run that does not come to its own end soon after the first stop signal. A run
// stops at the next item of its loops; one blocked in a system call (a directory server
// that accepts the connection but never answers) would otherwise keep the user waiting for
// the call's time limit.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace testqav {

class StopGuard {
 public:
  // Watches `stop_fd`, which becomes readable at the first stop signal. When the run is
  // still going `grace` after that, calls `end_now` on the guard's thread (which may end
  // the process, or return when the run is ending by itself). With stop_fd < 0 the guard
  // does nothing.
  StopGuard(int stop_fd, std::chrono::milliseconds grace, std::function<void()> end_now);
  // The run is over: the guard's thread is woken and joined.
  ~StopGuard();

  StopGuard(const StopGuard&) = delete;
  StopGuard& operator=(const StopGuard&) = delete;

 private:
  void Watch(int stop_fd, std::chrono::milliseconds grace);

  int done_read_ = -1;
  int done_write_ = -1;
  std::function<void()> end_now_;
  std::thread thread_;
};

}  // namespace testqav
