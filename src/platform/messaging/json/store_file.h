// The text of a store file, for the loader. A regular file is mapped rather than read:
// copying a hundred megabytes into fresh memory costs more than parsing them. Anything else
// (an empty file, a pipe) is read into memory.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "platform/common/status.h"

namespace testqav::mailbox {

class StoreFileText {
 public:
  StoreFileText() = default;
  StoreFileText(const StoreFileText&) = delete;
  StoreFileText& operator=(const StoreFileText&) = delete;
  ~StoreFileText();

  // Errors: kLogonFailed "cannot read store file <file>: <system's error text>".
  Status Open(const std::filesystem::path& file);
  // The whole file; valid until this object is destroyed.
  std::string_view text() const;

 private:
  void* map_ = nullptr;
  size_t size_ = 0;
  std::string copy_;
};

}  // namespace testqav::mailbox
