#include "core/settings.h"

#include <cstdio>

#include "core/message_sink.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/profile.h"

namespace core {
namespace {

constexpr char kSmtp[] = "SMTP";
constexpr char kDns[] = "DNS";
constexpr char kFirewall[] = "Firewall";
constexpr char kCommand[] = "Command";
constexpr char kKaldor[] = "Kaldor";
constexpr char kDomain[] = "Domain";

// Key tables: one row per settings key, so that load and save cannot disagree.
template <typename T>
struct IntKey {
  const char* key;
  int T::*field;
};
template <typename T>
struct TextKey {
  const char* key;
  std::string T::*field;
  size_t maxLen;
};

const IntKey<SmtpSettings> kSmtpInts[] = {
    {"smtpport", &SmtpSettings::smtpPort},
    {"pop3port", &SmtpSettings::pop3Port},
    {"smtptimeout", &SmtpSettings::smtpTimeout},
    {"pop3timeout", &SmtpSettings::pop3Timeout},
    {"MaxSessions", &SmtpSettings::maxSessions},
    {"MailHubPort", &SmtpSettings::mailHubPort},
    {"MailHubEnabled", &SmtpSettings::mailHubEnabled},
    {"etrn", &SmtpSettings::etrn},
    {"NoExternalDelivery", &SmtpSettings::noExternalDelivery},
    {"MaxHops", &SmtpSettings::maxHops},
    {"VacationDays", &SmtpSettings::vacationDays},
    {"DeliveryDelay", &SmtpSettings::deliveryDelay},
    {"DeliveryDelayUnit", &SmtpSettings::deliveryDelayUnit},
    {"pop3client", &SmtpSettings::pop3Client},
    {"pop3clidelay", &SmtpSettings::pop3CliDelay},
    {"pop3usrdelay", &SmtpSettings::pop3UsrDelay},
    {"LogMaxSize", &SmtpSettings::logMaxSize},
    {"smtplog", &SmtpSettings::smtpLog},
    {"lowsmtplog", &SmtpSettings::lowSmtpLog},
    {"poplog", &SmtpSettings::popLog},
    {"lowpoplog", &SmtpSettings::lowPopLog},
    {"smtpclog", &SmtpSettings::smtpcLog},
    {"lowsmtpclog", &SmtpSettings::lowSmtpcLog},
    {"popclog", &SmtpSettings::popcLog},
    {"lowpopclog", &SmtpSettings::lowPopcLog},
    {"bakdelay", &SmtpSettings::bakDelay},
    {"bakaddno", &SmtpSettings::bakAddNo},
    {"bakno", &SmtpSettings::bakNo},
};
const TextKey<SmtpSettings> kSmtpTexts[] = {
    {"IPaddress", &SmtpSettings::ipAddress, kMaxAddressLen},
    {"MailHub", &SmtpSettings::mailHub, kMaxNameLen},
    {"LogViewer", &SmtpSettings::logViewer, kMaxTextLen},
    {"bakcmd", &SmtpSettings::bakCmd, kMaxTextLen},
};
const IntKey<ScheduleSettings> kScheduleInts[] = {
    {"deliver", &ScheduleSettings::deliver},   {"usefreq", &ScheduleSettings::useFreq},
    {"frequency", &ScheduleSettings::frequency}, {"saterday", &ScheduleSettings::saterday},
    {"sunday", &ScheduleSettings::sunday},     {"force", &ScheduleSettings::force},
};
const IntKey<DnsSettings> kDnsInts[] = {
    {"port", &DnsSettings::port},
    {"timeout", &DnsSettings::timeout},
    {"logging", &DnsSettings::logging},
};
const TextKey<DnsSettings> kDnsTexts[] = {
    {"server1", &DnsSettings::server1, kMaxNameLen},
    {"server2", &DnsSettings::server2, kMaxNameLen},
};
const IntKey<FirewallSettings> kFirewallInts[] = {
    {"HeaderLog", &FirewallSettings::headerLog},
    {"SPAMLog", &FirewallSettings::spamLog},
    {"SMTPLog", &FirewallSettings::smtpLog},
    {"SMTPSmartLog", &FirewallSettings::smtpSmartLog},
    {"SmartRedirect", &FirewallSettings::smartRedirect},
    {"SendReport", &FirewallSettings::sendReport},
    {"HighLogging", &FirewallSettings::highLogging},
    {"LowLogging", &FirewallSettings::lowLogging},
};
const IntKey<CommandSettings> kCommandInts[] = {
    {"Delay", &CommandSettings::delay},
    {"EmailFeedback", &CommandSettings::emailFeedback},
    {"Logging", &CommandSettings::logging},
};
const IntKey<KaldorSettings> kKaldorInts[] = {
    {"admlevel", &KaldorSettings::admLevel},
    {"admdelay", &KaldorSettings::admDelay},
};
const TextKey<KaldorSettings> kKaldorTexts[] = {
    {"http_referer_control", &KaldorSettings::httpRefererControl, kMaxTextLen},
    {"webroot", &KaldorSettings::webRoot, kMaxTextLen},
    {"kaldoralias", &KaldorSettings::kaldorAlias, kMaxTextLen},
};

using Entries = std::vector<std::pair<std::string, std::string>>;

template <typename T, size_t N>
void ReadInts(CLockedIniFile& ini, const char* section, const IntKey<T> (&keys)[N], T* out) {
  const T defaults{};
  for (const auto& k : keys) out->*k.field = ini.ReadInt(section, k.key, defaults.*k.field);
}
template <typename T, size_t N>
void ReadTexts(CLockedIniFile& ini, const char* section, const TextKey<T> (&keys)[N], T* out) {
  const T defaults{};
  for (const auto& k : keys) out->*k.field = ini.ReadString(section, k.key, defaults.*k.field, k.maxLen);
}
template <typename T, size_t N>
void AddInts(const IntKey<T> (&keys)[N], const T& in, Entries* out) {
  for (const auto& k : keys) out->emplace_back(k.key, std::to_string(in.*k.field));
}
template <typename T, size_t N>
void AddTexts(const TextKey<T> (&keys)[N], const T& in, Entries* out) {
  for (const auto& k : keys) out->emplace_back(k.key, in.*k.field);
}

}  // namespace

HomePaths HomePaths::Derive(const std::string& home) {
  HomePaths p;
  p.home = home;
  auto under = [&](const char* name) { return platform::JoinPath(home, name); };
  p.command = under("COMMAND");
  p.mailin = under("MAILIN");
  p.uucpHub = under("OUTQUEUE/UUCPHUB");
  p.mailHub = under("OUTQUEUE/MAILHUB");
  p.oemIni = under("OEM.INI");
  p.nexumIni = under("NEXUM2.INI");
  p.kaldorIni = under("KALDOR.INI");
  p.gatesIni = under("GATES.INI");
  p.userverIni = under("USERVER.INI");
  p.quorvaleIni = under("QUORVALE.INI");
  p.firewallCfg = under("FIREWALL.CFG");
  p.messageLog = under("message.log");
  return p;
}

std::vector<int> ParseScheduleTimes(const std::string& text) {
  std::vector<int> times;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of(" ,\t", pos);
    if (end == std::string::npos) end = text.size();
    std::string item = text.substr(pos, end - pos);
    pos = end + 1;
    if (item.empty()) continue;
    size_t colon = item.find(':');
    long hours = platform::ParseDecimal(item.substr(0, colon));
    long minutes = colon == std::string::npos ? 0 : platform::ParseDecimal(item.substr(colon + 1));
    times.push_back(static_cast<int>(hours * 60 + minutes));
  }
  return times;
}

