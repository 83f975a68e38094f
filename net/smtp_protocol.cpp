#include "net/smtp_protocol.h"

#include <cstdio>
#include <initializer_list>
#include <string_view>

#include "core/log_set.h"
#include "core/settings.h"
#include "platform/text.h"
#include "store/account_table.h"
#include "store/domain_table.h"
#include "store/envelope.h"
#include "store/inbound_intake.h"
#include "store/message_text.h"
#include "store/queue_files.h"

namespace net {

// Everything of one message; replaced whole, never cleared field by field.
struct SmtpTransaction {
  explicit SmtpTransaction(store::CInboundQueue& queue) : item(queue) {}
  store::CInboundItem item;
  std::vector<std::string> recipients;
  long size = 0;
  long sizeLimit = -1;  // Kbytes: -1 none yet, 0 unlimited
  bool inHeader = true;
  std::string subject, receipt, replyTo, errorTo;
  SmtpMessageFacts facts;
};

namespace {

// Every reply of the session, by number; "%s" takes the arguments in order.
enum ReplyId {
  kGreeting, kQuitReply, kRecipientOk, kResetReply, kSenderOk, kHeloReply, kEhloReply,
  kStoredReply, kDataReply, kFileErrorReply, kUnknownReply, kWrongStateReply, kFirewallReply,
  kUnknownUserReply, kTooLargeReply, kReadErrorReply, kMailboxFullReply, kVrfyOkReply,
  kEtrnSyntaxReply, kEtrnRefusedReply, kEtrnPendingReply, kEtrnStartedReply,
  kTooManyRecipientsReply,
};
constexpr const char* kReplies[] = {
    "220 SMTP %s ready at %s (%s)\r\n",
    "221 Closing connection\r\n",
    "250 %s... Recipient OK\r\n",
    "250 Reset state\r\n",
    "250 %s... Sender OK\r\n",
    "250 Hello, pleased to meet you\r\n",
    "250-Hello, pleased to meet you\r\n250 ETRN\r\n",
    "250 OK\r\n",
    "354 Enter mail, end with \".\" on a line by itself\r\n",
    "450 File System Error: try later\r\n",
    "500 Command Unrecognized\r\n",
    "503 Illegal Command in this context\r\n",
    "550 Message REFUSED by peer. Reason: %s.\r\n",
    "550 %s... Unknown user\r\n",
    "550 Message cannot exceed %s Kbytes\r\n",
    "421 Communication error. Reset connection...\r\n",
    "452 %s@%s: Mailbox full...\r\n",
    "250 <%s@%s>\r\n",
    "501 Syntax error in parameters\r\n",
    "458 Unable to queue messages for node\r\n",
    "252 OK, pending messages for node started\r\n",
    "250 OK, queuing for node started\r\n",
    "452 Too many recipients\r\n",
};
static_assert(std::size(kReplies) == kTooManyRecipientsReply + 1);

// The firewall's reasons.
constexpr char kReasonHost[] = "I";
constexpr char kReasonHelo[] = "H";
constexpr char kReasonSender[] = "F";
constexpr char kReasonRecipient[] = "T";
constexpr char kReasonHeader[] = "L";
constexpr char kReasonStopped[] = "E";

constexpr char kAnonymousSender[] = "anonymous@varnel";
constexpr size_t kMaxHeloName = 63;
constexpr size_t kMaxEtrnNode = 127;
constexpr size_t kMaxCommandLine = 2047;
// Recipients one message may have (RFC 5321 4.5.3.1.8 asks for at least 100): a client that
// names more gets 452 for the rest and may send them again in a later message; without the
// bound one session's RCPT commands would take memory without end.
constexpr size_t kMaxRecipients = 1000;
// Received data is written in blocks of about this size.
constexpr size_t kWriteBlock = 64 * 1024;

// The reply `id` with its "%s" filled from `args`.
std::string Text(ReplyId id, std::initializer_list<std::string_view> args = {}) {
  std::string_view format = kReplies[id];
  std::string out;
  auto arg = args.begin();
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's') {
      if (arg != args.end()) out += *arg++;
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

std::string Trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t\r\n");
  if (a == std::string::npos) return std::string();
  size_t b = s.find_last_not_of(" \t\r\n");
  return s.substr(a, b - a + 1);
}

const char* ReceiveErrorName(int code) {
  switch (code) {
    case 10022: return "WSAEINVAL";
    case 10035: return "WSAEWOULDBLOCK";
    case 10036: return "WSAEINPROGRESS";
    case 10038: return "WSAENOTSOCK";
    case 10040: return "WSAEMSGSIZE";
    case 10045: return "WSAEOPNOTSUPP";
    case 10050: return "WSAENETDOWN";
    case 10053: return "WSAECONNABORTED";
    case 10054: return "WSAECONNRESET";
    case 10057: return "WSAENOTCONN";
    case 10058: return "WSAESHUTDOWN";
    case 10093: return "WSANOTINITIALISED";
    default: return "Unknown socket error";
  }
}

}  // namespace

const char kSmtpTooManySessionsReply[] = "421 Too many connections, try again later\r\n";

// The states a command is allowed in (bits 1 << state); kAnyState: all.
struct CSMTPProtocol::CommandEntry {
  SmtpVerb verb;
  unsigned states;
  void (CSMTPProtocol::*handler)(const std::string&);
};

namespace {
constexpr unsigned kAnyState = ~0u;
constexpr unsigned In(int state) { return 1u << state; }
}  // namespace

const CSMTPProtocol::CommandEntry CSMTPProtocol::kCommandTable[] = {
    {SmtpVerb::kHelo, In(kReady), &CSMTPProtocol::OnHelo},
    {SmtpVerb::kEhlo, In(kReady), &CSMTPProtocol::OnEhlo},
    {SmtpVerb::kMail, In(kReady), &CSMTPProtocol::OnMail},
    {SmtpVerb::kRcpt, In(kSender) | In(kRecipients), &CSMTPProtocol::OnRcpt},
    {SmtpVerb::kData, In(kRecipients), &CSMTPProtocol::OnData},
    {SmtpVerb::kQuit, kAnyState, &CSMTPProtocol::OnQuit},
    {SmtpVerb::kRset, kAnyState, &CSMTPProtocol::OnRset},
    {SmtpVerb::kVrfy, kAnyState, &CSMTPProtocol::OnVrfy},
    {SmtpVerb::kEtrn, kAnyState, &CSMTPProtocol::OnEtrn},
    {SmtpVerb::kDot, kAnyState, &CSMTPProtocol::OnIgnored},
    {SmtpVerb::kEmpty, kAnyState, &CSMTPProtocol::OnIgnored},
    {SmtpVerb::kUnknown, kAnyState, &CSMTPProtocol::OnUnknown},
};

CSMTPProtocol::CSMTPProtocol(SmtpContext& context) : context_(context) {}

CSMTPProtocol::~CSMTPProtocol() = default;

void CSMTPProtocol::LowLog(const std::string& text) {
  context_.logs->Write(core::LogId::kSmtpLow, peer_ + ": " + text);
}
void CSMTPProtocol::ConLog(const std::string& text) {
  context_.logs->Write(core::LogId::kSmtpCon, peer_ + ": " + text);
}
void CSMTPProtocol::FirewallLog(const std::string& text) {
  context_.logs->Write(core::LogId::kFirewall, peer_ + ": " + text);
}
void CSMTPProtocol::RejectLog(const std::string& text) {
  FirewallLog(text);
  ConLog(text);
}

bool CSMTPProtocol::Reply(const std::string& text) {
  LowLog("    Send: " + core::LogSafe(text.substr(0, text.size() >= 2 ? text.size() - 2 : 0)));
  CSocketExtension* socket = Socket();
  if (socket == nullptr) {
    LowLog("   ERROR: Socket lost (" + std::to_string(kWsaEconnreset) + ").");
    Enter(kClosing);
    return false;
  }
  if (socket->SendN(text) != static_cast<int>(text.size())) {
    savedError_ = socket->GetLastError();
    LowLog("   ERROR: Send error (" + std::to_string(savedError_) + ").");
    error_ = true;
    Enter(kClosing);
    return false;
  }
  return true;
}

void CSMTPProtocol::NewTransaction() {
  tx_.reset();  // an unfinished item is removed here
  tx_ = std::make_unique<SmtpTransaction>(*context_.inqueue);
  tx_->facts.peer = peer_;
  tx_->facts.hostKnown = hostKnown_;
  // The next message starts from what is known of the client alone.
  tx_->facts.accepted = trustedClient_;
}

int CSMTPProtocol::ProtocolLoop() {
  number_ = ++context_.sessionNumber;
  peer_ = PeerAddress();
  CSocketExtension* socket = Socket();
  if (socket == nullptr || peer_.empty()) {
    LowLog("\nERROR: Cannot get calling address: (" + std::to_string(number_) + ", socket=" +
           std::to_string(socket ? socket->Handle() : -1) + ")");
    return -1;
  }
  firewall_ = context_.openFirewall ? context_.openFirewall(peer_) : std::make_unique<ISmtpFirewall>();
  if (!firewall_->HostAllowed(peer_, &hostKnown_, &trustedClient_)) {
    Reply(Text(kFirewallReply, {kReasonHost}));
    return -1;
  }
  NewTransaction();
  LowLog("\nSMTP Server start: " + std::to_string(number_) + ", socket=" +
         std::to_string(socket->Handle()) + " **************");
  auto settings = context_.settings->Snapshot();
  Enter(kReady);
  Reply(Text(kGreeting, {context_.product, settings->smtp.domain, context_.version}));
  std::string line;
  while (state_ != kClosing && ReadCommand(&line)) {
    storedThisCommand_ = false;
    Dispatch(ParseSmtpCommand(line));
    if (!storedThisCommand_) stored_ = false;
  }
  EndConversation();
  return 0;
}

bool CSMTPProtocol::ReadCommand(std::string* line) {
  CSocketExtension* socket = Socket();
  int rc = socket->ReceiveLine(line, "\r\n");
  if (rc == kBufferFull) line->resize(kMaxCommandLine);  // the rest is the next command
  LowLog("Received: " + core::LogSafe(*line));
  if (rc == 0 || rc == kBufferFull) return true;
  savedError_ = socket->GetLastError();
  if (stored_ && savedError_ == kWsaEconnreset) {
    LowLog("Ignore receive error " + std::to_string(savedError_) + " (file successfuly stored)");
    Enter(kClosing);
    return false;
  }
  if (rc == kTimedOut) {
    LowLog("Timeout while reading SMTP command");
  } else {
    LowLog("Receive error=" + std::to_string(savedError_) + " (" + ReceiveErrorName(savedError_) + ")");
  }
  LowLog("Receive error " + std::to_string(savedError_) + " (abort)");
  Reply(Text(kReadErrorReply));
  error_ = true;
  Enter(kClosing);
  return false;
}

void CSMTPProtocol::Dispatch(const SmtpCommandLine& command) {
  for (const CommandEntry& entry : kCommandTable) {
    if (entry.verb != command.verb) continue;
    if ((entry.states & In(state_)) == 0) {
      Reply(Text(kWrongStateReply));
      return;
    }
    (this->*entry.handler)(command.argument);
    return;
  }
}

void CSMTPProtocol::OnIgnored(const std::string&) {}

void CSMTPProtocol::OnUnknown(const std::string&) { Reply(Text(kUnknownReply)); }

void CSMTPProtocol::OnQuit(const std::string&) {
  Reply(Text(kQuitReply));
  Enter(kClosing);
}

void CSMTPProtocol::OnHelo(const std::string& argument) { Greet(false, argument); }
void CSMTPProtocol::OnEhlo(const std::string& argument) { Greet(true, argument); }

void CSMTPProtocol::Greet(bool extended, const std::string& argument) {
  std::string name = FirstWord(argument, kMaxHeloName);
  auto domains = context_.domains->Snapshot();
  if (const store::DomainRecord* r = domains->Find(name); r && r->timerRuns == 0) {
    // A host that calls in for its domain gets that domain's queue, as with ETRN.
    if (context_.startDelivery) context_.startDelivery(r->queueDir, peer_, 25);
  }
  if (firewall_->RejectListsActive() && firewall_->HeloRejected(name)) {
    RejectLog("Reject SMTP HELO " + core::LogSafe(name));
    Reply(Text(kFirewallReply, {kReasonHelo}));
    Enter(kClosing);
    return;
  }
  Reply(Text(extended ? kEhloReply : kHeloReply));
}

void CSMTPProtocol::OnMail(const std::string& argument) {
  NewTransaction();
  if (int rc = tx_->item.Reserve(); rc != 0) {
    LowLog("Creating: INQUEUE envelope, res=" + std::to_string(rc));
    Reply(Text(kFileErrorReply));
    Enter(kClosing);
    return;
  }
  Enter(kSender);
  toolkit::SplitResult from = ParseSmtpPath(argument);
  std::string sender = toolkit::JoinAddress(from);
  if (firewall_->RejectListsActive() && firewall_->SenderRejected(sender)) {
    RejectLog("Reject SMTP MAIL FROM: " + core::LogSafe(sender));
    Reply(Text(kFirewallReply, {kReasonSender}));
    Enter(kClosing);
    return;
  }
  SmtpMessageFacts& facts = tx_->facts;
  std::string route;
  if (!from.domain.empty() && context_.domains->RouteDomain(from.domain, &route) == 0) {
    facts.accepted = facts.senderKnown = true;
    FirewallLog("SMTP FROM: accept  domain [" + core::LogSafe(from.domain) + "]");
  } else {
    FirewallLog("SMTP FROM: unknown domain [" + core::LogSafe(from.domain) + "]");
  }
  if (sender.empty()) sender = kAnonymousSender;
  facts.sender = sender;
  facts.envelopePath = tx_->item.EnvelopePath();
  facts.messagePath = tx_->item.MessagePath();
  Reply(Text(kSenderOk, {sender}));
  LowLog("Creating: " + facts.envelopePath + ", res=0");
}

void CSMTPProtocol::OnRcpt(const std::string& argument) {
  if (tx_->recipients.size() >= kMaxRecipients) {
    Reply(Text(kTooManyRecipientsReply));  // RFC 5321 4.5.3.1.10
    return;
  }
  toolkit::SplitResult to = ParseSmtpPath(argument);
  std::string address = toolkit::JoinAddress(to);
  SmtpMessageFacts& facts = tx_->facts;
  tx_->sizeLimit = firewall_->RaiseSizeLimit(tx_->sizeLimit, to.domain);
  if (firewall_->RejectListsActive() && firewall_->RecipientRejected(address)) {
    RejectLog("Reject SMTP RCPT TO: " + core::LogSafe(address));
    Reply(Text(kFirewallReply, {kReasonRecipient}));
    Enter(kClosing);
    return;
  }
  if (!context_.domains->IsLocalDomain(to.domain)) {
    std::string route;
    if (context_.domains->RouteDomain(to.domain, &route) == 0) {
      facts.recipientKnown = facts.accepted = true;
      FirewallLog("SMTP   TO: reroute to     [" + core::LogSafe(to.domain) + "]");
    } else {
      FirewallLog("SMTP   TO: unknown domain [" + core::LogSafe(to.domain) + "]");
    }
    tx_->recipients.push_back(address);
    facts.logRecipient = address;
    context_.counters->outboundWaiting = true;
    Enter(kRecipients);
    Reply(Text(kRecipientOk, {address}));
    return;
  }
  auto accounts = context_.accounts->Snapshot();
  std::string name;
  if (!accounts->LookupLocal(to.local, to.domain, &name)) {
    FirewallLog("SMTP   TO: unknown local recipient [" + core::LogSafe(to.local) + "] in [" +
                core::LogSafe(to.domain) + "]");
    Reply(Text(kUnknownUserReply, {address}));
    return;
  }
  const store::CAccount* account = accounts->FindAccount(name);
  store::MailboxCounters counted = account ? context_.accounts->Counters(*account) : store::MailboxCounters{};
  bool full = account != nullptr &&
              ((account->maxMsgNmbr > 0 && counted.msgNmbr + 1 > account->maxMsgNmbr) ||
               (account->maxBoxSize > 0 && counted.boxSize >= account->maxBoxSize));
  if (full) {
    Reply(Text(kMailboxFullReply, {to.local, to.domain}));
    FirewallLog("SMTP   TO: Mailbox overflow [" + core::LogSafe(to.local) + "] in [" +
                core::LogSafe(to.domain) + "]");
    error_ = true;
    if (state_ == kSender) Enter(kClosing);
    return;
  }
  tx_->recipients.push_back(address);
  facts.logRecipient = address;
  facts.recipientKnown = facts.accepted = true;
  Enter(kRecipients);
  Reply(Text(kRecipientOk, {address}));
  FirewallLog("SMTP   TO: accept  local recipient [" + core::LogSafe(to.local) + "] in [" +
              core::LogSafe(to.domain) + "]");
}

void CSMTPProtocol::OnData(const std::string&) {
  Enter(kReady);
  if (!Reply(Text(kDataReply))) return;
  bool sizeRejected = false;
  int rc = tx_->item.Open() == 0 ? ReceiveMessage(&sizeRejected) : -1;
  SmtpMessageFacts& facts = tx_->facts;
  facts.sizeLimit = tx_->sizeLimit;
  // The firewall sees every received message, a too large one included (it redirects its
  // header).
  bool stopped = rc == 0 && firewall_->StopMessage(facts);
  if (rc == 0 && (sizeRejected || stopped)) {
    // The firewall has kept what it needs of the message (a too large message has had its
    // reply already).
    if (!sizeRejected) Reply(Text(kFirewallReply, {kReasonStopped}));
    NewTransaction();
    error_ = true;
    Enter(kClosing);
    return;
  }
  if (rc == 0) {
    store::EnvelopeFields envelope;
    envelope.from = facts.sender;
    envelope.subject = tx_->subject;
    envelope.receipt = tx_->receipt;
    envelope.replyTo = tx_->replyTo;
    envelope.errorTo = tx_->errorTo;
    envelope.to = tx_->recipients;
    rc = tx_->item.Commit(envelope);
  }
  if (rc != 0) {
    LowLog("ERROR while saving (" + facts.messagePath + ")");
    NewTransaction();
    Reply(Text(kFileErrorReply));
    error_ = true;
    Enter(kClosing);
    return;
  }
  LowLog("  Saving: " + facts.messagePath + ", res=0");
  stored_ = storedThisCommand_ = true;
  if (!Reply(Text(kStoredReply))) {
    // The client has not heard that the message is taken and will send it again: the item,
    // still unpublished, goes with the transaction.
    LowLog("Successful received but the server reports=" + std::to_string(savedError_));
    NewTransaction();
    return;
  }
  tx_->item.Publish();
  NewTransaction();
  if (context_.checkLogSizes) context_.checkLogSizes();
}

int CSMTPProtocol::ReceiveMessage(bool* sizeRejected) {
  auto settings = context_.settings->Snapshot();
  SmtpMessageFacts& facts = tx_->facts;
  std::string pending = store::StatusLine(store::kStatusNew) + "\r\n";
  pending += "Received: from " + peer_ + " by " + settings->smtp.localName + " with SMTP (" +
             context_.product + " " + context_.version + ")\r\n";
  pending += "          id " + std::to_string(tx_->item.Number()) + "; " + store::FormatDateHeader() + "\r\n";
  bool smart = firewall_->SmartChecks();
  CSocketExtension* socket = Socket();
  std::string line;
  for (;;) {
    int n = socket->ReceiveData(&line);
    if (n <= 0) {
      savedError_ = socket->GetLastError();
      LowLog("Socket read error: " + std::to_string(n) + ", " + std::to_string(savedError_));
      return -1;
    }
    tx_->size += n;
    if (smart && tx_->sizeLimit > 0 && tx_->size > tx_->sizeLimit * 1000) {
      facts.sizeKept = facts.accepted = false;
      std::string text = "Reject too large message from [" + core::LogSafe(facts.sender) + "] to [" +
                         core::LogSafe(facts.logRecipient) + "]";
      RejectLog(text);
      LowLog(text);
      Reply(Text(kTooLargeReply, {std::to_string(tx_->sizeLimit)}));
      *sizeRejected = true;
      // What arrived of the header goes to the file: the firewall's report copies it.
      (void)tx_->item.Write(pending);
      return 0;
    }
    if (line[0] == '.') {
      LowLog("Received: " + core::LogSafe(line.substr(0, line.size() - 2)));
      if (UnstuffDataLine(&line) == DataLine::kEnd) {
        LowLog("Received: [End of data]");
        break;
      }
    }
    pending += line;
    if (tx_->inHeader) {
      if (line[0] == '\r') {
        tx_->inHeader = false;
      } else if (int rc = HeaderLine(line); rc != 0) {
        return rc;  // refused: the reply has gone
      }
    }
    if (pending.size() >= kWriteBlock) {
      if (tx_->item.Write(pending) != 0) {
        LowLog("File write error: " + std::to_string(errno));
        return -11504;
      }
      pending.clear();
    }
  }
  if (tx_->item.Write(pending) != 0) {
    LowLog("File write error: " + std::to_string(errno));
    return -11504;
  }
  ConLog("Message from=" + core::LogSafe(facts.sender) + " successfully received size=" +
         std::to_string(tx_->size));
  return 0;
}

int CSMTPProtocol::HeaderLine(const std::string& line) {
  SmtpMessageFacts& facts = tx_->facts;
  auto value = [&](size_t nameLength) { return Trim(line.substr(nameLength)); };
  // The address an answer goes to: comments and display name removed (RFC 5322 3.4).
  auto address = [&](size_t nameLength) { return toolkit::MailboxAddress(value(nameLength)); };
  auto starts = [&](const char* name) { return platform::StartsWithNoCase(line, name); };
  std::string checkName, checkValue;
  if (starts("return-receipt-to:")) {
    tx_->receipt = address(18);
  } else if (starts("sender:")) {
    tx_->errorTo = address(7);
  } else if (starts("subject:")) {
    tx_->subject = value(8);
    checkName = "Subject:";
    checkValue = tx_->subject;
  } else if (starts("reply-to:")) {
    tx_->replyTo = address(9);
    facts.replyTo = tx_->replyTo;
  } else if (starts("x-sender:")) {
    facts.xSender = address(9);
  } else if (starts("to:")) {
    checkName = "To:";
    checkValue = value(3);
  } else if (starts("from:")) {
    checkName = "From:";
    checkValue = value(5);
    facts.headerFrom = checkValue;
    facts.logSender = checkValue;
    toolkit::SplitResult from = toolkit::SplitMailbox(checkValue);
    std::string route;
    if (!from.domain.empty() && context_.domains->RouteDomain(from.domain, &route) == 0) {
      facts.accepted = facts.senderKnown = true;
      FirewallLog("msge from: accept  domain [" + core::LogSafe(from.domain) + "]");
    } else {
      FirewallLog("msge from: unknown domain [" + core::LogSafe(from.domain) + "]");
    }
  }
  std::string what;
  if (!checkName.empty() && firewall_->HeaderRejected(checkName, checkValue, &what)) {
    RejectLog("Reject " + what + " " + core::LogSafe(checkValue));
    Reply(Text(kFirewallReply, {kReasonHeader}));
    return -1;
  }
  return 0;
}

void CSMTPProtocol::OnRset(const std::string&) {
  Enter(kReady);
  NewTransaction();
  Reply(Text(kResetReply));
}

void CSMTPProtocol::OnVrfy(const std::string& argument) {
  toolkit::SplitResult who = toolkit::SplitAddress(Trim(argument));
  std::string domain = who.domain.empty() ? context_.settings->Snapshot()->smtp.domain : who.domain;
  std::string name;
  bool ok = !context_.domains->IsLocalDomain(domain) ||
            context_.accounts->Snapshot()->LookupLocal(who.local, who.domain, &name);
  Reply(ok ? Text(kVrfyOkReply, {who.local, domain}) : Text(kUnknownUserReply, {toolkit::JoinAddress(who)}));
}

void CSMTPProtocol::OnEtrn(const std::string& argument) {
  std::string node = FirstWord(argument, kMaxEtrnNode);
  bool marked = !node.empty() && (node[0] == '@' || node[0] == '#');
  const store::DomainRecord* record = context_.domains->Snapshot()->Find(marked ? node.substr(1) : node);
  ReplyId reply;
  if (record == nullptr) {
    reply = marked ? kEtrnSyntaxReply : kEtrnRefusedReply;
  } else {
    int started = context_.startDelivery ? context_.startDelivery(record->queueDir, peer_, 25) : -1;
    reply = started == 1 ? kEtrnPendingReply : started == 0 ? kEtrnStartedReply : kEtrnRefusedReply;
  }
  Reply(Text(reply));
}

void CSMTPProtocol::EndConversation() {
  // Nothing of an unfinished transaction stays behind (a stored message is the queue's now).
  tx_.reset();
  if (context_.distribute) context_.distribute();
  if (!error_) {
    LowLog("SMTP Server  stop: " + std::to_string(number_) + " (OK)");
  } else if (Socket() != nullptr) {
    LowLog("SMTP Server  stop: " + std::to_string(number_) + " (ERROR), socket=" +
           std::to_string(Socket()->Handle()) + ", error=" + std::to_string(savedError_));
  } else {
    LowLog("SMTP Server  stop: " + std::to_string(number_) + " (ERROR), socket=reset");
  }
  for (core::LogId id : {core::LogId::kSmtpCon, core::LogId::kSmtpLow, core::LogId::kFirewall}) {
    context_.logs->RecordSize(id);
  }
}

}  // namespace net
