#include "platform/common/file_text.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/common/error_codes.h"

namespace testqav {
namespace {

Status ReadError(int e) { return Status(err::kNotFound, std::strerror(e)); }

}  // namespace

FileText::~FileText() {
  if (map_ != nullptr) ::munmap(map_, size_);
}

Status FileText::Open(const std::filesystem::path& file) {
  int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return ReadError(errno);
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
      return ReadError(e);
    }
    if (n == 0) break;
    copy_.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return Status::Ok();
}

std::string_view FileText::text() const {
  if (map_ != nullptr) return std::string_view(static_cast<const char*>(map_), size_);
  return copy_;
}

}  // namespace testqav
