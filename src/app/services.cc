#include "app/services.h"

#include <filesystem>
#include <ostream>

#include "harness/get_reg_value.h"
#include "harness/run_driver.h"
#include "platform/messaging/json/json_session.h"

namespace testqav {

std::unique_ptr<Registry> LoadHostRegistry(const std::string& host_dir,
                                           std::ostream& diagnostics) {
  return LoadRegistryFile(host_dir + "/registry.reg", diagnostics);
}

Result<SessionPtr> CreateHostSession(const std::string& host_dir, std::ostream& diagnostics) {
  return CreateJsonSession(host_dir, diagnostics);
}

namespace {

// The server folder named by the registry's "ExServer", or an error text.
std::string ServerFolder(const std::string& host_dir, std::ostream& err) {
  std::unique_ptr<Registry> registry = LoadHostRegistry(host_dir, err);
  std::string server =
      GetRegValue(*registry, kHkeyLocalMachine, kAgentRegistryKey, "ExServer").ToText();
  if (server.empty()) {
    err << "testqav: registry.reg in " << host_dir << " names no server (\"ExServer\")\n";
    return {};
  }
  return host_dir + "/exchange/" + server;
}

}  // namespace

int RunSearchCommand(const std::string& host_dir, const std::string& command_text,
                     std::ostream& /*out*/, std::ostream& err) {
  if (ServerFolder(host_dir, err).empty()) return kExitMissingServer;
  err << "testqav: search " << command_text << ": the directory is not available in this version\n";
  return 1;
}

int RunResolveCommand(const std::string& host_dir, const std::string& name, std::ostream& /*out*/,
                      std::ostream& err) {
  if (ServerFolder(host_dir, err).empty()) return kExitMissingServer;
  err << "testqav: resolve " << name << ": the address book is not available in this version\n";
  return 1;
}

}  // namespace testqav
