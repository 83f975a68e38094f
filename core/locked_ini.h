// CLockedIniFile: reads and writes of one settings or account file under its ".LCK" lock file.
//
// The lock file is the INI path with the text after the last "." of the file name replaced by
// "LCK" (NEXUM2.INI -> NEXUM2.LCK). Taking the lock tries up to 31 times, 100 ms apart (about
// 3 s); a missing directory makes locking silently unavailable (the access goes on unlocked).
// A span of reads and writes holds the lock once (BeginHeldLock .. EndHeldLock); a single read
// or write outside a span takes and releases the lock around itself. A read that cannot take
// the lock yields the empty string (an integer read then yields 0).
//
// When a load or save cannot take the lock, BeginForLoadOrSave asks the operator whether to
// remove it; answering Yes deletes the lock file and switches locking off for this object.
//
// One object per file, used by the main thread of the process. Results: 0 success, -1 failure.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/lock_file.h"
#include "platform/profile.h"

namespace core {

class CMessageSink;

class CLockedIniFile {
 public:
  static constexpr int kRetryLimit = 30;
  static constexpr size_t kReadBufferSize = 1024;

  explicit CLockedIniFile(std::string iniPath);

  const std::string& IniPath() const { return iniPath_; }
  const std::string& LockPath() const { return lockPath_; }

  // The lock for a sequence of accesses. 0 when held (or locking is unavailable), -1 when it
  // could not be taken.
  [[nodiscard]] int BeginHeldLock();
  void EndHeldLock();
  // As BeginHeldLock, asking the operator on failure (see above). 0 go on, -1 give up.
  [[nodiscard]] int BeginForLoadOrSave(CMessageSink& sink);

  std::string ReadString(std::string_view section, std::string_view key, std::string_view def,
                         size_t maxLen = kReadBufferSize - 1);
  int ReadInt(std::string_view section, std::string_view key, int def);
  long ReadLong(std::string_view section, std::string_view key, long def);

  [[nodiscard]] int WriteString(std::string_view section, std::string_view key,
                                std::string_view value);
  [[nodiscard]] int WriteInt(std::string_view section, std::string_view key, long value);
  // Writes several keys of one section in one replacement of the file.
  [[nodiscard]] int WriteEntries(std::string_view section,
                                 const std::vector<std::pair<std::string, std::string>>& entries);
  [[nodiscard]] int DeleteSection(std::string_view section);
  // The whole file as a document (a missing file gives an empty one), for readers of many keys.
  [[nodiscard]] int ReadDocument(platform::CIniDocument* doc);
  // Applies `change` to the file in one replacement.
  [[nodiscard]] int UpdateDocument(const std::function<void(platform::CIniDocument*)>& change,
                                   bool sync = true);

  // For tests: fewer retries and shorter pauses.
  void SetRetryForTest(int limit, unsigned pauseMs) {
    retryLimit_ = limit;
    retryPauseMs_ = pauseMs;
  }
  bool LockingWanted() const { return lockingWanted_; }

 private:
  // One lock acquisition with retries; 0 held or unavailable, -1 failed.
  int Acquire();
  // Takes the lock around a single access when no span holds it; false when it cannot.
  bool EnterAccess(bool* tookLock);
  void LeaveAccess(bool tookLock);

  std::string iniPath_;
  std::string lockPath_;
  platform::CLockFile lock_;
  bool lockingWanted_ = true;
  bool spanHeld_ = false;
  int retryLimit_ = kRetryLimit;
  unsigned retryPauseMs_ = 100;
};

}  // namespace core
