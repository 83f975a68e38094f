// CPOP3Client: one collection run over remote POP3 mailboxes (RFC 1939), on the thread the
// collector (pop3_collector.h) gives it.
//
// Every local account may name five remote mailboxes in section POP3ACC of its MAILBOX.INI,
// keys acc1..acc5, each "*enabled\t*user\t*password\t*server\t*delete" (every field behind a
// "*"; the password scrambled like the account passwords). For each enabled slot in slot order
// the run logs in with USER and PASS on port 110, asks STAT and retrieves the messages from the
// last down to the first. A message is written into the destination with the status line
// "X-IStatus:" (new) and a "Received:" header of its own, dot-unstuffed (RFC 1939 3), through
// the store's item writer: it is invisible under its busy marker while it arrives, and synced on
// disk under its final name before DELE is sent for it, so a crash never loses a message the
// server has let go of. A message that breaks (closed connection, time-out, a line too long
// for the 2048-byte buffer) or cannot be stored loses its local part, stays on the server and
// ends that mailbox's retrieval; unless the connection is lost the rest of it is read first, so
// that the server still hears QUIT and applies the earlier DELEs (a server deletes only at
// QUIT, RFC 1939 6).
//
// Two destinations: an account's mailbox MAILIN/<account> (the message as it came), or, for the
// shared collection of `$default`, the inbound queue INQUEUE with an envelope whose recipients
// are the addresses of the "To:" and "Cc:" headers that are local and name an account or alias
// (failing those, the remote user name). A message with no such recipient is not stored and
// stays on the server.
//
// Logs: popclow.log (lowpopclog) the dialogue and errors, popccon.log (popclog) the POP3 ERROR
// lines, messages not distributed and the summaries; each line begins with the peer's address.
// Any "-" answer of a server produces one "ERROR checking POP3 account" notice per run.
//
// One object per run, used by one thread. Never throws. Results: 0, kPop3Negative (a "-"
// answer or an unreadable STAT), kPop3FileError (a local file could not be written), -1 (the
// connection failed).
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "store/generated_messages.h"

namespace core {
class CLogSet;
class CSettings;
struct CSessionCounters;
}  // namespace core
namespace net {
class CSocketExtension;
}
namespace store {
class CAccountStore;
class CDomainTable;
}  // namespace store

namespace outbound {

constexpr int kPop3Negative = -11401;
constexpr int kPop3FileError = -11403;
constexpr int kPop3Broken = -1;

constexpr int kPop3Port = 110;
constexpr int kPop3Slots = 5;
constexpr int kPop3BufferSize = 2048;  // answer and data lines: at most 2046 characters + CR LF
constexpr char kPop3SectionName[] = "POP3ACC";
constexpr char kPop3EmptySlot[] = "*0\t*\t*\t*\t*1";
constexpr char kPop3NoticeSubject[] = "ERROR checking POP3 account";

struct Pop3Slot {
  bool enabled = false;
  std::string user;
  std::string password;  // plain text (unscrambled)
  std::string server;
  bool deleteAfter = true;
};

// One "acc?" value; fields that are missing read as in the empty slot.
Pop3Slot ParsePop3Slot(std::string_view value);
// The five slots of the mailbox directory `mailboxDir` (its MAILBOX.INI, under its lock).
std::array<Pop3Slot, kPop3Slots> LoadPop3Slots(const std::string& mailboxDir);

// What every run shares with the collector.
struct Pop3ClientContext {
  std::string home;
  const core::CSettings* settings = nullptr;  // pop3timeout, LocalName, the postmaster address
  core::CLogSet* logs = nullptr;
  const store::CDomainTable* domains = nullptr;
  const store::CAccountStore* accounts = nullptr;
  // The writers of the notice; unset: no notice.
  std::function<store::GeneratedContext()> generated;
  std::string product;  // product name and version for the "Received:" line
  std::string version;
  const core::CSessionCounters* counters = nullptr;  // the stopping flag
  int port = kPop3Port;                              // tests only: a scripted peer on another port
};

class Pop3MessageSink;

class CPOP3Client {
 public:
  // `account`: the local account (its mailbox is the destination), or, when `shared`, the
  // account whose slots are collected into INQUEUE with envelopes (`$default`).
  CPOP3Client(const Pop3ClientContext& context, std::string account, bool shared);
  ~CPOP3Client();
  CPOP3Client(const CPOP3Client&) = delete;
  CPOP3Client& operator=(const CPOP3Client&) = delete;

  // Loads the account's slots; the number of enabled ones.
  int LoadSlots();
  // Collects every enabled slot, then sends the notice when a server answered "-". The result of
  // the last slot that failed, else 0.
  int Run();

  bool ServerAnsweredError() const { return errorFlag_; }
  long MessagesStored() const { return stored_; }

 private:
  int Login(const Pop3Slot& slot);
  int Retrieve(const Pop3Slot& slot);
  // Receives one message after a positive RETR answer. 0 stored, 1 not stored (no recipient),
  // or a negative code (the local part is removed).
  int StoreMessage(long number);
  // `failed`: a file error already (the message is read and dropped). 0 or a negative code.
  int ReceiveBody(long number, Pop3MessageSink& sink, int failed);
  // Bytes: the largest message kept (MaxMsgSize) and the free space to keep (MinDiskSpace);
  // 0 = no limit.
  struct FirewallLimits {
    long maxBytes = 0;
    int64_t keepFree = 0;
  };
  FirewallLimits Limits() const;
  // Reads to the end of the message after a line too long; false when the connection is lost
  // (or the rest is beyond any message's size).
  bool SkipRestOfMessage();
  int SendCommand(const std::string& word, const std::string& argument);
  int ReadAnswer();
  void Quit();
  void Close();
  bool Stopping() const;
  void SendNotice();

  void LowLog(const std::string& text);
  void ConLog(const std::string& text);

  Pop3ClientContext context_;
  std::string account_;
  bool shared_;
  std::array<Pop3Slot, kPop3Slots> slots_{};
  std::unique_ptr<net::CSocketExtension> socket_;
  std::string peer_;    // the connected server's address (log prefix)
  std::string answer_;  // the last answer line, without CR LF
  std::string server_, user_;
  long bytes_ = 0;  // stored in the current connection
  long stored_ = 0;
  bool errorFlag_ = false;
  std::vector<std::string> errorLines_;  // quoted in the notice
};

}  // namespace outbound
