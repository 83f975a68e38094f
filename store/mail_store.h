// CMailStore: the store's process-wide tables (domains and accounts) and their place in the
// settings: it loads the domain table from the records of section Domain (reload request 1007)
// and the account files (reload request 1008), and saves them with the other settings.
//
// Thread rules: loads and saves run on the main thread; session threads read Domains() and
// Accounts() snapshots, which a load replaces as a whole.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/settings.h"
#include "store/account_files.h"
#include "store/account_table.h"
#include "store/domain_table.h"

namespace store {

class CMailStore : public core::ISettingsOwners {
 public:
  CMailStore(core::CSettings& settings, core::CMessageSink& sink);

  CDomainTable& Domains() { return domains_; }
  CAccountStore& Accounts() { return accounts_; }
  CAccountFiles& AccountFiles() { return files_; }

  int LoadAccounts() override;
  int SaveAccounts() override;
  int LoadDomainTable(const std::vector<std::string>& recordsFromLast) override;
  bool DomainRecordsToSave(std::vector<std::string>* records) override;

  // Finishes the writes that a process which died left in INQUEUE, the outbound queues and the
  // mailboxes (see RecoverInterruptedItems). Run before the server takes work. The number of
  // markers cleared.
  int RecoverInterruptedWrites();

 private:
  core::CSettings& settings_;
  CDomainTable domains_;
  CAccountStore accounts_;
  CAccountFiles files_;
};

}  // namespace store
