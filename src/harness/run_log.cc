#include "harness/run_log.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/common/utf8.h"
#include "platform/common/variant.h"

namespace testqav {
namespace {

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

std::string ReplaceNonAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (static_cast<unsigned char>(c) >= 0x80) c = '?';
  }
  return out;
}

// The character set that strftime uses for LC_TIME texts (month names, AM/PM markers):
// the one the LC_TIME category was loaded with, which may differ from LC_CTYPE's.
std::string TimeLocaleCodeset() {
  const char* codeset = ::nl_langinfo(_NL_TIME_CODESET);
  return codeset && *codeset ? codeset : "ANSI_X3.4-1968";
}

// Counts the signals of the log watches: a change means some watched log file was renamed,
// removed or had its links changed, and each log then looks at its own file.
std::atomic<uint64_t>& WatchSignals() {
  static constinit std::atomic<uint64_t> count{0};
  return count;
}

extern "C" void OnWatchSignal(int /*signo*/) {
  WatchSignals().fetch_add(1, std::memory_order_release);
}

// Asks the kernel to send a signal when `watch_fd` has events, so that a line need not read
// the descriptor to learn that nothing happened (one system call per line saved). False when
// that cannot be arranged; the descriptor is then read for every line.
bool SignalWatchEvents(int watch_fd) {
  static const int kSignal = SIGRTMIN + 5;
  static const bool installed = [] {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnWatchSignal;
    sigemptyset(&sa.sa_mask);
    // Restarted: a rotation must not make another thread's read or write fail.
    sa.sa_flags = SA_RESTART;
    return ::sigaction(kSignal, &sa, nullptr) == 0;
  }();
  if (!installed) return false;
  f_owner_ex owner{F_OWNER_PID, ::getpid()};
  const int flags = ::fcntl(watch_fd, F_GETFL);
  return flags >= 0 && ::fcntl(watch_fd, F_SETOWN_EX, &owner) == 0 &&
         ::fcntl(watch_fd, F_SETSIG, kSignal) == 0 &&
         ::fcntl(watch_fd, F_SETFL, flags | O_ASYNC) == 0;
}

}  // namespace

std::string LocaleTextToUtf8(std::string_view text, const char* codeset) {
  if (IsAscii(text)) return std::string(text);
  const std::string cs = codeset ? codeset : "";
  if ((cs == "UTF-8" || cs == "utf8") && IsValidUtf8(text)) return std::string(text);
  iconv_t cd = ::iconv_open("UTF-8", cs.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return IsValidUtf8(text) ? std::string(text) : ReplaceNonAscii(text);
  }
  std::string in(text);
  std::string out;
  char* in_ptr = in.data();
  size_t in_left = in.size();
  char buf[256];
  while (in_left > 0) {
    char* out_ptr = buf;
    size_t out_left = sizeof buf;
    size_t r = ::iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left);
    out.append(buf, sizeof buf - out_left);
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      // An invalid or truncated sequence: mark it and go on with the next byte.
      out += '?';
      ++in_ptr;
      --in_left;
    }
  }
  ::iconv_close(cd);
  return out;
}

std::string FormatRunLogStamp(double ole_date) {
  std::string stamp = FormatGeneralDate(ole_date);
  if (!IsAscii(stamp)) stamp = LocaleTextToUtf8(stamp, TimeLocaleCodeset().c_str());
  return stamp;
}

std::string FormatRunLogLine(double ole_date, const std::string& message, int32_t level) {
  return ComposeRunLogLine(FormatRunLogStamp(ole_date), message, level);
}

std::string ComposeRunLogLine(std::string_view stamp, const std::string& message, int32_t level) {
  std::string line;
  ComposeRunLogLineInto(line, stamp, message, level);
  return line;
}

void ComposeRunLogLineInto(std::string& line, std::string_view stamp, const std::string& message,
                           int32_t level) {
  const char* marker = level == kLogError     ? ": [Error] "
                       : level == kLogWarning ? ": [Warning] "
                                              : ": ";
  line.clear();
  line.reserve(stamp.size() + 12 + message.size() + 2);
  line += stamp;
  line += marker;
  line += message;
  line += "\r\n";
}

