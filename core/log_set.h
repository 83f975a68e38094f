// The server's log files, the switch that enables each, their recorded sizes and the size watch.
//
// CLogSet owns one CLogger per log of the home directory. Writing through it checks the log's
// switch in the current settings snapshot and then records the file's size in kilobytes
// (bytes / 1000), which the size watch compares with LogMaxSize. The watch sends one warning
// mail to the postmaster until a log is cleared from the console. A console is often a process
// of its own: a log found shorter than its recorded size (when it is written, or when the watch
// runs) was cleared elsewhere, and re-arms the watch as a clear in this process does.
//
// Thread-safe: any thread may log; the sizes are atomics; the sent mark is atomic.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "core/logger.h"

namespace core {

class CSettings;
struct SettingsValues;

enum class LogId {
  kSmtpCon,    // smtpcon.log, switch smtplog
  kSmtpLow,    // smtplow.log, lowsmtplog
  kPopCon,     // popcon.log, poplog
  kPopLow,     // poplow.log, lowpoplog
  kSmtpcCon,   // smtpccon.log, smtpclog
  kSmtpcLow,   // smtpclow.log, lowsmtpclog
  kPopcCon,    // popccon.log, popclog
  kPopcLow,    // popclow.log, lowpopclog
  kFirewall,   // firewall.log, Firewall/LowLogging
  kDns,        // dns.log, DNS/logging
  kCommand,    // COMMAND/COMMAND.LOG, Command/Logging
  kError,      // error.log, always
  kCount
};

// The file name of a log, relative to the home directory.
const char* LogFileName(LogId id);

// Queues a server-made message; the generated-message writer fills it. 0 or negative.
using QueueMessageFn = std::function<int(const std::string& to, const std::string& from,
                                         const std::string& subject, const std::string& body)>;

class CLogSet {
 public:
  explicit CLogSet(const CSettings& settings);
  CLogSet(const CLogSet&) = delete;
  CLogSet& operator=(const CLogSet&) = delete;

  // Points every logger at the home directory; called once after the home is known.
  void SetHome(const std::string& home);

  bool Enabled(LogId id) const;
  static bool Enabled(LogId id, const SettingsValues& values);
  // Writes the line when the log's switch is on, then records the size. 1 written, 0 not.
  int Write(LogId id, std::string_view text);
  int WriteF(LogId id, const char* format, ...) __attribute__((format(printf, 3, 4)));

  CLogger& Logger(LogId id) { return loggers_[static_cast<size_t>(id)]; }
  long SizeKb(LogId id) const {
    return static_cast<long>(sizes_[static_cast<size_t>(id)].load() / 1000);
  }
  // Records the file's size; a size below the recorded one re-arms the size watch.
  void RecordSize(LogId id);
  // Empties a log (console command) and re-arms the size watch.
  int Clear(LogId id);

  // The size watch, run after each accepted message. `uucpLogsOver(limit)` asks the UUCP
  // gateway about its own logs. Returns 1 when the warning was queued, 0 otherwise.
  int CheckSizes(const std::function<bool(long limitKb)>& uucpLogsOver, const QueueMessageFn& queue);
  void RearmSizeWatch() { warningSent_ = false; }

 private:
  const CSettings& settings_;
  std::array<CLogger, static_cast<size_t>(LogId::kCount)> loggers_;
  // Recorded sizes in bytes; each mutex keeps one log's stat-and-record whole, so that two
  // writers cannot record their sizes out of order and look like a shrink.
  std::array<std::atomic<int64_t>, static_cast<size_t>(LogId::kCount)> sizes_{};
  std::array<std::mutex, static_cast<size_t>(LogId::kCount)> sizeMutexes_;
  std::atomic<bool> warningSent_{false};
};

}  // namespace core
