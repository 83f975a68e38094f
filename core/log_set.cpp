#include "core/log_set.h"

#include <cstdio>

#include "core/settings.h"
#include "platform/path.h"

namespace core {

const char* LogFileName(LogId id) {
  switch (id) {
    case LogId::kSmtpCon: return "smtpcon.log";
    case LogId::kSmtpLow: return "smtplow.log";
    case LogId::kPopCon: return "popcon.log";
    case LogId::kPopLow: return "poplow.log";
    case LogId::kSmtpcCon: return "smtpccon.log";
    case LogId::kSmtpcLow: return "smtpclow.log";
    case LogId::kPopcCon: return "popccon.log";
    case LogId::kPopcLow: return "popclow.log";
    case LogId::kFirewall: return "firewall.log";
    case LogId::kDns: return "dns.log";
    case LogId::kCommand: return "COMMAND/COMMAND.LOG";
    case LogId::kError: return "error.log";
    case LogId::kCount: break;
  }
  return "";
}

CLogSet::CLogSet(const CSettings& settings) : settings_(settings) {}

void CLogSet::SetHome(const std::string& home) {
  for (size_t i = 0; i < loggers_.size(); ++i) {
    loggers_[i].SetPath(platform::JoinPath(home, LogFileName(static_cast<LogId>(i))));
  }
}

bool CLogSet::Enabled(LogId id, const SettingsValues& v) {
  switch (id) {
    case LogId::kSmtpCon: return v.smtp.smtpLog != 0;
    case LogId::kSmtpLow: return v.smtp.lowSmtpLog != 0;
    case LogId::kPopCon: return v.smtp.popLog != 0;
    case LogId::kPopLow: return v.smtp.lowPopLog != 0;
    case LogId::kSmtpcCon: return v.smtp.smtpcLog != 0;
    case LogId::kSmtpcLow: return v.smtp.lowSmtpcLog != 0;
    case LogId::kPopcCon: return v.smtp.popcLog != 0;
    case LogId::kPopcLow: return v.smtp.lowPopcLog != 0;
    case LogId::kFirewall: return v.firewall.lowLogging != 0;
    case LogId::kDns: return v.dns.logging != 0;
    case LogId::kCommand: return v.command.logging != 0;
    case LogId::kError: return true;
    case LogId::kCount: break;
  }
  return false;
}

bool CLogSet::Enabled(LogId id) const { return Enabled(id, *settings_.Snapshot()); }

int CLogSet::Write(LogId id, std::string_view text) {
  if (!Enabled(id)) return 0;
  int written = Logger(id).Write(text);
  if (written) RecordSize(id);
  return written;
}

int CLogSet::WriteF(LogId id, const char* format, ...) {
  if (!Enabled(id)) return 0;
  va_list args;
  va_start(args, format);
  char buf[2048];
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n < 0) return 0;
  size_t len = static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1;
  return Write(id, std::string_view(buf, len));
}

void CLogSet::RecordSize(LogId id) {
  size_t i = static_cast<size_t>(id);
  std::lock_guard<std::mutex> hold(sizeMutexes_[i]);
  int64_t bytes = Logger(id).Size();
  if (bytes < sizes_[i].exchange(bytes)) RearmSizeWatch();
}

int CLogSet::Clear(LogId id) {
  int rc = Logger(id).Clear();
  RecordSize(id);
  RearmSizeWatch();
  return rc;
}

int CLogSet::CheckSizes(const std::function<bool(long)>& uucpLogsOver,
                        const QueueMessageFn& queue) {
  std::shared_ptr<const SettingsValues> v = settings_.Snapshot();
  long limit = v->smtp.logMaxSize;
  if (limit < 1) return 0;
  // Logs emptied since they were last written (by a console process) re-arm the watch. Only
  // shrinking is taken from the files: growth counts when this process writes.
  for (size_t i = 0; i < sizes_.size(); ++i) {
    std::lock_guard<std::mutex> hold(sizeMutexes_[i]);
    if (sizes_[i].load() == 0) continue;
    int64_t bytes = loggers_[i].Size();
    if (bytes < sizes_[i].load()) {
      sizes_[i] = bytes;
      RearmSizeWatch();
    }
  }
  bool over = false;
  for (size_t i = 0; i < sizes_.size(); ++i) {
    over = over || SizeKb(static_cast<LogId>(i)) > limit;
  }
  if (!over && !(uucpLogsOver && uucpLogsOver(limit))) return 0;
  if (warningSent_.exchange(true)) return 0;
  char body[512];
  std::snprintf(body, sizeof body,
                "Warning from <%s>\r\n\r\nAt least one Mail Server log-file became larger than "
                "%ld Kbytes!\r\n\r\nRegards.\r\n",
                v->smtp.postmaster.c_str(), limit);
  if (queue) queue(v->smtp.postmaster, v->smtp.postmaster, "[Mail Server]. Warning!", body);
  return 1;
}

}  // namespace core
