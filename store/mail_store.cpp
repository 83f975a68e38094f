#include "store/mail_store.h"

#include "core/settings.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "store/inbound_intake.h"
#include "store/queue_item.h"
#include "store/store_paths.h"

namespace store {

CMailStore::CMailStore(core::CSettings& settings, core::CMessageSink& sink)
    : settings_(settings), files_(settings.Paths().home, sink) {
  // A save that is not quiet asks the other process to reload the accounts.
  files_.OnSaved([this] { settings_.TellPeerReload(core::kReloadAccounts); });
}

int CMailStore::LoadAccounts() {
  files_.SetHome(settings_.Paths().home);
  files_.SetDomain(settings_.Values().smtp.domain);
  CAccountTable table;
  if (files_.Load(&table) != 0) return -1;
  accounts_.Replace(std::move(table));
  return 0;
}

int CMailStore::SaveAccounts() {
  files_.SetHome(settings_.Paths().home);
  // The counters POP3 sessions kept while the server ran are saved with the rest.
  CAccountTable table = *accounts_.Snapshot();
  for (CAccount& a : table.Accounts()) {
    MailboxCounters c = accounts_.Counters(a);
    a.msgNmbr = c.msgNmbr;
    a.boxSize = c.boxSize;
  }
  return files_.Save(table, /*quiet=*/true);
}

int CMailStore::LoadDomainTable(const std::vector<std::string>& recordsFromLast) {
  const core::SettingsValues& v = settings_.Values();
  // The store's directory tree: the inbound queue, the relay host's queue, the mailboxes.
  const std::string& home = settings_.Paths().home;
  for (const std::string& path : {InqueueDir(home), OutqueueDir(home, kMailHubQueue), MailinRoot(home)}) {
    (void)platform::MakeDirectoryTree(path);
  }
  DomainSnapshot snapshot;
  snapshot.ownDomain = v.smtp.domain;
  snapshot.localName = v.smtp.localName;
  snapshot.relayHost = v.smtp.mailHub;
  snapshot.uucpTakesUnknown = v.smtp.enableUucp && v.smtp.sendByUucp;
  // Stored from the last key down; the table keeps key order.
  for (auto it = recordsFromLast.rbegin(); it != recordsFromLast.rend(); ++it) {
    snapshot.records.push_back(ParseDomainRecord(*it));
  }
  domains_.Load(settings_.Paths().home, std::move(snapshot));
  return 0;
}

bool CMailStore::DomainRecordsToSave(std::vector<std::string>* records) {
  records->clear();
  for (const DomainRecord& r : domains_.Snapshot()->records) {
    if (!r.deleted) records->push_back(FormatDomainRecord(r));
  }
  return true;
}

int CMailStore::RecoverInterruptedWrites() {
  const std::string& home = settings_.Paths().home;
  int cleared = RecoverInterruptedItems(InqueueDir(home), ItemKind::kInbound);
  cleared += ClearAbandonedReservations(home);
  for (auto [parent, kind] : {std::pair{OutqueueRoot(home), ItemKind::kOutbound}, std::pair{MailinRoot(home), ItemKind::kMailbox}}) {
    for (const std::string& dir : platform::FindFiles(parent, "*", platform::EntryKind::kDirectories)) {
      cleared += RecoverInterruptedItems(platform::JoinPath(parent, dir), kind);
    }
  }
  return cleared;
}

}  // namespace store
