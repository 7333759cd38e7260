// The mapping lives only while the store loads. The file does not change under it through
// us: the store's lock keeps other runs out, and write-back replaces the file rather than
// rewriting it.

#include "platform/messaging/json/store_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/common/error_codes.h"

namespace testqav::mailbox {
namespace {

Status ReadError(const std::filesystem::path& file, int e) {
  return Status(err::kLogonFailed,
                "cannot read store file " + file.string() + ": " + std::strerror(e));
}

}  // namespace

StoreFileText::~StoreFileText() {
  if (map_ != nullptr) ::munmap(map_, size_);
}

Status StoreFileText::Open(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ReadError(file, errno);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    void* map = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ,
                       MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map != MAP_FAILED) {
      ::close(fd);
      map_ = map;
      size_ = static_cast<size_t>(st.st_size);
      return Status::Ok();
    }
  }
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int e = errno;
      ::close(fd);
      return ReadError(file, e);
    }
    if (n == 0) break;
    copy_.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return Status::Ok();
}

std::string_view StoreFileText::text() const {
  if (map_ != nullptr) return std::string_view(static_cast<const char*>(map_), size_);
  return copy_;
}

}  // namespace testqav::mailbox