std::string FormatScheduleTimes(const std::vector<int>& times) {
  std::string out;
  for (int t : times) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d ", t / 60, t % 60);
    out += buf;
  }
  return out;
}

CSettings::CSettings(CMessageSink& sink, ISettingsOwners* owners)
    : sink_(sink), owners_(owners != nullptr ? owners : &noOwners_) {
  Publish();
}

int CSettings::LocateHome() {
  std::string home = platform::GetProfileString("TORVIK.INI", "Settings", "HomeDir", "");
  if (home.empty()) {
    home = platform::GetProfileString("ZEPHANT.INI", "TorvikOffice", "HomeDir", "");
    if (!home.empty()) (void)platform::WriteProfileString("TORVIK.INI", "Settings", "HomeDir", home);
  }
  if (home.empty()) {
    sink_.Error("Missing [Settings] section or \"HomeDir=\" entry in TORVIK.INI ");
    return -1;
  }
  SetHome(home);
  return 0;
}

void CSettings::SetHome(const std::string& home) {
  std::string h = platform::NormaliseSeparators(home);
  while (h.size() > 1 && h.back() == '/') h.pop_back();
  paths_ = HomePaths::Derive(h);
  nexum_ = CLockedIniFile(paths_.nexumIni);
  sink_.SetMessageLog(paths_.messageLog);
}

