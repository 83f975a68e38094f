// CCommandQueue: the command directory H/COMMAND and the batches other programs queue there.
//
// Writers append command lines to COMMAND.TXT, each batch of lines with one open-append-close
// while they hold the queue lock COMMAND.LCK (CommandQueueLock), and post signal 300 to the
// server. A run takes the queue lock, renames COMMAND.TXT to COMMAND.CMD (the batch; the previous
// one is deleted first) and lets go of the lock, so lines appended meanwhile form the next batch
// and none is lost. While a batch runs the server also holds COMMAND.RUN: a writer that saw its
// lines leave COMMAND.TXT and then takes that lock knows its batch has run.
//
// Each line (see command_line.h) is executed by the command table; a line after "end" is not
// run. Every executed line is logged to COMMAND.LOG when Logging is on, "%d:\t%s" or
// "%d:ERR%d\t%s" (line number in the batch from 1, result, the line with control bytes shown as
// \xNN); a failing line (result not 0) is mailed to AdminAddress when EmailFeedback is on. The
// list commands write COMMAND.$$$ and rename it over USERLIST.TXT or MBOXLIST.TXT, so a reader
// never sees half a list. Account names are checked before they become paths or file entries.
//
// Commands whose owners live in other modules reach them through ICommandOwners; an owner that
// is not there answers kCommandNotAvailable.
//
// Main thread only (called from the tick); one run at a time. Results of a command: 0 done,
// kCommandUnknown (-99) unknown command, wrong token count or malformed line, -1 failed, -2 a
// password too long. Run: 0 the batch ran to its end, 1 nothing to run, -1 not taken or a
// read error.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/command_line.h"

namespace core {

class CMessageSink;
class CSettings;
class IServerJobs;
struct CSessionCounters;

constexpr int kCommandUnknown = -99;
constexpr int kCommandFailed = -1;
constexpr int kCommandPasswordTooLong = -2;
constexpr int kCommandNotAvailable = -1;
// AddAccount's answer when the account exists.
constexpr int kCommandAccountExists = 1;
// Account names and passwords hold fewer characters than this.
constexpr size_t kCommandMaxName = 16;

constexpr char kCommandQueueFile[] = "COMMAND.TXT";
constexpr char kCommandBatchFile[] = "COMMAND.CMD";
constexpr char kCommandLogFile[] = "COMMAND.LOG";
constexpr char kCommandTempFile[] = "COMMAND.$$$";
constexpr char kCommandLockFile[] = "COMMAND.LCK";
constexpr char kCommandRunFile[] = "COMMAND.RUN";
constexpr char kUserListFile[] = "USERLIST.TXT";
constexpr char kMailboxListFile[] = "MBOXLIST.TXT";
constexpr char kUserListErrFile[] = "USERLIST.ERR";

struct AccountListing {
  std::string name;
  std::vector<std::string> addresses;  // "local@domain"
};

// Attachment encodings of sendfile.
enum class CommandEncoding { kBase64, kQuotedPrintable, kUuencode, kAscii };

// What the commands change in other modules. The defaults answer kCommandNotAvailable.
class ICommandOwners {
 public:
  virtual ~ICommandOwners() = default;
  virtual bool AccountExists(const std::string& name) {
    (void)name;
    return false;
  }
  virtual int ReloadAccounts() { return kCommandNotAvailable; }
  virtual int ListAccounts(std::vector<AccountListing>* out) {
    (void)out;
    return kCommandNotAvailable;
  }
  // Creates the account with `addresses` (in order, up to the first that cannot be added),
  // saves the account files and tells the other process. 0, kCommandAccountExists, or -1.
  virtual int AddAccount(const std::string& name, const std::string& password,
                         const std::vector<std::string>& addresses) {
    (void)name, (void)password, (void)addresses;
    return kCommandNotAvailable;
  }
  // 0, or -1 for an unknown account or a failed save.
  virtual int SetPassword(const std::string& name, const std::string& password) {
    (void)name, (void)password;
    return kCommandNotAvailable;
  }
  // 0 also for an unknown account.
  virtual int DeleteAccount(const std::string& name) {
    (void)name;
    return kCommandNotAvailable;
  }
  virtual int ControlGate(const std::string& gate, bool start) {
    (void)gate, (void)start;
    return kCommandNotAvailable;
  }
  virtual void CollectPop3Account(const std::string& account) { (void)account; }
  virtual int Subscribe(const std::string& list, const std::string& address,
                        const std::string& name) {
    (void)list, (void)address, (void)name;
    return kCommandNotAvailable;
  }
  virtual int Unsubscribe(const std::string& list, const std::string& address) {
    (void)list, (void)address;
    return kCommandNotAvailable;
  }
  virtual int QueueText(const std::string& to, const std::string& from, const std::string& subject,
                        const std::string& text) {
    (void)to, (void)from, (void)subject, (void)text;
    return kCommandNotAvailable;
  }
  virtual int QueueFile(const std::string& file, const std::string& name, const std::string& to,
                        const std::string& from, const std::string& subject,
                        CommandEncoding encoding, const std::string& receiptTo,
                        const std::string& text) {
    (void)file, (void)name, (void)to, (void)from, (void)subject, (void)encoding, (void)receiptTo,
        (void)text;
    return kCommandNotAvailable;
  }
};

// An account name that may become a directory and a file entry: 1 to 15 characters, no "/",
// "\\", ":", blank or control character, not "." or "..".
bool ValidAccountName(std::string_view name);
// A value for a header or an envelope: one line, no control characters.
bool OneLineValue(std::string_view value);

struct CommandQueueContext {
  CSettings& settings;
  CMessageSink& sink;
  IServerJobs& jobs;
  ICommandOwners& owners;
  CSessionCounters& counters;
  bool serviceMode = false;  // each line also goes to message.log
};

class CCommandQueue {
 public:
  explicit CCommandQueue(CommandQueueContext context);
  CCommandQueue(const CCommandQueue&) = delete;
  CCommandQueue& operator=(const CCommandQueue&) = delete;

  // Takes COMMAND.TXT as one batch and runs it (see above).
  int Run();
  // Runs one line as line `number` of a batch; false when it was "end".
  bool ExecuteLine(int number, std::string_view line);
  // The result of one tokenised command (no logging or feedback).
  int Execute(const std::vector<std::string>& tokens);

  std::string Path(const char* name) const;

 private:
  int RunBatch(const std::string& batchPath);
  void LogResult(int number, std::string_view line, int result);
  void Feedback(std::string_view line, int result);
  int AppendCommandLog(const std::string& text);
  int WriteList(const char* target, bool withAddresses);
  int AddUser(const std::vector<std::string>& t);
  int Password(const std::vector<std::string>& t);
  int SendMessage(const std::vector<std::string>& t);
  int SendFile(const std::vector<std::string>& t);
  int LoadGroup(const std::string& name);
  int SetNumber(const std::string& value, int* target);

  CommandQueueContext ctx_;
  bool running_ = false;
  bool reportedNotFile_ = false;
};

// The writers' side. Appends `lines` (each given without its line end) to COMMAND.TXT in the
// command directory `commandDir` with one open-append-close under the queue lock, waiting at most
// `waitMs` for that lock. 0, or -1 (lock not taken, or the append failed).
int AppendCommandLines(const std::string& commandDir, const std::vector<std::string>& lines,
                       unsigned waitMs = 5000);

}  // namespace core
