// Files that templates reach and replace.
//
// Paths named by request text must stay inside the directories a page may use: the web root,
// the home directory's "kaldor" directory and the page's account directory. PathInsideRoots
// decides that after resolving "." and ".." and the symbolic links of the parts that exist.
//
// CReplacedFile writes a file that others may be writing at the same moment: it takes the lock
// file "<path>.lck" (waiting a bounded time), writes a temporary file in the same directory
// (starting with the old content when appending), and Commit syncs it and renames it over the
// name, so a reader sees the old or the new file, never half of one, and two writers follow one
// another instead of losing a write. Destruction without Commit removes the temporary file.
// One object, one thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"
#include "platform/lock_file.h"

namespace web {

constexpr unsigned kFileLockWaitMs = 10000;

bool PathInsideRoots(const std::string& path, const std::vector<std::string>& roots);

// Files of an account directory that request text may never name, to read or to write: the
// account's settings and lists (MAILBOX.INI, MEMBERS.INI, WEBSITE.INI, ADDRESS.TXT,
// USERSIGN.TXT), its reply texts (VACATION.TXT and the auto-reply file its MAILBOX.INI names),
// its messages and the store's working files (*.MIM, *.TMP, *.LCK, *.BAK), and hidden names.
// MAILBOX.INI holds the password: a page run or dumped from it would show it; a reply text
// written by a form would make the account answer its senders with a stranger's words.
bool ProtectedFileName(const std::string& path);

// Takes the lock "<path>.lck", polling until `waitMs` has passed. 0 held, -1 not taken.
[[nodiscard]] int LockFileFor(const std::string& path, platform::CLockFile* lock,
                              unsigned waitMs = kFileLockWaitMs);

class CReplacedFile {
 public:
  CReplacedFile() = default;
  CReplacedFile(const CReplacedFile&) = delete;
  CReplacedFile& operator=(const CReplacedFile&) = delete;
  ~CReplacedFile() { Abandon(); }

  // 0, or -1 when the lock, the old content (appending) or the temporary file cannot be had.
  [[nodiscard]] int Open(const std::string& path, bool append, unsigned waitMs = kFileLockWaitMs);
  [[nodiscard]] int Write(std::string_view data);
  // Syncs, renames over the name (keeping the old file as `backup` first when given). 0 or -1.
  [[nodiscard]] int Commit(const std::string& backup = std::string());
  void Abandon();
  bool IsOpen() const { return open_; }
  const std::string& Path() const { return path_; }

 private:
  std::string path_, temp_;
  platform::CLockFile lock_;
  platform::CFile file_;
  bool open_ = false;
  bool failed_ = false;
};

}  // namespace web