std::shared_ptr<const SettingsValues> CSettings::Snapshot() const {
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  return snapshot_;
}

void CSettings::Publish() {
  auto copy = std::make_shared<const SettingsValues>(values_);
  std::lock_guard<std::mutex> lock(snapshotMutex_);
  snapshot_ = std::move(copy);
}

int CSettings::WithNexum(const std::function<int()>& body) {
  if (nexumDepth_ > 0) return body();  // already inside a load or save of this file
  if (nexum_.BeginForLoadOrSave(sink_) != 0) return -1;
  ++nexumDepth_;
  int rc = body();
  --nexumDepth_;
  nexum_.EndHeldLock();
  Publish();
  return rc;
}

void CSettings::ComputeAddresses() {
  values_.smtp.postmaster = "master@" + values_.smtp.domain;
  values_.smtp.daemon = "MAILER-DAEMON@" + values_.smtp.domain;
}

void CSettings::TellPeer(int code) {
  if (tellPeer_) tellPeer_(code);
}

int CSettings::LoadBranding() {
  CLockedIniFile oem(paths_.oemIni);
  if (oem.BeginForLoadOrSave(sink_) != 0) return -1;
  values_.branding.oemsoft = oem.ReadString("OEMINFO", "oemsoft", "Varnel", kMaxNameLen);
  oem.EndHeldLock();
  Publish();
  return 0;
}

int CSettings::LoadSmtp() {
  return WithNexum([&] {
    SmtpSettings& s = values_.smtp;
    s.domain = nexum_.ReadString(kSmtp, "Domain", "", kMaxNameLen);
    s.localName = nexum_.ReadString(kSmtp, "LocalName", s.domain, kMaxNameLen);
    ReadTexts(nexum_, kSmtp, kSmtpTexts, &s);
    ReadInts(nexum_, kSmtp, kSmtpInts, &s);
    ComputeAddresses();
    CLockedIniFile userver(paths_.userverIni);
    s.uucp = userver.ReadInt("section", "UUCP", 0);
    s.enableUucp = userver.ReadInt("section", "EnableUUCP", 0);
    s.sendByUucp = userver.ReadInt("section", "SendByUUCP", 0);
    return 0;
  });
}

int CSettings::SaveSmtp() {
  return WithNexum([&] {
    const SmtpSettings& s = values_.smtp;
    Entries e = {{"Domain", s.domain}, {"LocalName", s.localName}, {"PostMaster", s.postmaster}};
    AddTexts(kSmtpTexts, s, &e);
    AddInts(kSmtpInts, s, &e);
    return nexum_.WriteEntries(kSmtp, e);
  });
}

int CSettings::LoadSchedule() {
  return WithNexum([&] {
    ScheduleSettings& s = values_.schedule;
    ReadInts(nexum_, kSmtp, kScheduleInts, &s);
    s.schedule = nexum_.ReadString(kSmtp, "schedule", "*");
    if (s.schedule.empty() || s.schedule[0] != '*') {
      s.times = ParseScheduleTimes(s.schedule);
      return 0;
    }
    // The times still live in the old section "Schedule": take them over once.
    int n = nexum_.ReadInt("Schedule", "n", 0);
    s.times.clear();
    for (int i = 1; i <= n; ++i) {
      std::string item =
          nexum_.ReadString("Schedule", std::to_string(i), "", kMaxOldScheduleItemLen);
      for (int t : ParseScheduleTimes(item)) s.times.push_back(t);
    }
    s.schedule = FormatScheduleTimes(s.times);
    if (n <= 0) return 0;  // nothing to migrate: leave the files alone
    if (nexum_.DeleteSection("Schedule") != 0) return -1;
    return SaveSchedule();
  });
}

int CSettings::SaveSchedule() {
  return WithNexum([&] {
    const ScheduleSettings& s = values_.schedule;
    Entries e;
    AddInts(kScheduleInts, s, &e);
    e.emplace_back("schedule", s.schedule);
    return nexum_.WriteEntries(kSmtp, e);
  });
}

