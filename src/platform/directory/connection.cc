#include "platform/directory/connection.h"

#include <string>

#include "platform/common/error_codes.h"
#include "platform/common/text.h"
#include "platform/directory/command.h"

namespace testqav {

Status DirectoryConnection::Open(std::string_view provider,
                                 std::string_view /*connection_string*/) {
  if (directory_) {
    return Status(err::kAdoObjectOpen, "Operation is not allowed when the object is open.");
  }
  if (!EqualsIgnoreCase(provider, kDirectoryProvider)) {
    return Status(
        err::kAdoNoProvider,
        "Provider cannot be found. It may not be properly installed: " + std::string(provider));
  }
  if (!source_) return Status(err::kNoSupport, "directory not available");
  Result<std::shared_ptr<Directory>> directory = source_();
  if (!directory.ok()) return directory.status();
  if (!*directory) return Status(err::kNoSupport, "directory not available");
  // A server that is lost for good stays lost: say so now rather than at the first query.
  if (Status failure = (*directory)->Failure(); !failure.ok()) return failure;
  directory_ = std::move(directory).value();
  return Status::Ok();
}

Result<std::unique_ptr<Recordset>> DirectoryConnection::Execute(std::string_view command_text) {
  if (!directory_) {
    return Status(err::kAdoObjectClosed, "Operation is not allowed when the object is closed.");
  }
  return ExecuteCommand(*directory_, make_recordset_, command_text);
}

}  // namespace testqav
