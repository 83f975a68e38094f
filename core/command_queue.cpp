#include "core/command_queue.h"

#include <cstdio>
#include <cstdlib>

#include "core/jobs.h"
#include "core/logger.h"
#include "core/message_sink.h"
#include "core/settings.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/lock_file.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"

namespace core {
namespace {

constexpr unsigned kLockPauseMs = 5;
constexpr unsigned kServerLockWaitMs = 2000;  // writers hold the lock for one append
constexpr char kFeedbackSubject[] = "ERROR in a Mail Server command!!!";
constexpr char kStartRefused[] =
    "The program is running in Server mode. \n\nSorry. You cannot start the service.";
constexpr char kStopRefused[] =
    "The program is running in Server mode. \n\nSorry. You cannot stop the service.";

enum class Cmd {
  kStartService,
  kStopService,
  kStartAllGates,
  kStopAllGates,
  kStartGate,
  kStopGate,
  kLoadAlias,
  kLoadUser,
  kLoadPassword,
  kGetPop3Mail,
  kBackup,
  kLoadGroup,
  kListUser,
  kListMailbox,
  kAddUser,
  kPassword,
  kDelUser,
  kEraseLogFile,
  kEmailFeedback,
  kAdminAddress,
  kSetLogging,
  kReadIniFile,
  kSaveIniFile,
  kSubscribe,
  kUnsubscribe,
  kSendFile,
  kSendMessage,
  kLogDateTime,
  kLogMessage,
  kExit,
};

struct CommandEntry {
  const char* name;
  size_t tokens;  // command included
  bool atLeast;
  Cmd cmd;
};

// The command table: names compared without case, token counts exact unless `atLeast`.
constexpr CommandEntry kCommands[] = {
    {"StartService", 2, false, Cmd::kStartService},
    {"StopService", 2, false, Cmd::kStopService},
    {"StartAllGates", 1, false, Cmd::kStartAllGates},
    {"StopAllGates", 1, false, Cmd::kStopAllGates},
    {"StartGate", 2, false, Cmd::kStartGate},
    {"StopGate", 2, false, Cmd::kStopGate},
    {"LoadAlias", 2, false, Cmd::kLoadAlias},
    {"LoadUser", 2, false, Cmd::kLoadUser},
    {"LoadPassword", 2, false, Cmd::kLoadPassword},
    {"GetPop3Mail", 2, false, Cmd::kGetPop3Mail},
    {"Backup", 1, false, Cmd::kBackup},
    {"LoadDNS", 1, false, Cmd::kLoadGroup},
    {"LoadDomains", 1, false, Cmd::kLoadGroup},
    {"LoadFirewall", 1, false, Cmd::kLoadGroup},
    {"LoadFirewallCfg", 1, false, Cmd::kLoadGroup},
    {"LoadSettings", 1, false, Cmd::kLoadGroup},
    {"LoadSMTPSchedule", 1, false, Cmd::kLoadGroup},
    {"LoadCommand", 1, false, Cmd::kLoadGroup},
    {"LoadOEM", 1, false, Cmd::kLoadGroup},
    {"LoadUUCP", 1, false, Cmd::kLoadGroup},
    {"LoadModem", 1, false, Cmd::kLoadGroup},
    {"LoadUsers", 1, false, Cmd::kLoadGroup},
    {"LoadAll", 1, false, Cmd::kLoadGroup},
    {"LoadKaldor", 1, false, Cmd::kLoadGroup},
    {"listuser", 1, true, Cmd::kListUser},
    {"listmailbox", 1, false, Cmd::kListMailbox},
    {"adduser", 3, true, Cmd::kAddUser},
    {"password", 3, false, Cmd::kPassword},
    {"deluser", 2, false, Cmd::kDelUser},
    {"eraselogfile", 1, false, Cmd::kEraseLogFile},
    {"emailfeedback", 2, false, Cmd::kEmailFeedback},
    {"adminaddress", 2, false, Cmd::kAdminAddress},
    {"setlogging", 2, false, Cmd::kSetLogging},
    {"readinifile", 1, false, Cmd::kReadIniFile},
    {"saveinifile", 1, false, Cmd::kSaveIniFile},
    {"subscribe", 4, false, Cmd::kSubscribe},
    {"unsubscribe", 3, false, Cmd::kUnsubscribe},
    {"sendfile", 7, true, Cmd::kSendFile},
    {"sendmessage", 5, false, Cmd::kSendMessage},
    {"logdatetime", 1, true, Cmd::kLogDateTime},
    {"logmessage", 2, false, Cmd::kLogMessage},
    {"exit", 1, false, Cmd::kExit},
};

// The settings group each load command reloads.
struct GroupEntry {
  const char* name;
  int code;
};
constexpr GroupEntry kGroups[] = {
    {"LoadDNS", kReloadDns},           {"LoadDomains", kReloadDomains},
    {"LoadFirewall", kReloadFirewall}, {"LoadFirewallCfg", kReloadFirewallRules},
    {"LoadSettings", kReloadSmtp},     {"LoadSMTPSchedule", kReloadSchedule},
    {"LoadCommand", kReloadCommand},   {"LoadOEM", kReloadBranding},
    {"LoadUUCP", kReloadUucp},         {"LoadModem", kReloadModem},
    {"LoadUsers", kReloadAccounts},    {"LoadAll", kReloadAll},
    {"LoadKaldor", kReloadKaldor},
};

const CommandEntry* FindCommand(const std::string& name) {
  for (const CommandEntry& e : kCommands) {
    if (platform::EqualNoCase(name, e.name)) return &e;
  }
  return nullptr;
}

bool TakeLock(platform::CLockFile& lock, const std::string& path, unsigned waitMs) {
  uint64_t deadline = platform::TickCount() + waitMs;
  for (;;) {
    if (lock.TryAcquire(path) == platform::LockAttempt::kHeld) return true;
    if (platform::TickCount() >= deadline) return false;
    platform::SleepMilliseconds(kLockPauseMs);
  }
}

bool RegularFile(const std::string& path) {
  return platform::FileExists(path) && !platform::DirectoryExists(path);
}

}  // namespace

bool ValidAccountName(std::string_view name) {
  if (name.empty() || name.size() >= kCommandMaxName || name == "." || name == "..") return false;
  if (name.find("..") != std::string_view::npos) return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f || c == '/' || c == '\\' || c == ':' || c == ' ') return false;
  }
  return true;
}

