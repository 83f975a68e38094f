#include "outbound/smtp_client.h"

#include <cctype>
#include <cstdio>
#include <utility>

#include "core/log_set.h"
#include "net/socket_extension.h"
#include "outbound/retry_schedule.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"
#include "store/auto_reply.h"
#include "store/envelope.h"
#include "store/line_file.h"
#include "store/queue_files.h"
#include "store/queue_item.h"
#include "store/store_paths.h"

namespace outbound {

namespace {

constexpr size_t kReplyBufferSize = 2048;
constexpr size_t kMaxDataLine = 998;      // characters of a message line per line sent
constexpr size_t kSendChunk = 16 * 1024;  // data is sent in pieces of about this size
constexpr char kDaemonName[] = "MAILER-DAEMON";
constexpr char kNotFound[] = "0.0.0.0 (Not found. All DNS called)";

std::string Decimal(int64_t v) { return std::to_string(v); }

// The reply's lines; true when the last one is complete ("ddd " or a bare "ddd").
bool IsLastLine(const std::string& line) {
  return line.size() >= 5 && (line[3] == ' ' || line.size() == 5);
}

bool HasCode(const std::string& line) {
  return line.size() >= 5 && std::isdigit(static_cast<unsigned char>(line[0])) &&
         std::isdigit(static_cast<unsigned char>(line[1])) &&
         std::isdigit(static_cast<unsigned char>(line[2]));
}

// An EHLO reply line "250-ETRN" or "250 ETRN": the keyword after the code.
bool OffersKeyword(const std::string& reply, std::string_view keyword) {
  size_t pos = 0;
  while (pos < reply.size()) {
    size_t end = reply.find("\r\n", pos);
    if (end == std::string::npos) end = reply.size();
    std::string_view line(reply.data() + pos, end - pos);
    if (line.size() >= 4 + keyword.size()) {
      std::string_view word = line.substr(4);
      size_t stop = word.find_first_of(" \t");
      if (stop != std::string_view::npos) word = word.substr(0, stop);
      if (word.size() == keyword.size() && platform::StartsWithNoCase(word, keyword)) return true;
    }
    pos = end + 2;
  }
  return false;
}

// SendN gives the count sent, or an error code.
bool SendAll(net::CSocketExtension& socket, const std::string& data) {
  return socket.SendN(data) == static_cast<int>(data.size());
}

std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

}  // namespace

// One queued message as a run handles it.
struct CSMTPClient::Item {
  std::string messagePath;
  std::string envelopePath;
  std::string name;  // message file name (logs)
  std::string sender;
  std::string iniDate;
  int64_t size = 0;
  RetryState retry;
  store::EnvelopeFields fields;
  std::vector<Recipient> recipients;
};

CSMTPClient::CSMTPClient(ClientContext context, ClientConfig config)
    : context_(std::move(context)), config_(std::move(config)) {
  if (config_.port < 0) config_.port = 25;
}

CSMTPClient::~CSMTPClient() { Close(); }

std::time_t CSMTPClient::Now() const { return context_.now ? context_.now() : platform::Now(); }

bool CSMTPClient::Stopping() const { return context_.stopping && context_.stopping->load(); }

void CSMTPClient::LowLog(const std::string& text) {
  if (context_.logs) (void)context_.logs->Write(core::LogId::kSmtpcLow, peer_ + ": " + text);
}

void CSMTPClient::ConLog(const std::string& text) {
  if (context_.logs) (void)context_.logs->Write(core::LogId::kSmtpcCon, peer_ + ": " + text);
}

int CSMTPClient::Run() { return config_.dnsMode ? DnsRun() : RelayRun(); }

// --- the dialogue ---------------------------------------------------------------------------

void CSMTPClient::Close() {
  socket_.reset();
  inData_ = false;
  broken_ = false;
}

int CSMTPClient::Connect(const std::string& host, const std::string& shownAddress) {
  Close();
  esmtp_ = etrnOffered_ = false;
  peer_ = host;
  auto socket = std::make_unique<net::CSocketExtension>(config_.timeoutSeconds,
                                                        static_cast<int>(kReplyBufferSize));
  if (socket->Create() != 0) {
    LowLog("Cannot get socket: srv=" + host + " adr=" + shownAddress);
    return -1;
  }
  if (socket->Connect(host, config_.port) != 0) {
    LowLog("Cannot connect: srv=" + host + " adr=" + shownAddress);
    return -1;
  }
  socket_ = std::move(socket);
  std::string address;
  int port = 0;
  if (socket_->GetPeerName(&address, &port) == 0 && !address.empty()) peer_ = address;
  LowLog("  Socket: " + Decimal(socket_->Handle()));
  if (ReadReply(Stage::kGreeting) != kReplyOk) {
    LowLog("Cannot get reply: srv=" + host + " adr=" + shownAddress);
    Close();
    return -1;
  }
  if (SendCommand("EHLO", config_.localDomain) != 0) {
    LowLog("Cannot send: srv=" + host + " adr=" + shownAddress + " HELO");
    Close();
    return -1;
  }
  int rc = ReadReply(Stage::kEhlo);
  if (rc == kReplyFailed || rc == kReplyTooLong) {
    LowLog("Cannot get reply to EHLO: srv=" + host + " adr=" + shownAddress);
    Close();
    return -1;
  }
  if (rc != kReplyOk) {
    // A server without the extensions: the plain greeting.
    if (SendCommand("HELO", config_.localDomain) != 0) {
      LowLog("Cannot send: srv=" + host + " adr=" + shownAddress + " HELO");
      Close();
      return -1;
    }
    if (ReadReply(Stage::kHelo) != kReplyOk) {
      LowLog("Cannot get reply to HELO: srv=" + host + " adr=" + shownAddress);
      Close();
      return -1;
    }
  } else if (config_.etrn && etrnOffered_) {
    // Ask the peer to send what it holds for our domain and for every domain marked for ETRN.
    std::vector<std::string> nodes{config_.localDomain};
    if (context_.domains) {
      for (const store::DomainRecord& r : context_.domains->records) {
        if (r.etrn != 0 && !r.deleted && !r.added) nodes.push_back(r.name);
      }
    }
    for (const std::string& node : nodes) {
      if (SendCommand("ETRN", node) != 0) {
        LowLog("Cannot send: srv=" + host + " adr=" + shownAddress + " ETRN");
        Close();
        return -1;
      }
      // A refused ETRN does not stop the delivery.
      if (ReadReply(Stage::kHelo) == kReplyFailed) {
        Close();
        return -1;
      }
    }
  }
  return 0;
}

int CSMTPClient::SendCommand(const std::string& command, const std::string& argument) {
  std::string line;
  if (argument.empty()) {
    line = command;
  } else if (!command.empty() && command.back() == ':') {
    line = command + argument;
  } else {
    line = command + " " + argument;
  }
  LowLog("Sending: " + line);
  line += "\r\n";
  if (!socket_ || !SendAll(*socket_, line)) {
    LowLog("!S-ERROR: " + Decimal(socket_ ? socket_->GetLastError() : -1) +
           ", res !!!!!!!!!!!!!!!!!!!!!!!!!!!!!");
    broken_ = true;
    return -1;
  }
  return 0;
}

int CSMTPClient::ReadReply(Stage stage) {
  reply_.clear();
  if (!socket_) return kReplyFailed;
  for (;;) {
    std::string line;
    int n = socket_->ReceiveData(&line);
    if (n == net::kBufferFull) {
      broken_ = true;
      return kReplyTooLong;
    }
    if (n < 0) {
      broken_ = true;
      return kReplyFailed;
    }
    if (reply_.size() + line.size() > kReplyBufferSize) {
      broken_ = true;
      return kReplyTooLong;
    }
    reply_ += line;
    if (!HasCode(line) || (line[3] != ' ' && line[3] != '-' && line.size() != 5)) {
      LowLog("Received: " + WithoutLineEnd(reply_));
      return kReplyFormat;
    }
    if (IsLastLine(line)) break;
  }
  LowLog("Received: " + WithoutLineEnd(reply_));
  char digit = reply_[0];
  int rc = kReplyFormat;
  switch (stage) {
    case Stage::kData:
      rc = digit == '3' ? kReplyOk : (digit >= '1' && digit <= '5') ? kReplyFormat : kReplyFailed;
      break;
    case Stage::kRcpt:
      rc = digit == '2'   ? kReplyOk
           : digit == '4' ? kTxTemporary
           : digit == '5' ? kTxPermanent
                          : kReplyFailed;
      break;
    case Stage::kEhlo:
      if (digit == '2') {
        rc = kReplyOk;
        esmtp_ = true;
        etrnOffered_ = OffersKeyword(reply_, "ETRN");
      }
      break;
    default:
      rc = digit == '2' ? kReplyOk : kReplyFormat;
      break;
  }
  if (rc != kReplyOk) LowLog("SMTP: " + WithoutLineEnd(reply_));
  return rc;
}

void CSMTPClient::Quit() {
  if (socket_ && !broken_ && SendCommand("QUIT", "") == 0) (void)ReadReply(Stage::kQuit);
  Close();
}

void CSMTPClient::Rset() {
  if (!socket_ || broken_) return;
  if (inData_) {
    // The data phase was cut short on our side: the peer only sees its end.
    inData_ = false;
    if (SendCommand(".", "") != 0) return;
    (void)ReadReply(Stage::kEndOfData);
  }
  if (SendCommand("RSET", "") == 0) (void)ReadReply(Stage::kEndOfData);
}

int CSMTPClient::SendMessageData(const std::string& messagePath) {
  store::CLineFile file;
  if (file.Open(messagePath, platform::FileMode::kRead) != 0) return kTxTemporary;
  std::string out;
  out.reserve(kSendChunk + kMaxDataLine + 8);
  std::string piece;
  bool lineEnd = true;
  bool first = true;
  for (;;) {
    int rc = file.ReadLinePiece(&piece, kMaxDataLine, &lineEnd);
    if (rc == store::kErrEndOfFile) break;
    if (rc != 0) {
      // Never end the data with "." after a part: the peer would deliver half a message. The
      // connection is dropped instead, which makes the peer discard the transaction.
      broken_ = true;
      Close();
      return kTxTemporary;
    }
    // The status line of the store is never sent.
    if (first && lineEnd && platform::StartsWithNoCase(piece, store::kStatusPrefix)) {
      first = false;
      continue;
    }
    first = false;
    // Every piece starts a line of its own: a line longer than the limit goes out as several
    // lines rather than losing its rest.
    if (!piece.empty() && piece[0] == '.') out += '.';
    out += piece;
    out += "\r\n";
    if (out.size() >= kSendChunk) {
      if (!SendAll(*socket_, out)) {
        broken_ = true;
        return kTxTemporary;
      }
      out.clear();
    }
  }
  out += ".\r\n";
  inData_ = false;
  if (!SendAll(*socket_, out)) {
    broken_ = true;
    return kTxTemporary;
  }
  return 0;
}

int CSMTPClient::Transaction(const std::string& sender, std::vector<Recipient*>& batch,
                             const std::string& messagePath) {
  if (sender.empty() || batch.empty()) return kTxPermanent;
  if (SendCommand("MAIL FROM:", "<" + sender + ">") != 0) return kTxBroken;
  if (ReadReply(Stage::kMail) != kReplyOk) return kTxBroken;
  int accepted = 0;
  for (Recipient* r : batch) {
    r->accepted = false;
    r->code = -1;
    if (SendCommand("RCPT TO:", "<" + r->address + ">") != 0) return kTxBroken;
    int rc = ReadReply(Stage::kRcpt);
    if (rc == kReplyOk) {
      r->accepted = true;
      ++accepted;
    } else {
      r->code = rc == kTxTemporary || rc == kTxPermanent ? rc : -1;
      r->error = WithoutLineEnd(reply_) + "\r\n";
      if (broken_) return kTxBroken;
    }
  }
  if (accepted == 0) return kTxPermanent;
  if (SendCommand("DATA", "") != 0) return kTxBroken;
  if (ReadReply(Stage::kData) != kReplyOk) return kTxBroken;
  inData_ = true;
  int rc = SendMessageData(messagePath);
  std::string failure;
  if (rc == 0) {
    int end = ReadReply(Stage::kEndOfData);
    if (end == kReplyOk) {
      for (Recipient* r : batch) {
        if (r->accepted) r->delivered = true;
      }
      return 0;
    }
    // A 5xx to the end of the data refuses the message for good; anything else (4xx, no
    // reply) leaves it for another attempt.
    rc = !reply_.empty() && reply_[0] == '5' ? kTxPermanent : kTxTemporary;
    failure = reply_.empty() ? std::string("No reply to the end of the message data.\r\n")
                             : WithoutLineEnd(reply_) + "\r\n";
  } else {
    failure = "The connection broke while the message was sent.\r\n";
  }
  for (Recipient* r : batch) {
    if (!r->accepted) continue;
    r->accepted = false;
    r->code = rc;
    r->error = failure;
  }
  return rc;
}

// --- queue items ----------------------------------------------------------------------------

bool CSMTPClient::ReadItem(const std::string& messagePath, Item& item) {
  item.messagePath = messagePath;
  item.name = platform::BaseName(messagePath);
  if (store::ReadEnvelope(item.envelopePath, &item.fields) != 0) return false;
  // The whole address: a sender cut short would be someone else's, and so would its reports.
  item.sender = item.fields.from;
  item.size = platform::FileSize(messagePath);
  if (item.size < 0) item.size = 0;
  item.recipients.clear();
  for (const std::string& to : item.fields.to) {
    if (to.empty()) continue;
    Recipient r;
    r.address = to;
    size_t at = to.rfind('@');
    r.domain = at == std::string::npos ? config_.localDomain : to.substr(at + 1);
    item.recipients.push_back(std::move(r));
  }
  return true;
}

void CSMTPClient::ReportFailures(const Item& item, const std::string& subject, bool onlyPermanent) {
  std::vector<store::FailedRecipient> failed;
  for (const Recipient& r : item.recipients) {
    if (r.delivered) continue;
    if (onlyPermanent && r.code != kTxPermanent) continue;
    failed.push_back({r.address, false, r.error});
  }
  if (failed.empty()) return;
  // A message from the null sender or a MAILER-DAEMON is a report or notice itself: a report
  // about it would go to an address that takes no mail (RFC 5321 4.5.5, 6.1) or answer a
  // report with a report.
  if (store::IsNullOrDaemonAddress(item.sender)) {
    ConLog("Message from=" + item.sender + " not delivered, no failure report to its sender");
    return;
  }
  (void)store::QueueFailureReport(context_.generated, kDaemonName, subject, item.sender, failed,
                                  item.messagePath);
}

int CSMTPClient::WriteEnvelope(const Item& item, const std::vector<std::string>& to,
                               const std::string& nextSend) {
  store::EnvelopeFields fields = item.fields;
  fields.from = item.sender;
  fields.to = to;
  fields.steps.clear();
  std::time_t created = Now();
  (void)ParseEnvelopeTime(item.fields.iniDate, &created);
  std::string text = store::FormatEnvelope(fields, platform::LocalTime(created));
  if (!nextSend.empty()) {
    size_t pos = text.find("\r\n[To]");
    text.insert(pos == std::string::npos ? text.size() : pos, "\r\nNxtSend=" + nextSend);
  }
  // Replaced in one step: a crash leaves the old envelope or the new one.
  return platform::WriteFileAtomic(item.envelopePath, text);
}

void CSMTPClient::KeepOnly(const Item& item, const std::vector<std::string>& keep) {
  if (keep.empty()) {
    RemoveItem(item);
  } else if (keep.size() != item.recipients.size()) {
    (void)WriteEnvelope(item, keep, item.fields.nxtSend);
  }
}

void CSMTPClient::RecipientLog(const Item& item, const Recipient& r, const std::string& outcome) {
  ConLog("Message from=" + item.sender + " to=" + r.address + " " + outcome);
}

void CSMTPClient::RemoveItem(const Item& item) {
  // Envelope first: a message left without envelope and marker is known to the recovery as
  // the rest of a removal cut short.
  (void)platform::RemoveFile(item.envelopePath);
  (void)platform::RemoveFile(item.messagePath);
}

// --- the queue directory --------------------------------------------------------------------

// The directory is read once per run and each message's envelope and busy marker are looked up
// in that reading: a run that looked each one up on disk read the whole directory again for
// every missing marker (the case-blind search of a name that is not there), which made a run
// over n messages cost n directory readings.
std::vector<CSMTPClient::QueuedMessage> CSMTPClient::ListQueue(const std::string& dir) {
  std::vector<QueuedMessage> out;
  platform::CDirectoryListing listing;
  if (!listing.Read(dir)) return out;
  for (const std::string& name : listing.Match("M*.MIM")) {
    QueuedMessage m;
    m.name = name;
    m.messagePath = platform::JoinPath(listing.Directory(), name);
    std::string envelope = platform::SiblingName(name, 'I');
    m.hasEnvelope = listing.Exists(envelope);
    m.envelopePath = listing.PathOf(envelope);
    m.busy = listing.Exists(platform::SiblingName(name, 'B'));
    out.push_back(std::move(m));
  }
  return out;
}

// The reading is a snapshot: the marker is also looked for on disk (one look-up under the
// message's spelling), so an item a writer took after the reading is still passed over.
bool CSMTPClient::IsBusy(const QueuedMessage& m) const {
  return m.busy || platform::FileExists(platform::SiblingName(m.messagePath, 'B'));
}

// --- relay run ------------------------------------------------------------------------------

int CSMTPClient::RelayRun() {
  std::vector<QueuedMessage> messages =
      ListQueue(store::OutqueueDir(context_.home, config_.queueDir));
  if (messages.empty() && !config_.force && !config_.etrn) return kRelayNothing;
  if (Connect(config_.destination, config_.destination) != 0) {
    LowLog("Connection to " + config_.destination + " failed");
    return kRelayNoConnection;
  }
  LowLog("Connection to " + config_.destination + " succeeded");
  for (const QueuedMessage& m : messages) {
    if (Stopping() || !socket_) break;
    Item item;
    item.envelopePath = m.envelopePath;
    LowLog(" Message: " + m.name);
    if (!m.hasEnvelope) {
      LowLog(" Aborted: No I-File...");
      continue;
    }
    if (IsBusy(m)) {
      LowLog(" Aborted: B-File exists...");
      continue;
    }
    if (!ReadItem(m.messagePath, item)) continue;
    if (item.sender.empty()) item.sender = "master@" + config_.localDomain;
    if (item.sender.find('@') == std::string::npos) item.sender += "@" + config_.localDomain;
    std::vector<Recipient*> batch;
    for (Recipient& r : item.recipients) batch.push_back(&r);
    int rc = Transaction(item.sender, batch, item.messagePath);
    if (rc == kTxBroken && !broken_ && !reply_.empty() && reply_[0] == '5') {
      // The relay refused the sender (MAIL FROM) or the message (DATA) for good: every
      // recipient not refused on its own is refused with that reply. Kept, the message would
      // be offered again at every run and its sender never told.
      for (Recipient& r : item.recipients) {
        if (r.delivered || r.code != -1) continue;
        r.code = kTxPermanent;
        r.error = WithoutLineEnd(reply_) + "\r\n";
      }
    }
    std::vector<std::string> keep;
    bool permanent = false;
    for (Recipient& r : item.recipients) {
      if (r.delivered) {
        RecipientLog(item, r, "successfully sent size=" + Decimal(item.size));
      } else if (r.code == kTxPermanent) {
        permanent = true;
      } else {
        // Not refused for good (4xx, not tried, the connection broke): the relay gets it again
        // at the next run.
        keep.push_back(r.address);
      }
    }
    if (rc != 0) {
      Rset();
      LowLog("Error=" + Decimal(rc) + " while sending " + item.messagePath + " to " +
             config_.destination + " ");
    }
    if (permanent) ReportFailures(item, "Delivery failed", true);
    KeepOnly(item, keep);
    if (broken_) Close();
  }
  Quit();
  return kRelayDone;
}

// --- DNS run --------------------------------------------------------------------------------

void CSMTPClient::DeliverByDomain(Item& item) {
  for (;;) {
    std::string domain;
    for (Recipient& r : item.recipients) {
      r.inBatch = false;
      if (domain.empty() && !r.handled) domain = r.domain;
    }
    if (domain.empty()) return;
    std::vector<Recipient*> batch;
    for (Recipient& r : item.recipients) {
      if (!r.handled && platform::EqualNoCase(r.domain, domain)) {
        r.inBatch = r.handled = true;
        batch.push_back(&r);
      }
    }
    if (!resolver_) resolver_ = context_.makeResolver ? context_.makeResolver() : nullptr;
    if (!resolver_) return;
    resolver_->Reset();
    for (int attempt = 0;; ++attempt) {
      if (Stopping()) {
        for (Recipient* r : batch) {
          if (r->code == -1) r->code = kTxTemporary;
        }
        break;
      }
      std::string host;
      int found = resolver_->Resolve(domain, attempt, host);
      if (found < 0) {
        bool missing = resolver_->DomainDoesNotExist();
        for (Recipient* r : batch) {
          r->error = missing ? "Domain does not exist: " + domain + "\r\n" : std::string();
          r->error += "Domain route not found: " + domain + "\r\n";
          r->code = missing ? kTxPermanent : kTxTemporary;
        }
        break;
      }
      if (Connect(host, host) != 0) continue;
      int rc = Transaction(item.sender, batch, item.messagePath);
      if (rc == kTxBroken) {
        Quit();
        continue;
      }
      Quit();
      break;
    }
  }
}

int CSMTPClient::DnsRun() {
  std::vector<QueuedMessage> messages =
      ListQueue(store::OutqueueDir(context_.home, config_.queueDir));
  bool started = false;
  for (const QueuedMessage& m : messages) {
    if (Stopping()) break;
    Item item;
    const std::string& name = m.name;
    item.envelopePath = m.envelopePath;
    if (!m.hasEnvelope || IsBusy(m)) continue;
    if (!ReadItem(m.messagePath, item)) continue;
    std::time_t now = Now();
    std::time_t created;
    if (!ParseEnvelopeTime(item.fields.iniDate, &created)) {
      item.fields.iniDate = store::EnvelopeDate(platform::LocalTime(now));
    }
    item.retry = ParseNextSend(item.fields.nxtSend, now);
    if (item.retry.next > now) continue;
    if (!started) {
      peer_.clear();
      LowLog("SMTP Client start: " + Decimal(config_.number) + ", " + config_.queueDir);
      started = true;
    }
    peer_.clear();
    LowLog(" Message: " + name);
    if (item.sender.empty()) {
      item.sender = "master@" + config_.localDomain;
      item.fields.from = item.sender;
      (void)WriteEnvelope(item, item.fields.to, item.fields.nxtSend);
    }
    if (item.sender.find('@') == std::string::npos) item.sender += "@" + config_.localDomain;

    DeliverByDomain(item);
    if (Stopping()) {
      // The run was cut short: what was delivered is off the list, the rest stays due.
      std::vector<std::string> keep;
      for (const Recipient& r : item.recipients) {
        if (!r.delivered) keep.push_back(r.address);
      }
      KeepOnly(item, keep);
      break;
    }

    std::string size = Decimal(item.size);
    if (item.retry.counter >= kMaxAttempts) {
      bool undelivered = false;
      for (Recipient& r : item.recipients) {
        if (r.delivered) {
          RecipientLog(item, r, "successfully sent size=" + size);
          continue;
        }
        undelivered = true;
        if (r.error.empty()) r.error = "Unknown.\r\n";
        r.error += "==> Transmission cancelled.";
        RecipientLog(item, r, "cannot be delivered size=" + size);
      }
      // The report takes a copy of the message: it is written before the item goes.
      if (undelivered) {
        ReportFailures(item,
                       "Impossible to deliver: " + Decimal(kMaxAttempts) + " retries since " +
                           item.fields.iniDate + ". Message discarded. ",
                       false);
      }
      RemoveItem(item);
      continue;
    }

    std::vector<std::string> retry;
    bool undelivered = false, refused = false;
    for (Recipient& r : item.recipients) {
      if (r.delivered) {
        RecipientLog(item, r, "successfully sent size=" + size);
        continue;
      }
      undelivered = true;
      if (r.error.empty()) r.error = "Unknown.\r\n";
      if (r.code == kTxPermanent) {
        refused = true;
        r.error += "==> Transmission cancelled.";
        RecipientLog(item, r, "not sent (retry impossible) size=" + size);
      } else {
        retry.push_back(r.address);
        r.error += "==> Retry scheduled.";
        RecipientLog(item, r, "not sent (retry scheduled) size=" + size + " name=" + name);
      }
    }
    // The sender hears of a failure at once when nothing is retried, and of recipients still
    // waiting once, with the second attempt; a recipient refused for good is reported in the
    // attempt that refused it, since it leaves the item then.
    if (undelivered && (retry.empty() || item.retry.counter == 1)) {
      ReportFailures(item, "Postmaster report: Delivery failed.", false);
    } else if (refused) {
      ReportFailures(item, "Postmaster report: Delivery failed.", true);
    }
    if (retry.empty()) {
      RemoveItem(item);
      continue;
    }
    RetryState next = NextAttempt(item.retry, Now());
    if (WriteEnvelope(item, retry, FormatNextSend(next)) != 0) {
      LowLog("Cannot rewrite the envelope of " + name);
    }
  }
  if (started) {
    peer_.clear();
    LowLog("SMTP Client stop : " + Decimal(config_.number) + ", " + config_.queueDir);
  }
  return 0;
}

}  // namespace outbound
