// CSMTPProtocol: one SMTP server conversation (RFC 821/5321 subset: HELO, EHLO, MAIL, RCPT,
// DATA, RSET, QUIT, VRFY, ETRN).
//
// The session greets, reads command lines (2048-byte buffer: longer lines are taken in pieces),
// keeps the state machine (1 ready, 2 sender given, 3 recipients given, 5 closing), checks each
// step with the firewall, checks local recipients against the accounts and their mailbox limits,
// and writes each message into INQUEUE: the envelope R<n>.TMP from MAIL on, the busy marker
// B<n>.TMP while the data arrives, the message M<n>.TMP with the status line and a "Received:"
// trace. "250 OK" is sent only when message and envelope are synced to disk. Files of an
// unfinished transaction are removed at RSET and at the end of the conversation.
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
#include "platform/file.h"
#include "platform/lock_file.h"

namespace core {
class CLogSet;
class CSettings;
}  // namespace core
namespace store {
class CAccountStore;
class CDomainTable;
}  // namespace store

namespace net {

// What every SMTP session shares.
struct SmtpContext {
  const core::CSettings* settings = nullptr;
  core::CLogSet* logs = nullptr;
  store::CDomainTable* domains = nullptr;
  store::CAccountStore* accounts = nullptr;
  // Opens the firewall checks of one session (for the client address); unset: nothing is
  // checked.
  std::function<std::unique_ptr<ISmtpFirewall>(const std::string& peer)> openFirewall;
  core::CSessionCounters* counters = nullptr;
  std::string home;
  std::string product;  // the product name
  std::string version;  // the version text
  // Runs the inbound distribution (at the end of each session).
  std::function<void()> distribute;
  // Starts a delivery of `queueDir` to host:port (ETRN and HELO call-in). 0 started, 1 already
  // running, -1 failed.
  std::function<int(const std::string& queueDir, const std::string& host, int port)> startDelivery;
  // The log-size watch after each session.
  std::function<void()> checkLogSizes;
  std::atomic<long> sessionNumber{0};
  // Where the search for a free envelope name starts: one past the last name taken, so that a
  // full queue is not scanned from 0 for every message (a free name is found either way).
  std::atomic<long> nextEnvelope{0};
};

class CSMTPProtocol : public CConnectionProtocol {
 public:
  explicit CSMTPProtocol(SmtpContext& context) : context_(context) {}
  int ProtocolLoop() override;
  const char* ProtocolName() const override { return "SMTP"; }

 private:
  enum State { kReady = 1, kSender = 2, kRecipients = 3, kClosing = 5 };
  enum Command { kHelo, kMail, kRcpt, kData, kQuit, kRset, kVrfy, kDot, kEtrn, kEhlo, kEmpty, kUnknown };

  static Command Parse(const std::string& line, std::string* argument);
  bool Reply(const std::string& text);
  void LowLog(const std::string& text);
  void ConLog(const std::string& text);
  void FirewallLog(const std::string& text);
  // A refusal: the firewall log and the connection log.
  void RejectLog(const std::string& text);
  void Dispatch(Command command, const std::string& argument);

  void OnHelo(const std::string& argument, bool extended);
  void OnMail(const std::string& argument);
  void OnRcpt(const std::string& argument);
  void OnData();
  void OnRset();
  void OnVrfy(const std::string& argument);
  void OnEtrn(const std::string& argument);
  // Receives the data into the message file. 0 success, <0 failure; `*handled` when a reply was
  // already sent (size or header rejection).
  int ReceiveMessage(bool* sizeRejected);
  void AppendRecipient(const std::string& address) { recipientList_.push_back(address); }
  // One header line: envelope keys, firewall header checks. 0, or -1 when refused (replied).
  int HeaderLine(const std::string& line);
  // The whole envelope, written and synced. 0 or -1.
  int WriteEnvelope();
  void DeleteTransactionFiles();
  void ResetAfterStore();
  void EndConversation();

  SmtpContext& context_;
  std::unique_ptr<ISmtpFirewall> firewall_;  // this session's view of the rules
  bool trustedClient_ = false;               // the client is in the host accept list
  long number_ = 0;
  State state_ = kReady;
  bool error_ = false;
  bool stored_ = false;
  bool storedThisCommand_ = false;
  std::string envelope_, message_;
  platform::CBusyMarker marker_;  // held from DATA until the item is complete
  platform::CFile messageFile_;  // the received message, open until it is synced
  std::vector<std::string> recipientList_;
  long messageSize_ = 0;
  long sizeLimit_ = -1;
  SmtpMessageFacts facts_;
  std::string subject_, receipt_, replyTo_, errorTo_;
  bool inHeader_ = false;
  int savedError_ = 0;
};

}  // namespace net