bool OneLineValue(std::string_view value) {
  for (unsigned char c : value) {
    if (c < 0x20 || c == 0x7f) return false;
  }
  return true;
}

CCommandQueue::CCommandQueue(CommandQueueContext context) : ctx_(context) {}

std::string CCommandQueue::Path(const char* name) const {
  return platform::ResolvePath(platform::JoinPath(ctx_.settings.Paths().command, name));
}

int CCommandQueue::Run() {
  if (running_) return 1;
  std::string queue = Path(kCommandQueueFile);
  if (!platform::FileExists(queue)) return 1;
  if (!RegularFile(queue)) {
    // Left alone: whoever made it must remove it. Reported once.
    if (!reportedNotFile_) ctx_.sink.Error(queue + " is not a file: no commands can be queued");
    reportedNotFile_ = true;
    return -1;
  }
  reportedNotFile_ = false;
  running_ = true;
  platform::CLockFile runLock;
  platform::CLockFile queueLock;
  int rc = -1;
  std::string batch = Path(kCommandBatchFile);
  if (TakeLock(runLock, Path(kCommandRunFile), kServerLockWaitMs) &&
      TakeLock(queueLock, Path(kCommandLockFile), kServerLockWaitMs)) {
    (void)platform::RemoveFile(batch);
    int renamed = platform::RenameFile(queue, batch);
    queueLock.Release();
    if (renamed == 0) rc = RunBatch(batch);
  }
  running_ = false;
  return rc;
}

