// CPOP3Protocol: one POP3 server conversation (RFC 1939: USER, PASS, STAT, LIST, RETR, TOP,
// DELE, RSET, NOOP, QUIT).
//
// The session serves one mailbox, MAILIN/<account>, through the store's maildrop. USER finds
// the account by name or exact alias; a correct PASS marks the mailbox in use and opens the
// maildrop (so nobody can lock a mailbox without its password). An account without a password
// cannot be opened. A second session on a mailbox in use is answered "MailDrop busy" after its
// password. Messages are sent line by line with CR LF endings and dot-stuffing, without the
// store's internal status line. DELE only marks; the marked files are deleted at QUIT, never
// when the connection breaks.
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
#include "net/pop3_parser.h"
#include "store/maildrop.h"

namespace core {
class CLogSet;
class CSettings;
}  // namespace core
namespace store {
class CAccountStore;
}  // namespace store

namespace net {

// The reply a client gets when the POP3 server has no room for another session.
extern const char kPop3TooManySessionsReply[];

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

 private:
  enum State { kAuthorization = 1, kUserGiven = 2, kTransaction = 3 };
  bool Reply(const std::string& text);
  void LowLog(const std::string& text);
  void ConLog(const std::string& text);

  // One command; false ends the conversation.
  bool Dispatch(const Pop3CommandLine& command);
  void OnUser(const std::string& argument);
  void OnPass(const std::string& argument);
  bool OnTransaction(Pop3Verb verb, const std::string& argument);
  // Checks a message number against the maildrop; replies and returns false when it is bad.
  bool CheckNumber(long number, const char* command);
  bool SendMessage(const store::CMaildrop::Entry& entry, long topLines);
  void ReleaseAccount();

  Pop3Context& context_;
  std::string peer_;
  long number_ = 0;
  State state_ = kAuthorization;
  std::string account_;   // the account held since USER ("" none)
  std::string password_;  // its password, copied at USER
  bool markedByUs_ = false;  // this session holds the account's in-use mark
  store::CMaildrop maildrop_;
};

}  // namespace net
