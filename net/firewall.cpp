#include "net/firewall.h"

#include "core/log_set.h"
#include "core/settings.h"
#include "platform/fs.h"
#include "platform/system.h"
#include "platform/text.h"
#include "store/domain_table.h"

namespace net {
namespace {

struct Section {
  const char* name;
  FirewallList list;
};

constexpr Section kSections[] = {
    {"[ACCEPT_HOST_IP]", kAcceptHostIp}, {"[SMTP_IP]", kSmtpIp},
    {"[SMTP_HELO]", kSmtpHelo},          {"[SMTP_FROM]", kSmtpFrom},
    {"[SMTP_TO]", kSmtpTo},              {"[Header_To]", kHeaderTo},
    {"[Header_From]", kHeaderFrom},      {"[Header_Subject]", kHeaderSubject},
};

}  // namespace

const char kDefaultAcceptBlock[] =
    "\r\n[ACCEPT_HOST_IP]\r\n#Firewall client IP checking\r\n# * => all client accepted\r\n"
    "# 127.0.0.1 => this machine accepted\r\n# 123.123.123.* => these clients accepted\r\n"
    "*\r\n127.0.0.1\r\n";

bool MatchPattern(std::string_view text, std::string_view pattern) {
  pattern = pattern.substr(0, kMaxPattern);
  if (pattern.empty()) return text.empty();
  bool lead = pattern.front() == '*';
  bool trail = pattern.size() > 1 && pattern.back() == '*';
  if (pattern == "*" || (lead && trail)) {
    std::string_view inner = pattern.substr(1, pattern.size() >= 2 ? pattern.size() - 2 : 0);
    return text.find(inner) != std::string_view::npos;  // case-sensitive
  }
  if (trail) return platform::StartsWithNoCase(text, pattern.substr(0, pattern.size() - 1));
  if (lead) {
    std::string_view rest = pattern.substr(1);
    return text.size() > rest.size() && platform::EndsWithNoCase(text, rest);
  }
  return platform::EqualNoCase(text, pattern);
}

bool MatchList(std::string_view text, const std::vector<std::string>& list) {
  for (const std::string& pattern : list) {
    if (MatchPattern(text, pattern)) return true;
  }
  return false;
}

bool ParseFirewallText(std::string_view text, FirewallLists* out) {
  bool sawAccept = false;
  std::vector<std::string>* current = nullptr;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && (line[0] == '#' || line[0] == ';')) continue;
    size_t first = line.find_first_not_of(" \t\r\f\v");
    if (first == std::string_view::npos) continue;
    size_t last = line.find_last_not_of(" \t\r\f\v");
    line = line.substr(first, last - first + 1);
    if (line[0] == '[') {
      bool known = false;
      for (const Section& s : kSections) {
        if (platform::EqualNoCase(line, s.name)) {
          current = &out->lists[s.list];
          current->clear();
          sawAccept = sawAccept || s.list == kAcceptHostIp;
          known = true;
          break;
        }
      }
      if (known) continue;
    }
    if (current) current->emplace_back(line);
  }
  return sawAccept;
}

