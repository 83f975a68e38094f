// The server's settings, group by group, with their defaults. Plain values: the loader in
// settings.h fills them from the settings files of the home directory.
#pragma once

#include <string>
#include <vector>

namespace core {

// Longest texts the settings hold (buffer size less one).
constexpr size_t kMaxNameLen = 127;
constexpr size_t kMaxAddressLen = 15;
constexpr size_t kMaxTextLen = 255;
constexpr size_t kMaxDomainRecordLen = 255;
constexpr size_t kMaxOldScheduleItemLen = 9;

// Section SMTP of NEXUM2.INI (and the UUCP switches of USERVER.INI).
struct SmtpSettings {
  std::string domain;
  std::string localName;
  std::string ipAddress = "0.0.0.0";
  int smtpPort = 25;
  int pop3Port = 110;
  int smtpTimeout = 120;
  int pop3Timeout = 120;
  // Most sessions each of the SMTP and POP3 servers runs at once; more connections are turned
  // away with a busy reply (each session holds a thread and a few descriptors).
  int maxSessions = 100;
  std::string mailHub;
  int mailHubPort = 25;
  int mailHubEnabled = 0;
  int etrn = 0;
  int noExternalDelivery = 0;
  int maxHops = 30;
  int vacationDays = 7;  // one vacation reply per sender and account within this many days
  int deliveryDelay = 10;
  int deliveryDelayUnit = 0;  // 0 seconds, otherwise minutes
  int pop3Client = 0;
  int pop3CliDelay = 0;  // minutes; 0 = never by timer
  int pop3UsrDelay = 0;
  int logMaxSize = 1000;  // kilobytes
  int smtpLog = 1, lowSmtpLog = 0;
  int popLog = 1, lowPopLog = 0;
  int smtpcLog = 1, lowSmtpcLog = 0;
  int popcLog = 1, lowPopcLog = 0;
  std::string logViewer;
  std::string bakCmd;
  int bakDelay = 0;  // hours
  int bakAddNo = 1;
  int bakNo = 0;
  // From USERVER.INI, section "section".
  int uucp = 0, enableUucp = 0, sendByUucp = 0;
  // Computed after each load: "master@<Domain>" and "MAILER-DAEMON@<Domain>".
  std::string postmaster;
  std::string daemon;
};

// The delivery schedule keys (also in section SMTP).
struct ScheduleSettings {
  int deliver = 1;
  int useFreq = 1;
  int frequency = 5;  // minutes
  std::string schedule = "*";
  std::vector<int> times;  // minutes since midnight, parsed from `schedule`
  int saterday = 0;
  int sunday = 0;
  int force = 0;
};

struct DnsSettings {
  std::string server1;
  std::string server2;
  int port = 53;
  int timeout = 20;
  int logging = 0;
};

struct FirewallSettings {
  long maxMsgSize = 0;
  long minDiskSpace = 0;
  int headerLog = 0;
  int spamLog = 0;
  int smtpLog = 0;
  int smtpSmartLog = 1;
  int smartRedirect = 1;
  int sendReport = 0;
  int highLogging = 0;
  int lowLogging = 0;
  std::string smartTo;
};

struct CommandSettings {
  int delay = 0;  // seconds; 0 is used as 10
  int emailFeedback = 1;
  int logging = 0;
  std::string adminAddress;
};

struct KaldorSettings {
  int admLevel = 0;
  int admDelay = 300;
  std::string httpRefererControl = "kaldor.dll";
  std::string webRoot;
  std::string kaldorAlias = "kaldor.dll";
};

struct BrandingSettings {
  std::string oemsoft = "Varnel";
};

struct SettingsValues {
  SmtpSettings smtp;
  ScheduleSettings schedule;
  DnsSettings dns;
  FirewallSettings firewall;
  CommandSettings command;
  KaldorSettings kaldor;
  BrandingSettings branding;
  // Section Domain as stored, in key order "0".."n-1"; the store's domain table parses them.
  std::vector<std::string> domainRecords;
};

// Paths derived from the home directory H.
struct HomePaths {
  std::string home;         // H
  std::string command;      // H/COMMAND
  std::string mailin;       // H/MAILIN
  std::string uucpHub;      // H/OUTQUEUE/UUCPHUB
  std::string mailHub;      // H/OUTQUEUE/MAILHUB
  std::string oemIni;       // H/OEM.INI
  std::string nexumIni;     // H/NEXUM2.INI
  std::string kaldorIni;    // H/KALDOR.INI
  std::string gatesIni;     // H/GATES.INI
  std::string userverIni;   // H/USERVER.INI
  std::string quorvaleIni;  // H/QUORVALE.INI
  std::string firewallCfg;  // H/FIREWALL.CFG
  std::string messageLog;   // H/message.log

  static HomePaths Derive(const std::string& home);
};

// Parses a schedule text ("08:00 17:30", "8:00,17:30"): items separated by blanks or commas,
// each split at ":" into decimal hours and minutes.
std::vector<int> ParseScheduleTimes(const std::string& text);
// The stored form: "HH:MM " for each time.
std::string FormatScheduleTimes(const std::vector<int>& times);

}  // namespace core
