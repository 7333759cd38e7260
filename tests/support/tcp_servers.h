// Loopback TCP peers for tests of a directory server that misbehaves: one that accepts
// connections and never answers (a frozen server), and a proxy in front of a real server
// that cuts every connection, and refuses new ones, after a number of requests (a server
// that went away in the middle of a run).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testqav::testing {

// A listening socket on 127.0.0.1 with a port of the system's choosing; -1 on failure.
inline int ListenOnLoopback(uint16_t* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 16) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

// A port on which nothing listens: taken from the system, then given back.
inline uint16_t RefusedPort() {
  uint16_t port = 0;
  int fd = ListenOnLoopback(&port);
  if (fd >= 0) ::close(fd);
  return port;
}

// Accepts every connection and reads what comes, answering nothing.
class SilentServer {
 public:
  SilentServer() {
    listen_fd_ = ListenOnLoopback(&port_);
    if (listen_fd_ >= 0 && ::pipe2(stop_, O_CLOEXEC) == 0) thread_ = std::thread([this] { Run(); });
  }
  ~SilentServer() {
    if (thread_.joinable()) {
      ::close(stop_[1]);
      thread_.join();
      ::close(stop_[0]);
    }
    for (int fd : clients_) ::close(fd);
    if (listen_fd_ >= 0) ::close(listen_fd_);
  }
  uint16_t port() const { return port_; }
  // Waits until some bytes have arrived on any connection; false when none came within a
  // minute (the client never got this far).
  bool WaitForData() {
    std::unique_lock<std::mutex> lock(mu_);
    return arrived_.wait_for(lock, std::chrono::minutes(1), [this] { return received_ > 0; });
  }

 private:
  void Run() {
    for (;;) {
      std::vector<pollfd> fds = {{stop_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
      for (int c : clients_) fds.push_back({c, POLLIN, 0});
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents != 0) return;
      if (fds[1].revents != 0) {
        int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) clients_.push_back(c);
      }
      for (size_t i = 2; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        char buf[4096];
        ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        if (n > 0) {
          std::lock_guard<std::mutex> lock(mu_);
          received_ += static_cast<size_t>(n);
          arrived_.notify_all();
        }
      }
    }
  }

  int listen_fd_ = -1;
  uint16_t port_ = 0;
  int stop_[2] = {-1, -1};
  std::vector<int> clients_;
  std::mutex mu_;
  std::condition_variable arrived_;
  size_t received_ = 0;
  std::thread thread_;
};

// Forwards connections to 127.0.0.1:`upstream_port` until the client side has sent
// `cut_after` messages (reads) in all; then closes every connection and its listening
// socket, so that the next connection is refused. A synchronous client sends one request
// per read, so the cut falls on a request it can count. kStall keeps the connections open
// instead, and takes new ones, but passes nothing more on: a server that stops answering.
// kStallSearches passes everything but search requests: a server that still takes binds
// but never answers a search.
class CuttingProxy {
 public:
  enum class Mode { kCut, kStall, kStallSearches };
  CuttingProxy(uint16_t upstream_port, int cut_after, Mode mode = Mode::kCut)
      : upstream_port_(upstream_port),
        cut_after_(cut_after),
        stall_(mode != Mode::kCut),
        searches_only_(mode == Mode::kStallSearches) {
    listen_fd_ = ListenOnLoopback(&port_);
    if (listen_fd_ >= 0 && ::pipe2(stop_, O_CLOEXEC) == 0) thread_ = std::thread([this] { Run(); });
  }
  ~CuttingProxy() {
    if (thread_.joinable()) {
      ::close(stop_[1]);
      thread_.join();
      ::close(stop_[0]);
    }
    Cut();
  }
  uint16_t port() const { return port_; }
  int requests() const { return requests_.load(); }
  bool cut() const { return cut_.load(); }

 private:
  struct Pair {
    int client;
    int server;
  };

  void Cut() {
    for (const Pair& p : pairs_) {
      ::close(p.client);
      ::close(p.server);
    }
    pairs_.clear();
    if (listen_fd_ >= 0) ::close(listen_fd_);
    listen_fd_ = -1;
    cut_ = true;
  }

  // Whether the LDAP message waiting on `fd` is a SearchRequest (application tag 3): a
  // SEQUENCE, its length, the message ID (an INTEGER), then the operation's tag.
  static bool IsSearch(int fd) {
    unsigned char b[32];
    ssize_t n = ::recv(fd, b, sizeof b, MSG_PEEK);
    if (n < 4 || b[0] != 0x30) return false;
    size_t at = 2 + ((b[1] & 0x80) != 0 ? (b[1] & 0x7f) : 0);
    if (at + 2 > static_cast<size_t>(n) || b[at] != 0x02) return false;
    at += 2 + b[at + 1];
    return at < static_cast<size_t>(n) && b[at] == 0x63;
  }

  static bool Pass(int from, int to) {
    char buf[65536];
    ssize_t n = ::read(from, buf, sizeof buf);
    if (n <= 0) return false;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(to, buf + done, static_cast<size_t>(n - done));
      if (w <= 0) return false;
      done += w;
    }
    return true;
  }

  void Run() {
    for (;;) {
      std::vector<pollfd> fds = {{stop_[0], POLLIN, 0}, {listen_fd_, POLLIN, 0}};
      for (const Pair& p : pairs_) {
        fds.push_back({p.client, POLLIN, 0});
        fds.push_back({p.server, POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents != 0) return;
      if (listen_fd_ >= 0 && fds[1].revents != 0) Accept();
      std::vector<size_t> closed;
      for (size_t i = 0; i < pairs_.size() && !(cut_ && !stall_); ++i) {
        const Pair p = pairs_[i];
        if (fds[2 + 2 * i].revents != 0) {
          if (++requests_ > cut_after_ && (!searches_only_ || IsSearch(p.client))) {
            if (!stall_) {
              Cut();
              break;
            }
            cut_ = true;
            char drop[65536];
            if (::read(p.client, drop, sizeof drop) <= 0) closed.push_back(i);
            continue;
          }
          if (!Pass(p.client, p.server)) closed.push_back(i);
        }
        if (fds[3 + 2 * i].revents != 0 && !Pass(p.server, p.client)) closed.push_back(i);
      }
      for (auto it = closed.rbegin(); it != closed.rend() && !(cut_ && !stall_); ++it) {
        ::close(pairs_[*it].client);
        ::close(pairs_[*it].server);
        pairs_.erase(pairs_.begin() + static_cast<std::ptrdiff_t>(*it));
      }
      if (cut_ && !stall_ && listen_fd_ < 0) {
        // Nothing more to serve; wait for the end.
        pollfd stop = {stop_[0], POLLIN, 0};
        ::poll(&stop, 1, -1);
        return;
      }
    }
  }

  void Accept() {
    int c = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(upstream_port_);
    if (s < 0 || ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(c);
      if (s >= 0) ::close(s);
      return;
    }
    pairs_.push_back({c, s});
  }

  uint16_t upstream_port_;
  int cut_after_;
  bool stall_;
  bool searches_only_;
  int listen_fd_ = -1;
  uint16_t port_ = 0;
  int stop_[2] = {-1, -1};
  std::vector<Pair> pairs_;
  std::atomic<int> requests_{0};
  std::atomic<bool> cut_{false};
  std::thread thread_;
};

}  // namespace testqav::testing
