#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>

#include "platform/unique_fd.h"

namespace platform {
namespace {

int WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

std::string DirectoryOf(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

int OpenPrivate(const std::string& path, int flags) {
  return ::open(path.c_str(), flags | O_CLOEXEC, static_cast<mode_t>(kPrivateFileMode));
}

int SyncDirectoryOf(const std::string& path) {
  CUniqueFd dir(::open(DirectoryOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) return -1;
  return ::fsync(dir.get()) == 0 ? 0 : -1;
}

int ReadWholeFile(const std::string& path, std::string* out) {
  out->clear();
  CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return 0;
    out->append(buf, static_cast<size_t>(n));
  }
}

int WriteFileAtomic(const std::string& path, std::string_view data, bool sync) {
  std::string tmp = path + ".tmp~" + std::to_string(::getpid());
  int result = -1;
  {
    CUniqueFd fd(OpenPrivate(tmp, O_WRONLY | O_CREAT | O_TRUNC));
    if (!fd) return -1;
    // The replaced file's mode for its owner and group (scripts stay executable, a group that
    // reads the file still does), but nothing for others: a rewrite closes an old open file.
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) ::fchmod(fd.get(), st.st_mode & 07770);
    if (WriteAll(fd.get(), data) == 0 && (!sync || ::fsync(fd.get()) == 0)) result = 0;
  }
  if (result == 0 && ::rename(tmp.c_str(), path.c_str()) == 0) {
    if (sync) SyncDirectoryOf(path);
    return 0;
  }
  ::unlink(tmp.c_str());
  return -1;
}

int AppendToFile(const std::string& path, std::string_view data) {
  CUniqueFd fd(OpenPrivate(path, O_WRONLY | O_CREAT | O_APPEND));
  if (!fd) return -1;
  return WriteAll(fd.get(), data);
}

int AppendToExistingFile(const std::string& path, std::string_view data) {
  CUniqueFd fd(OpenPrivate(path, O_WRONLY | O_APPEND));
  if (!fd) return 1;
  return WriteAll(fd.get(), data);
}

int TruncateFile(const std::string& path) {
  CUniqueFd fd(OpenPrivate(path, O_WRONLY | O_CREAT | O_TRUNC));
  return fd ? 0 : -1;
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int MakeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), static_cast<mode_t>(kPrivateDirectoryMode)) == 0) return 0;
  return (errno == EEXIST && DirectoryExists(path)) ? 0 : -1;
}

int RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return 0;
  return -1;
}

int RenameFile(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : -1;
}

int ChangeDirectory(const std::string& path) { return ::chdir(path.c_str()) == 0 ? 0 : -1; }

std::string CurrentDirectory() {
  char buf[PATH_MAX];
  if (::getcwd(buf, sizeof buf) == nullptr) return std::string();
  return buf;
}

int MakeExecutable(const std::string& path) { return ::chmod(path.c_str(), 0755) == 0 ? 0 : -1; }

}  // namespace platform

namespace platform {
int LinkFile(const std::string& existing, const std::string& newName) {
  return ::link(existing.c_str(), newName.c_str()) == 0 ? 0 : -1;
}
}  // namespace platform

namespace platform {
int MakeDirectoryTree(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (MakeDirectory(path.substr(0, slash)) != 0) return -1;
  }
  return MakeDirectory(path);
}
}  // namespace platform

namespace platform {
int SyncFileSystem(const std::string& path) {
  CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  return ::syncfs(fd.get()) == 0 ? 0 : -1;
}
}  // namespace platform

namespace platform {
void WalkEntries(const std::string& path, bool recursive,
                 const std::function<void(const std::string&, unsigned)>& visit) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  visit(path, st.st_mode);
  if (!recursive || !S_ISDIR(st.st_mode)) return;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(path.c_str()), ::closedir);
  if (!dir) return;
  while (dirent* e = ::readdir(dir.get())) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    WalkEntries(path + "/" + name, true, visit);
  }
}

int ChangeMode(const std::string& path, unsigned mode) {
  return ::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) == 0 ? 0 : -1;
}
}  // namespace platform

namespace platform {
int EnsurePrivateDirectory(const std::string& path) {
  if (path.empty()) return -1;
  if (::mkdir(path.c_str(), static_cast<mode_t>(kPrivateDirectoryMode)) != 0 && errno != EEXIST) {
    return -1;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) return -1;
  return 0;
}
}  // namespace platform

namespace platform {
unsigned EffectiveUserId() { return static_cast<unsigned>(::geteuid()); }
}  // namespace platform
