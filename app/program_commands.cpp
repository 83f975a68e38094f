#include "app/program_commands.h"

#include <mutex>

#include "store/account_table.h"
#include "store/list_server.h"

bool CProgramCommands::AccountExists(const std::string& name) {
  return store_.Accounts().Snapshot()->FindAccount(name) != nullptr;
}

int CProgramCommands::ReloadAccounts() { return store_.LoadAccounts(); }

int CProgramCommands::ListAccounts(std::vector<core::AccountListing>* out) {
  out->clear();
  auto table = store_.Accounts().Snapshot();
  for (const store::CAccount& a : table->Accounts()) {
    if (a.deleted) continue;
    core::AccountListing entry;
    entry.name = a.name;
    for (const store::AliasRecord& alias : a.aliases) {
      if (!alias.deleted) entry.addresses.push_back(alias.local + "@" + alias.domain);
    }
    out->push_back(std::move(entry));
  }
  return 0;
}

store::CAccountTable CProgramCommands::Current() const {
  store::CAccountTable table = *store_.Accounts().Snapshot();
  for (store::CAccount& a : table.Accounts()) {
    store::MailboxCounters c = store_.Accounts().Counters(a);
    a.msgNmbr = c.msgNmbr;
    a.boxSize = c.boxSize;
  }
  return table;
}

int CProgramCommands::SaveAndReload(const store::CAccountTable& tableIn) {
  {
    // The list server changes member lists in their files: a save writes those, not older ones.
    std::lock_guard<std::mutex> lock(store::MembersLock());
    store::CAccountTable table = tableIn;
    store::RefreshListMembers(generated_().home, &table);
    if (store_.AccountFiles().Save(table, /*quiet=*/false) != 0) return -1;
  }
  return store_.LoadAccounts();
}

int CProgramCommands::Subscribe(const std::string& list, const std::string& address,
                                const std::string& name) {
  store::GeneratedContext gen = generated_();
  store::ListContext ctx{gen, "MAILER-DAEMON@" + gen.primaryDomain, nullptr};
  return store::SubscribeByOwner(ctx, list, address, name);
}

int CProgramCommands::Unsubscribe(const std::string& list, const std::string& address) {
  store::GeneratedContext gen = generated_();
  store::ListContext ctx{gen, "MAILER-DAEMON@" + gen.primaryDomain, nullptr};
  return store::UnsubscribeByOwner(ctx, list, address);
}

int CProgramCommands::AddAccount(const std::string& name, const std::string& password,
                                 const std::vector<std::string>& addresses) {
  store::CAccountTable table = Current();
  if (table.FindAccount(name) != nullptr) return core::kCommandAccountExists;
  store::CAccount account;
  account.name = name;
  account.password = password;
  for (const std::string& address : addresses) (void)account.AddAlias(address);
  table.Accounts().push_back(std::move(account));
  return SaveAndReload(table);
}

int CProgramCommands::SetPassword(const std::string& name, const std::string& password) {
  store::CAccountTable table = Current();
  store::CAccount* account = table.FindAccount(name);
  if (account == nullptr) return -1;
  account->password = password;
  return SaveAndReload(table);
}

int CProgramCommands::DeleteAccount(const std::string& name) {
  store::CAccountTable table = Current();
  store::CAccount* account = table.FindAccount(name);
  if (account == nullptr) return 0;
  account->deleted = true;
  return SaveAndReload(table);
}

int CProgramCommands::QueueText(const std::string& to, const std::string& from,
                                const std::string& subject, const std::string& text) {
  return store::QueueTextMessage(generated_(), to, subject, text, from);
}

int CProgramCommands::QueueFile(const std::string& file, const std::string& name,
                                const std::string& to, const std::string& from,
                                const std::string& subject, core::CommandEncoding encoding,
                                const std::string& receiptTo, const std::string& text) {
  int flags = 0;  // Base64
  switch (encoding) {
    case core::CommandEncoding::kBase64:
      break;
    case core::CommandEncoding::kQuotedPrintable:
      flags = store::kAttachQuotedPrintable;
      break;
    case core::CommandEncoding::kUuencode:
      flags = store::kAttachUuencode;
      break;
    case core::CommandEncoding::kAscii:
      flags = store::kAttachPlain;
      break;
  }
  return store::QueueAttachmentMessage(generated_(), to, subject, from, file, flags, text,
                                       receiptTo, store::AutoSubmitted::kGenerated, name);
}
