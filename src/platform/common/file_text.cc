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

Status SystemError(const std::filesystem::path& file, int e) {
  int32_t number = err::kDiskError;
  if (e == ENOENT || e == ENOTDIR) number = err::kNotFound;
  if (e == EACCES || e == EPERM) number = err::kAccessDenied;
  return Status(number, file.string() + ": " + std::strerror(e));
}

const char* KindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a named pipe (FIFO)";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "not a plain file";
}

Status TooLarge(const std::filesystem::path& file, uint64_t size, uint64_t max_bytes) {
  return Status(err::kInvalidArg, file.string() + ": is " + std::to_string(size) +
                                      " bytes, more than the " + std::to_string(max_bytes) +
                                      " this file may have");
}

// Reads what is left of `fd` into `out`, refusing more than `max_bytes` in all.
Status ReadAll(int fd, const std::filesystem::path& file, uint64_t max_bytes, std::string& out) {
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return SystemError(file, errno);
    if (n == 0) return Status::Ok();
    // A file that grows while it is read is held to the same bound.
    if (out.size() + static_cast<size_t>(n) > max_bytes) {
      return TooLarge(file, out.size() + static_cast<size_t>(n), max_bytes);
    }
    out.append(buf, static_cast<size_t>(n));
  }
}

}  // namespace

Result<int> OpenInputFile(const std::filesystem::path& file, uint64_t max_bytes) {
  // O_NONBLOCK: opening a named pipe for reading would otherwise wait for a writer forever.
  int fd;
  do {
    fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return SystemError(file, errno);
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int e = errno;
    ::close(fd);
    return SystemError(file, e);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return Status(err::kInvalidArg,
                  file.string() + ": is " + KindOf(st.st_mode) + ", not a regular file");
  }
  if (static_cast<uint64_t>(st.st_size) > max_bytes) {
    ::close(fd);
    return TooLarge(file, static_cast<uint64_t>(st.st_size), max_bytes);
  }
  // Reads of a regular file never block anyway; leave the descriptor in the usual mode.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

Result<std::string> ReadInputFile(const std::filesystem::path& file, uint64_t max_bytes) {
  Result<int> fd = OpenInputFile(file, max_bytes);
  if (!fd.ok()) return fd.status();
  std::string out;
  Status read = ReadAll(*fd, file, max_bytes, out);
  ::close(*fd);
  if (!read.ok()) return read;
  return out;
}

FileText::~FileText() {
  if (map_ != nullptr) ::munmap(map_, size_);
}

Status FileText::Open(const std::filesystem::path& file, uint64_t max_bytes) {
  Result<int> opened = OpenInputFile(file, max_bytes);
  if (!opened.ok()) return opened.status();
  const int fd = *opened;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) {
    void* map = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ,
                       MAP_PRIVATE | MAP_POPULATE, fd, 0);
    if (map != MAP_FAILED) {
      ::close(fd);
      map_ = map;
      size_ = static_cast<size_t>(st.st_size);
      return Status::Ok();
    }
  }
  Status read = ReadAll(fd, file, max_bytes, copy_);
  ::close(fd);
  return read;
}

std::string_view FileText::text() const {
  if (map_ != nullptr) return std::string_view(static_cast<const char*>(map_), size_);
  return copy_;
}

}  // namespace testqav