int CSettings::LoadDns() {
  return WithNexum([&] {
    ReadTexts(nexum_, kDns, kDnsTexts, &values_.dns);
    ReadInts(nexum_, kDns, kDnsInts, &values_.dns);
    values_.smtp.mailHubEnabled = nexum_.ReadInt(kSmtp, "MailHubEnabled", 0);
    return 0;
  });
}

int CSettings::SaveDns() {
  return WithNexum([&] {
    Entries e;
    AddTexts(kDnsTexts, values_.dns, &e);
    AddInts(kDnsInts, values_.dns, &e);
    return nexum_.WriteEntries(kDns, e);
  });
}

int CSettings::LoadFirewall() {
  return WithNexum([&] {
    FirewallSettings& f = values_.firewall;
    f.maxMsgSize = nexum_.ReadLong(kFirewall, "MaxMsgSize", 0);
    f.minDiskSpace = nexum_.ReadLong(kFirewall, "MinDiskSpace", 0);
    ReadInts(nexum_, kFirewall, kFirewallInts, &f);
    f.smartTo = nexum_.ReadString(kFirewall, "SmartTo", values_.smtp.postmaster, kMaxNameLen);
    return 0;
  });
}

int CSettings::SaveFirewall() {
  return WithNexum([&] {
    const FirewallSettings& f = values_.firewall;
    Entries e = {{"MaxMsgSize", std::to_string(f.maxMsgSize)},
                 {"MinDiskSpace", std::to_string(f.minDiskSpace)}};
    AddInts(kFirewallInts, f, &e);
    e.emplace_back("SmartTo", f.smartTo);
    return nexum_.WriteEntries(kFirewall, e);
  });
}

int CSettings::LoadCommand() {
  return WithNexum([&] {
    CommandSettings& c = values_.command;
    if (nexum_.ReadInt(kCommand, "Delay", -1) >= 0) {
      ReadInts(nexum_, kCommand, kCommandInts, &c);
      c.adminAddress =
          nexum_.ReadString(kCommand, "AdminAddress", values_.smtp.postmaster, kMaxNameLen);
      return 0;
    }
    // First run after an upgrade: the values still live in COMMAND/COMMAND.INI.
    std::string oldPath = platform::JoinPath(paths_.command, "COMMAND.INI");
    CLockedIniFile old(oldPath);
    ReadInts(old, "Settings", kCommandInts, &c);
    c.adminAddress = old.ReadString("Settings", "AdminAddress", values_.smtp.postmaster, kMaxNameLen);
    // The old file goes only once its values are saved: a failed save keeps them for next time.
    int rc = SaveCommand();
    if (rc == 0) (void)platform::RemoveFile(platform::ResolvePath(oldPath));
    return rc;
  });
}

int CSettings::SaveCommand() {
  return WithNexum([&] {
    Entries e;
    AddInts(kCommandInts, values_.command, &e);
    e.emplace_back("AdminAddress", values_.command.adminAddress);
    return nexum_.WriteEntries(kCommand, e);
  });
}

int CSettings::LoadKaldor() {
  return WithNexum([&] {
    KaldorSettings& k = values_.kaldor;
    bool migrate = nexum_.ReadInt(kKaldor, "admlevel", -1) == -1;
    ReadInts(nexum_, kKaldor, kKaldorInts, &k);
    ReadTexts(nexum_, kKaldor, kKaldorTexts, &k);
    if (!migrate) return 0;
    // First run after an upgrade: the web settings still live in KALDOR.INI.
    CLockedIniFile old(paths_.kaldorIni);
    const KaldorSettings defaults;
    k.admLevel = old.ReadInt(kKaldor, "admlevel", defaults.admLevel);
    k.admDelay = old.ReadInt(kKaldor, "admdelay", defaults.admDelay);
    k.httpRefererControl = old.ReadString(kKaldor, "http_referer_control",
                                          defaults.httpRefererControl, kMaxTextLen);
    int rc = SaveKaldor();
    if (rc == 0) (void)platform::RemoveFile(platform::ResolvePath(paths_.kaldorIni));
    return rc;
  });
}

int CSettings::SaveKaldor() {
  return WithNexum([&] {
    Entries e;
    AddInts(kKaldorInts, values_.kaldor, &e);
    AddTexts(kKaldorTexts, values_.kaldor, &e);
    return nexum_.WriteEntries(kKaldor, e);
  });
}

