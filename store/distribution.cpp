#include "store/distribution.h"

#include <map>
#include <optional>
#include <set>

#include "platform/fs.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"
#include "store/account_table.h"
#include "store/auto_reply.h"
#include "store/domain_table.h"
#include "store/envelope.h"
#include "store/message_text.h"
#include "store/queue_item.h"
#include "store/store_paths.h"
#include "toolkit/mime_parser.h"

namespace store {
namespace {

// A recipient that a run could serve only in part is carried over with the one step left to do
// for it (EnvelopeFields::steps). A recipient without a step gets the whole procedure. The steps
// that succeeded are never done again: no second copy, forward, reply or receipt.
constexpr char kStepMailbox[] = "mailbox";  // store in the account's own mailbox (and receipt)
constexpr char kStepForward[] = "forward";  // "forward <address>": one forward target

struct Carried {
  std::string address;
  std::string step;  // empty: the whole procedure
};

// One queued message being distributed.
class CRun {
 public:
  CRun(const DistributionContext& ctx, std::string message, std::string envelopeFile,
       const toolkit::HeaderRecord& header, EnvelopeFields envelope, std::set<std::string>* bouncedLists)
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
  // Only the step left from an earlier run.
  void Step(const std::string& address, const std::string& step);
  void WriteOutboundGroups();
  const std::vector<Carried>& CarriedOver() const { return carried_; }

 private:
  const GeneratedContext& gen() const { return ctx_.generated; }
  // Stores the message in `account`'s mailbox; false when it could not be stored.
  bool StoreInMailbox(const std::string& account);
  // The account's own copy and the receipt for it; carried over when it fails.
  void StoreOwnCopy(const CAccount& r, const std::string& address);
  // One forward target: false when it must be tried again.
  bool Forward(const std::string& target);
  void AddOutbound(const SplitResult& parts);
  void AutoReply(const CAccount& r, const std::string& address, bool vacation);
  bool IsAccountsOwn(const CAccount& r, const std::string& address) const;
  void NoticeToPostmaster(const std::string& address);
  void Log(const std::string& text) const {
    if (ctx_.log) ctx_.log(text);
  }
  std::string MailboxDir(const std::string& account) const {
    return store::MailboxDir(gen().home, account);
  }
  std::string AccountFile(const CAccount& r, const std::string& name) const;

