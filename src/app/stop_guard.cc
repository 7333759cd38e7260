#include "app/stop_guard.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace testqav {

StopGuard::StopGuard(int stop_fd, std::chrono::milliseconds grace, std::function<void()> end_now)
    : end_now_(std::move(end_now)) {
  if (stop_fd < 0) return;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  done_read_ = fds[0];
  done_write_ = fds[1];
  thread_ = std::thread([this, stop_fd, grace] { Watch(stop_fd, grace); });
}

StopGuard::~StopGuard() {
  if (thread_.joinable()) {
    ::close(done_write_);  // end of file on done_read_ wakes the thread
    thread_.join();
  }
  if (done_read_ >= 0) ::close(done_read_);
}

void StopGuard::Watch(int stop_fd, std::chrono::milliseconds grace) {
  // Wait for a stop signal or for the end of the run, whichever comes first.
  pollfd both[2] = {{done_read_, POLLIN, 0}, {stop_fd, POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(both, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || both[0].revents != 0) return;
    if (both[1].revents != 0) break;
  }
  // The run has `grace` to reach its end by itself.
  pollfd done = {done_read_, POLLIN, 0};
  auto deadline = std::chrono::steady_clock::now() + grace;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const int ready = ::poll(&done, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 0) return;
  }
  end_now_();
}

}  // namespace testqav