int CSettings::LoadDomains() {
  return WithNexum([&] {
    int n = nexum_.ReadInt(kDomain, "n", 0);
    std::vector<std::string> fromLast;
    for (int i = n - 1; i >= 0; --i) {
      fromLast.push_back(nexum_.ReadString(kDomain, std::to_string(i), "", kMaxDomainRecordLen));
    }
    values_.domainRecords.assign(fromLast.rbegin(), fromLast.rend());
    return owners_->LoadDomainTable(fromLast);
  });
}

int CSettings::SaveDomains() {
  return WithNexum([&] {
    std::vector<std::string> records;
    if (owners_->DomainRecordsToSave(&records)) values_.domainRecords = records;
    int stored = nexum_.ReadInt(kDomain, "n", 0);
    Entries e = {{"n", std::to_string(values_.domainRecords.size())}};
    for (size_t i = 0; i < values_.domainRecords.size(); ++i) {
      e.emplace_back(std::to_string(i), values_.domainRecords[i]);
    }
    // Records beyond the new count are removed, so no stale one is read back later.
    for (int i = static_cast<int>(values_.domainRecords.size()); i < stored; ++i) {
      e.emplace_back(std::to_string(i), "");
    }
    return nexum_.WriteEntries(kDomain, e);
  });
}

int CSettings::SaveModem() {
  int rc = owners_->SaveModem();
  TellPeer(kReloadModem);
  return rc;
}

int CSettings::WriteVersion(const std::string& version) {
  return WithNexum([&] { return nexum_.WriteString(kSmtp, "version", version); });
}

int CSettings::WriteBackupNumber(int bakno) {
  values_.smtp.bakNo = bakno;
  return WithNexum([&] { return nexum_.WriteInt(kSmtp, "bakno", bakno); });
}

namespace {
// Runs every step even when one fails; the first failure is the result.
class CFirstFailure {
 public:
  void operator()(int rc) {
    if (result_ == 0 && rc != 0) result_ = rc;
  }
  int Result() const { return result_; }

 private:
  int result_ = 0;
};
}  // namespace

int CSettings::LoadAll() {
  CFirstFailure step;
  step(LoadBranding());
  step(LoadSmtp());
  step(LoadCommand());
  step(LoadKaldor());
  step(LoadFirewall());
  step(owners_->LoadFirewallRules());
  step(LoadDns());
  step(LoadDomains());
  step(owners_->LoadAccounts());
  step(LoadSchedule());
  step(owners_->LoadUucp());
  step(owners_->LoadModem());
  Publish();
  return step.Result();
}

int CSettings::SaveAll(bool tellPeer) {
  CFirstFailure step;
  step(SaveSmtp());
  step(SaveCommand());
  step(SaveKaldor());
  step(SaveFirewall());
  step(SaveDns());
  step(SaveDomains());
  step(owners_->SaveAccounts());
  step(SaveSchedule());
  step(owners_->SaveUucp());
  step(owners_->SaveModem());
  step(owners_->SaveAccountExtras());
  Publish();
  if (tellPeer) TellPeer(kReloadAll);
  return step.Result();
}

int CSettings::Reload(int code) {
  int result;
  switch (code) {
    case kReloadAll: result = LoadAll(); break;
    case kReloadSmtp: result = LoadSmtp(); break;
    case kReloadDns: result = LoadDns(); break;
    case kReloadSchedule: result = LoadSchedule(); break;
    case kReloadFirewall: result = LoadFirewall(); break;
    case kReloadFirewallRules: result = owners_->LoadFirewallRules(); break;
    case kReloadDomains: result = LoadDomains(); break;
    case kReloadAccounts: result = owners_->LoadAccounts(); break;
    case kReloadCommand: result = LoadCommand(); break;
    case kReloadKaldor: result = LoadKaldor(); break;
    case kReloadUucp: result = owners_->LoadUucp(); break;
    case kReloadModem: result = owners_->LoadModem(); break;
    case kReloadBranding: result = LoadBranding(); break;
    default: result = kReloadUnknown; break;
  }
  Publish();
  char line[64];
  std::snprintf(line, sizeof line, "OnServiceReload(%d) => %d", code, result);
  if (result != 0) {
    sink_.Error(line);
  } else if (reportReloads_) {
    sink_.Information(line);
  }
  return result;
}

}  // namespace core
