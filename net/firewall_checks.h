// ISmtpFirewall: the checks an SMTP session asks of the firewall, in the order it meets them.
// The firewall module fills it; this neutral base accepts everything, so the server runs before
// the firewall rules exist.
//
// Thread rules: called from session threads concurrently; implementations give each session a
// consistent view of the rules.
#pragma once

#include <string>

namespace net {

// What the session knows of a message when the data has been received.
struct SmtpMessageFacts {
  std::string peer;
  std::string sender;          // MAIL FROM
  std::string headerFrom;      // the "From:" value
  std::string replyTo;         // the "Reply-to:" address
  std::string xSender;         // the "X-sender:" address
  std::string logSender = "?"; // the "From:" value as logged ("?" when there was none)
  std::string logRecipient = "?";
  std::string messagePath;     // the message file in INQUEUE
  std::string envelopePath;
  bool accepted = false;       // client, sender, header sender or a recipient was recognised
  bool hostKnown = false;
  bool recipientKnown = false;
  bool senderKnown = false;
  bool sizeKept = true;
  long sizeLimit = -1;         // Kbytes
};

class ISmtpFirewall {
 public:
  virtual ~ISmtpFirewall() = default;
  // Connection: false when the client address is refused (reason "I"). `*host`: the client
  // passes the host check; `*accepted`: it is a trusted client.
  virtual bool HostAllowed(const std::string& peer, bool* host, bool* accepted) {
    *host = *accepted = false;
    (void)peer;
    return true;
  }
  // True when the reject lists are active.
  virtual bool RejectListsActive() { return false; }
  virtual bool HeloRejected(const std::string& name) { (void)name; return false; }
  virtual bool SenderRejected(const std::string& address) { (void)address; return false; }
  virtual bool RecipientRejected(const std::string& address) { (void)address; return false; }
  // Header lines ("Subject:", "To:", "From:"): true to refuse the message (reason "L"); `what`
  // names the list for the log line.
  virtual bool HeaderRejected(const std::string& name, const std::string& value, std::string* what) {
    (void)name;
    (void)value;
    (void)what;
    return false;
  }
  // Smart checks (unknown senders and destinations, size limits) are on.
  virtual bool SmartChecks() { return false; }
  // The size limit in Kbytes after a recipient in `domain` (-1 none yet, 0 unlimited).
  virtual long RaiseSizeLimit(long current, const std::string& domain) {
    (void)domain;
    return current < 0 ? 0 : current;
  }
  // End of data: true when the message is stopped (the firewall has redirected or reported it
  // and the session replies with reason "E").
  virtual bool StopMessage(const SmtpMessageFacts& facts) { (void)facts; return false; }
};

}  // namespace net
