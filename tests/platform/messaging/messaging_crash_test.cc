// Ends a writer at every step of a write-back in turn and checks that the store file then
// holds the state before the write (crash before the rename) or the state after it (crash at
// the rename or later): never a torn, empty or unparsable file, and the next writer logs on.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <vector>

#include "platform/messaging/json/mailbox_store.h"
#include "platform/messaging/messaging.h"
#include "platform/messaging/messaging_fixture.h"

namespace testqav {
namespace {

using mailbox::WriteBackStep;
using testing_messaging::TempHost;
using testing_messaging::WriteFile;

// Enough messages that the store's text goes to its temporary file in more than one piece, so
// that one crash point leaves a half-written temporary file behind.
constexpr int kFillerMessages = 8000;

std::string CrashStore() {
  std::ostringstream s;
  s << R"({"displayName": "Mailbox - Crash", "root": {"name": "", "folders": [)"
    << R"({"name": "velkoraAgentInfo", "messages": [)"
    << R"({"class": "velkora.Agent", "subject": "velkoraAgent"}]},)"
    << R"({"name": "Filler", "messages": [)";
  for (int i = 0; i < kFillerMessages; ++i) {
    if (i) s << ",";
    s << R"({"class": "IPM.Note", "subject": "filler )" << i
      << R"(", "named": [{"name": "PIN", "type": "string", "value": "pin)" << i << R"("}]})";
  }
  s << "]}]}}";
  return s.str();
}

MessagePtr Settings(const SessionPtr& s) {
  auto root = s->GetFolder("", "");
  if (!root.ok()) return nullptr;
  auto agent = (*(*root)->Folders())->Item("velkoraAgentInfo");
  if (!agent.ok()) return nullptr;
  auto m = (*(*agent)->Messages())->GetFirst("velkora.Agent");
  return m.ok() ? *m : nullptr;
}

int64_t CounterOf(const MessagePtr& m) {
  auto v = m->Field("Counter");
  return v.ok() ? std::stoll(v->string_value()) : 0;
}

// The child's crash point: it reports the step on the pipe and kills itself at the
// `crash_at`-th step of its write-back (counted from 1).
int crash_at = 0;
int steps_seen = 0;
int report_fd = -1;

void CrashAtChosenStep(WriteBackStep step) {
  if (++steps_seen != crash_at) return;
  auto code = static_cast<int32_t>(step);
  if (write(report_fd, &code, sizeof code) != static_cast<ssize_t>(sizeof code)) _exit(6);
  raise(SIGKILL);
}

// Child: logs on, writes the stored counter plus one, and ends with status 0 when the
// write-back had fewer than `crash_at` steps.
[[noreturn]] void RunWriter(const std::filesystem::path& host) {
  std::ostringstream diag;
  SessionPtr s = CreateJsonSession(host, diag);
  if (!s->Logon("EXSRV\nagent").ok()) _exit(2);
  MessagePtr m = Settings(s);
  if (!m) _exit(3);
  mailbox::SetWriteBackStepHook(CrashAtChosenStep);
  if (!m->AddField("Counter", 8, Variant(std::to_string(CounterOf(m) + 1))).ok()) _exit(4);
  if (!m->Update().ok()) _exit(5);
  _exit(0);
}

TEST(MessagingCrash, WriterEndedAtEachStepLeavesPreviousOrNextState) {
  TempHost host;
  WriteFile(host.Mailbox(), CrashStore());
  int64_t expected = 0;
  std::vector<WriteBackStep> crashed_after;
  for (int k = 1;; ++k) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      crash_at = k;
      report_fd = fds[1];
      RunWriter(host.dir());
    }
    close(fds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    int32_t code = -1;
    const bool killed = read(fds[0], &code, sizeof code) == static_cast<ssize_t>(sizeof code);
    close(fds[0]);
    if (!killed) {
      ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
          << "writer " << k << " failed with status " << status;
      ++expected;
    } else {
      ASSERT_TRUE(WIFSIGNALED(status)) << "writer " << k << " outlived its crash point";
      const auto step = static_cast<WriteBackStep>(code);
      crashed_after.push_back(step);
      if (step >= WriteBackStep::kRenamed) ++expected;
    }

    std::ostringstream diag;
    SessionPtr check = CreateJsonSession(host.dir(), diag);
    Status st = check->Logon("EXSRV\nagent");
    ASSERT_TRUE(st.ok()) << "after writer " << k << ": " << st.description();
    MessagePtr m = Settings(check);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(CounterOf(m), expected) << "after writer " << k;
    auto filler = (*(*(*check->GetFolder("", ""))->Folders())->Item("Filler"))->Messages();
    EXPECT_EQ(*(*filler)->Count(), kFillerMessages);
    ASSERT_TRUE(check->Logoff().ok());
    if (!killed) break;
  }
  // Every step was a crash point: pieces of the text (more than one), then each later step once.
  const std::vector<WriteBackStep> kLater = {WriteBackStep::kFlushed, WriteBackStep::kLocked,
                                             WriteBackStep::kRenamed,
                                             WriteBackStep::kFolderFlushed};
  ASSERT_GT(crashed_after.size(), kLater.size() + 1);
  const size_t pieces = crashed_after.size() - kLater.size();
  EXPECT_EQ(std::vector<WriteBackStep>(crashed_after.begin() + pieces, crashed_after.end()),
            kLater);
  for (size_t i = 0; i < pieces; ++i) EXPECT_EQ(crashed_after[i], WriteBackStep::kPieceWritten);
}

}  // namespace
}  // namespace testqav