int CCommandQueue::RunBatch(const std::string& batchPath) {
  platform::CFile file;
  if (file.Open(batchPath, platform::FileMode::kRead) != 0) return -1;
  // Lines are cut from blocks; a line over the limit is kept only far enough to know it is.
  std::string line;
  int number = 1;
  char buf[16384];
  for (;;) {
    long n = file.Read(buf, sizeof buf);
    if (n < 0) return -1;
    if (n == 0) break;
    for (long i = 0; i < n; ++i) {
      if (buf[i] != '\n') {
        if (line.size() <= kCommandLineMax + 1) line += buf[i];
        continue;
      }
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!ExecuteLine(number++, line)) return 0;
      line.clear();
    }
  }
  if (!line.empty()) {
    if (line.back() == '\r') line.pop_back();
    (void)ExecuteLine(number, line);
  }
  return 0;
}

bool CCommandQueue::ExecuteLine(int number, std::string_view line) {
  CommandLine parsed = ParseQueueLine(line);
  if (parsed.kind == CommandLineKind::kEnd) return false;
  if (parsed.kind == CommandLineKind::kComment) return true;
  if (ctx_.serviceMode) ctx_.sink.Information(LogSafe(line, kCommandLineMax));
  int result = parsed.kind == CommandLineKind::kCommand ? Execute(parsed.tokens) : kCommandUnknown;
  LogResult(number, line, result);
  Feedback(line, result);
  return true;
}

void CCommandQueue::LogResult(int number, std::string_view line, int result) {
  if (ctx_.settings.Values().command.logging == 0) return;
  std::string text = LogSafe(line, kCommandLineMax);
  if (line.size() > kCommandLineMax) text += "...";  // cut: the line was refused for its length
  char head[48];
  if (result >= 0) {
    std::snprintf(head, sizeof head, "%d:\t", number);
  } else {
    std::snprintf(head, sizeof head, "%d:ERR%d\t", number, result);
  }
  (void)AppendCommandLog(head + text);
}

void CCommandQueue::Feedback(std::string_view line, int result) {
  const CommandSettings& c = ctx_.settings.Values().command;
  if (result == 0 || c.emailFeedback == 0 || c.adminAddress.empty()) return;
  if (!OneLineValue(c.adminAddress)) return;
  std::string body = "ERR" + std::to_string(result) + ": " + LogSafe(line, kCommandLineMax);
  (void)ctx_.owners.QueueText(c.adminAddress, ctx_.settings.Values().smtp.daemon, kFeedbackSubject,
                              body);
}

int CCommandQueue::AppendCommandLog(const std::string& text) {
  return platform::AppendToFile(Path(kCommandLogFile), text + "\r\n");
}