int CFirewallRules::Load(const std::string& path) {
  std::string text;
  if (int rc = platform::ReadWholeFile(path, &text); rc != 0) return rc;
  auto lists = std::make_shared<FirewallLists>();
  if (!ParseFirewallText(text, lists.get())) {
    lists->lists[kAcceptHostIp] = {"*"};
    (void)platform::AppendToFile(path, kDefaultAcceptBlock);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  lists_ = std::move(lists);
  return 0;
}

CFirewallSession::CFirewallSession(const FirewallContext& context, std::string peer)
    : context_(context), peer_(std::move(peer)), lists_(context.rules->Snapshot()) {
  auto values = context.settings->Snapshot();
  settings_ = values->firewall;
  postmaster_ = values->smtp.postmaster;
}

void CFirewallSession::Log(const std::string& text) {
  context_.logs->Write(core::LogId::kFirewall, peer_ + ": " + text);
}

bool CFirewallSession::HostAllowed(const std::string& peer, bool* host, bool* accepted) {
  Log("**** " + context_.product + " " + context_.version + " ****");
  *host = true;  // without the accept list every client passes the host check
  *accepted = false;
  if (settings_.spamLog != 0) {
    *host = *accepted = MatchList(peer, (*lists_)[kAcceptHostIp]);
    Log(std::string(*host ? "IP accept  host [" : "IP unknown host [") + peer + "]");
  }
  if (settings_.smtpLog != 0 && MatchList(peer, (*lists_)[kSmtpIp])) {
    Log("Reject SMTP IP address: " + peer);
    context_.logs->Write(core::LogId::kSmtpCon, peer_ + ": Reject SMTP IP address: " + peer);
    return false;
  }
  return true;
}

bool CFirewallSession::HeloRejected(const std::string& name) {
  return MatchList(name, (*lists_)[kSmtpHelo]);
}

bool CFirewallSession::SenderRejected(const std::string& address) {
  return MatchList(address, (*lists_)[kSmtpFrom]);
}

bool CFirewallSession::RecipientRejected(const std::string& address) {
  return MatchList(address, (*lists_)[kSmtpTo]);
}

bool CFirewallSession::HeaderRejected(const std::string& name, const std::string& value,
                                      std::string* what) {
  if (settings_.smtpLog == 0) return false;
  FirewallList list;
  if (platform::EqualNoCase(name, "Subject:")) {
    list = kHeaderSubject;
    *what = "Subject:";
  } else if (platform::EqualNoCase(name, "To:")) {
    list = kHeaderTo;
    *what = "  To:";
  } else if (platform::EqualNoCase(name, "From:")) {
    list = kHeaderFrom;
    *what = "From:";
  } else {
    return false;
  }
  return MatchList(value, (*lists_)[list]);
}

long CFirewallSession::DiskCap(long limit) {
  if (settings_.minDiskSpace < 1) return limit;
  int64_t free = context_.freeDiskSpace ? context_.freeDiskSpace(context_.home)
                                        : platform::FreeDiskSpace(context_.home);
  if (free < 0) free = (settings_.minDiskSpace + 1) * 1000;  // unknown: taken as just enough
  int64_t units = free / 1000;
  if (units == 0) return limit;
  long cap = static_cast<long>(std::max<int64_t>(1, units - settings_.minDiskSpace));
  return limit == 0 || limit > cap ? cap : limit;
}

long CFirewallSession::RaiseSizeLimit(long current, const std::string& domain) {
  if (current == 0) return DiskCap(0);
  auto table = context_.domains->Snapshot();
  const store::DomainRecord* record = table->Find(domain);
  long value = record ? record->sizeLimit : settings_.maxMsgSize;
  long limit = value < 1 ? 0 : std::max(current, value);
  // A domain neither local nor routed leaves by the default route; when a domain record serves
  // the default queue, its limit applies as well (0 lifts the limit, a larger one raises it).
  if (record == nullptr && limit != 0 && !table->IsLocalDomain(domain)) {
    for (const store::DomainRecord& r : table->records) {
      if (r.deleted || r.added || !platform::EqualNoCase(r.queueDir, store::CDomainTable::kDefaultQueueDir)) {
        continue;
      }
      limit = r.sizeLimit < 1 ? 0 : std::max(limit, r.sizeLimit);
      break;
    }
  }
  return DiskCap(limit);
}

bool CFirewallSession::StopMessage(const SmtpMessageFacts& facts) {
  if (settings_.smtpSmartLog == 0 || facts.accepted) return false;
  std::string subject = "[" + context_.product + "] Firewall stopped this message.";
  // The message's header, up to and including its first empty line, into the envelope file.
  std::string text, header;
  if (platform::ReadWholeFile(facts.messagePath, &text) == 0) {
    size_t end = text.find("\r\n\r\n");
    header = end == std::string::npos ? text : text.substr(0, end + 4);
  }
  if (platform::WriteFileAtomic(facts.envelopePath, header, /*sync=*/false) == 0 &&
      context_.queueFileMessage) {
    constexpr long kReturnedHeader = 2500;
    if (settings_.smartRedirect != 0 && !settings_.smartTo.empty()) {
      (void)context_.queueFileMessage(settings_.smartTo, subject, facts.envelopePath,
                                      settings_.smartTo, kReturnedHeader);
    }
    if (settings_.sendReport != 0) {
      std::string originator = !facts.replyTo.empty()   ? facts.replyTo
                               : !facts.xSender.empty() ? facts.xSender
                               : !facts.sender.empty()  ? facts.sender
                               : facts.logSender != "?" ? facts.logSender
                                                        : std::string();
      if (!originator.empty()) {
        (void)context_.queueFileMessage(originator, subject, facts.envelopePath, postmaster_,
                                        kReturnedHeader);
      }
    }
  }
  (void)platform::RemoveFile(facts.envelopePath);
  std::string reasons;
  if (!facts.hostKnown) reasons += " IP-Client!";
  if (!facts.recipientKnown) reasons += " RCPT!";
  if (!facts.senderKnown) reasons += " From:!";
  if (!facts.sizeKept) reasons += " Size>" + std::to_string(facts.sizeLimit) + " Kb!";
  std::string sender = facts.logSender;
  while (!sender.empty() && (sender.back() == '\r' || sender.back() == '\n')) sender.pop_back();
  std::string line = "Do not accept message from=" + core::LogSafe(sender) + " to=" +
                     core::LogSafe(facts.logRecipient) + "." + reasons;
  Log(line);
  context_.logs->Write(core::LogId::kSmtpCon, peer_ + ": " + line);
  return true;
}

}  // namespace net