  const DistributionContext& ctx_;
  std::string message_, envelopeFile_;
  const toolkit::HeaderRecord& header_;
  EnvelopeFields envelope_;
  std::set<std::string>* bouncedLists_;
  MessageOverrides overrides_;
  std::map<std::string, std::vector<std::string>> groups_;  // route -> recipients
  std::vector<Carried> carried_;
  std::optional<ReplyHeaderFacts> replyFacts_;  // read when a reply is first considered
};

bool CRun::StoreInMailbox(const std::string& account) {
  std::string dir = MailboxDir(account);
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

void CRun::StoreOwnCopy(const CAccount& r, const std::string& address) {
  if (!StoreInMailbox(r.name)) {
    carried_.push_back({address, kStepMailbox});
    return;
  }
  if (!envelope_.receipt.empty()) {
    (void)QueueReceipt(gen(), envelope_.receipt, ctx_.daemonAddress, message_, envelope_.subject,
                       envelope_.from, address);
  }
}

// Addresses to send to are read as RFC 5322 mailboxes (a moderator or forward target written
// "Name <a@x>" or "a@x (Name)" gives a@x; a quoted local part stays whole); envelope addresses,
// plain already, read the same either way.
bool CRun::Forward(const std::string& target) {
  SplitResult t = SplitMailbox(target);
  if (!gen().domains->Snapshot()->IsLocalDomain(t.domain)) {
    AddOutbound(t);  // a failed outbound item carries the target itself over
    return true;
  }
  std::string forwardTo;
  return gen().accounts->Snapshot()->LookupLocal(t.local, t.domain, &forwardTo) &&
         StoreInMailbox(forwardTo);
}

void CRun::AddOutbound(const SplitResult& parts) {
  std::string route;
  gen().domains->RouteDomain(parts.domain, &route);
  groups_[route].push_back(JoinAddress(parts));
}

std::string CRun::AccountFile(const CAccount& r, const std::string& name) const {
  std::string inBox = platform::ResolvePath(platform::JoinPath(MailboxDir(r.name), name));
  if (platform::FileExists(inBox)) return inBox;
  return platform::ResolvePath(platform::JoinPath(gen().home, name));
}

// Whether `address` is one of the account's own (it would answer itself).
bool CRun::IsAccountsOwn(const CAccount& r, const std::string& address) const {
  SplitResult parts = SplitMailbox(address);
  if (!gen().domains->Snapshot()->IsLocalDomain(parts.domain)) return false;
  std::string name;
  return gen().accounts->Snapshot()->LookupLocal(parts.local, parts.domain, &name) &&
         platform::ToLower(name) == platform::ToLower(r.name);
}

// RFC 3834: no answer to an automatic, bulk or list message, to the null sender or a daemon, or
// to the account itself; a vacation reply once per address and period.
void CRun::AutoReply(const CAccount& r, const std::string& address, bool vacation) {
  std::string file = vacation ? AccountFile(r, "vacation.txt") : AccountFile(r, r.autoReplyFile);
  if (!platform::FileExists(file)) return;
  std::string to = !header_.replyTo.empty() ? header_.replyTo
                   : !header_.from.empty()  ? header_.from
                   : vacation && !envelope_.replyTo.empty() ? envelope_.replyTo
                                                            : envelope_.from;
  if (IsNullOrDaemonAddress(envelope_.from) || IsNullOrDaemonAddress(to)) return;
  if (IsAccountsOwn(r, envelope_.from) || IsAccountsOwn(r, to)) return;
  if (!replyFacts_) {
    replyFacts_.emplace();
    if (ReadReplyHeaderFacts(message_, &*replyFacts_) != 0) replyFacts_->autoSubmitted = "(unread)";
  }
  if (MustNotAnswer(*replyFacts_)) return;
  if (vacation) {
    CVacationMemory memory(platform::ResolvePath(MailboxDir(r.name)), ctx_.vacationDays);
    std::time_t now = ctx_.clock ? ctx_.clock() : platform::Now();
    if (memory.TakeTurn(to, now) != 1) return;
  }
  std::string subject = "Re: " + (header_.subject.empty() ? std::string("(Empty subject)") : header_.subject);
  (void)QueueFileMessage(gen(), to, subject, file, address, -1, AutoSubmitted::kReplied);
}

// An unknown local recipient is reported to the postmaster; a notice that cannot be queued
// (no postmaster account) is logged and dropped: it is never queued as a notice of a notice.
void CRun::NoticeToPostmaster(const std::string& address) {
  std::string subject = "[MAILER-DAEMON] Invalid local address [" + address + "]";
  int rc = QueueFileMessage(gen(), kMasterAccount, subject, message_, envelope_.from, -1);
  if (rc != 0) {
    Log("Notice to the postmaster dropped (" + std::to_string(rc) + "): " + OneLine(subject));
  }
}

void CRun::Step(const std::string& address, const std::string& step) {
  SplitResult parts = SplitMailbox(address);
  std::string name;
  auto accounts = gen().accounts->Snapshot();
  const CAccount* r = gen().domains->Snapshot()->IsLocalDomain(parts.domain) &&
                              accounts->LookupLocal(parts.local, parts.domain, &name)
                          ? accounts->FindAccount(name)
                          : nullptr;
  if (r != nullptr && platform::ToLower(step) == kStepMailbox) {
    StoreOwnCopy(*r, address);
  } else if (platform::StartsWithNoCase(step, std::string(kStepForward) + " ")) {
    std::string target = step.substr(sizeof kStepForward);
    if (!Forward(target)) carried_.push_back({address, step});
  } else {
    Recipient(address);  // the account has gone, or a step of another kind: everything again
  }
}

void CRun::Recipient(const std::string& address, int redirects) {
  SplitResult parts = SplitMailbox(address);
  auto domains = gen().domains->Snapshot();
  if (!domains->IsLocalDomain(parts.domain)) {
    AddOutbound(parts);
    return;
  }
  auto accounts = gen().accounts->Snapshot();
  std::string name;
  if (!accounts->LookupLocal(parts.local, parts.domain, &name)) {
    NoticeToPostmaster(address);
    return;
  }
  const CAccount* r = accounts->FindAccount(name);
  if (r == nullptr) return;
  bool listServed = r->isList && ctx_.redistribute;
  if (r->autoReply && !listServed) AutoReply(*r, address, false);
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
      // Only the failed target is tried again by the next run.
      if (!Forward(target)) carried_.push_back({address, std::string(kStepForward) + " " + target});
    }
  }
  if (r->vacation && !header_.hasErrorsTo && !(!envelope_.replyTo.empty() && !envelope_.errorTo.empty())) {
    AutoReply(*r, address, true);
  }
  if (r->autoForward) return;
  if (r->isList) {
    std::string sender = platform::ToUpper(envelope_.from);
    std::string subject = platform::ToUpper(envelope_.subject);
    // The null sender (a delivery report, recorded as the anonymous sender) counts as a bounce
    // too: the list's posts go out from the list address, so reports about members come back
    // to it that way.
    bool bounce = sender.find("MAILER-DAEMON") != std::string::npos ||
                  (!envelope_.from.empty() && IsNullOrDaemonAddress(envelope_.from)) ||
                  (subject.find("RETURN") != std::string::npos && subject.find("UNKNOWN") != std::string::npos);
    if (bounce) {
      // A bounce goes to the moderator, once per list in a run; a second one is dropped.
      if (bouncedLists_->insert(platform::ToLower(r->name)).second && !r->moderator.empty() && redirects == 0) {
        Recipient(r->moderator, redirects + 1);
      }
      return;
    }
    if (ctx_.redistribute) {
      if (ctx_.redistribute(message_, *r, envelope_.from, address) != 0) {
        Log("List " + r->name + ": the message to " + OneLine(address) + " could not be served");
      }
      return;
    }
  }
  StoreOwnCopy(*r, address);
}

void CRun::WriteOutboundGroups() {
  for (auto& [route, recipients] : groups_) {
    std::string dir = OutqueueDir(gen().home, route == "[uucp]" ? std::string(kUucpHubQueue) : route);
    (void)platform::MakeDirectoryTree(platform::ResolvePath(dir));
    CItemWriter w;
    bool ok = w.Begin(dir, ItemKind::kOutbound, 1000) == 0 &&
              CopyMessageWithOverrides(message_, [&](std::string_view d) { return w.Write(d); },
                                       &overrides_, "", envelope_.from) == 0;
    std::string envelope = "[FROM]\r\nFrom=" + EnvelopeSender(envelope_.from) + "\r\n[TO]\r\nn=" +
                           std::to_string(recipients.size()) + "\r\n";
    for (size_t i = 0; i < recipients.size(); ++i) envelope += std::to_string(i) + "=" + recipients[i] + "\r\n";
    if (!ok || w.Commit(envelope) != 0) {
      for (const std::string& r : recipients) carried_.push_back({r, ""});  // tried again next run
    } else if (gen().wakeOutbound) {
      // Only once the item is complete: a run woken earlier would find nothing and the item
      // would wait for the next timed run.
      gen().wakeOutbound();
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
  platform::CMappedFile text;
  toolkit::ParseOptions headerOnly;
  headerOnly.headerOnly = true;
  if (toolkit::ParseMessageFile(message, &parsed, &text, headerOnly) != 0) return;  // stays
  if (parsed.header.hops > ctx.maxHops) {
    CItemWriter w;
    std::string master = MailboxDir(gen.home, kPostmasterMailbox);
    (void)platform::MakeDirectoryTree(platform::ResolvePath(master));
    if (w.Begin(master, ItemKind::kMailbox, 1000, true) == 0 &&
        CopyMessageWithOverrides(message, [&](std::string_view d) { return w.Write(d); }, nullptr, "", "") == 0 &&
        w.Commit() == 0) {
      (void)platform::RemoveFile(envelopeFile);
      (void)platform::RemoveFile(message);
    }
    return;
  }
  EnvelopeFields envelope;
  (void)ReadEnvelope(envelopeFile, &envelope);  // a missing envelope reads as no recipients
  CRun run(ctx, message, envelopeFile, parsed.header, envelope, bouncedLists);
  for (size_t i = 0; i < envelope.to.size(); ++i) {
    if (envelope.steps[i].empty()) {
      run.Recipient(envelope.to[i]);
    } else {
      run.Step(envelope.to[i], envelope.steps[i]);
    }
  }
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
    for (const Carried& c : run.CarriedOver()) {
      fields.to.push_back(c.address);
      fields.steps.push_back(c.step);
    }
    std::string text = FormatEnvelope(fields, platform::LocalTime(platform::Now()));
    if (platform::WriteFileAtomic(carry, text) == 0) {
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
// for the next timer run. Automatic replies are never answered (RFC 3834), so replies do not
// feed each other; the bound keeps any other chain of generated messages from holding a run.
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
  std::string inqueue = InqueueDir(ctx.generated.home);
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