int CCommandQueue::Execute(const std::vector<std::string>& t) {
  if (t.empty()) return kCommandUnknown;
  const CommandEntry* e = FindCommand(t[0]);
  if (e == nullptr || (e->atLeast ? t.size() < e->tokens : t.size() != e->tokens)) {
    return kCommandUnknown;
  }
  SettingsValues& v = ctx_.settings.MutableValues();
  switch (e->cmd) {
    case Cmd::kStartService:
    case Cmd::kStopService:
      // The queue runs in the server role, which never drives the service from here.
      ctx_.sink.Warning(e->cmd == Cmd::kStartService ? kStartRefused : kStopRefused);
      return kCommandFailed;
    case Cmd::kStartAllGates:
      ctx_.jobs.StartGates();
      return 0;
    case Cmd::kStopAllGates:
      ctx_.jobs.StopGates();
      return 0;
    case Cmd::kStartGate:
      return ctx_.owners.ControlGate(t[1], true);
    case Cmd::kStopGate:
      return ctx_.owners.ControlGate(t[1], false);
    case Cmd::kLoadAlias:
    case Cmd::kLoadUser:
    case Cmd::kLoadPassword:
      if (!ValidAccountName(t[1]) || !ctx_.owners.AccountExists(t[1])) return kCommandFailed;
      return ctx_.owners.ReloadAccounts();
    case Cmd::kGetPop3Mail:
      // "-" asks for the shared collection of the default accounts, like the timer.
      if (!t[1].empty() && t[1][0] == '-') {
        ctx_.jobs.CollectPop3(false);
      } else if (ValidAccountName(t[1])) {
        ctx_.owners.CollectPop3Account(t[1]);
      }
      return 0;
    case Cmd::kBackup:
      ctx_.counters.backupRequested = true;
      return 0;
    case Cmd::kLoadGroup:
      return LoadGroup(t[0]);
    case Cmd::kListUser:
      return WriteList(kUserListFile, true);
    case Cmd::kListMailbox:
      return WriteList(kMailboxListFile, false);
    case Cmd::kAddUser:
      return AddUser(t);
    case Cmd::kPassword:
      return Password(t);
    case Cmd::kDelUser:
      if (!ValidAccountName(t[1])) return kCommandFailed;
      return ctx_.owners.DeleteAccount(t[1]);
    case Cmd::kEraseLogFile:
      return platform::RemoveFile(Path(kCommandLogFile)) == 0 ? 0 : kCommandFailed;
    case Cmd::kEmailFeedback:
      return SetNumber(t[1], &v.command.emailFeedback);
    case Cmd::kSetLogging:
      return SetNumber(t[1], &v.command.logging);
    case Cmd::kAdminAddress:
      if (!OneLineValue(t[1])) return kCommandFailed;
      v.command.adminAddress = t[1];
      ctx_.settings.Publish();
      return 0;
    case Cmd::kReadIniFile:
      return ctx_.settings.LoadCommand();
    case Cmd::kSaveIniFile:
      return ctx_.settings.SaveCommand();
    case Cmd::kSubscribe:
      if (!OneLineValue(t[2]) || !OneLineValue(t[3])) return kCommandFailed;
      return ctx_.owners.Subscribe(t[1], t[2], t[3]);
    case Cmd::kUnsubscribe:
      if (!OneLineValue(t[2])) return kCommandFailed;
      return ctx_.owners.Unsubscribe(t[1], t[2]);
    case Cmd::kSendFile:
      return SendFile(t);
    case Cmd::kSendMessage:
      return SendMessage(t);
    case Cmd::kLogDateTime: {
      std::string stamp = LogTimestamp(platform::Now());
      return AppendCommandLog(t.size() > 1 ? "\t" + stamp + "- " + t[1] : "\t" + stamp) == 0
                 ? 0
                 : kCommandFailed;
    }
    case Cmd::kLogMessage:
      return AppendCommandLog(t[1]) == 0 ? 0 : kCommandFailed;
    case Cmd::kExit:
      ctx_.counters.exitRequested = true;
      return 0;
  }
  return kCommandUnknown;
}

int CCommandQueue::LoadGroup(const std::string& name) {
  for (const GroupEntry& g : kGroups) {
    if (platform::EqualNoCase(name, g.name)) return ctx_.settings.Reload(g.code);
  }
  return kCommandUnknown;
}

int CCommandQueue::SetNumber(const std::string& value, int* target) {
  *target = std::atol(value.c_str()) > 0 ? 1 : 0;
  ctx_.settings.Publish();
  return 0;
}

int CCommandQueue::WriteList(const char* target, bool withAddresses) {
  std::vector<AccountListing> accounts;
  if (int rc = ctx_.owners.ListAccounts(&accounts); rc != 0) return rc;
  std::string text;
  for (const AccountListing& a : accounts) {
    text += a.name;
    if (withAddresses) {
      for (const std::string& address : a.addresses) text += "\t" + address;
    }
    text += "\r\n";
  }
  std::string temp = Path(kCommandTempFile);
  platform::CFile file;
  if (file.Open(temp, platform::FileMode::kWrite) != 0) return kCommandFailed;
  if (file.Write(text) != 0 || file.Sync() != 0) {
    file.Close();
    (void)platform::RemoveFile(temp);
    return kCommandFailed;
  }
  file.Close();
  // rename(2) replaces the old list in one step: a reader sees the old list or the new one.
  return platform::RenameFile(temp, Path(target)) == 0 ? 0 : kCommandFailed;
}

