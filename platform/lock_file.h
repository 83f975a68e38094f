// Lock files shared between the system's processes.
//
// CLockFile: the ".LCK" files that guard settings and account files. Taking one creates the file
// and holds an exclusive flock on it; releasing removes the file. A leftover file that nobody
// holds does not block. CExclusiveFile: a file created with O_EXCL (the queue's sequence lock),
// removed on release. CBusyMarker: a locked marker of a file being written. CInstanceLock: one
// interactive process (console, or server at a terminal) per home directory.
//
// All three are move-only RAII owners; a moved-from or released object holds nothing.
#pragma once

#include <string>

#include "platform/unique_fd.h"

namespace platform {

// Results of a single attempt to take a lock.
enum class LockAttempt {
  kHeld,       // the lock is ours
  kBusy,       // another holder has it, or the file cannot be opened for writing
  kNoDirectory // the directory does not exist: locking is unavailable
};

// A file this process created and removes again when it lets go of it (or is destroyed).
class CRemovedOnRelease {
 public:
  CRemovedOnRelease() = default;
  CRemovedOnRelease(CRemovedOnRelease&&) = default;
  CRemovedOnRelease& operator=(CRemovedOnRelease&& other) noexcept;
  ~CRemovedOnRelease() { Release(); }

  void Release();
  bool Held() const { return static_cast<bool>(fd_); }

 protected:
  void Take(const std::string& path, CUniqueFd fd);
  // Makes `path` exclusively, already locked (under a hidden name first, then linked to its
  // name, which fails when the name exists): 0 made and held, 1 the name exists, -1 failed.
  int TakeExclusive(const std::string& path);

 private:
  std::string path_;
  CUniqueFd fd_;
};

class CLockFile : public CRemovedOnRelease {
 public:
  // One attempt, without waiting.
  LockAttempt TryAcquire(const std::string& path);
};

// A busy marker: a file that says "being written" for as long as its writer lives. It appears
// under its name already locked (made under a hidden name, locked, then renamed), so a lock that
// can be taken on a marker proves its writer gone.
class CBusyMarker : public CRemovedOnRelease {
 public:
  // False when the marker cannot be made.
  bool Create(const std::string& path);
  // The same, but only when no file of that name exists (the marker reserves its name):
  // 0 made, 1 the name exists, -1 the marker cannot be made.
  [[nodiscard]] int CreateNew(const std::string& path);
};

class CExclusiveFile : public CRemovedOnRelease {
 public:
  // Creates `path` exclusively (it appears already locked, as a busy marker does); false when
  // it exists or cannot be created.
  bool TryCreate(const std::string& path);
  // Removes `path` when it was made by TryCreate of a process that has died (nobody holds its
  // lock); true when it was removed.
  static bool RemoveAbandoned(const std::string& path);
};

class CInstanceLock {
 public:
  // 0 when taken (the file then holds our process id); -1 when another process holds it, with
  // its process id in `*holder` (0 when unknown).
  [[nodiscard]] int Acquire(const std::string& path, long* holder);
  ~CInstanceLock();

 private:
  std::string path_;
  CUniqueFd fd_;
};

}  // namespace platform
