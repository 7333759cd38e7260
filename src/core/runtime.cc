#include "core/runtime.h"

#include <cstring>
#include <utility>

#include "platform/common/text.h"

namespace testqav {

namespace {

// Length of the control character that starts `text` at `i` (0 when there is none there).
// C0 and DEL are single bytes; C1 (U+0080..U+009F) and the line and paragraph separators
// (U+2028, U+2029) are the multi-byte ones that some viewers also break lines at.
size_t ControlAt(std::string_view text, size_t i, uint32_t* code) {
  const auto c = static_cast<unsigned char>(text[i]);
  if (c < 0x20 || c == 0x7F) {
    *code = c;
    return 1;
  }
  if (c == 0xC2 && i + 1 < text.size()) {
    const auto d = static_cast<unsigned char>(text[i + 1]);
    if (d >= 0x80 && d <= 0x9F) {
      *code = d;
      return 2;
    }
  }
  if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80) {
    const auto e = static_cast<unsigned char>(text[i + 2]);
    if (e == 0xA8 || e == 0xA9) {
      *code = 0x2000u + (e - 0x80u);
      return 3;
    }
  }
  return 0;
}

void AppendEscape(std::string& out, uint32_t code) {
  switch (code) {
    case '\r':
      out += "<CR>";
      return;
    case '\n':
      out += "<LF>";
      return;
    case '\t':
      out += "<TAB>";
      return;
    default:
      break;
  }
  static const char kHex[] = "0123456789ABCDEF";
  out += "<U+";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xFu];
  out += '>';
}

// True when `text` holds a byte that can start a control character: C0 or DEL, or the lead
// byte of C1 (0xC2) or of the line separators (0xE2). Every log line passes here, so the
// text is looked at eight bytes at a time.
bool MayHoldControl(std::string_view text) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHighs = 0x8080808080808080ull;
  auto has_zero = [](uint64_t v) { return ((v - kOnes) & ~v & kHighs) != 0; };
  size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    uint64_t w;
    std::memcpy(&w, text.data() + i, 8);
    // A byte below 0x20 among bytes below 0x80: (b - 0x20) borrows into its high bit.
    const bool low = ((w - 0x20 * kOnes) & ~w & kHighs) != 0;
    if (low || has_zero(w ^ (0x7F * kOnes)) || has_zero(w ^ (0xC2 * kOnes)) ||
        has_zero(w ^ (0xE2 * kOnes))) {
      break;  // a candidate (or a false alarm from a borrow): look at the bytes one by one
    }
  }
  for (; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7F || c == 0xC2 || c == 0xE2) return true;
  }
  return false;
}

}  // namespace

std::string LogSafeText(std::string_view text) {
  uint32_t code = 0;
  size_t i = 0;
  // Nearly every line has nothing to escape: find the first one before copying anything.
  while (i < text.size() && ControlAt(text, i, &code) == 0) ++i;
  if (i == text.size()) return std::string(text);
  std::string out(text.substr(0, i));
  size_t plain = i;
  while (i < text.size()) {
    const size_t n = ControlAt(text, i, &code);
    if (n == 0) {
      ++i;
      continue;
    }
    out.append(text.substr(plain, i - plain));
    AppendEscape(out, code);
    i += n;
    plain = i;
  }
  out.append(text.substr(plain));
  return out;
}

void Runtime::WriteLog(const std::string& message, int32_t level) {
  // Trace lines are never written; a writer that records them for a test sees them as
  // they were made.
  if (level == kLogTrace) {
    log_.WriteLog(message, level);
    return;
  }
  if (MayHoldControl(message)) {
    log_.WriteLog(LogSafeText(message), level);
    return;
  }
  log_.WriteLog(message, level);
}

void Runtime::WriteLogLines(std::initializer_list<std::string_view> pieces, int32_t level) {
  std::string message;
  bool first = true;
  for (std::string_view piece : pieces) {
    if (!first) message += "\r\n";
    first = false;
    if (level == kLogTrace) {
      message += piece;
    } else {
      message += LogSafeText(piece);
    }
  }
  log_.WriteLog(message, level);
}

bool Runtime::StopRequested() {
  if (ended_.load(std::memory_order_relaxed)) return true;
  if (host_.StopRequested()) {
    EndRun(RunEnd::kStopped, Status::Ok());
    return true;
  }
  if (g.MapiSession) {
    Status book = g.MapiSession->AddressBookStatus(false);
    if (!book.ok()) {
      EndRun(RunEnd::kDirectoryFailed, std::move(book));
      return true;
    }
  }
  return false;
}

