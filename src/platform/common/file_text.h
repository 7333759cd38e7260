// The whole text of a file, for a parser that needs it at once. A regular file is mapped
// rather than read: copying a hundred megabytes into fresh memory costs more than parsing
// them, and the pages go back to the system when the object goes. Anything else (an empty
// file, a pipe) is read into memory.
//
// A mapped file that another program truncates while it is mapped ends the process with
// SIGBUS; the program's own files are replaced by rename, never rewritten in place.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/common/status.h"

namespace testqav {

class FileText {
 public:
  FileText() = default;
  FileText(const FileText&) = delete;
  FileText& operator=(const FileText&) = delete;
  ~FileText();

  // Errors: err::kNotFound with the system's error text as description.
  Status Open(const std::filesystem::path& file);
  // The whole file; valid until this object is destroyed.
  std::string_view text() const;

 private:
  void* map_ = nullptr;
  size_t size_ = 0;
  std::string copy_;
};

}  // namespace testqav
