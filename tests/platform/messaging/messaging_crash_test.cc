// Kills a process in the middle of its write-backs, many times, and checks that the store
// file always holds either the state before or the state after the write that was under way:
// never a torn, empty or unparsable file.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <sstream>

#include "platform/messaging/messaging.h"
#include "platform/messaging/messaging_fixture.h"

namespace testqav {
namespace {

using testing_messaging::TempHost;
using testing_messaging::WriteFile;

constexpr int kFillerMessages = 3000;

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

// Child: count up from the stored value, reporting readiness (-1) and then each completed
// write on the pipe.
[[noreturn]] void RunWriter(const std::filesystem::path& host, int report_fd) {
  std::ostringstream diag;
  SessionPtr s = CreateJsonSession(host, diag);
  if (!s->Logon("EXSRV\nagent").ok()) _exit(2);
  MessagePtr m = Settings(s);
  if (!m) _exit(3);
  int64_t ready = -1;
  if (write(report_fd, &ready, sizeof ready) != static_cast<ssize_t>(sizeof ready)) _exit(6);
  for (int64_t i = CounterOf(m) + 1;; ++i) {
    if (!m->AddField("Counter", 8, Variant(std::to_string(i))).ok()) _exit(4);
    if (!m->Update().ok()) _exit(5);
    int64_t done = i;
    if (write(report_fd, &done, sizeof done) != static_cast<ssize_t>(sizeof done)) _exit(6);
  }
}

TEST(MessagingCrash, KilledWriterLeavesPreviousOrNextState) {
  TempHost host;
  WriteFile(host.Mailbox(), CrashStore());
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> delay_us(0, 20000);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  int64_t committed = 0;  // the counter the file is known to hold
  int rounds = 0, torn_candidates = 0;

  while (rounds < 200 && std::chrono::steady_clock::now() < deadline) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      RunWriter(host.dir(), fds[1]);
    }
    close(fds[1]);
    // Wait until the writer has logged on, so that the kill lands among its write-backs.
    int64_t ready = 0;
    ASSERT_EQ(read(fds[0], &ready, sizeof ready), static_cast<ssize_t>(sizeof ready));
    ASSERT_EQ(ready, -1);
    int64_t done = 0, last = committed;
    // Every fourth round lets one write complete first, so that the counter moves on even
    // on a machine so busy that no write fits into the random delays.
    if (rounds % 4 == 3) {
      ASSERT_EQ(read(fds[0], &done, sizeof done), static_cast<ssize_t>(sizeof done));
      last = done;
    }
    usleep(static_cast<useconds_t>(delay_us(rng)));
    kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer ended by itself with " << WEXITSTATUS(status);

    while (read(fds[0], &done, sizeof done) == static_cast<ssize_t>(sizeof done)) last = done;
    close(fds[0]);

    // The reported writes are on disk; at most one more may have landed before the kill.
    std::ostringstream diag;
    SessionPtr check = CreateJsonSession(host.dir(), diag);
    Status st = check->Logon("EXSRV\nagent");
    ASSERT_TRUE(st.ok()) << "round " << rounds << ": " << st.description();
    MessagePtr m = Settings(check);
    ASSERT_NE(m, nullptr);
    int64_t value = CounterOf(m);
    EXPECT_TRUE(value == last || value == last + 1)
        << "round " << rounds << ": file holds " << value << ", last reported " << last;
    if (value == last + 1) ++torn_candidates;
    auto filler = (*(*(*check->GetFolder("", ""))->Folders())->Item("Filler"))->Messages();
    EXPECT_EQ(*(*filler)->Count(), kFillerMessages);
    ASSERT_TRUE(check->Logoff().ok());
    committed = value;
    ++rounds;
  }
  EXPECT_GE(rounds, 20);
  // The writer made progress across the rounds.
  EXPECT_GT(committed, 0);
  std::cout << rounds << " kills, final counter " << committed << ", " << torn_candidates
            << " kills landed after a rename but before the report\n";
}

}  // namespace
}  // namespace testqav
