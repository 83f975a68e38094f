// Loading and saving the account table: the flat files of the home directory (mailbox.cfg,
// passwd, aliases, redirect.cfg / forward.cfg, reply.cfg, list.cfg) and each account's
// MAILIN/<name>/MAILBOX.INI and MEMBERS.INI.
//
// The per-account files win where they hold data; the flat files are read for what they lack
// (an unconverted SETUP, no [ALIAS] block, an old LIST section), after which everything is saved
// in the current form. All of it happens under the lock of USER.INI. A save keeps the previous
// generation of each flat file as its .bak file; every file is replaced through a temporary file
// and a rename, so a crash leaves either generation whole.
//
// Main (server) thread only; readers use the CAccountStore snapshot. Results: 0, or -1 when the
// lock was refused.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "store/account_table.h"

namespace core {
class CMessageSink;
}

namespace store {

class CAccountFiles {
 public:
  // `domain` is the primary mail domain (for master's aliases).
  CAccountFiles(std::string home, core::CMessageSink& sink);

  void SetDomain(std::string domain) { domain_ = std::move(domain); }
  void SetHome(std::string home) { home_ = std::move(home); }
  // Asks the other process to reload the accounts (request 1008) after a non-quiet save.
  void OnSaved(std::function<void()> fn) { onSaved_ = std::move(fn); }

  int Load(CAccountTable* table);
  int Save(const CAccountTable& table, bool quiet);
  // Reads / writes one account's own files (the lock is the caller's).
  void LoadAccountFiles(CAccount* account, struct FlatNeeds* needs);
  // `sync` false: the caller flushes the file system once after many accounts.
  int SaveAccountFiles(const CAccount& account, bool sync = true);
  // Writes a mailbox's message count and size (Kbytes) into section INFO of its MAILBOX.INI.
  // Counters are statistics: written without a sync.
  int SaveCounters(const std::string& name, int msgNmbr, int boxSizeKbytes);

  // For tests: fewer lock retries.
  void SetLockRetryForTest(int limit, unsigned pauseMs) {
    retryLimit_ = limit;
    retryPauseMs_ = pauseMs;
  }

 private:
  std::string Flat(const char* name) const;
  std::string MailboxDir(const std::string& account) const;
  // The lines of a flat file (comments left out); its open and read errors reported by `label`
  // (open errors only when `reportOpen`). False when it cannot be read.
  bool ReadFlatFile(const std::string& path, const char* label, bool reportOpen,
                    std::vector<std::string>* lines);
  void ReadAccountList(CAccountTable* table, bool fromPasswd);
  void ReadAliases(CAccountTable* table);
  void ReadListFile(CAccountTable* table);
  void ReadRedirect(CAccountTable* table, const std::string& path);
  void ReadReply(CAccountTable* table);
  int WriteFlatFiles(const CAccountTable& table);

  std::string home_;
  std::string domain_;
  core::CMessageSink& sink_;
  std::function<void()> onSaved_;
  int retryLimit_ = 30;
  unsigned retryPauseMs_ = 100;
};

// Which flat files an account still needs after its own files were read.
struct FlatNeeds {
  bool replyAndRedirect = false;  // SETUP not converted yet
  bool aliases = false;           // no [ALIAS] block
  bool list = false;              // no LIST section of version 2
};

// MEMBERS.INI blocks: "[ALIAS]".."[END_ALIAS]" and "[MEMBERS]".."[END_MEMBERS]".
// Rewrites one block through MEMBERS.TMP, keeping MEMBERS.BAK. 0 or -1.
// `sync` false leaves the flush to the caller.
int RewriteMembersBlock(const std::string& membersIni, const std::string& block,
                        const std::string& content, bool sync = true);
// The [MEMBERS] block alone: read (a missing file has no members; 0, or -1 when it cannot be
// read) and rewritten as above (tabs and line ends inside a field become blanks).
int ReadMembersFile(const std::string& membersIni, std::vector<MemberRecord>* members);
int WriteMembersFile(const std::string& membersIni, const std::vector<MemberRecord>& members);

}  // namespace store
