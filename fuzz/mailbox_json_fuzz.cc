// Feeds arbitrary bytes to the mailbox store loader as a store file: it must neither crash
// nor load a store whose canonical text (what a write-back writes) does not load back to the
// same text.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/messaging/json/mailbox_store.h"

namespace {

// A folder of this process's own for the store files, removed when the process ends.
class ScratchFolder {
 public:
  ScratchFolder()
      : dir_(std::filesystem::temp_directory_path() /
             ("mailbox-json-fuzz-" + std::to_string(::getpid()))) {
    std::filesystem::create_directories(dir_);
  }
  ~ScratchFolder() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::filesystem::path operator/(const char* name) const { return dir_ / name; }

 private:
  std::filesystem::path dir_;
};

std::filesystem::path Scratch(const char* name) {
  static const ScratchFolder folder;
  return folder / name;
}

void Write(const std::filesystem::path& p, const char* data, size_t size) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(data, static_cast<std::streamsize>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  namespace mailbox = testqav::mailbox;
  const std::filesystem::path file = Scratch("agent.json");
  Write(file, reinterpret_cast<const char*>(data), size);
  auto store = mailbox::LoadStore(file, false,
                                  "mailbox\x1F"
                                  "agent");
  if (!store.ok()) {
    if (store.status().description().empty()) std::abort();
    return 0;
  }
  const std::string once = mailbox::SerializeStore(**store);
  const std::filesystem::path again_file = Scratch("again.json");
  Write(again_file, once.data(), once.size());
  auto again = mailbox::LoadStore(again_file, false,
                                  "mailbox\x1F"
                                  "agent");
  if (!again.ok() || mailbox::SerializeStore(**again) != once) std::abort();
  return 0;
}
