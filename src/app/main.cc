// testqav: one update run of the QAV contact data-set engine on a host folder.
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/explain.h"
#include "app/heap_reserve.h"
#include "app/report.h"
#include "app/run_driver.h"
#include "app/services.h"
#include "app/stop_guard.h"
#include "harness/run_log.h"
#include "platform/directory/ldap/ldap_directory.h"
#include "platform/host/linux_host.h"

namespace {

constexpr const char* kVersion = "0.1.0";

}  // namespace

int main(int argc, char** argv) {
  using namespace testqav;
  std::setlocale(LC_ALL, "");
  std::vector<std::string> args(argv + 1, argv + argc);
  CommandLine cl = ParseCommandLine(args);
  if (!cl.error.empty()) {
    std::cerr << "testqav: " << cl.error << "\n\n" << UsageText();
    return kExitUsage;
  }
  if (cl.command == CommandLine::Command::kHelp) {
    std::cout << UsageText();
    return 0;
  }
  if (cl.command == CommandLine::Command::kVersion) {
    std::cout << "testqav " << kVersion << "\n";
    return 0;
  }
  std::string host_dir = cl.host_dir ? *cl.host_dir : ExecutableFolder();
  std::error_code ec;
  if (!std::filesystem::is_directory(host_dir, ec)) {
    std::cerr << "testqav: host folder " << host_dir << " does not exist\n";
    return kExitUsage;
  }
  if (cl.command == CommandLine::Command::kSearch) {
    return RunSearchCommand(host_dir, cl.argument, std::cout, std::cerr);
  }
  if (cl.command == CommandLine::Command::kResolve) {
    return RunResolveCommand(host_dir, cl.argument, std::cout, std::cerr);
  }

  // The one choice of record sets for everything the run makes: its data sets and the
  // results of its directory queries.
  const RecordsetFactory recordsets =
      cl.reference_recordsets ? RecordsetFactory(CreateReferenceRecordset) : CreateRecordset;

  InstallStopSignalHandlers().IgnoreError();
  if (cl.command == CommandLine::Command::kExplain) {
    LinuxHostOptions options;
    options.program_folder = host_dir;
    options.progress_enabled = isatty(STDERR_FILENO) != 0;
    LinuxHost host(options);
    std::unique_ptr<Registry> registry = LoadHostRegistry(host_dir, std::cerr);
    DriverServices services;
    services.registry = registry.get();
    services.create_session = [&]() { return CreateHostSession(host_dir, std::cerr, true); };
    services.make_recordset = recordsets;
    ProvenanceRecorder recorder;
    const DryRunResult run = DryRunUpdate(host, services, &recorder);
    int status = run.exit_status;
    if (status != kExitCompleted) {
      std::cerr << "testqav: " << run.exit_reason << "\n";
    } else {
      status = WriteExplanation(cl.argument, recorder, run, cl.json, std::cout);
      if (status == kExitNothingMatched) {
        std::cerr << "testqav: nothing in the run matches \"" << cl.argument << "\"\n";
      }
    }
    std::cout.flush();
    std::cerr.flush();
    std::_Exit(status);
  }
  LinuxHostOptions options;
  options.program_folder = host_dir;
  options.wait_for_enter = !cl.no_wait && isatty(STDIN_FILENO) != 0;
  options.progress_enabled = isatty(STDERR_FILENO) != 0;
  LinuxHost host(options);
  RunLog log(host);
  Runtime rt(log, host);
  // The report's recorder only listens: the run is the same with and without it.
  ProvenanceRecorder report_recorder;
  if (!cl.report.empty()) rt.provenance = &report_recorder;
  std::unique_ptr<Registry> registry = LoadHostRegistry(host_dir, std::cerr);
  DriverServices services;
  services.registry = registry.get();
  services.create_session = [&]() { return CreateHostSession(host_dir, std::cerr); };
  services.make_recordset = recordsets;
  auto finish = [&](int status) {
    // Standard error carries the reason: the log may be on the full disk, or be what failed.
    if (status != kExitCompleted) std::cerr << "testqav: " << rt.ExitReason() << "\n";
    if (const uint64_t lost = log.LostLines(); lost > 0) {
      std::cerr << "testqav: " << lost << " line(s) could not be written to the run log ("
                << log.FirstLoss() << ")\n";
      if (status == kExitCompleted) status = kExitLogLost;
    }
    // For benchmarks: where the time of the run went, phase by phase.
    if (const char* want = std::getenv("TESTQAV_PHASE_TIMES");
        want != nullptr && std::string(want) == "1") {
      for (const Runtime::PhaseTime& p : rt.PhaseTimes()) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.3f", p.seconds);
        std::cerr << "testqav: phase " << seconds << " s " << p.phase << "\n";
      }
      for (const Runtime::QueryListTime& q : rt.QueryListTimes()) {
        char line[96];
        std::snprintf(line, sizeof line, "%.3f s %lld rows %.3f s queries", q.seconds,
                      static_cast<long long>(q.rows), q.query_seconds);
        std::cerr << "testqav: query-based list " << line << " " << q.address << "\n";
      }
      std::cerr << "testqav: directory server requests " << LdapRequestsSentByProcess() << "\n";
      if (std::optional<HeapReserveUse> heap = HeapReserveInUse()) {
        std::cerr << "testqav: heap " << (heap->handed_out >> 20) << " MiB handed out, "
                  << (heap->faulted_in >> 20) << " MiB faulted in ahead\n";
      }
    }
    std::cout.flush();
    std::cerr.flush();
    // Everything a run writes is on disk when Main returns (dumps renamed into place, store
    // write-backs done, every log line written). Freeing the directory and the mailbox of a
    // large organisation object by object would merely delay the exit.
    std::_Exit(status);
  };
  // A stopped run that is blocked (a directory server that no longer answers) is ended from
  // here two seconds after the signal, with the same log line and status as one that
  // stopped by itself.
  StopGuard guard(StopSignalFd(), std::chrono::seconds(2), [&] {
    std::lock_guard<std::mutex> lock(rt.FinishMutex());
    const int status = EndStoppedRunLocked(rt);
    if (status >= 0) finish(status);
  });
  int status = Main(rt, services,
                    cl.command == CommandLine::Command::kMerge ? RunJob::kMerge : RunJob::kUpdate);
  if (!cl.report.empty()) {
    if (status != kExitCompleted) {
      std::cerr << "testqav: the run did not complete; no report written\n";
    } else {
      std::map<std::string, std::string> dumps;
      for (const char* name : {"QAV-1.csv", "QAV-GAL.csv", "SourceMCL-1.csv"}) {
        std::ifstream in(host_dir + "/" + name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        dumps[name] = text.str();
      }
      if (Status written = WriteReport(cl.report, report_recorder, dumps); !written.ok()) {
        rt.SetExitReason(written.description());
        status = kExitOutputFailed;
      }
    }
  }
  finish(status);
}