int CCommandQueue::AddUser(const std::vector<std::string>& t) {
  const std::string& name = t[1];
  if (!ValidAccountName(name)) {
    ctx_.sink.Error("adduser: refused account name \"" + LogSafe(name, 64) + "\"");
    return kCommandFailed;
  }
  if (t[2].size() >= kCommandMaxName) return kCommandPasswordTooLong;
  std::vector<std::string> addresses{name + "@" + ctx_.settings.Values().smtp.domain};
  for (size_t i = 3; i < t.size(); ++i) {
    // The addresses are taken up to the first that cannot be an address.
    if (t[i].empty() || !OneLineValue(t[i]) || t[i].find(' ') != std::string::npos) break;
    addresses.push_back(t[i]);
  }
  int rc = ctx_.owners.AddAccount(name, t[2], addresses);
  if (rc == kCommandAccountExists) {
    (void)platform::AppendToFile(Path(kUserListErrFile), name + "\r\n");
    return kCommandFailed;
  }
  return rc;
}

int CCommandQueue::Password(const std::vector<std::string>& t) {
  if (!ValidAccountName(t[1])) return kCommandFailed;
  if (t[2].size() >= kCommandMaxName) return kCommandPasswordTooLong;
  return ctx_.owners.SetPassword(t[1], t[2]);
}

int CCommandQueue::SendMessage(const std::vector<std::string>& t) {
  // recipient, sender, subject go into headers and the envelope: one line each.
  for (size_t i = 1; i <= 3; ++i) {
    if (!OneLineValue(t[i])) return kCommandFailed;
  }
  if (t[1].empty()) return kCommandFailed;
  return ctx_.owners.QueueText(t[1], t[2], t[3], WrapCommandText(UnescapeCommandText(t[4])));
}

int CCommandQueue::SendFile(const std::vector<std::string>& t) {
  const std::string& encoding = t[6];
  CommandEncoding e;
  if (platform::EqualNoCase(encoding, "Binary") || platform::EqualNoCase(encoding, "B64")) {
    e = CommandEncoding::kBase64;
  } else if (platform::EqualNoCase(encoding, "Text") || platform::EqualNoCase(encoding, "QP")) {
    e = CommandEncoding::kQuotedPrintable;
  } else if (platform::EqualNoCase(encoding, "Uuencode") ||
             platform::EqualNoCase(encoding, "Uuencoded")) {
    e = CommandEncoding::kUuencode;
  } else if (platform::EqualNoCase(encoding, "Ascii")) {
    e = CommandEncoding::kAscii;
  } else {
    return kCommandFailed;
  }
  std::string receipt = t.size() > 7 ? t[7] : std::string();
  std::string text = t.size() > 8 ? UnescapeCommandText(t[8]) : std::string();
  for (size_t i = 2; i <= 5; ++i) {
    if (!OneLineValue(t[i])) return kCommandFailed;
  }
  if (t[3].empty() || !OneLineValue(receipt)) return kCommandFailed;
  if (!RegularFile(platform::ResolvePath(t[1]))) return kCommandFailed;
  return ctx_.owners.QueueFile(platform::ResolvePath(t[1]), t[2], t[3], t[4], t[5], e, receipt,
                               text);
}

int AppendCommandLines(const std::string& commandDir, const std::vector<std::string>& lines,
                       unsigned waitMs) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  std::string dir = platform::ResolvePath(commandDir);
  platform::CLockFile lock;
  if (!TakeLock(lock, platform::ResolvePath(platform::JoinPath(dir, kCommandLockFile)), waitMs)) {
    return -1;
  }
  return platform::AppendToFile(platform::ResolvePath(platform::JoinPath(dir, kCommandQueueFile)),
                                text);
}

}  // namespace core
