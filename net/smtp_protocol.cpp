#include "net/smtp_protocol.h"

#include <cctype>
#include <cstdio>

#include "core/log_set.h"
#include "core/settings.h"
#include "platform/fs.h"
#include "platform/unique_fd.h"
#include "platform/path.h"
#include "platform/text.h"
#include "platform/system.h"
#include "store/account_table.h"
#include "store/domain_table.h"
#include "store/envelope.h"
#include "store/message_text.h"
#include "store/queue_files.h"

namespace net {
namespace {

// Reply texts.
constexpr char kQuitReply[] = "221 Closing connection\r\n";
constexpr char kResetReply[] = "250 Reset state\r\n";
constexpr char kHeloReply[] = "250 Hello, pleased to meet you\r\n";
constexpr char kEhloReply[] = "250-Hello, pleased to meet you\r\n250 ETRN\r\n";
constexpr char kStoredReply[] = "250 OK\r\n";
constexpr char kDataReply[] = "354 Enter mail, end with \".\" on a line by itself\r\n";
constexpr char kFileErrorReply[] = "450 File System Error: try later\r\n";
constexpr char kUnknownReply[] = "500 Command Unrecognized\r\n";
constexpr char kWrongStateReply[] = "503 Illegal Command in this context\r\n";
constexpr char kReadErrorReply[] = "421 Communication error. Reset connection...\r\n";
constexpr char kEtrnSyntaxReply[] = "501 Syntax error in parameters\r\n";
constexpr char kEtrnRefusedReply[] = "458 Unable to queue messages for node\r\n";
constexpr char kEtrnPendingReply[] = "252 OK, pending messages for node started\r\n";
constexpr char kEtrnStartedReply[] = "250 OK, queuing for node started\r\n";
constexpr char kAnonymousSender[] = "anonymous@varnel";

constexpr const char* kCommands[] = {"HELO", "MAIL", "RCPT", "DATA", "QUIT",
                                     "RSET", "VRFY", ".",    "ETRN", "EHLO"};
constexpr size_t kMaxHeloName = 63;
constexpr size_t kMaxEtrnNode = 127;
constexpr size_t kMaxCommandLine = 2047;

std::string Format(const char* format, const std::string& a, const std::string& b = "") {
  char buf[1024];
  std::snprintf(buf, sizeof buf, format, a.c_str(), b.c_str());
  return buf;
}

bool StartsNoCase(const std::string& text, const char* prefix) {
  return platform::StartsWithNoCase(text, prefix);
}

std::string FirstWord(const std::string& text, size_t max) {
  size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return std::string();
  size_t end = text.find_first_of(" \t\r\n", start);
  return text.substr(start, std::min(end == std::string::npos ? text.size() : end, start + max) - start);
}

std::string Address(const store::SplitResult& r) { return toolkit::JoinAddress(r); }

// The address after "FROM:" / "TO:" (or the whole argument when there is no colon).
store::SplitResult PathArgument(const std::string& argument) {
  size_t colon = argument.find(':');
  return store::SplitAddress(colon == std::string::npos ? argument : argument.substr(colon + 1));
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

CSMTPProtocol::Command CSMTPProtocol::Parse(const std::string& line, std::string* argument) {
  size_t end = line.find_first_of(" \r\n");
  std::string word = line.substr(0, end);
  *argument = end == std::string::npos ? std::string() : line.substr(end + 1);
  if (word.empty()) return kEmpty;
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (size_t i = 0; i < sizeof kCommands / sizeof kCommands[0]; ++i) {
    if (word == kCommands[i]) return static_cast<Command>(i);
  }
  return kUnknown;
}

void CSMTPProtocol::LowLog(const std::string& text) {
  context_.logs->Write(core::LogId::kSmtpLow, facts_.peer + ": " + text);
}
void CSMTPProtocol::ConLog(const std::string& text) {
  context_.logs->Write(core::LogId::kSmtpCon, facts_.peer + ": " + text);
}
void CSMTPProtocol::FirewallLog(const std::string& text) {
  context_.logs->Write(core::LogId::kFirewall, facts_.peer + ": " + text);
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
    return false;
  }
  int sent = socket->SendN(text);
  if (sent != static_cast<int>(text.size())) {
    savedError_ = socket->GetLastError();
    LowLog("   ERROR: Send error (" + std::to_string(savedError_) + ").");
    return false;
  }
  return true;
}

int CSMTPProtocol::ProtocolLoop() {
  number_ = ++context_.sessionNumber;
  facts_.peer = PeerAddress();
  CSocketExtension* socket = Socket();
  if (socket == nullptr || facts_.peer.empty()) {
    LowLog("\nERROR: Cannot get calling address: (" + std::to_string(number_) + ", socket=" +
           std::to_string(socket ? socket->Handle() : -1) + ")");
    return -1;
  }
  firewall_ = context_.openFirewall ? context_.openFirewall(facts_.peer)
                                    : std::make_unique<ISmtpFirewall>();
  if (!firewall_->HostAllowed(facts_.peer, &facts_.hostKnown, &trustedClient_)) {
    Reply("550 Message REFUSED by peer. Reason: I.\r\n");
    return -1;
  }
  facts_.accepted = trustedClient_;
  LowLog("\nSMTP Server start: " + std::to_string(number_) + ", socket=" +
         std::to_string(socket->Handle()) + " **************");
  auto settings = context_.settings->Snapshot();
  char greeting[512];
  std::snprintf(greeting, sizeof greeting, "220 SMTP %s ready at %s (%s)\r\n",
                context_.product.c_str(), settings->smtp.domain.c_str(), context_.version.c_str());
  if (!Reply(greeting)) {
    error_ = true;
    state_ = kClosing;
  }
  while (state_ != kClosing) {
    std::string line;
    int rc = socket->ReceiveLine(&line, "\r\n");
    if (rc == kBufferFull) line.resize(kMaxCommandLine);
    if (rc == 0 || rc == kBufferFull) {
      LowLog("Received: " + core::LogSafe(line));
    } else {
      savedError_ = socket->GetLastError();
      LowLog("Received: " + core::LogSafe(line));
      if (stored_ && savedError_ == kWsaEconnreset) {
        LowLog("Ignore receive error " + std::to_string(savedError_) + " (file successfuly stored)");
        state_ = kClosing;
        break;
      }
      if (rc == kTimedOut) {
        LowLog("Timeout while reading SMTP command");
      } else {
        LowLog("Receive error=" + std::to_string(savedError_) + " (" + ReceiveErrorName(savedError_) + ")");
      }
      LowLog("Receive error " + std::to_string(savedError_) + " (abort)");
      Reply(kReadErrorReply);
      error_ = true;
      state_ = kClosing;
      break;
    }
    std::string argument;
    Command command = Parse(line, &argument);
    storedThisCommand_ = false;
    Dispatch(command, argument);
    if (!storedThisCommand_) stored_ = false;
  }
  EndConversation();
  return 0;
}

void CSMTPProtocol::Dispatch(Command command, const std::string& argument) {
  switch (command) {
    case kUnknown:
      if (!Reply(kUnknownReply)) state_ = kClosing;
      return;
    case kQuit:
      Reply(kQuitReply);
      state_ = kClosing;
      return;
    case kRset: OnRset(); return;
    case kVrfy: OnVrfy(argument); return;
    case kEtrn: OnEtrn(argument); return;
    case kDot:
    case kEmpty: return;
    default: break;
  }
  bool allowed = (state_ == kReady && (command == kHelo || command == kEhlo || command == kMail)) ||
                 (state_ == kSender && command == kRcpt) ||
                 (state_ == kRecipients && (command == kRcpt || command == kData));
  if (!allowed) {
    if (!Reply(kWrongStateReply)) state_ = kClosing;
    return;
  }
  switch (command) {
    case kHelo: OnHelo(argument, false); break;
    case kEhlo: OnHelo(argument, true); break;
    case kMail: OnMail(argument); break;
    case kRcpt: OnRcpt(argument); break;
    case kData: OnData(); break;
    default: break;
  }
}

void CSMTPProtocol::OnHelo(const std::string& argument, bool extended) {
  std::string name = FirstWord(argument, kMaxHeloName);
  auto domains = context_.domains->Snapshot();
  if (const store::DomainRecord* r = domains->Find(name); r && r->timerRuns == 0) {
    // A host that calls in for its domain gets that domain's queue, as with ETRN.
    if (context_.startDelivery) context_.startDelivery(r->queueDir, facts_.peer, 25);
  }
  if (firewall_->RejectListsActive() && firewall_->HeloRejected(name)) {
    RejectLog("Reject SMTP HELO " + core::LogSafe(name));
    Reply("550 Message REFUSED by peer. Reason: H.\r\n");
    state_ = kClosing;
    return;
  }
  if (!Reply(extended ? kEhloReply : kHeloReply)) state_ = kClosing;
}

void CSMTPProtocol::OnMail(const std::string& argument) {
  sizeLimit_ = -1;
  std::string inqueue = platform::ResolvePath(platform::JoinPath(context_.home, "INQUEUE"));
  // Reserve the envelope name: the first free one, created exclusively so that no other
  // session takes it meanwhile.
  long first = context_.nextEnvelope;
  int rc = 0;
  for (int round = 0; round < 2; ++round) {
    for (;;) {
      rc = store::MakeUniqueFileName(&envelope_, inqueue, "R", first, 10000, "TMP");
      if (rc != 0) break;
      platform::CFile reserve;
      first = std::stol(platform::BaseName(envelope_).substr(1, 7)) + 1;
      if (reserve.Open(envelope_, platform::FileMode::kCreateNew) == 0) break;
    }
    if (rc == 0 || first == 0) break;
    first = 0;  // the names after the hint are taken: look again from the start
  }
  context_.nextEnvelope = rc == 0 ? first % 10000000 : 0;
  if (rc != 0) {
    envelope_.clear();
    Reply(kFileErrorReply);
    state_ = kClosing;
    return;
  }
  state_ = kSender;
  store::SplitResult from = PathArgument(argument);
  std::string sender = Address(from);
  if (firewall_->RejectListsActive() && firewall_->SenderRejected(sender)) {
    RejectLog("Reject SMTP MAIL FROM: " + core::LogSafe(sender));
    Reply("550 Message REFUSED by peer. Reason: F.\r\n");
    state_ = kClosing;
    return;
  }
  std::string route;
  if (!from.domain.empty() && context_.domains->RouteDomain(from.domain, &route) == 0) {
    facts_.accepted = facts_.senderKnown = true;
    FirewallLog("SMTP FROM: accept  domain [" + core::LogSafe(from.domain) + "]");
  } else {
    FirewallLog("SMTP FROM: unknown domain [" + core::LogSafe(from.domain) + "]");
  }
  if (sender.empty()) sender = kAnonymousSender;
  facts_.sender = sender;
  facts_.envelopePath = envelope_;
  message_ = platform::SiblingName(envelope_, 'M');
  facts_.messagePath = message_;
  if (!Reply(Format("250 %s... Sender OK\r\n", sender))) state_ = kClosing;
  LowLog("Creating: " + envelope_ + ", res=0");
}

void CSMTPProtocol::OnRcpt(const std::string& argument) {
  store::SplitResult to = PathArgument(argument);
  std::string address = Address(to);
  sizeLimit_ = firewall_->RaiseSizeLimit(sizeLimit_, to.domain);
  if (firewall_->RejectListsActive() && firewall_->RecipientRejected(address)) {
    RejectLog("Reject SMTP RCPT TO: " + core::LogSafe(address));
    Reply("550 Message REFUSED by peer. Reason: T.\r\n");
    state_ = kClosing;
    return;
  }
  if (!context_.domains->IsLocalDomain(to.domain)) {
    std::string route;
    if (context_.domains->RouteDomain(to.domain, &route) == 0) {
      facts_.recipientKnown = facts_.accepted = true;
      FirewallLog("SMTP   TO: reroute to     [" + core::LogSafe(to.domain) + "]");
    } else {
      FirewallLog("SMTP   TO: unknown domain [" + core::LogSafe(to.domain) + "]");
    }
    AppendRecipient(address);
    facts_.logRecipient = address;
    context_.counters->outboundWaiting = true;
    state_ = kRecipients;
    if (!Reply(Format("250 %s... Recipient OK\r\n", address))) state_ = kClosing;
    return;
  }
  auto accounts = context_.accounts->Snapshot();
  std::string name;
  if (!accounts->LookupLocal(to.local, to.domain, &name)) {
    FirewallLog("SMTP   TO: unknown local recipient [" + core::LogSafe(to.local) + "] in [" +
                core::LogSafe(to.domain) + "]");
    if (!Reply(Format("550 %s... Unknown user\r\n", address))) state_ = kClosing;
    return;
  }
  const store::CAccount* account = accounts->FindAccount(name);
  store::MailboxCounters counted = account ? context_.accounts->Counters(*account) : store::MailboxCounters{};
  bool full = account != nullptr &&
              ((account->maxMsgNmbr > 0 && counted.msgNmbr + 1 > account->maxMsgNmbr) ||
               (account->maxBoxSize > 0 && counted.boxSize >= account->maxBoxSize));
  if (full) {
    Reply(Format("452 %s@%s: Mailbox full...\r\n", to.local, to.domain));
    FirewallLog("SMTP   TO: Mailbox overflow [" + core::LogSafe(to.local) + "] in [" +
                core::LogSafe(to.domain) + "]");
    error_ = true;
    if (state_ == kSender) state_ = kClosing;
    return;
  }
  AppendRecipient(address);
  facts_.logRecipient = address;
  facts_.recipientKnown = facts_.accepted = true;
  state_ = kRecipients;
  if (!Reply(Format("250 %s... Recipient OK\r\n", address))) state_ = kClosing;
  FirewallLog("SMTP   TO: accept  local recipient [" + core::LogSafe(to.local) + "] in [" +
              core::LogSafe(to.domain) + "]");
}

void CSMTPProtocol::OnData() {
  state_ = kReady;
  if (!Reply(kDataReply)) {
    state_ = kClosing;
    error_ = true;
    return;
  }
  bool sizeRejected = false;
  // Without its marker the item could be taken while it is written: no marker, no message.
  int rc = marker_.Create(platform::SiblingName(message_, 'B')) ? ReceiveMessage(&sizeRejected) : -1;
  facts_.sizeLimit = sizeLimit_;
  bool stopped = rc == 0 && firewall_->StopMessage(facts_);
  if (rc == 0 && (sizeRejected || stopped)) {
    // The message is stopped: the firewall has kept what it needs of it (a too large message
    // has had its reply already).
    if (!sizeRejected) Reply("550 Message REFUSED by peer. Reason: E.\r\n");
    DeleteTransactionFiles();
    error_ = true;
    state_ = kClosing;
    return;
  }
  if (rc == 0) rc = WriteEnvelope();
  if (rc != 0) {
    LowLog("ERROR while saving (" + message_ + ")");
    DeleteTransactionFiles();
    Reply(kFileErrorReply);
    error_ = true;
    state_ = kClosing;
    return;
  }
  LowLog("  Saving: " + message_ + ", res=0");
  stored_ = storedThisCommand_ = true;
  if (!Reply(kStoredReply)) {
    LowLog("Successful received but the server reports=" + std::to_string(savedError_));
    error_ = true;
    state_ = kClosing;
    return;
  }
  marker_.Release();
  envelope_.clear();
  message_.clear();
  ResetAfterStore();
}

int CSMTPProtocol::ReceiveMessage(bool* sizeRejected) {
  platform::CFile file;
  if (file.Open(message_, platform::FileMode::kWrite) != 0) {
    LowLog("Cannot open " + message_);
    return -1;
  }
  auto settings = context_.settings->Snapshot();
  std::string pending = store::StatusLine(store::kStatusNew) + "\r\n";
  pending += "Received: from " + facts_.peer + " by " + settings->smtp.localName + " with SMTP (" +
             context_.product + " " + context_.version + ")\r\n";
  std::string stem = platform::BaseName(message_);
  pending += "          id " + std::to_string(std::strtoul(stem.c_str() + 1, nullptr, 10)) + "; " +
             store::FormatDateHeader() + "\r\n";
  messageSize_ = 0;
  inHeader_ = true;
  subject_ = receipt_ = replyTo_ = errorTo_ = std::string();
  bool smart = firewall_->SmartChecks();
  CSocketExtension* socket = Socket();
  int result = 0;
  std::string line;
  for (;;) {
    int n = socket->ReceiveData(&line);
    if (n <= 0) {
      savedError_ = socket->GetLastError();
      LowLog("Socket read error: " + std::to_string(n) + ", " + std::to_string(savedError_));
      result = -1;
      break;
    }
    messageSize_ += n;
    if (smart && sizeLimit_ > 0 && messageSize_ > sizeLimit_ * 1000) {
      facts_.sizeKept = facts_.accepted = false;
      std::string text = "Reject too large message from [" + core::LogSafe(facts_.sender) + "] to [" +
                         core::LogSafe(facts_.logRecipient) + "]";
      RejectLog(text);
      LowLog(text);
      Reply("550 Message cannot exceed " + std::to_string(sizeLimit_) + " Kbytes\r\n");
      *sizeRejected = true;
      // What arrived of the header goes to the file: the firewall's report copies it.
      (void)file.Write(pending);
      messageFile_ = std::move(file);
      return 0;
    }
    if (line[0] == '.') {
      LowLog("Received: " + core::LogSafe(line.substr(0, line.size() - 2)));
      if (line.size() > 1 && line[1] == '.') {
        line.erase(0, 1);  // dot-unstuffing (RFC 5321 4.5.2)
      } else {
        size_t p = line.find_first_not_of(' ', 1);
        if (p != std::string::npos && line[p] == '\r') {
          LowLog("Received: [End of data]");
          break;
        }
      }
    }
    pending += line;
    if (inHeader_) {
      if (line[0] == '\r') {
        inHeader_ = false;
      } else if (int rc = HeaderLine(line); rc != 0) {
        return rc;  // refused: the reply has gone
      }
    }
    if (pending.size() >= 65536) {
      if (file.Write(pending) != 0) {
        LowLog("File write error: " + std::to_string(errno));
        return -11504;
      }
      pending.clear();
    }
  }
  if (file.Write(pending) != 0) {
    LowLog("File write error: " + std::to_string(errno));
    return -11504;
  }
  messageFile_ = std::move(file);  // synced with the envelope before the reply
  ConLog("Message from=" + core::LogSafe(facts_.sender) + " successfully received size=" +
         std::to_string(messageSize_));
  return result;
}

int CSMTPProtocol::HeaderLine(const std::string& line) {
  auto value = [&](size_t nameLength) { return Trim(line.substr(nameLength)); };
  auto address = [&](size_t nameLength) { return Address(store::SplitAddress(value(nameLength))); };
  std::string checkName, checkValue;
  if (StartsNoCase(line, "return-receipt-to:")) {
    receipt_ = address(18);
  } else if (StartsNoCase(line, "sender:")) {
    errorTo_ = address(7);
  } else if (StartsNoCase(line, "subject:")) {
    subject_ = value(8);
    checkName = "Subject:";
    checkValue = subject_;
  } else if (StartsNoCase(line, "reply-to:")) {
    replyTo_ = address(9);
    facts_.replyTo = replyTo_;
  } else if (StartsNoCase(line, "x-sender:")) {
    facts_.xSender = address(9);
  } else if (StartsNoCase(line, "to:")) {
    checkName = "To:";
    checkValue = value(3);
  } else if (StartsNoCase(line, "from:")) {
    checkName = "From:";
    checkValue = value(5);
    facts_.headerFrom = checkValue;
    facts_.logSender = checkValue;
    store::SplitResult from = store::SplitAddress(checkValue);
    std::string route;
    if (!from.domain.empty() && context_.domains->RouteDomain(from.domain, &route) == 0) {
      facts_.accepted = facts_.senderKnown = true;
      FirewallLog("msge from: accept  domain [" + core::LogSafe(from.domain) + "]");
    } else {
      FirewallLog("msge from: unknown domain [" + core::LogSafe(from.domain) + "]");
    }
  }
  std::string what;
  if (!checkName.empty() && firewall_->HeaderRejected(checkName, checkValue, &what)) {
    RejectLog("Reject " + what + " " + core::LogSafe(checkValue));
    Reply("550 Message REFUSED by peer. Reason: L.\r\n");
    return -1;
  }
  return 0;
}

int CSMTPProtocol::WriteEnvelope() {
  store::EnvelopeFields fields;
  fields.from = facts_.sender;
  fields.subject = subject_;
  fields.receipt = receipt_;
  fields.replyTo = replyTo_;
  fields.errorTo = errorTo_;
  fields.to = recipientList_;
  std::string text = store::FormatEnvelope(fields, platform::LocalTime(platform::Now()));
  // Written into the reserved file; then message, envelope and directory are synced, in that
  // order, before the client hears "250 OK" (both files are written first, so the first sync
  // commits most of what the others would). Readers take the item once the marker is gone.
  platform::CFile file;
  if (file.Open(envelope_, platform::FileMode::kWrite) != 0 || file.Write(text) != 0) return -1;
  int rc = messageFile_.Sync() == 0 && file.Sync() == 0 ? 0 : -1;
  messageFile_.Close();
  if (rc == 0) rc = platform::SyncDirectoryOf(envelope_) == 0 ? 0 : -1;
  return rc;
}

void CSMTPProtocol::DeleteTransactionFiles() {
  messageFile_.Close();
  for (std::string* name : {&envelope_, &message_}) {
    if (!name->empty()) (void)platform::RemoveFile(*name);
    name->clear();
  }
  marker_.Release();  // last: no reader may take the item's files for complete
  recipientList_.clear();
}

void CSMTPProtocol::OnRset() {
  state_ = kReady;
  if (!stored_) DeleteTransactionFiles();
  recipientList_.clear();
  if (!Reply(kResetReply)) state_ = kClosing;
}

void CSMTPProtocol::ResetAfterStore() {
  // The next message starts from what is known of the client alone.
  facts_.accepted = trustedClient_;
  facts_.recipientKnown = facts_.senderKnown = false;
  facts_.sizeKept = true;
  facts_.replyTo.clear();
  facts_.xSender.clear();
  facts_.headerFrom.clear();
  recipientList_.clear();
  facts_.logSender = facts_.logRecipient = "?";
}

void CSMTPProtocol::OnVrfy(const std::string& argument) {
  store::SplitResult who = store::SplitAddress(Trim(argument));
  std::string domain = who.domain.empty() ? context_.settings->Snapshot()->smtp.domain : who.domain;
  std::string name;
  bool ok = !context_.domains->IsLocalDomain(domain) ||
            context_.accounts->Snapshot()->LookupLocal(who.local, who.domain, &name);
  std::string reply = ok ? Format("250 <%s@%s>\r\n", who.local, domain)
                         : Format("550 %s... Unknown user\r\n", Address(who));
  if (!Reply(reply)) state_ = kClosing;
}

void CSMTPProtocol::OnEtrn(const std::string& argument) {
  std::string node = FirstWord(argument, kMaxEtrnNode);
  std::string name = (!node.empty() && (node[0] == '@' || node[0] == '#')) ? node.substr(1) : node;
  const store::DomainRecord* record = context_.domains->Snapshot()->Find(name);
  std::string reply;
  if (record == nullptr) {
    reply = (!node.empty() && (node[0] == '@' || node[0] == '#')) ? kEtrnSyntaxReply : kEtrnRefusedReply;
  } else {
    int started = context_.startDelivery ? context_.startDelivery(record->queueDir, facts_.peer, 25) : -1;
    reply = started == 1 ? kEtrnPendingReply : started == 0 ? kEtrnStartedReply : kEtrnRefusedReply;
  }
  if (!Reply(reply)) state_ = kClosing;
}

void CSMTPProtocol::EndConversation() {
  // Nothing of an unfinished transaction stays behind (a stored message has cleared its names).
  DeleteTransactionFiles();
  if (context_.distribute) context_.distribute();
  if (!error_) {
    LowLog("SMTP Server  stop: " + std::to_string(number_) + " (OK)");
  } else if (Socket() != nullptr) {
    LowLog("SMTP Server  stop: " + std::to_string(number_) + " (ERROR), socket=" +
           std::to_string(Socket()->Handle()) + ", error=" + std::to_string(savedError_));
  } else {
    LowLog("SMTP Server  stop: " + std::to_string(number_) + " (ERROR), socket=reset");
  }
  if (context_.checkLogSizes) context_.checkLogSizes();
}

}  // namespace net
