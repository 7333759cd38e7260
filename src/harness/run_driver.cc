#include "harness/run_driver.h"
#include "platform/common/error_codes.h"

#include <string>

#include "engine/qav.h"
#include "harness/agent_folders.h"
#include "harness/get_reg_value.h"

namespace testqav {

int Main(Runtime& rt, const DriverServices& services) {
  rt.WriteLog(std::string(40, '*'), kLogInfo);
  rt.g.ExServer =
      GetRegValue(*services.registry, kHkeyLocalMachine, kAgentRegistryKey, "ExServer").ToText();
  rt.g.ExAlias =
      GetRegValue(*services.registry, kHkeyLocalMachine, kAgentRegistryKey, "ExAlias").ToText();
  if (rt.g.ExServer.empty()) {
    rt.WriteLog("missing Server Name", kLogError);
    return kExitMissingServer;
  }
  if (rt.g.ExAlias.empty()) {
    rt.WriteLog("missing Alias", kLogError);
    return kExitMissingAlias;
  }
  auto session = services.create_session
                     ? services.create_session()
                     : Result<SessionPtr>(Status(err::kNotImplemented, "no messaging library"));
  if (!session.ok() || !*session) {
    rt.WriteLog("error instantiating MAPI session " + session.status().description(), kLogError);
    return kExitNoSession;
  }
  rt.g.MapiSession = *session;
  rt.WriteLog("logging on using " + rt.g.ExServer + "\\" + rt.g.ExAlias, kLogInfo);
  Status logon = rt.g.MapiSession->Logon(rt.g.ExServer + "\n" + rt.g.ExAlias);
  if (!logon.ok() && services.on_logon_failed) services.on_logon_failed(logon);
  GetAgentFolders(rt);
  GetAgentSettings(rt);
  {
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
  rt.WriteLog("complete", kLogInfo);
  // The log is whole on disk while the notice waits for the user.
  rt.FlushLog();
  rt.host().ShowNotice("Complete", "TestQAV");
  rt.g.MapiSession->Logoff().IgnoreError();
  // Folder and message objects of the session must not outlive it.
  rt.g.AgentInfoFolder.reset();
  rt.g.UserInfoFolder.reset();
  if (!logon.ok()) return kExitLogonFailed;
  if (rt.output_failed) return kExitOutputFailed;
  return kExitCompleted;
}

}  // namespace testqav
