// The directory provider's connection, as the engine's directory queries use it: opened
// with the provider "ADsDSOObject" on the organisation's directory, it runs command texts
// ("<GC://base>;filter;attributes;scope", command.h) into record sets. A connection holds
// the directory only while it is open; the directory itself is shared with the address book,
// so opening one costs nothing and every query sees the organisation the address book sees.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/common/status.h"
#include "platform/directory/directory.h"
#include "platform/recordset/recordset.h"

namespace testqav {

inline constexpr std::string_view kDirectoryProvider = "ADsDSOObject";

class DirectoryConnection {
 public:
  // Where an opened connection finds the directory.
  using Source = std::function<Result<std::shared_ptr<Directory>>()>;
  // `make_recordset` makes the record sets that Execute returns.
  DirectoryConnection(Source source, RecordsetFactory make_recordset)
      : source_(std::move(source)), make_recordset_(std::move(make_recordset)) {}

  // Opens the connection. `provider` must be "ADsDSOObject" (any letter case), else
  // err::kAdoNoProvider; the connection string only names the data source. Errors of
  // the source (no directory, or one whose server is lost) are returned as they are;
  // err::kAdoObjectOpen when already open.
  Status Open(std::string_view provider, std::string_view connection_string);
  // Closes an open connection; closing a closed one does nothing.
  void Close() { directory_.reset(); }
  int32_t State() const { return directory_ ? kStateOpen : kStateClosed; }
  // Runs a command text (ExecuteCommand). err::kAdoObjectClosed when the connection is not
  // open.
  Result<std::unique_ptr<Recordset>> Execute(std::string_view command_text);

 private:
  Source source_;
  RecordsetFactory make_recordset_;
  std::shared_ptr<Directory> directory_;
};

}  // namespace testqav
