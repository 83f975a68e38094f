#include "platform/lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

#include "platform/fs.h"

namespace platform {
namespace {

bool SameFile(int fd, const std::string& path) {
  struct stat held, named;
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
         held.st_ino == named.st_ino && held.st_dev == named.st_dev;
}

}  // namespace

CRemovedOnRelease& CRemovedOnRelease::operator=(CRemovedOnRelease&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::move(other.path_);
    fd_ = std::move(other.fd_);
  }
  return *this;
}

void CRemovedOnRelease::Take(const std::string& path, CUniqueFd fd) {
  Release();
  path_ = path;
  fd_ = std::move(fd);
}

void CRemovedOnRelease::Release() {
  if (!fd_) return;
  // Removed while still open (and, for a lock, still locked), so nobody locks a removed file.
  ::unlink(path_.c_str());
  fd_.Reset();
  path_.clear();
}

LockAttempt CLockFile::TryAcquire(const std::string& path) {
  Release();
  // A releasing holder removes the file after we opened it: then our lock is on a dead inode,
  // so check that the name still points at what we locked, and try again if not.
  for (int round = 0; round < 3; ++round) {
    CUniqueFd fd(OpenPrivate(path, O_RDWR | O_CREAT));
    if (!fd) return errno == ENOENT ? LockAttempt::kNoDirectory : LockAttempt::kBusy;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return LockAttempt::kBusy;
    if (SameFile(fd.get(), path)) {
      Take(path, std::move(fd));
      return LockAttempt::kHeld;
    }
  }
  return LockAttempt::kBusy;
}

namespace {

// A locked file under a hidden name beside `path` (removed by the caller).
CUniqueFd MakeLockedHidden(const std::string& path, std::string* hidden) {
  std::string dir = path.substr(0, path.rfind('/') + 1);
  static std::atomic<unsigned long> made{0};
  *hidden = dir + ".~" + path.substr(dir.size()) + "." + std::to_string(::getpid()) + "." +
            std::to_string(made.fetch_add(1));
  CUniqueFd fd(OpenPrivate(*hidden, O_RDWR | O_CREAT | O_EXCL));
  if (fd && ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    ::unlink(hidden->c_str());
    fd.Reset();
  }
  return fd;
}

}  // namespace

bool CBusyMarker::Create(const std::string& path) {
  Release();
  std::string hidden;
  CUniqueFd fd = MakeLockedHidden(path, &hidden);
  if (!fd) return false;
  if (::rename(hidden.c_str(), path.c_str()) != 0) {
    ::unlink(hidden.c_str());
    return false;
  }
  Take(path, std::move(fd));
  return true;
}

int CRemovedOnRelease::TakeExclusive(const std::string& path) {
  Release();
  std::string hidden;
  CUniqueFd fd = MakeLockedHidden(path, &hidden);
  if (!fd) return -1;
  // link() fails when the name exists: the exclusive creation, of a file that is locked already.
  bool made = ::link(hidden.c_str(), path.c_str()) == 0;
  int error = errno;
  ::unlink(hidden.c_str());
  if (!made) return error == EEXIST ? 1 : -1;
  Take(path, std::move(fd));
  return 0;
}

int CBusyMarker::CreateNew(const std::string& path) { return TakeExclusive(path); }

bool CExclusiveFile::TryCreate(const std::string& path) { return TakeExclusive(path) == 0; }

bool CExclusiveFile::RemoveAbandoned(const std::string& path) {
  CUniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return false;
  // Ours now; remove it only if the name still is this file (not a successor's).
  return SameFile(fd.get(), path) && ::unlink(path.c_str()) == 0;
}

int CInstanceLock::Acquire(const std::string& path, long* holder) {
  *holder = 0;
  CUniqueFd fd(OpenPrivate(path, O_RDWR | O_CREAT));
  if (!fd) return -1;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    std::string text;
    if (ReadWholeFile(path, &text) == 0) *holder = std::strtol(text.c_str(), nullptr, 10);
    return -1;
  }
  std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd.get(), 0) != 0 || ::pwrite(fd.get(), pid.data(), pid.size(), 0) < 0) {
    return -1;
  }
  path_ = path;
  fd_ = std::move(fd);
  return 0;
}

CInstanceLock::~CInstanceLock() {
  if (fd_) ::unlink(path_.c_str());
}

}  // namespace platform
