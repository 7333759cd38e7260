// A slapd of a test's own, loaded with an LDIF of its choosing through scripts/start-slapd.sh
// and stopped when the object goes. Tests use it only where the environment runs the slapd
// suites (TESTQAV_SLAPD_URL is set, which means slapd is installed); the shared server holds
// the directory suites' data, not theirs.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/host_folder.h"

namespace testqav::testing {

class OwnSlapd {
 public:
  static bool Wanted() { return std::getenv("TESTQAV_SLAPD_URL") != nullptr; }

  explicit OwnSlapd(const std::filesystem::path& ldif) {
    char pattern[] = "/tmp/testqav-own-slapd-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
      failure_ = "cannot create a data folder";
      return;
    }
    datadir_ = pattern;
    const std::string script = (SourceDir() / "scripts").string();
    const std::string cmd = "bash '" + script + "/start-slapd.sh' " + std::to_string(FreePort()) +
                            " '" + datadir_.string() + "' '" + ldif.string() + "' > '" +
                            (datadir_ / "url").string() + "'";
    if (std::system(cmd.c_str()) != 0) {
      failure_ = "start-slapd.sh failed for " + ldif.string();
      return;
    }
    url_ = ReadFile(datadir_ / "url");
    while (!url_.empty() && (url_.back() == '\n' || url_.back() == ' ')) url_.pop_back();
  }
  ~OwnSlapd() {
    if (datadir_.empty()) return;
    const std::string cmd = "bash '" + (SourceDir() / "scripts").string() + "/stop-slapd.sh' '" +
                            datadir_.string() + "' >/dev/null 2>&1";
    if (std::system(cmd.c_str()) == 0) std::filesystem::remove_all(datadir_);
  }
  OwnSlapd(const OwnSlapd&) = delete;
  OwnSlapd& operator=(const OwnSlapd&) = delete;

  const std::string& failure() const { return failure_; }
  // Where it answers, and how to bind to it as its administrator.
  const std::string& url() const { return url_; }
  std::string BindDn() const { return ReadFile(datadir_ / "binddn"); }
  std::filesystem::path PasswordFile() const { return datadir_ / "password"; }
  // The server's process (slapd runs in the foreground of the one start-slapd.sh launched).
  pid_t pid() const {
    return static_cast<pid_t>(std::stol(ReadFile(datadir_ / "slapd.pid.launcher")));
  }
  uint16_t port() const {
    return static_cast<uint16_t>(std::stoi(url_.substr(url_.rfind(':') + 1)));
  }
  // A directory.conf that reaches this server as its administrator.
  std::string DirectoryConf() const {
    return "url = " + url_ + "\nbind_dn = " + ReadFile(datadir_ / "binddn") +
           "\npassword_file = " + (datadir_ / "password").string() + "\ntimeout = 10\n";
  }

 private:
  // A port that was free a moment ago.
  static int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      port = ntohs(addr.sin_port);
    }
    ::close(fd);
    return port;
  }

  std::filesystem::path datadir_;
  std::string url_;
  std::string failure_;
};

}  // namespace testqav::testing
