#include "store/distribution.h"

#include <map>
#include <set>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"
#include "store/account_table.h"
#include "store/domain_table.h"
#include "store/envelope.h"
#include "store/message_text.h"
#include "store/queue_item.h"
#include "store/queue_profile.h"
#include "toolkit/mime_parser.h"

namespace store {
namespace {

struct Envelope {
  std::string from, subject, receipt, replyTo, errorTo;
  std::vector<std::string> to;
};

std::string Key(const std::string& file, const char* section, const std::string& key) {
  std::string v;
  QueueProfileGet(section, key, "", &v, 256, file);
  return v;
}

Envelope ReadEnvelope(const std::string& file) {
  Envelope e;
  e.from = Key(file, "From", "From");
  e.subject = Key(file, "From", "Subject");
  e.receipt = Key(file, "From", "Receipt");
  e.replyTo = Key(file, "From", "ReplyTo");
  e.errorTo = Key(file, "From", "ErrorTo");
  long n = std::strtol(Key(file, "To", "n").c_str(), nullptr, 10);
  for (long i = 0; i < n && i < 100000; ++i) e.to.push_back(Key(file, "To", std::to_string(i)));
  return e;
}

// One queued message being distributed.
class CRun {
 public:
  CRun(const DistributionContext& ctx, std::string message, std::string envelopeFile,
       const toolkit::HeaderRecord& header, Envelope envelope, std::set<std::string>* bouncedLists)
      : ctx_(ctx),
        message_(std::move(message)),
        envelopeFile_(std::move(envelopeFile)),
        header_(header),
        envelope_(std::move(envelope)),
        bouncedLists_(bouncedLists) {
    if (header_.messageId.empty()) overrides_.messageId = ctx.generated.domains->MakeMessageId();
    if (header_.date.empty()) overrides_.date = FormatDateHeader();
    overrides_.addFrom = !header_.hasFrom;
    overrides_.addApparentlyTo = !header_.hasTo;
  }

  void Recipient(const std::string& address, int redirects = 0);
  void WriteOutboundGroups();
  const std::vector<std::string>& CarriedOver() const { return carried_; }

 private:
  const GeneratedContext& gen() const { return ctx_.generated; }
  // Stores the message in `account`'s mailbox; false when it could not be stored.
  bool StoreInMailbox(const std::string& account);
  void AddOutbound(const SplitResult& parts);
  void AutoReply(const CAccount& r, const std::string& address, bool vacation);
  std::string AccountFile(const CAccount& r, const std::string& name) const;

