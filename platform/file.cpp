#include "platform/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fs.h"

namespace platform {

int CFile::Open(const std::string& path, FileMode mode) {
  int flags = 0;
  switch (mode) {
    case FileMode::kRead: flags |= O_RDONLY; break;
    case FileMode::kWrite: flags |= O_WRONLY | O_CREAT | O_TRUNC; break;
    case FileMode::kAppend: flags |= O_WRONLY | O_CREAT | O_APPEND; break;
    case FileMode::kUpdate: flags |= O_RDWR; break;
    case FileMode::kReadWrite: flags |= O_RDWR | O_CREAT; break;
    case FileMode::kCreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
  }
  fd_.Reset(OpenPrivate(path, flags));
  return fd_ ? 0 : -1;
}

long CFile::Read(char* buf, size_t size) {
  for (;;) {
    ssize_t n = ::read(fd_.get(), buf, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EINTR) return -1;
  }
}

int CFile::Write(std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd_.get(), data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

int CFile::WriteAt(int64_t offset, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::pwrite(fd_.get(), data.data(), data.size(), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    data.remove_prefix(static_cast<size_t>(n));
    offset += n;
  }
  return 0;
}

int CFile::Truncate(int64_t size) { return ::ftruncate(fd_.get(), size) == 0 ? 0 : -1; }
int CFile::Rewind() { return ::lseek(fd_.get(), 0, SEEK_SET) == 0 ? 0 : -1; }
int CFile::Sync() { return ::fsync(fd_.get()) == 0 ? 0 : -1; }

}  // namespace platform
