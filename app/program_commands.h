// CProgramCommands: what the command queue changes in this program's modules: the account table
// and its files (changed in a copy, saved with the other process told, then loaded again so
// that SMTP and POP3 sessions see the change at once) and the generated-message writers. Gates
// are not part of this program yet and answer "not available" (the defaults of
// core::ICommandOwners). Subscribe and unsubscribe change a list's MEMBERS.INI through the list
// server; a save of the table takes the member lists from those files. Collecting an account's
// remote POP3 mail goes to the starter the jobs set with SetPop3Starter.
//
// Main thread only (the command queue runs from the tick).
#pragma once

#include <functional>

#include "app/program_owners.h"
#include "core/command_queue.h"
#include "store/generated_messages.h"

class CProgramCommands : public core::ICommandOwners {
 public:
  CProgramCommands(CProgramOwners& store, std::function<store::GeneratedContext()> generated)
      : store_(store), generated_(std::move(generated)) {}

  bool AccountExists(const std::string& name) override;
  int ReloadAccounts() override;
  int ListAccounts(std::vector<core::AccountListing>* out) override;
  int AddAccount(const std::string& name, const std::string& password,
                 const std::vector<std::string>& addresses) override;
  int SetPassword(const std::string& name, const std::string& password) override;
  int DeleteAccount(const std::string& name) override;
  int Subscribe(const std::string& list, const std::string& address,
                const std::string& name) override;
  int Unsubscribe(const std::string& list, const std::string& address) override;
  int QueueText(const std::string& to, const std::string& from, const std::string& subject,
                const std::string& text) override;
  int QueueFile(const std::string& file, const std::string& name, const std::string& to,
                const std::string& from, const std::string& subject, core::CommandEncoding encoding,
                const std::string& receiptTo, const std::string& text) override;
  void CollectPop3Account(const std::string& account) override {
    if (pop3Starter_) (void)pop3Starter_(account);
  }
  // The starter of POP3 collection runs (unset until the server role starts them).
  void SetPop3Starter(std::function<int(const std::string&)> starter) {
    pop3Starter_ = std::move(starter);
  }

 private:
  // The table as it is now, with the counters the sessions kept.
  store::CAccountTable Current() const;
  // Saves `table`, tells the other process, and loads the files again. 0 or -1.
  int SaveAndReload(const store::CAccountTable& table);

  CProgramOwners& store_;
  std::function<store::GeneratedContext()> generated_;
  std::function<int(const std::string&)> pop3Starter_;
};
