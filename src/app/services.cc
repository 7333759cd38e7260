#include "app/services.h"

#include <filesystem>
#include <ostream>

#include "app/diag_resolve.h"
#include "app/diag_search.h"
#include "app/run_driver.h"
#include "harness/get_reg_value.h"
#include "platform/addressbook/address_book.h"
#include "platform/messaging/json/json_session.h"

namespace testqav {

std::unique_ptr<Registry> LoadHostRegistry(const std::string& host_dir, std::ostream& diagnostics) {
  return LoadRegistryFile(host_dir + "/registry.reg", diagnostics);
}

Result<SessionPtr> CreateHostSession(const std::string& host_dir, std::ostream& diagnostics,
                                     bool discard_write_backs) {
  // The address book is a view of the server's directory (directory.ldif or directory.conf).
  AddressBookOpener opener = [](const std::filesystem::path& server_dir, std::ostream& diag) {
    return OpenAddressBook(server_dir, diag);
  };
  JsonSessionOptions options;
  options.discard_write_backs = discard_write_backs;
  return CreateJsonSession(host_dir, diagnostics, opener, options);
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
                     std::ostream& out, std::ostream& err) {
  std::string server_dir = ServerFolder(host_dir, err);
  if (server_dir.empty()) return kExitMissingServer;
  return RunSearch(server_dir, command_text, out, err);
}

int RunResolveCommand(const std::string& host_dir, const std::string& name, std::ostream& out,
                      std::ostream& err) {
  std::string server_dir = ServerFolder(host_dir, err);
  if (server_dir.empty()) return kExitMissingServer;
  return RunResolve(server_dir, name, out, err);
}

}  // namespace testqav
