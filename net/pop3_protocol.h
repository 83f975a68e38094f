// CPOP3Protocol: one POP3 server conversation (RFC 1939: USER, PASS, STAT, LIST, RETR, TOP,
// DELE, RSET, NOOP, QUIT).
//
// The session serves one mailbox, MAILIN/<account>. USER finds the account by name or exact
// alias and marks the mailbox in use; PASS opens the maildrop: the complete "M*.MIM" files
// (a file whose busy twin "B*.MIM" exists is still being written and is left out), sorted by
// name, so that message numbers stay fixed for the whole session. A second session on a mailbox
// in use is answered "MailDrop busy" after its password. Messages are sent line by line with
// CR LF endings and dot-stuffing, without the store's internal "X-IStatus:" first line. DELE only
// marks; the marked files are deleted at QUIT, never when the connection breaks.
//
// States: 1 authorization, 2 user given, 3 transaction. Each session runs on its own thread;
// the shared context is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/connection_server.h"

namespace core {
class CLogSet;
class CSettings;
}  // namespace core
namespace store {
class CAccountStore;
}  // namespace store

namespace net {

// What every POP3 session shares.
struct Pop3Context {
  const core::CSettings* settings = nullptr;
  core::CLogSet* logs = nullptr;
  store::CAccountStore* accounts = nullptr;
  std::string home;
  std::string product;  // the product name
  std::string version;  // the version text
  // Saves a mailbox's counters (message count, size in Kbytes) into its account files.
  std::function<void(const std::string& account, int count, int sizeKbytes)> saveCounters;
  std::atomic<long> sessionNumber{0};
};

class CPOP3Protocol : public CConnectionProtocol {
 public:
  explicit CPOP3Protocol(Pop3Context& context) : context_(context) {}
  ~CPOP3Protocol() override;
  int ProtocolLoop() override;
  const char* ProtocolName() const override { return "POP3"; }

  // Longest command line kept, and longest USER/PASS argument.
  static constexpr size_t kMaxCommandLine = 255;
  // Longest part of a TOP argument.
  static constexpr size_t kMaxTopPart = 31;

 private:
  enum State { kAuthorization = 1, kUserGiven = 2, kTransaction = 3 };
  enum Command { kUser, kPass, kTop, kStat, kRetr, kList, kDele, kQuit, kRset, kNoop, kNok, kUnknown };

  struct Entry {
    std::string path;
    uint64_t size = 0;
    bool deleted = false;
  };

  static Command Parse(const std::string& line, std::string* argument);
  // The message number of an argument: 0 when missing, -1 when below 1.
  static long MessageNumber(const std::string& argument);
  bool Reply(const std::string& text);
  void LowLog(const std::string& text);
  void ConLog(const std::string& text);

  // One command; false ends the conversation.
  bool Dispatch(Command command, const std::string& argument);
  void OnUser(const std::string& argument);
  void OnPass(const std::string& argument);
  bool OnTransaction(Command command, const std::string& argument);
  // Checks a message number against the maildrop; replies and returns false when it is bad.
  bool CheckNumber(long number, const char* command);
  bool SendMessage(const Entry& entry, long topLines);
  void OpenMaildrop();
  void DeleteMarked();
  void ReleaseAccount();

  Pop3Context& context_;
  std::string peer_;
  long number_ = 0;
  State state_ = kAuthorization;
  std::string account_;   // the account held since USER ("" none)
  std::string password_;  // its password, copied at USER
  bool markedByUs_ = false;
  bool wasInUse_ = false;
  std::vector<Entry> maildrop_;
  uint64_t totalBytes_ = 0;
};

}  // namespace net
