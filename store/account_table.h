// CAccountTable: the accounts in memory and the address lookup rules; CAccountStore: the table
// that session threads read while the server thread replaces it.
//
// LookupLocal(local, domain): an exact alias match wins at once (in table order); failing that,
// the first wildcard alias match of an account other than `$default`; failing that, one of
// `$default`. The domain "[uucp]" or an empty domain also match an account by its name.
//
// Thread rules: a CAccountTable is plain data. CAccountStore hands out immutable snapshots and
// replaces them as a whole (reload request 1008), so a reader never sees half a table.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "store/account.h"

namespace store {

constexpr char kMasterAccount[] = "master";
constexpr char kDefaultAccount[] = "$default";

class CAccountTable {
 public:
  // Changing the accounts drops the lookup index until BuildIndex is called again.
  std::vector<CAccount>& Accounts() {
    indexed_ = false;
    return accounts_;
  }
  const std::vector<CAccount>& Accounts() const { return accounts_; }
  // Indexes names and exact aliases, so that lookups do not scan the table. Lookups on a table
  // without a current index scan it, with the same results.
  void BuildIndex();

  // First non-deleted account of that name (without case), or null.
  const CAccount* FindAccount(const std::string& name) const;
  CAccount* FindAccount(const std::string& name);
  // The first account with a non-wildcard alias equal to `text` (without case): "local@domain"
  // for an alias with a domain, the local part alone otherwise. Null when none.
  const CAccount* FindByExactAlias(const std::string& text) const;
  // 1 found (its name in `*account`), 0 not found.
  int LookupLocal(const std::string& local, const std::string& domain, std::string* account) const;
  // The vacation flag of the named account, 0 when unknown.
  int GetVacation(const std::string& name) const;

 private:
  int ScanLookup(const std::string& local, const std::string& domain, std::string* account) const;

  std::vector<CAccount> accounts_;
  bool indexed_ = false;
  std::unordered_map<std::string, size_t> names_;       // lower-case name -> first account
  std::unordered_map<std::string, size_t> exact_;       // lower-case alias -> first account
  std::vector<std::pair<size_t, size_t>> wildcards_;    // (account, alias) in table order
};

// A mailbox's message count and size (Kbytes), as POP3 sessions last counted them.
struct MailboxCounters {
  int msgNmbr = 0;
  int boxSize = 0;
};

class CAccountStore {
 public:
  CAccountStore() : table_(std::make_shared<const CAccountTable>()) {}
  std::shared_ptr<const CAccountTable> Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return table_;
  }
  void Replace(CAccountTable table) {
    table.BuildIndex();
    auto next = std::make_shared<const CAccountTable>(std::move(table));
    std::lock_guard<std::mutex> lock(mutex_);
    table_ = std::move(next);
  }

  // The in-use mark of a mailbox (a POP3 session holds it). Marks belong to the account name and
  // outlive a reload of the table. TakeInUse: true when this call set the mark, false when the
  // mailbox was in use already.
  bool TakeInUse(const std::string& name);
  void ClearInUse(const std::string& name);

  // Counters set while the server runs win over those the table was loaded with.
  MailboxCounters Counters(const CAccount& account) const;
  void SetCounters(const std::string& name, MailboxCounters counters);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const CAccountTable> table_;
  std::unordered_map<std::string, bool> inUse_;                // lower-case names
  std::unordered_map<std::string, MailboxCounters> counters_;  // lower-case names
};

}  // namespace store
