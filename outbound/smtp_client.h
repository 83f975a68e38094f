// CSMTPClient: delivers one outbound queue (OUTQUEUE/<dir>) to other mail servers.
//
// Two ways of working, chosen per queue by the queue runner:
//  - relay run: every message of the queue goes over one connection to one host (the relay host
//    of the default queue, or the route host of a domain queue);
//  - DNS run: the default queue without relay host; each message is delivered domain by domain,
//    each domain's host found with the resolver, with retries scheduled in the envelope
//    (NxtSend, see retry_schedule.h) and the message discarded after its fifteenth attempt.
//
// The dialogue: greeting, EHLO (HELO when EHLO is refused), ETRN when asked for and offered,
// then per message MAIL FROM, RCPT TO per recipient, DATA, the message dot-stuffed with CR LF
// line ends and without its leading X-IStatus line, ".", and QUIT at the end. Senders learn of
// failures through a failure report. A message is removed only when every recipient is delivered
// or refused for good (5xx); a temporary failure (4xx, a broken connection, no route) keeps the
// recipients concerned in the queue. Items are removed envelope first, then the message.
//
// Logs: smtpclow.log (switch lowsmtpclog) gets the dialogue and the run's progress, smtpccon.log
// (smtpclog) one line per recipient; each line begins with the peer address.
//
// One object per run, used by one thread. Never throws.
#pragma once

#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "outbound/dns_resolver.h"
#include "store/domain_table.h"
#include "store/generated_messages.h"

namespace core {
class CLogSet;
}
namespace net {
class CSocketExtension;
}

namespace outbound {

// Results of reading a reply, and of one transaction.
constexpr int kReplyOk = 0;
constexpr int kReplyFailed = -1;       // socket error, closed connection or time-out
constexpr int kReplyFormat = -11501;   // negative reply, or not a reply at all
constexpr int kReplyTooLong = -11507;  // the reply filled the buffer without a last line
constexpr int kTxTemporary = -2;       // try again later: nothing of it was delivered
constexpr int kTxBroken = -3;          // the command phase failed: try another host
constexpr int kTxPermanent = -4;       // refused for good

// Relay-run results.
constexpr int kRelayDone = 0;
constexpr int kRelayNothing = 1;
constexpr int kRelayNoConnection = 2;

// The stages of the dialogue, which decide how a reply's first digit is judged.
enum class Stage {
  kData = 1,       // reply to DATA: 3xx
  kGreeting = 2,   // 2xx
  kHelo = 3,       // HELO and ETRN: 2xx
  kQuit = 4,       // 2xx
  kRcpt = 5,       // 2xx; 4xx temporary, 5xx permanent
  kMail = 6,       // 2xx
  kEndOfData = 7,  // end of data and RSET: 2xx
  kEhlo = 8,       // 2xx, and the offered extensions are noted
};

// What every client shares with the queue runner.
struct ClientContext {
  std::string home;
  core::CLogSet* logs = nullptr;
  // The domain records (for ETRN); may be null.
  std::shared_ptr<const store::DomainSnapshot> domains;
  // The writers of failure reports.
  store::GeneratedContext generated;
  // A resolver for the DNS run.
  std::function<std::unique_ptr<IRouteResolver>()> makeResolver;
  // The clock of the retry schedule (tests move it).
  std::function<std::time_t()> now;
  const std::atomic<bool>* stopping = nullptr;
};

struct ClientConfig {
  std::string queueDir;     // directory name under OUTQUEUE
  std::string destination;  // host of a relay run
  std::string localDomain;  // EHLO argument, domain of senders and recipients without one
  int port = 25;            // -1 means 25
  bool dnsMode = false;
  bool etrn = false;   // ask the peer for our queued mail with ETRN when it offers it
  bool force = false;  // the `force` setting: connect even with an empty queue
  int timeoutSeconds = 120;
  long number = 0;  // tells concurrent clients apart in the logs
};

class CSMTPClient {
 public:
  CSMTPClient(ClientContext context, ClientConfig config);
  ~CSMTPClient();
  CSMTPClient(const CSMTPClient&) = delete;
  CSMTPClient& operator=(const CSMTPClient&) = delete;

  // The relay run or the DNS run, as configured. Relay: kRelayDone, kRelayNothing or
  // kRelayNoConnection; DNS: 0.
  int Run();

  const ClientConfig& Config() const { return config_; }

 private:
  struct Recipient {
    std::string address;
    std::string domain;
    bool accepted = false;   // RCPT accepted in the current transaction
    bool delivered = false;  // accepted in a completed transaction
    std::string error;
    int code = -1;  // -1 not sent, -2 temporary, -4 permanent
    bool inBatch = false;
    bool handled = false;
  };
  struct Item;
  // A message file of the queue as one reading of the directory found it.
  struct QueuedMessage {
    std::string name;
    std::string messagePath;
    std::string envelopePath;
    bool hasEnvelope = false;
    bool busy = false;
  };

  static std::vector<QueuedMessage> ListQueue(const std::string& dir);
  bool IsBusy(const QueuedMessage& m) const;

  int RelayRun();
  int DnsRun();
  void DeliverByDomain(Item& item);
  // 0 connected; -1 (logged, socket released).
  int Connect(const std::string& host, const std::string& shownAddress);
  int Transaction(const std::string& sender, std::vector<Recipient*>& batch,
                  const std::string& messagePath);
  int SendMessageData(const std::string& messagePath);
  int SendCommand(const std::string& command, const std::string& argument);
  int ReadReply(Stage stage);
  void Quit();
  void Rset();
  void Close();

  bool ReadItem(const std::string& messagePath, Item& item);
  void ReportFailures(const Item& item, const std::string& subject, bool onlyPermanent);
  int WriteEnvelope(const Item& item, const std::vector<std::string>& to,
                    const std::string& nextSend);
  void RemoveItem(const Item& item);
  // Removes the item when `keep` is empty, else leaves only `keep` in its envelope (unchanged
  // when every recipient stays).
  void KeepOnly(const Item& item, const std::vector<std::string>& keep);
  // "Message from=<sender> to=<recipient> <outcome>" in the connection log.
  void RecipientLog(const Item& item, const Recipient& r, const std::string& outcome);

  void LowLog(const std::string& text);
  void ConLog(const std::string& text);
  std::time_t Now() const;
  bool Stopping() const;

  ClientContext context_;
  ClientConfig config_;
  std::unique_ptr<net::CSocketExtension> socket_;
  std::unique_ptr<IRouteResolver> resolver_;
  std::string peer_;  // dotted address of the connected host (log prefix)
  std::string reply_;
  bool esmtp_ = false;
  bool etrnOffered_ = false;
  bool inData_ = false;
  bool broken_ = false;  // the connection is unusable (lost, or data ended without ".")
};

}  // namespace outbound
