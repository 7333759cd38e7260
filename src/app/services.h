// The platform services of a host folder, chosen in one place: the registry file, the
// messaging session over the mailbox store, the address book over the directory.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>

#include "platform/messaging/messaging.h"
#include "platform/registry/registry.h"

namespace testqav {

std::unique_ptr<Registry> LoadHostRegistry(const std::string& host_dir, std::ostream& diagnostics);
// With `discard_write_backs` the session changes nothing on disk (a dry run).
Result<SessionPtr> CreateHostSession(const std::string& host_dir, std::ostream& diagnostics,
                                     bool discard_write_backs = false);
// The diagnostic commands; they find the directory through the registry's "ExServer".
int RunSearchCommand(const std::string& host_dir, const std::string& command_text,
                     std::ostream& out, std::ostream& err);
int RunResolveCommand(const std::string& host_dir, const std::string& name, std::ostream& out,
                      std::ostream& err);

}  // namespace testqav