RunLog::RunLog(Host& host) : host_(host) {}

RunLog::~RunLog() {
  Close();
  if (watch_fd_ >= 0) ::close(watch_fd_);
}

std::string RunLog::Path() const { return host_.ProgramFolder() + "/" + kRunLogFileName; }

void RunLog::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  open_path_.clear();
  if (watch_ >= 0) ::inotify_rm_watch(watch_fd_, watch_);
  watch_ = -1;
}

bool RunLog::StillThere(const std::string& path) {
  if (watch_ >= 0) {
    // Nothing happened to the file since the last line, the common case: when the watch
    // signals its events, that is one load and no system call.
    if (watch_signals_) {
      const uint64_t seen = WatchSignals().load(std::memory_order_acquire);
      if (seen == watch_seen_) return true;
      watch_seen_ = seen;
    }
    char events[4096];
    ssize_t n = ::read(watch_fd_, events, sizeof events);
    if (n < 0 && !watch_signals_) return true;
    while (::read(watch_fd_, events, sizeof events) > 0) {
    }
  }
  struct stat open_file {};
  struct stat at_path {};
  if (::fstat(fd_, &open_file) != 0 || open_file.st_nlink == 0) return false;
  if (::stat(path.c_str(), &at_path) != 0) return false;
  return open_file.st_dev == at_path.st_dev && open_file.st_ino == at_path.st_ino;
}

bool RunLog::WriteOut(const std::string& path, std::string_view bytes, std::string* why) {
  if (fd_ >= 0 && (path != open_path_ || !StillThere(path))) Close();
  if (fd_ < 0) {
    // The descriptor stays open between writes: O_APPEND makes each write land at the
    // current end even when another process appends too.
    int fd;
    do {
      fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      *why = path + ": " + std::strerror(errno);
      return false;
    }
    fd_ = fd;
    open_path_ = path;
    if (watch_fd_ < 0) {
      watch_fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      watch_signals_ = watch_fd_ >= 0 && SignalWatchEvents(watch_fd_);
      watch_seen_ = WatchSignals().load(std::memory_order_acquire);
    }
    if (watch_fd_ >= 0) {
      watch_ =
          ::inotify_add_watch(watch_fd_, path.c_str(), IN_MOVE_SELF | IN_DELETE_SELF | IN_ATTRIB);
    }
  }
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    // On Linux a positioned write to a descriptor opened with O_APPEND still lands at the
    // end of the file (the offset is ignored), and unlike write it does not take the
    // descriptor's position lock, which a process with more than one thread pays for every
    // line.
    ssize_t n = ::pwrite(fd_, p, left, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      // Disk full, I/O error, a descriptor gone bad: start over with a fresh open next
      // time, when the problem may be gone.
      *why = path + ": " + std::strerror(errno);
      Close();
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

void RunLog::WriteLog(const std::string& message, int32_t level) {
  if (level == kLogTrace) return;
  // Everything below can only fail by losing lines; nothing may escape to a caller that
  // runs in carry-on mode.
  try {
    std::lock_guard<std::mutex> lock(mu_);
    const double now = host_.Now();
    // The date text names a whole second (see FormatGeneralDate).
    const int64_t second = UnixFromOleDate(now);
    if (stamp_.empty() || second != stamp_second_) {
      stamp_ = FormatRunLogStamp(now);
      stamp_second_ = second;
    }
    // The path is made again only when the folder changed.
    const std::string& folder = host_.ProgramFolder();
    if (folder != path_folder_ || path_.empty()) {
      path_folder_ = folder;
      path_ = Path();
    }
    ComposeRunLogLineInto(line_, stamp_, message, level);
    std::string why;
    if (!WriteOut(path_, line_, &why)) {
      if (lost_lines_++ == 0) first_loss_ = why;
    }
  } catch (...) {
    // Out of memory while building the line: the line is lost, the run goes on.
  }
}

uint64_t RunLog::LostLines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lost_lines_;
}

std::string RunLog::FirstLoss() const {
  std::lock_guard<std::mutex> lock(mu_);
  return first_loss_;
}

std::string RunLog::ReadBack() {
  std::ifstream in(Path(), std::ios::binary);
  if (!in) return {};
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace testqav
