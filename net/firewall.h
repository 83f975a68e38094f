// The firewall and anti-spam rules of the SMTP server: the eight pattern lists of FIREWALL.CFG,
// the pattern test, and the per-session checks that fill ISmtpFirewall.
//
// Patterns: "*" alone or "*text*" is a case-sensitive substring test; "text*" a case-insensitive
// prefix test; "*text" a case-insensitive suffix test that needs a longer text; anything else a
// case-insensitive equality.
//
// CFirewallRules holds the lists as one immutable snapshot that a load replaces as a whole; each
// SMTP session takes the snapshot (and the settings) once at its start, so a reload changes the
// verdicts of new sessions only and never the lists under a running one.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings_values.h"
#include "net/firewall_checks.h"

namespace core {
class CLogSet;
class CSettings;
}  // namespace core
namespace store {
class CDomainTable;
}  // namespace store

namespace net {

enum FirewallList {
  kAcceptHostIp,   // [ACCEPT_HOST_IP] trusted client addresses
  kSmtpIp,         // [SMTP_IP] refused client addresses
  kSmtpHelo,       // [SMTP_HELO] refused HELO names
  kSmtpFrom,       // [SMTP_FROM] refused senders
  kSmtpTo,         // [SMTP_TO] refused recipients
  kHeaderTo,       // [Header_To]
  kHeaderFrom,     // [Header_From]
  kHeaderSubject,  // [Header_Subject]
  kFirewallListCount
};

struct FirewallLists {
  std::array<std::vector<std::string>, kFirewallListCount> lists;
  const std::vector<std::string>& operator[](FirewallList l) const { return lists[l]; }
};

// Patterns are used up to this many characters.
constexpr size_t kMaxPattern = 128;

bool MatchPattern(std::string_view text, std::string_view pattern);
// True when any pattern of the list matches (in list order); false for an empty list.
bool MatchList(std::string_view text, const std::vector<std::string>& list);

// Reads the text of FIREWALL.CFG into `out`. True when it has an [ACCEPT_HOST_IP] section.
bool ParseFirewallText(std::string_view text, FirewallLists* out);

// The lines appended to a FIREWALL.CFG that has no [ACCEPT_HOST_IP] section.
extern const char kDefaultAcceptBlock[];

class CFirewallRules {
 public:
  CFirewallRules() : lists_(std::make_shared<const FirewallLists>()) {}
  // Loads FIREWALL.CFG (appending the default accept block when it has none). 0, or a negative
  // file error when it cannot be read: the lists then stay as they were.
  int Load(const std::string& path);
  std::shared_ptr<const FirewallLists> Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lists_;
  }

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const FirewallLists> lists_;
};

// What the firewall sessions share.
struct FirewallContext {
  const core::CSettings* settings = nullptr;
  core::CLogSet* logs = nullptr;
  const store::CDomainTable* domains = nullptr;
  const CFirewallRules* rules = nullptr;
  std::string home;     // for the free-disk check
  std::string product;  // for the log banner and the stop subject
  std::string version;
  // Queues a server-made message: (to, subject, file, from, limit) as QueueFileMessage does.
  std::function<int(const std::string& to, const std::string& subject, const std::string& file,
                    const std::string& from, long limit)>
      queueFileMessage;
  // Free bytes on the home directory's file system (replaceable for tests); < 0 unknown.
  std::function<int64_t(const std::string& path)> freeDiskSpace;
};

// The checks of one SMTP session, on the lists and settings as they were when it began.
class CFirewallSession : public ISmtpFirewall {
 public:
  CFirewallSession(const FirewallContext& context, std::string peer);

  bool HostAllowed(const std::string& peer, bool* host, bool* accepted) override;
  bool RejectListsActive() override { return settings_.smtpLog != 0; }
  bool HeloRejected(const std::string& name) override;
  bool SenderRejected(const std::string& address) override;
  bool RecipientRejected(const std::string& address) override;
  bool HeaderRejected(const std::string& name, const std::string& value, std::string* what) override;
  bool SmartChecks() override { return settings_.smtpSmartLog != 0; }
  long RaiseSizeLimit(long current, const std::string& domain) override;
  bool StopMessage(const SmtpMessageFacts& facts) override;

 private:
  void Log(const std::string& text);
  long DiskCap(long limit);

  const FirewallContext& context_;
  std::string peer_;
  std::shared_ptr<const FirewallLists> lists_;
  core::FirewallSettings settings_;
  std::string postmaster_;
};

}  // namespace net
