#include "app/dry_run.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

#include "core/runtime.h"

namespace testqav {

namespace {

// Drops every line: a dry run must not append to the run log it explains.
class DiscardingLog : public LogWriter {
 public:
  void WriteLog(const std::string& /*message*/, int32_t /*level*/) override {}
};

// The caller's host with another folder and no notice, so that the dumps (which the engine
// writes beside the host folder's run log) land where nobody reads them but the dry run.
class ScratchHost : public Host {
 public:
  ScratchHost(Host& inner, std::string folder) : inner_(inner), folder_(std::move(folder)) {}
  const std::string& ProgramFolder() const override { return folder_; }
  double Now() const override { return inner_.Now(); }
  void ShowNotice(std::string_view /*text*/, std::string_view /*caption*/) override {}
  void DoEvents() override { inner_.DoEvents(); }
  void SetProgress(std::string_view phase, int64_t done, int64_t total) override {
    inner_.SetProgress(phase, done, total);
  }
  void EndProgress() override { inner_.EndProgress(); }
  bool StopRequested() const override { return inner_.StopRequested(); }

 private:
  Host& inner_;
  std::string folder_;
};

std::string ReadWhole(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

DryRunResult DryRunUpdate(Host& host, const DriverServices& services,
                          ProvenanceObserver* observer) {
  DryRunResult result;
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = "/tmp";
  std::string pattern = (base / "testqav-dry-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    result.exit_status = kExitOutputFailed;
    result.exit_reason = "cannot create a scratch folder in " + base.string();
    return result;
  }
  const std::filesystem::path scratch = pattern;
  {
    ScratchHost scratch_host(host, scratch.string());
    DiscardingLog log;
    Runtime rt(log, scratch_host);
    rt.provenance = observer;
    result.exit_status = Main(rt, services, RunJob::kUpdate);
    result.exit_reason = rt.ExitReason();
  }
  for (const char* name : {"QAV-1.csv", "QAV-GAL.csv", "SourceMCL-1.csv"}) {
    if (std::filesystem::is_regular_file(scratch / name, ec)) {
      result.dumps[name] = ReadWhole(scratch / name);
    }
  }
  std::filesystem::remove_all(scratch, ec);
  return result;
}

}  // namespace testqav
