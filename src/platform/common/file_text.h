// Reading the files a run takes from outside (registry, directory, mailbox, configuration,
// password). Each is opened without blocking and accepted only when it is a regular file (a
// symbolic link to one is followed) of at most a given size, so that a device, a named pipe,
// a folder or a runaway file gets an error naming it instead of a hang or all the memory.
//
// FileText keeps the whole text of a file for a parser that needs it at once. A regular file
// is mapped rather than read: copying a hundred megabytes into fresh memory costs more than
// parsing them, and the pages go back to the system when the object goes.
//
// A mapped file that another program truncates while it is mapped ends the process with
// SIGBUS; the program's own files are replaced by rename, never rewritten in place.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/common/status.h"

namespace testqav {

// Errors of OpenInputFile, ReadInputFile and FileText::Open. The description names the file
// and the fault ("<path>: is a named pipe (FIFO), not a regular file", "<path>: is 70000
// bytes, more than the 65536 this file may have", or the system's error text).
//   err::kNotFound      the file does not exist (or a folder on its path does not)
//   err::kAccessDenied  permission denied
//   err::kInvalidArg    not a regular file, or larger than allowed
//   err::kDiskError     any other system error while opening or reading
//
// Opens `file` for reading; the descriptor (close-on-exec) is the caller's to close.
Result<int> OpenInputFile(const std::filesystem::path& file, uint64_t max_bytes);
// The whole content of a small file.
Result<std::string> ReadInputFile(const std::filesystem::path& file, uint64_t max_bytes);

class FileText {
 public:
  FileText() = default;
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;
  ~FileText();

  Status Open(const std::filesystem::path& file, uint64_t max_bytes);
  // The whole file; valid until this object is destroyed.
  std::string_view text() const;

 private:
  void* map_ = nullptr;
  size_t size_ = 0;
  std::string copy_;
};

}  // namespace testqav
