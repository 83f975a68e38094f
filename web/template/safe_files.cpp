#include "web/template/safe_files.h"

#include <atomic>
#include <cstring>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "platform/system.h"
#include "platform/text.h"

namespace web {

bool PathInsideRoots(const std::string& path, const std::vector<std::string>& roots) {
  for (const std::string& root : roots) {
    if (platform::PathBelow(path, root)) return true;
  }
  return false;
}

bool ProtectedFileName(const std::string& path) {
  std::string base = platform::BaseName(path);
  if (base.empty() || base[0] == '.') return true;
  for (const char* name : {"MAILBOX.INI", "MEMBERS.INI", "WEBSITE.INI", "ADDRESS.TXT",
                           "USERSIGN.TXT", "VACATION.TXT"}) {
    if (base.size() == std::strlen(name) && platform::WildcardMatchNoCase(name, base)) return true;
  }
  for (const char* pattern : {"*.MIM", "*.TMP", "*.LCK", "*.BAK"}) {
    if (platform::WildcardMatchNoCase(pattern, base)) return true;
  }
  // The auto-reply text the account's settings beside it name: what the account answers with.
  std::string settings = platform::JoinPath(platform::DirName(path), "MAILBOX.INI");
  if (platform::FileExists(settings)) {
    std::string reply = platform::BaseName(platform::NormaliseSeparators(
        platform::GetProfileString(settings, "SETUP", "AutoReplyFilename", "", 255)));
    if (!reply.empty() && platform::EqualNoCase(reply, base)) return true;
  }
  return false;
}

int LockFileFor(const std::string& path, platform::CLockFile* lock, unsigned waitMs) {
  const std::string name = path + ".lck";
  uint64_t deadline = platform::TickCount() + waitMs;
  for (;;) {
    platform::LockAttempt got = lock->TryAcquire(name);
    if (got == platform::LockAttempt::kHeld) return 0;
    if (got == platform::LockAttempt::kNoDirectory) return -1;
    if (platform::TickCount() >= deadline) return -1;
    platform::SleepMilliseconds(20);
  }
}

int CReplacedFile::Open(const std::string& path, bool append, unsigned waitMs) {
  Abandon();
  path_ = path;
  if (LockFileFor(path, &lock_, waitMs) != 0) return -1;
  std::string old;
  if (append && platform::FileExists(path) && platform::ReadWholeFile(path, &old) != 0) {
    lock_.Release();
    return -1;
  }
  static std::atomic<unsigned long> made{0};
  std::string dir = platform::DirName(path);
  std::string base = platform::BaseName(path);
  for (int tries = 0; tries < 100; ++tries) {
    temp_ = platform::JoinPath(dir.empty() ? "." : dir,
                               ".~" + base + "." + std::to_string(platform::CurrentProcessId()) +
                                   "." + std::to_string(made.fetch_add(1)));
    if (file_.Open(temp_, platform::FileMode::kCreateNew) == 0) break;
    temp_.clear();
  }
  if (temp_.empty()) {
    lock_.Release();
    return -1;
  }
  open_ = true;
  failed_ = false;
  if (!old.empty() && Write(old) != 0) {
    Abandon();
    return -1;
  }
  return 0;
}

int CReplacedFile::Write(std::string_view data) {
  if (!open_ || failed_) return -1;
  if (file_.Write(data) != 0) failed_ = true;
  return failed_ ? -1 : 0;
}

int CReplacedFile::Commit(const std::string& backup) {
  if (!open_) return -1;
  int rc = failed_ ? -1 : file_.Sync();
  file_.Close();
  if (rc == 0 && !backup.empty() && platform::FileExists(path_)) {
    platform::RemoveFile(backup);
    if (platform::LinkFile(path_, backup) != 0) rc = -1;
  }
  if (rc == 0) rc = platform::RenameFile(temp_, path_);
  if (rc == 0) temp_.clear();
  Abandon();
  return rc == 0 ? 0 : -1;
}

void CReplacedFile::Abandon() {
  if (file_.IsOpen()) file_.Close();
  if (!temp_.empty()) platform::RemoveFile(temp_);
  temp_.clear();
  open_ = false;
  lock_.Release();
}

}  // namespace web
