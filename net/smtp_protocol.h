// CSMTPProtocol: one SMTP server conversation (RFC 821/5321 subset: HELO, EHLO, MAIL, RCPT,
// DATA, RSET, QUIT, VRFY, ETRN).
//
// The session greets, reads command lines (2048-byte buffer: longer lines are taken in pieces),
// keeps the state machine (1 ready, 2 sender given, 3 recipients given, 5 closing), checks each
// step with the firewall, checks local recipients against the accounts and their mailbox limits,
// and hands each message to the store's inbound intake (INQUEUE): the item is reserved at MAIL,
// written during DATA and committed, synced, before "250 OK" is sent.
//
// Everything that belongs to one message (the queue item, the recipients, the size limit, the
// header keys and the firewall's facts) lives in one transaction value that is replaced whole at
// RSET, after a stored message and at the end: nothing one message earned carries over to the
// next. Commands are dispatched through one table (verb, states, handler) and every reply text
// comes from one table.
//
// Each session runs on its own thread; the shared context is read-only or thread-safe.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/connection_server.h"
#include "net/firewall_checks.h"
#include "net/smtp_parser.h"

namespace core {
class CLogSet;
class CSettings;
}  // namespace core
namespace store {
class CAccountStore;
class CDomainTable;
class CInboundQueue;
}  // namespace store

namespace net {

// What every SMTP session shares.
struct SmtpContext {
  const core::CSettings* settings = nullptr;
  core::CLogSet* logs = nullptr;
  store::CDomainTable* domains = nullptr;
  store::CAccountStore* accounts = nullptr;
  store::CInboundQueue* inqueue = nullptr;
  // Opens the firewall checks of one session (for the client address); unset: nothing is
  // checked.
  std::function<std::unique_ptr<ISmtpFirewall>(const std::string& peer)> openFirewall;
  core::CSessionCounters* counters = nullptr;
  std::string product;  // the product name
  std::string version;  // the version text
  // Runs the inbound distribution (at the end of each session).
  std::function<void()> distribute;
  // Starts a delivery of `queueDir` to host:port (ETRN and HELO call-in). 0 started, 1 already
  // running, -1 failed.
  std::function<int(const std::string& queueDir, const std::string& host, int port)> startDelivery;
  // The log-size watch, after each accepted message.
  std::function<void()> checkLogSizes;
  std::atomic<long> sessionNumber{0};
};

// The reply a client gets when the SMTP server has no room for another session.
extern const char kSmtpTooManySessionsReply[];

struct SmtpTransaction;

class CSMTPProtocol : public CConnectionProtocol {
 public:
  explicit CSMTPProtocol(SmtpContext& context);
  ~CSMTPProtocol() override;
  int ProtocolLoop() override;
  const char* ProtocolName() const override { return "SMTP"; }

 private:
  enum State { kReady = 1, kSender = 2, kRecipients = 3, kClosing = 5 };
  struct CommandEntry;
  static const CommandEntry kCommandTable[];

  void Enter(State next) { state_ = next; }
  // Sends a reply; a failed send closes the session.
  bool Reply(const std::string& text);
  void LowLog(const std::string& text);
  void ConLog(const std::string& text);
  void FirewallLog(const std::string& text);
  // A refusal: the firewall log and the connection log.
  void RejectLog(const std::string& text);
  // A fresh transaction; the old one's unfinished files go.
  void NewTransaction();
  // One command line: looked up in the command table, checked against the state, handled.
  void Dispatch(const SmtpCommandLine& command);
  // Reads one command line. false ends the conversation (the reason is handled).
  bool ReadCommand(std::string* line);

  void OnHelo(const std::string& argument);
  void OnEhlo(const std::string& argument);
  void OnMail(const std::string& argument);
  void OnRcpt(const std::string& argument);
  void OnData(const std::string& argument);
  void OnQuit(const std::string& argument);
  void OnRset(const std::string& argument);
  void OnVrfy(const std::string& argument);
  void OnEtrn(const std::string& argument);
  void OnIgnored(const std::string& argument);
  void OnUnknown(const std::string& argument);
  void Greet(bool extended, const std::string& argument);
  // Receives the data into the item. 0 success, <0 failure; `*sizeRejected` when the size
  // reply was already sent.
  int ReceiveMessage(bool* sizeRejected);
  // One header line: envelope keys, firewall header checks. 0, or -1 when refused (replied).
  int HeaderLine(const std::string& line);
  void EndConversation();

  SmtpContext& context_;
  std::unique_ptr<ISmtpFirewall> firewall_;  // this session's view of the rules
  std::unique_ptr<SmtpTransaction> tx_;      // the message under way
  std::string peer_;
  bool hostKnown_ = false;       // the client passed the host check
  bool trustedClient_ = false;   // the client is in the host accept list
  long number_ = 0;
  State state_ = kReady;
  bool error_ = false;
  bool stored_ = false;             // the last command stored a message
  bool storedThisCommand_ = false;
  int savedError_ = 0;
};

}  // namespace net
