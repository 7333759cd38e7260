#include "app/run_driver.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/qav.h"
#include "harness/agent_folders.h"
#include "harness/get_reg_value.h"
#include "platform/common/error_codes.h"

namespace testqav {

namespace {

constexpr const char* kEarlierDumpsKept = "no dumps written, those of earlier runs left in place";

void DiscardStagedOutputs(Runtime& rt) {
  for (const Runtime::StagedOutput& s : rt.TakeStagedOutputs()) std::remove(s.temp_path.c_str());
}

// The line and exit reason of a run that ended early, from what the runtime recorded; once.
void ReportEarlyEnd(Runtime& rt) {
  if (!rt.ClaimEndReport()) return;
  const RunPosition where = rt.EndPosition();
  if (rt.End() == RunEnd::kStopped) {
    const std::string text = "run stopped on request during " + DescribePosition(where);
    rt.WriteLog(text + "; " + kEarlierDumpsKept, kLogWarning);
    rt.SetExitReason(text + "; " + kEarlierDumpsKept);
  } else if (rt.End() == RunEnd::kDirectoryFailed) {
    const Status why = rt.EndStatus();
    rt.WriteLog("directory not available: " + std::to_string(why.number()) + " " +
                    why.description() + "; run ended during " + DescribePosition(where) + ", " +
                    kEarlierDumpsKept,
                kLogError);
    rt.SetExitReason("directory not available: " + why.description() + "; " + kEarlierDumpsKept);
  }
}

// Decides how the run ends and puts its outputs in place when it completed. A run that was
// stopped, or lost its directory, keeps the previous outputs as they were; so does one in
// which an output could not be written.
RunEnd FinishRun(Runtime& rt) {
  // A directory still being opened is waited for here, outside the lock: a stop meanwhile
  // must still be able to end the run.
  if (!rt.StopRequested() && rt.g.MapiSession) {
    Status book = rt.g.MapiSession->AddressBookStatus(true);
    if (!book.ok()) rt.EndRun(RunEnd::kDirectoryFailed, std::move(book));
  }
  std::lock_guard<std::mutex> lock(rt.FinishMutex());
  rt.StopRequested();  // a stop that came in after the last item still counts
  if (!rt.MarkFinishing()) {
    DiscardStagedOutputs(rt);
    return rt.End();
  }
  std::vector<Runtime::StagedOutput> staged = rt.TakeStagedOutputs();
  // A folder where a dump belongs would refuse only that one rename, after others went
  // through; it is found before any is made.
  for (const Runtime::StagedOutput& s : staged) {
    struct stat st {};
    if (::stat(s.final_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      rt.WriteLog("unable to put " + s.final_path + " in place: a folder is in the way", kLogError);
      rt.NoteOutputFailed("unable to put " + s.final_path + " in place: a folder is in the way");
      rt.NoteStagingFailed();
    }
  }
  if (rt.StagingFailed()) {
    for (const Runtime::StagedOutput& s : staged) std::remove(s.temp_path.c_str());
    rt.WriteLog("the dumps of this run were not put in place, those of earlier runs are kept",
                kLogError);
    return RunEnd::kNone;
  }
  for (const Runtime::StagedOutput& s : staged) {
    if (std::rename(s.temp_path.c_str(), s.final_path.c_str()) != 0) {
      const std::string why = std::strerror(errno);
      std::remove(s.temp_path.c_str());
      rt.WriteLog("unable to put " + s.final_path + " in place: " + why, kLogError);
      rt.NoteOutputFailed("unable to put " + s.final_path + " in place: " + why);
    }
  }
  return RunEnd::kNone;
}

}  // namespace

std::string DescribePosition(const RunPosition& position) {
  std::string text = position.phase.empty() ? std::string("start") : position.phase;
  if (position.done >= 0) {
    text += " after " + std::to_string(position.done);
    if (position.total >= 0) text += " of " + std::to_string(position.total);
  }
  return text;
}

int EndStoppedRunLocked(Runtime& rt) {
  if (rt.Finishing()) return -1;
  rt.EndRun(RunEnd::kStopped, Status::Ok());
  DiscardStagedOutputs(rt);
  ReportEarlyEnd(rt);
  return rt.End() == RunEnd::kDirectoryFailed ? kExitDirectoryFailed : kExitStopped;
}

int Main(Runtime& rt, const DriverServices& services, RunJob job) {
  if (services.make_recordset) rt.make_recordset = services.make_recordset;
  rt.SetPhase("settings");
  rt.WriteLog(std::string(40, '*'), kLogInfo);
  rt.g.ExServer =
      GetRegValue(*services.registry, kHkeyLocalMachine, kAgentRegistryKey, "ExServer").ToText();
  rt.g.ExAlias =
      GetRegValue(*services.registry, kHkeyLocalMachine, kAgentRegistryKey, "ExAlias").ToText();
  const std::string key = std::string("HKEY_LOCAL_MACHINE\\") + kAgentRegistryKey;
  if (rt.g.ExServer.empty()) {
    rt.WriteLog("missing Server Name", kLogError);
    rt.SetExitReason("the registry names no server: no \"ExServer\" value under " + key);
    return kExitMissingServer;
  }
  if (rt.g.ExAlias.empty()) {
    rt.WriteLog("missing Alias", kLogError);
    rt.SetExitReason("the registry names no mailbox: no \"ExAlias\" value under " + key);
    return kExitMissingAlias;
  }
  auto session = services.create_session
                     ? services.create_session()
                     : Result<SessionPtr>(Status(err::kNotImplemented, "no messaging library"));
  if (!session.ok() || !*session) {
    rt.WriteLog("error instantiating MAPI session " + session.status().description(), kLogError);
    rt.SetExitReason("cannot create the messaging session: " + session.status().description());
    return kExitNoSession;
  }
  rt.g.MapiSession = *session;
  rt.SetPhase("logon");
  rt.WriteLog("logging on using " + rt.g.ExServer + "\\" + rt.g.ExAlias, kLogInfo);
  Status logon = rt.g.MapiSession->Logon(rt.g.ExServer + "\n" + rt.g.ExAlias);
  if (!logon.ok() && services.on_logon_failed) services.on_logon_failed(logon);
  rt.SetPhase("agent folders");
  GetAgentFolders(rt);
  GetAgentSettings(rt);
  bool merge_failed = false;
  if (job == RunJob::kMerge) {
    rt.SetPhase("registration folder lookup");
    QAV engine(rt);
    rt.SetPhase("merge");
    merge_failed = !engine.MergeACF();
    if (!merge_failed && !rt.StopRequested()) engine.DumpMerge("Merge-1");
  } else {
    rt.SetPhase("registration folder lookup");
    QAV engine(rt);
    bool include_gal = true;
    bool include_mcl = true;
    int16_t i16 = 0, p4 = 0, p5 = 0, p6 = 0, mobile_mode = 0, p9 = 0, p10 = 0, p12 = 0, p13 = 0,
            p14 = 0, p15 = 0, p17 = 0, p18 = 0, p19 = 0, p20 = 0, p21 = 0, p23 = 0;
    int32_t p7 = 0, p11 = 0, p16 = 0, p24 = 0;
    std::string p22;
    engine.UpdateClients(include_gal, include_mcl, i16, p4, p5, p6, p7, mobile_mode, p9, p10, p11,
                         p12, p13, p14, p15, p16, p17, p18, p19, p20, p21, p22, p23, p24);
  }
  const RunEnd end = FinishRun(rt);
  if (end == RunEnd::kNone) {
    rt.WriteLog("complete", kLogInfo);
    rt.SetPhase("notice");
    rt.host().ShowNotice("Complete", "TestQAV");
  } else {
    std::lock_guard<std::mutex> lock(rt.FinishMutex());
    ReportEarlyEnd(rt);
  }
  rt.SetPhase("logoff");
  rt.g.MapiSession->Logoff().IgnoreError();
  // Folder and message objects of the session must not outlive it.
  rt.g.AgentInfoFolder.reset();
  rt.g.UserInfoFolder.reset();
  if (!logon.ok()) {
    rt.SetExitReason("logon failed: " + logon.description());
    return kExitLogonFailed;
  }
  if (end == RunEnd::kDirectoryFailed) return kExitDirectoryFailed;
  if (end == RunEnd::kStopped) return kExitStopped;
  if (rt.RegistrationFolderMissing()) {
    rt.SetExitReason(
        "the registration folder could not be located (see TestQAV.log); no dumps were "
        "written, any QAV-1.csv, QAV-GAL.csv or SourceMCL-1.csv present is from an earlier "
        "run");
    return kExitNoRegistrationFolder;
  }
  if (merge_failed) {
    rt.SetExitReason(
        "the contact repository merge did not complete (see TestQAV.log); Merge-1.csv was not "
        "written");
    return kExitMergeFailed;
  }
  if (rt.OutputFailed()) {
    rt.SetExitReason(rt.OutputFailure());
    return kExitOutputFailed;
  }
  return kExitCompleted;
}

}  // namespace testqav