void Runtime::EndRun(RunEnd cause, Status why) {
  std::lock_guard<std::mutex> lock(mu_);
  EndRunLocked(cause, std::move(why));
}

void Runtime::EndRunLocked(RunEnd cause, Status why) {
  if (end_ != RunEnd::kNone || cause == RunEnd::kNone) return;
  end_ = cause;
  end_status_ = std::move(why);
  end_position_ = position_;
  ended_.store(true, std::memory_order_relaxed);
}

RunEnd Runtime::End() const {
  std::lock_guard<std::mutex> lock(mu_);
  return end_;
}

RunPosition Runtime::EndPosition() const {
  std::lock_guard<std::mutex> lock(mu_);
  return end_position_;
}

Status Runtime::EndStatus() const {
  std::lock_guard<std::mutex> lock(mu_);
  return end_status_;
}

void Runtime::EnterPhaseLocked(std::string_view phase) {
  if (position_.phase == phase) return;
  position_.phase.assign(phase);
  phase_starts_.emplace_back(std::string(phase), std::chrono::steady_clock::now());
}

void Runtime::SetPhase(std::string_view phase) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    EnterPhaseLocked(phase);
    position_.done = -1;
    position_.total = -1;
  }
  host_.EndProgress();
}

void Runtime::SetProgress(std::string_view phase, int64_t done, int64_t total) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    EnterPhaseLocked(phase);
    position_.done = done;
    position_.total = total;
  }
  host_.SetProgress(phase, done, total);
}

void Runtime::EndProgress() { host_.EndProgress(); }

RunPosition Runtime::Position() const {
  std::lock_guard<std::mutex> lock(mu_);
  return position_;
}

std::vector<Runtime::PhaseTime> Runtime::PhaseTimes() const {
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<PhaseTime> times;
  for (size_t i = 0; i < phase_starts_.size(); ++i) {
    const auto end = i + 1 < phase_starts_.size() ? phase_starts_[i + 1].second : now;
    times.push_back({phase_starts_[i].first,
                     std::chrono::duration<double>(end - phase_starts_[i].second).count()});
  }
  return times;
}

void Runtime::NoteQueryListTime(QueryListTime time) {
  std::lock_guard<std::mutex> lock(mu_);
  query_list_times_.push_back(std::move(time));
}

std::vector<Runtime::QueryListTime> Runtime::QueryListTimes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return query_list_times_;
}

void Runtime::StageOutput(std::string temp_path, std::string final_path) {
  std::lock_guard<std::mutex> lock(mu_);
  for (StagedOutput& s : staged_) {
    if (s.final_path == final_path) {
      s.temp_path = std::move(temp_path);
      return;
    }
  }
  staged_.push_back({std::move(temp_path), std::move(final_path)});
}

void Runtime::NoteStagingFailed() {
  std::lock_guard<std::mutex> lock(mu_);
  staging_failed_ = true;
}

bool Runtime::StagingFailed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return staging_failed_;
}

void Runtime::SetExitReason(std::string reason) {
  std::lock_guard<std::mutex> lock(mu_);
  exit_reason_ = std::move(reason);
}

std::string Runtime::ExitReason() const {
  std::lock_guard<std::mutex> lock(mu_);
  return exit_reason_;
}

std::vector<Runtime::StagedOutput> Runtime::TakeStagedOutputs() {
  std::lock_guard<std::mutex> lock(mu_);
  return std::exchange(staged_, {});
}

bool Runtime::MarkFinishing() {
  std::lock_guard<std::mutex> lock(mu_);
  if (end_ != RunEnd::kNone) return false;
  finishing_ = true;
  return true;
}

bool Runtime::ClaimEndReport() {
  std::lock_guard<std::mutex> lock(mu_);
  return !std::exchange(end_reported_, true);
}

bool Runtime::Finishing() const {
  std::lock_guard<std::mutex> lock(mu_);
  return finishing_;
}

void Runtime::NoteOutputFailed(std::string reason) {
  std::lock_guard<std::mutex> lock(mu_);
  if (!output_failed_) output_failure_ = std::move(reason);
  output_failed_ = true;
}

bool Runtime::OutputFailed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return output_failed_;
}

std::string Runtime::OutputFailure() const {
  std::lock_guard<std::mutex> lock(mu_);
  return output_failure_;
}

}  // namespace testqav
