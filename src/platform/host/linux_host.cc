#include "platform/host/linux_host.h"
#include "platform/common/civil_date.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <istream>
#include <ostream>
#include <utility>

#include "platform/common/error_codes.h"

namespace testqav {
namespace {

// Constant-initialised at namespace scope: a handler may run before anything else touched
// it, and a function-local static would need a guard that is not async-signal-safe.
constinit std::atomic<bool> g_stop_flag{false};
static_assert(std::atomic<bool>::is_always_lock_free,
              "the stop flag is set from a signal handler and must be lock-free");
// The pipe that wakes whoever waits for a stop; written from the handler.
constinit std::atomic<int> g_stop_pipe_read{-1};
constinit std::atomic<int> g_stop_pipe_write{-1};

extern "C" void OnStopSignal(int /*signo*/) {
  // Only a store and a write: nothing else is async-signal-safe enough to do here.
  const int saved_errno = errno;
  g_stop_flag.store(true, std::memory_order_relaxed);
  const int fd = g_stop_pipe_write.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved_errno;
}

std::string StripTrailingSlashes(std::string folder) {
  while (!folder.empty() && folder.back() == '/') folder.pop_back();
  return folder;
}

// Terminal columns taken by UTF-8 text, counted as code points (good enough for padding).
size_t DisplayWidth(const std::string& text) {
  size_t n = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

}  // namespace

std::string ExecutableFolder() {
  std::string buf(4096, '\0');
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buf.size()) {
      buf.resize(static_cast<size_t>(n));
      break;
    }
    // Possibly truncated: readlink does not say, so retry with a larger buffer.
    buf.resize(buf.size() * 2);
  }
  size_t slash = buf.rfind('/');
  if (slash == std::string::npos) return {};
  buf.resize(slash);
  return StripTrailingSlashes(std::move(buf));
}

std::atomic<bool>& StopFlag() { return g_stop_flag; }

int StopSignalFd() { return g_stop_pipe_read.load(std::memory_order_relaxed); }

Status InstallStopSignalHandlers() {
  if (g_stop_pipe_read.load() < 0) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
      return Status(err::kFail, std::string("pipe2: ") + std::strerror(errno));
    }
    g_stop_pipe_read.store(fds[0]);
    g_stop_pipe_write.store(fds[1]);
  }
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  // SA_RESTART keeps blocking reads (the notice's wait, file I/O) from failing with EINTR;
  // SA_RESETHAND lets the second signal terminate the process.
  sa.sa_flags = static_cast<int>(SA_RESTART | SA_RESETHAND);
  for (int signo : {SIGINT, SIGTERM}) {
    if (::sigaction(signo, &sa, nullptr) != 0) {
      return Status(err::kFail, std::string("sigaction: ") + std::strerror(errno));
    }
  }
  return Status::Ok();
}

LinuxHost::LinuxHost(LinuxHostOptions options)
    : program_folder_(StripTrailingSlashes(std::move(options.program_folder))),
      wait_for_enter_(options.wait_for_enter),
      progress_enabled_(options.progress_enabled),
      in_(options.in ? options.in : &std::cin),
      out_(options.out ? options.out : &std::cout),
      err_(options.err ? options.err : &std::cerr),
      monotonic_ms_(std::move(options.monotonic_ms)) {}

LinuxHost::~LinuxHost() {
  // Leave the terminal's last line clean for the shell prompt.
  EndProgress();
}

const std::string& LinuxHost::ProgramFolder() const { return program_folder_; }

double LinuxHost::Now() const {
  // The OLE date is the wall clock as the user reads it, so the local broken-down time is
  // counted as if it were UTC; the zone offset (and any DST change) is already applied.
  time_t t = std::time(nullptr);
  std::tm tm{};
  if (::localtime_r(&t, &tm) == nullptr) ::gmtime_r(&t, &tm);
  const int64_t days =
      DaysFromCivil(int64_t{tm.tm_year} + 1900, int64_t{tm.tm_mon} + 1, int64_t{tm.tm_mday});
  const int64_t secs = int64_t{tm.tm_hour} * 3600 + int64_t{tm.tm_min} * 60 + tm.tm_sec;
  return 25569.0 + static_cast<double>(days) + static_cast<double>(secs) / 86400.0;
}

void LinuxHost::ShowNotice(std::string_view text, std::string_view caption) {
  EndProgress();
  *out_ << caption << ": " << text << '\n';
  if (!wait_for_enter_) {
    out_->flush();
    return;
  }
  *out_ << "Press Enter to close." << std::flush;
  if (in_ != &std::cin) {
    std::string line;
    std::getline(*in_, line);
    // After end of input the prompt's line is still open; finish it.
    if (!*in_) *out_ << '\n' << std::flush;
    return;
  }
  // Standard input is read here, not through the stream: the wait must also end at a stop
  // signal, which a stream's read would sit through (it resumes after an interruption).
  const int stop_fd = StopSignalFd();
  bool line_ended = false;
  while (!line_ended && !StopRequested()) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    const int ready = ::poll(fds, stop_fd >= 0 ? 2 : 1, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
    char c = 0;
    const ssize_t n = ::read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // end of input (or an error) ends the wait as well
    line_ended = c == '\n';
  }
  if (!line_ended) *out_ << '\n' << std::flush;
}

int64_t LinuxHost::NowMs() const {
  if (monotonic_ms_) return monotonic_ms_();
  timespec ts{};
  // The coarse clock is read from the vDSO without a system call; its tick (a few ms) is
  // far finer than the refresh interval.
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

void LinuxHost::DoEvents() {
  if (!progress_enabled_ || !has_progress_ || !progress_changed_) return;
  const int64_t now = NowMs();
  if (ever_drawn_ && now - last_draw_ms_ < kProgressIntervalMs) return;
  DrawProgress(now);
}

void LinuxHost::SetProgress(std::string_view phase, int64_t done, int64_t total) {
  if (!has_progress_ || phase_ != phase || done_ != done || total_ != total) {
    progress_changed_ = true;
  }
  has_progress_ = true;
  if (phase_ != phase) phase_.assign(phase);
  done_ = done;
  total_ = total;
}

void LinuxHost::EndProgress() {
  if (drawn_width_ > 0) {
    *err_ << '\r' << std::string(drawn_width_, ' ') << '\r' << std::flush;
  }
  drawn_width_ = 0;
  has_progress_ = false;
  progress_changed_ = false;
  ever_drawn_ = false;
  phase_.clear();
  done_ = 0;
  total_ = -1;
}

bool LinuxHost::StopRequested() const { return g_stop_flag.load(std::memory_order_relaxed); }

std::string LinuxHost::ProgressText() const {
  std::string text = phase_ + ": " + std::to_string(done_);
  if (total_ >= 0) text += " of " + std::to_string(total_);
  return text;
}

void LinuxHost::DrawProgress(int64_t now_ms) {
  std::string text = ProgressText();
  const size_t width = DisplayWidth(text);
  std::string line = "\r" + text;
  if (width < drawn_width_) line.append(drawn_width_ - width, ' ');
  *err_ << line << std::flush;
  // Older, longer text is blanked now; only this text needs covering next time.
  drawn_width_ = width;
  last_draw_ms_ = now_ms;
  ever_drawn_ = true;
  progress_changed_ = false;
}

}  // namespace testqav
