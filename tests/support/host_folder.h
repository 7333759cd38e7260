// Builds host folders for whole update runs and runs the driver on them in-process.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/run_driver.h"
#include "harness/run_log.h"
#include "platform/common/variant.h"
#include "platform/messaging/json/json_session.h"
#include "support/files.h"
#include "support/temp_dir.h"
#include "support/test_runtime.h"

namespace testqav::testing {

inline std::filesystem::path SourceDir() {
  const char* dir = std::getenv("TESTQAV_SOURCE_DIR");
  return dir ? std::filesystem::path(dir) : std::filesystem::path(TESTQAV_SOURCE_DIR_FALLBACK);
}

struct RunResult {
  int exit_status = -1;
  // (level marker, message) of every line this run appended: marker is "Error", "Warning"
  // or "" for the other levels.
  std::vector<std::pair<std::string, std::string>> lines;
  std::vector<std::string> notices;
  std::string exit_reason;  // what the program prints on standard error for a non-zero status

  bool Has(const std::string& marker, const std::string& message) const {
    for (const auto& l : lines) {
      if (l.first == marker && l.second == message) return true;
    }
    return false;
  }
  bool HasPrefix(const std::string& marker, const std::string& prefix) const {
    for (const auto& l : lines) {
      if (l.first == marker && l.second.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  int CountContaining(const std::string& part) const {
    int n = 0;
    for (const auto& l : lines) n += l.second.find(part) != std::string::npos ? 1 : 0;
    return n;
  }
  std::string Dump() const {
    std::string out;
    for (const auto& l : lines) out += "[" + l.first + "] " + l.second + "\n";
    return out;
  }
};

class HostFolder {
 public:
  HostFolder() = default;
  const std::filesystem::path& path() const { return dir_.path(); }
  std::filesystem::path ServerDir(const std::string& server = "EXCH01") const {
    return path() / "exchange" / server;
  }
  std::filesystem::path MailboxFile(const std::string& server = "EXCH01",
                                    const std::string& alias = "agent") const {
    return ServerDir(server) / "mailboxes" / (alias + ".json");
  }

  void WriteRegistry(const std::string& server, const std::string& alias) const {
    std::string text = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\velkora\\velkoraAgent]\r\n";
    if (!server.empty()) text += "\"ExServer\"=\"" + server + "\"\r\n";
    if (!alias.empty()) text += "\"ExAlias\"=\"" + alias + "\"\r\n";
    WriteFile(path() / "registry.reg", text);
  }
  void WriteMailbox(const std::string& json, const std::string& server = "EXCH01",
                    const std::string& alias = "agent") const {
    WriteFile(MailboxFile(server, alias), json);
  }
  void CopyFrom(const std::filesystem::path& source) const {
    std::filesystem::copy(source, path(),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
  }

  // Runs the driver once with the given opener for the address book, on `host_in` when
  // given (its folder must be this one), with `observer` listening when given.
  RunResult Run(AddressBookOpener opener = {}, FakeHost* host_in = nullptr,
                RunJob job = RunJob::kUpdate, ProvenanceObserver* observer = nullptr) const {
    RunResult result;
    FakeHost own_host(path().string());
    FakeHost& host = host_in != nullptr ? *host_in : own_host;
    RunLog log(host);
    Runtime rt(log, host);
    rt.provenance = observer;
    std::ostringstream diagnostics;
    std::unique_ptr<Registry> registry =
        LoadRegistryFile((path() / "registry.reg").string(), diagnostics);
    DriverServices services;
    services.registry = registry.get();
    services.create_session = [&]() -> Result<SessionPtr> {
      return CreateJsonSession(path(), diagnostics, opener);
    };
    const size_t before = ReadFile(path() / "TestQAV.log").size();
    result.exit_status = Main(rt, services, job);
    result.exit_reason = rt.ExitReason();
    result.notices = host.notices;
    const std::string prefix = FormatGeneralDate(host.Now()) + ": ";
    std::string text = ReadFile(path() / "TestQAV.log").substr(before);
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find("\r\n", pos);
      std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
      pos = end == std::string::npos ? text.size() : end + 2;
      if (line.rfind(prefix, 0) == 0) {
        std::string rest = line.substr(prefix.size());
        std::string marker;
        if (rest.rfind("[Error] ", 0) == 0) {
          marker = "Error";
          rest = rest.substr(8);
        } else if (rest.rfind("[Warning] ", 0) == 0) {
          marker = "Warning";
          rest = rest.substr(10);
        }
        result.lines.emplace_back(marker, rest);
      } else if (!result.lines.empty()) {
        result.lines.back().second += "\r\n" + line;  // a message with its own line breaks
      }
    }
    diagnostics_ = diagnostics.str();
    return result;
  }
  const std::string& diagnostics() const { return diagnostics_; }

 private:
  TempDir dir_;
  mutable std::string diagnostics_;
};

}  // namespace testqav::testing