  const DistributionContext& ctx_;
  std::string message_, envelopeFile_;
  const toolkit::HeaderRecord& header_;
  Envelope envelope_;
  std::set<std::string>* bouncedLists_;
  MessageOverrides overrides_;
  std::map<std::string, std::vector<std::string>> groups_;  // route -> recipients
  std::vector<std::string> carried_;
};

bool CRun::StoreInMailbox(const std::string& account) {
  std::string dir = platform::JoinPath(platform::JoinPath(gen().home, "MAILIN"), account);
  CItemWriter w;
  if (!platform::DirectoryExists(platform::ResolvePath(dir))) return false;
  if (w.Begin(dir, ItemKind::kMailbox, 1000, /*lowerCase=*/true) != 0) return false;
  int rc = CopyMessageWithOverrides(
      message_, [&](std::string_view d) { return w.Write(d); }, &overrides_, account, envelope_.from);
  if (rc != 0 || w.Commit() != 0) return false;
  if (ctx_.gateHandOff) {
    auto accounts = gen().accounts->Snapshot();
    if (const CAccount* a = accounts->FindAccount(account); a && a->isGate) {
      ctx_.gateHandOff(w.MessagePath(), *a);
    }
  }
  return true;
}

void CRun::AddOutbound(const SplitResult& parts) {
  std::string route;
  gen().domains->RouteDomain(parts.domain, &route);
  groups_[route].push_back(JoinAddress(parts));
  if (gen().wakeOutbound) gen().wakeOutbound();
}

std::string CRun::AccountFile(const CAccount& r, const std::string& name) const {
  std::string mailbox = platform::JoinPath(platform::JoinPath(gen().home, "MAILIN"), r.name);
  std::string inBox = platform::ResolvePath(platform::JoinPath(mailbox, name));
  if (platform::FileExists(inBox)) return inBox;
  return platform::ResolvePath(platform::JoinPath(gen().home, name));
}

void CRun::AutoReply(const CAccount& r, const std::string& address, bool vacation) {
  std::string file = vacation ? AccountFile(r, "vacation.txt") : AccountFile(r, r.autoReplyFile);
  if (!platform::FileExists(file)) return;
  std::string to = !header_.replyTo.empty() ? header_.replyTo
                   : !header_.from.empty()  ? header_.from
                   : vacation && !envelope_.replyTo.empty() ? envelope_.replyTo
                                                            : envelope_.from;
  std::string subject = "Re: " + (header_.subject.empty() ? std::string("(Empty subject)") : header_.subject);
  (void)QueueFileMessage(gen(), to, subject, file, address, -1);
}

void CRun::Recipient(const std::string& address, int redirects) {
  SplitResult parts = SplitAddress(address);
  auto domains = gen().domains->Snapshot();
  if (!domains->IsLocalDomain(parts.domain)) {
    AddOutbound(parts);
    return;
  }
  auto accounts = gen().accounts->Snapshot();
  std::string name;
  if (!accounts->LookupLocal(parts.local, parts.domain, &name)) {
    (void)QueueFileMessage(gen(), kMasterAccount, "[MAILER-DAEMON] Invalid local address [" + address + "]",
                           message_, envelope_.from, -1);
    return;
  }
  const CAccount* r = accounts->FindAccount(name);
  if (r == nullptr) return;
  if (r->autoReply) AutoReply(*r, address, false);
  bool failed = false;
  if (r->autoCopy || r->autoForward) {
    std::string list = r->forwardAddresses;
    for (char& c : list) {
      if (c == ',' || c == '\t') c = ' ';
    }
    size_t pos = 0;
    while (pos < list.size()) {
      size_t end = list.find(' ', pos);
      if (end == std::string::npos) end = list.size();
      std::string target = list.substr(pos, end - pos);
      pos = end + 1;
      if (target.empty()) continue;
      SplitResult t = SplitAddress(target);
      if (!domains->IsLocalDomain(t.domain)) {
        AddOutbound(t);
        continue;
      }
      std::string forwardTo;
      if (!accounts->LookupLocal(t.local, t.domain, &forwardTo) || !StoreInMailbox(forwardTo)) failed = true;
    }
  }
  if (r->vacation && !header_.hasErrorsTo && !(!envelope_.replyTo.empty() && !envelope_.errorTo.empty())) {
    AutoReply(*r, address, true);
  }
  if (r->autoForward) {
    if (failed) carried_.push_back(address);
    return;
  }
  if (r->isList) {
    std::string sender = platform::ToUpper(envelope_.from);
    std::string subject = platform::ToUpper(envelope_.subject);
    bool bounce = sender.find("MAILER-DAEMON") != std::string::npos ||
                  (subject.find("RETURN") != std::string::npos && subject.find("UNKNOWN") != std::string::npos);
    if (bounce) {
      // A bounce goes to the moderator, once per list in a run; a second one is dropped.
      if (bouncedLists_->insert(platform::ToLower(r->name)).second && !r->moderator.empty() && redirects == 0) {
        Recipient(r->moderator, redirects + 1);
      }
      return;
    }
    if (ctx_.redistribute) {
      (void)ctx_.redistribute(message_, *r, address);
      return;
    }
  }
  if (!StoreInMailbox(r->name)) failed = true;
  if (!failed && !envelope_.receipt.empty()) {
    (void)QueueReceipt(gen(), envelope_.receipt, ctx_.daemonAddress, message_, envelope_.subject,
                       envelope_.from, address);
  }
  if (failed) carried_.push_back(address);
}

void CRun::WriteOutboundGroups() {
  for (auto& [route, recipients] : groups_) {
    std::string dir = platform::JoinPath(platform::JoinPath(gen().home, "OUTQUEUE"),
                                         route == "[uucp]" ? std::string("UUCPHUB") : route);
    (void)platform::MakeDirectoryTree(platform::ResolvePath(dir));
    CItemWriter w;
    bool ok = w.Begin(dir, ItemKind::kOutbound, 1000) == 0 &&
              CopyMessageWithOverrides(message_, [&](std::string_view d) { return w.Write(d); },
                                       &overrides_, "", envelope_.from) == 0;
    std::string envelope = "[FROM]\r\nFrom=" + EnvelopeSender(envelope_.from) + "\r\n[TO]\r\nn=" +
                           std::to_string(recipients.size()) + "\r\n";
    for (size_t i = 0; i < recipients.size(); ++i) envelope += std::to_string(i) + "=" + recipients[i] + "\r\n";
    if (!ok || w.Commit(envelope) != 0) {
      for (const std::string& r : recipients) carried_.push_back(r);  // tried again next run
    }
  }
  groups_.clear();
}

}  // namespace

namespace {

// Serves one complete item of INQUEUE.
void DistributeItem(const DistributionContext& ctx, const std::string& inqueue,
                    const std::string& name, std::set<std::string>* bouncedLists) {
  const GeneratedContext& gen = ctx.generated;
  std::string message = platform::JoinPath(inqueue, name);
  std::string envelopeFile = ItemSibling(message, 'R');
  toolkit::MimeMessage parsed;
  std::string text;
  toolkit::ParseOptions headerOnly;
  headerOnly.headerOnly = true;
  if (toolkit::ParseMessageFile(message, &parsed, &text, headerOnly) != 0) return;  // stays
  if (parsed.header.hops > ctx.maxHops) {
    CItemWriter w;
    std::string master = platform::JoinPath(platform::JoinPath(gen.home, "MAILIN"), "MASTER");
    (void)platform::MakeDirectoryTree(platform::ResolvePath(master));
    if (w.Begin(master, ItemKind::kMailbox, 1000, true) == 0 &&
        CopyMessageWithOverrides(message, [&](std::string_view d) { return w.Write(d); }, nullptr, "", "") == 0 &&
        w.Commit() == 0) {
      (void)platform::RemoveFile(envelopeFile);
      (void)platform::RemoveFile(message);
    }
    return;
  }
  Envelope envelope = ReadEnvelope(envelopeFile);
  CRun run(ctx, message, envelopeFile, parsed.header, envelope, bouncedLists);
  for (const std::string& to : envelope.to) run.Recipient(to);
  run.WriteOutboundGroups();
  std::string carry = platform::JoinPath(inqueue, "recipien.tmp");
  if (!run.CarriedOver().empty()) {
    // Only the recipients still to serve stay in the item's envelope.
    EnvelopeFields fields;
    fields.from = envelope.from;
    fields.subject = envelope.subject;
    fields.receipt = envelope.receipt;
    fields.replyTo = envelope.replyTo;
    fields.errorTo = envelope.errorTo;
    fields.to = run.CarriedOver();
    if (platform::WriteFileAtomic(carry, FormatEnvelope(fields, platform::LocalTime(platform::Now()))) == 0) {
      (void)platform::RenameFile(carry, envelopeFile);
    }
  } else {
    // The envelope first: a message left without envelope and marker is known to be done.
    (void)platform::RemoveFile(envelopeFile);
    (void)platform::RemoveFile(message);
    (void)platform::RemoveFile(carry);
  }
}

// Passes over INQUEUE per run: the messages a pass writes itself (postmaster notices, receipts,
// replies to local senders) are delivered by the next pass of the same run instead of waiting
// for the next timer run; the bound stops two auto-replying accounts from feeding each other.
constexpr int kPassesPerRun = 4;
// Looks at INQUEUE again on request of callers that came during a run; beyond this the timer's
// next run takes over, so that a steady stream of sessions does not hold one thread for good.
constexpr int kRoundsPerRun = 16;

}  // namespace

int CDistributor::DistributeInbound(const DistributionContext& ctx) {
  if (ctx.requestServerRun) {
    ctx.requestServerRun();
    return 0;
  }
  if (ctx.stopping && ctx.stopping->load()) return 0;
  // A caller that finds a run in progress leaves it a request to look at INQUEUE once more, so
  // that an item queued after the run's last look is not left for the timer.
  again_ = true;
  std::string inqueue = platform::ResolvePath(platform::JoinPath(ctx.generated.home, "INQUEUE"));
  std::set<std::string> bouncedLists;
  std::set<std::string> tried;  // each item once per run: one kept back stays for the next run
  int rounds = 0;
  while (rounds < kRoundsPerRun && again_ && !running_.exchange(true)) {
    while (rounds < kRoundsPerRun && again_.exchange(false)) {
      ++rounds;
      // Items whose writer died (another process, or this one before a restart) go first.
      (void)RecoverInterruptedItems(inqueue, ItemKind::kInbound);
      for (int pass = 0; pass < kPassesPerRun; ++pass) {
        bool any = false;
        for (const std::string& name : ListCompleteItems(inqueue, ItemKind::kInbound)) {
          if (!tried.insert(platform::ToLower(name)).second) continue;
          any = true;
          DistributeItem(ctx, inqueue, name, &bouncedLists);
        }
        if (!any) break;
      }
    }
    running_ = false;  // then look whether a request came in meanwhile
  }
  return 0;
}

}  // namespace store
