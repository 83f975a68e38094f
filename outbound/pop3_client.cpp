#include "outbound/pop3_client.h"

#include <cstdlib>
#include <set>
#include <utility>

#include "core/jobs.h"
#include "core/locked_ini.h"
#include "core/log_set.h"
#include "core/logger.h"
#include "core/settings.h"
#include "net/socket_extension.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"
#include "store/account.h"
#include "store/account_table.h"
#include "store/domain_table.h"
#include "store/envelope.h"
#include "store/message_text.h"
#include "store/queue_files.h"
#include "store/queue_item.h"
#include "store/store_paths.h"

namespace outbound {

namespace {

// Most envelope recipients taken from one message's headers.
constexpr size_t kMaxHeaderRecipients = 1000;
// Most bytes read past a broken message to keep the connection for QUIT.
constexpr long kMaxSkippedBytes = 64L * 1024 * 1024;
constexpr long kDiskCheckStep = 1024L * 1024;  // free space is looked at after each MiB written
constexpr int kPop3TooLarge = 1;               // not stored: the message stays on the server
// Most error answers quoted in one notice.
constexpr size_t kMaxNoticeLines = 20;

std::string WithoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// The decimal number at the start of `text`; false when there is none.
bool ReadNumber(std::string_view text, long* out) {
  if (text.empty() || text.size() > 9) return false;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *out = v;
  return true;
}

// The message count of a STAT answer "+OK <count> <size>" (RFC 1939 5).
bool StatCount(const std::string& answer, long* count) {
  size_t first = answer.find(' ');
  if (first == std::string::npos) return false;
  size_t start = answer.find_first_not_of(' ', first);
  if (start == std::string::npos) return false;
  size_t end = answer.find(' ', start);
  return ReadNumber(std::string_view(answer).substr(
                        start, end == std::string::npos ? std::string::npos : end - start),
                    count);
}

}  // namespace

Pop3Slot ParsePop3Slot(std::string_view value) {
  std::vector<std::string> fields;
  size_t pos = 0;
  while (pos <= value.size() && fields.size() < kPop3Slots) {
    size_t tab = value.find('\t', pos);
    std::string_view field =
        value.substr(pos, tab == std::string_view::npos ? std::string_view::npos : tab - pos);
    if (!field.empty() && field[0] == '*') field.remove_prefix(1);
    fields.emplace_back(field);
    if (tab == std::string_view::npos) break;
    pos = tab + 1;
  }
  Pop3Slot slot;
  if (fields.size() > 0) slot.enabled = std::atoi(fields[0].c_str()) == 1;
  if (fields.size() > 1) slot.user = fields[1];
  if (fields.size() > 2) slot.password = store::UnscramblePassword(fields[2]);
  if (fields.size() > 3) slot.server = fields[3];
  if (fields.size() > 4) slot.deleteAfter = std::atoi(fields[4].c_str()) != 0;
  // A slot without user or server cannot be collected.
  if (slot.user.empty() || slot.server.empty()) slot.enabled = false;
  return slot;
}

std::array<Pop3Slot, kPop3Slots> LoadPop3Slots(const std::string& mailboxDir) {
  std::array<Pop3Slot, kPop3Slots> slots{};
  core::CLockedIniFile ini(platform::JoinPath(mailboxDir, "MAILBOX.INI"));
  for (int i = 0; i < kPop3Slots; ++i) {
    std::string key = "acc" + std::to_string(i + 1);
    slots[i] = ParsePop3Slot(ini.ReadString(kPop3SectionName, key, kPop3EmptySlot));
  }
  return slots;
}

// Where one message goes while it arrives: the item writer, and for the shared collection the
// recipients found in its "To:" and "Cc:" headers.
class Pop3MessageSink {
 public:
  Pop3MessageSink(const Pop3ClientContext& context, bool envelope)
      : context_(context), envelope_(envelope) {}

  store::CItemWriter writer;
  std::vector<std::string> recipients;

  // One data line (dot-unstuffed, CR LF kept): noted for the envelope while in the header.
  void Header(const std::string& line) {
    if (!envelope_ || !inHeader_) return;
    if (line.empty() || line[0] == '\r' || line[0] == '\n') {
      inHeader_ = false;
      return;
    }
    bool continuation = line[0] == ' ' || line[0] == '\t' || line.find(':') == std::string::npos;
    if (platform::StartsWithNoCase(line, "to:") || platform::StartsWithNoCase(line, "cc:")) {
      inAddressField_ = true;
      AddList(std::string_view(line).substr(3));
    } else if (continuation && inAddressField_) {
      AddList(line);
    } else {
      inAddressField_ = false;
    }
  }

  // `text` as an address: added when its domain is local and it names an account or alias.
  // `bareName` also takes a name without domain (an account by its name).
  void AddAddress(std::string_view text, bool bareName) {
    if (recipients.size() >= kMaxHeaderRecipients) return;
    toolkit::SplitResult who = store::SplitMailbox(text);
    if (who.local.empty()) return;
    if (who.domain.empty() ? !bareName : !context_.domains->IsLocalDomain(who.domain)) return;
    std::string name;
    if (!context_.accounts->Snapshot()->LookupLocal(who.local, who.domain, &name)) return;
    std::string address = platform::ToLower(toolkit::JoinAddress(who));
    if (seen_.insert(address).second) recipients.push_back(address);
  }

 private:
  void AddList(std::string_view text) {
    while (!text.empty()) {
      size_t comma = text.find(',');
      AddAddress(WithoutLineEnd(std::string(text.substr(0, comma))), false);
      if (comma == std::string_view::npos) break;
      text.remove_prefix(comma + 1);
    }
  }

  const Pop3ClientContext& context_;
  bool envelope_;
  bool inHeader_ = true;
  bool inAddressField_ = false;
  std::set<std::string> seen_;
};

CPOP3Client::CPOP3Client(const Pop3ClientContext& context, std::string account, bool shared)
    : context_(context), account_(std::move(account)), shared_(shared) {}

CPOP3Client::~CPOP3Client() = default;

int CPOP3Client::LoadSlots() {
  slots_ = LoadPop3Slots(store::MailboxDir(context_.home, account_));
  int enabled = 0;
  for (const Pop3Slot& s : slots_) enabled += s.enabled ? 1 : 0;
  return enabled;
}

bool CPOP3Client::Stopping() const { return context_.counters && context_.counters->stopping; }

void CPOP3Client::LowLog(const std::string& text) {
  if (context_.logs) (void)context_.logs->Write(core::LogId::kPopcLow, peer_ + ": " + text);
}

void CPOP3Client::ConLog(const std::string& text) {
  if (context_.logs) (void)context_.logs->Write(core::LogId::kPopcCon, peer_ + ": " + text);
}

int CPOP3Client::Run() {
  int result = 0;
  for (const Pop3Slot& slot : slots_) {
    if (!slot.enabled) continue;
    if (Stopping()) break;
    server_ = slot.server;
    user_ = slot.user;
    peer_ = slot.server;
    bytes_ = 0;
    if (Login(slot) != 0) {
      LowLog("   ERROR: Connection to " + user_ + " on " + server_ + " failed");
      result = kPop3Broken;
      continue;
    }
    LowLog(" Connect: to " + user_ + " on " + server_ + " succeeded");
    int rc = Retrieve(slot);
    if (rc != 0) result = rc;
    Quit();
  }
  if (errorFlag_) SendNotice();
  return result;
}

int CPOP3Client::Login(const Pop3Slot& slot) {
  int timeout = context_.settings ? context_.settings->Snapshot()->smtp.pop3Timeout : 120;
  auto socket = std::make_unique<net::CSocketExtension>(timeout, kPop3BufferSize);
  if (socket->Create() != 0) {
    LowLog("   ERROR: Cannot get socket: srv=" + server_ + " adr=" + user_);
    return -1;
  }
  if (socket->Connect(slot.server, context_.port) != 0) {
    LowLog("   ERROR: Cannot connect socket : srv=" + server_ + " adr=" + user_);
    return -1;
  }
  socket_ = std::move(socket);
  std::string address;
  int port = 0;
  if (socket_->GetPeerName(&address, &port) == 0 && !address.empty()) peer_ = address;
  LowLog("  Socket: " + std::to_string(socket_->Handle()));
  if (ReadAnswer() != 0) {
    LowLog("   ERROR: Reading from srv=" + server_ + " adr=" + user_);
    Close();
    return -1;
  }
  static constexpr const char* kWords[] = {"USER", "PASS"};
  for (const char* word : kWords) {
    const std::string& argument = word[0] == 'U' ? slot.user : slot.password;
    if (SendCommand(word, argument) != 0) {
      LowLog(std::string("   ERROR: ") + word + ": Sending to   srv=" + server_ + " adr=" + user_);
      Close();
      return -1;
    }
    if (ReadAnswer() != 0) {
      LowLog(std::string("   ERROR: ") + word + ": Reading from srv=" + server_ + " adr=" + user_);
      Close();
      return -1;
    }
  }
  return 0;
}

int CPOP3Client::SendCommand(const std::string& word, const std::string& argument) {
  std::string line = argument.empty() ? word : word + " " + argument;
  // The password never goes into a log.
  LowLog(" Sending: " + (word == "PASS" ? word + " ****" : core::LogSafe(line)));
  line += "\r\n";
  if (!socket_ || socket_->SendN(line) != static_cast<int>(line.size())) {
    LowLog("   ERROR: " + std::to_string(socket_ ? socket_->GetLastError() : -1) +
           ", Sending data.");
    return -1;
  }
  return 0;
}

int CPOP3Client::ReadAnswer() {
  answer_.clear();
  if (!socket_) return kPop3Broken;
  std::string line;
  int n = socket_->ReceiveData(&line);
  if (n <= 0) {
    LowLog("   ERROR: Receive data (" + std::to_string(n) + ")");
    return kPop3Broken;
  }
  answer_ = WithoutLineEnd(std::move(line));
  LowLog("Received: " + core::LogSafe(answer_));
  if (!answer_.empty() && answer_[0] == '-') {
    std::string text = "POP3 ERROR: account=" + account_ + ", from=" + user_ + "@" + server_ +
                       ", reason=" + core::LogSafe(answer_);
    ConLog(text);
    errorFlag_ = true;
    if (errorLines_.size() < kMaxNoticeLines) errorLines_.push_back(text);
    return kPop3Negative;
  }
  return 0;
}

int CPOP3Client::Retrieve(const Pop3Slot& slot) {
  if (SendCommand("STAT", "") != 0) return kPop3Broken;
  if (int rc = ReadAnswer(); rc != 0) return rc;
  long count = 0;
  if (!StatCount(answer_, &count)) return kPop3Negative;
  if (count == 0) return 0;
  long received = 0;
  int result = 0;
  for (long n = count; n >= 1 && !Stopping(); --n) {
    if (SendCommand("RETR", std::to_string(n)) != 0) {
      result = kPop3Broken;
      break;
    }
    if (int rc = ReadAnswer(); rc != 0) {
      result = rc;
      break;
    }
    int rc = StoreMessage(n);
    if (rc < 0) {
      result = rc;
      break;
    }
    if (rc > 0) continue;  // not stored: it stays on the server
    ++received;
    // The message is on disk under its final name: only now may the server let it go.
    if (slot.deleteAfter) {
      if (SendCommand("DELE", std::to_string(n)) != 0) {
        result = kPop3Broken;
        break;
      }
      (void)ReadAnswer();
    }
  }
  ConLog(std::to_string(received) + " Message(s) received from=" + user_ + "@" + server_ +
         " to=" + account_ + " size=" + std::to_string(bytes_));
  return result;
}

int CPOP3Client::StoreMessage(long number) {
  Pop3MessageSink sink(context_, shared_);
  std::string destination =
      shared_ ? store::InqueueDir(context_.home) : store::MailboxDir(context_.home, account_);
  bool opened = sink.writer.Begin(destination, shared_ ? store::ItemKind::kInbound
                                                       : store::ItemKind::kMailbox) == 0;
  if (!opened) LowLog("   ERROR: Cannot open " + destination);
  // Even without a file the message is read to its end, so that the server still hears QUIT.
  if (int rc = ReceiveBody(number, sink, opened ? 0 : kPop3FileError); rc != 0) {
    sink.writer.Abandon();
    return rc;
  }
  store::EnvelopeFields envelope;
  if (shared_) {
    if (sink.recipients.empty()) sink.AddAddress(user_, true);
    if (sink.recipients.empty()) {
      long size = static_cast<long>(sink.writer.BytesWritten());
      sink.writer.Abandon();
      ConLog("Account " + user_ + " does not exist. Message from=" + user_ + "@" + server_ +
             " not distributed, size=" + std::to_string(size));
      return 1;
    }
    envelope.to = sink.recipients;
  }
  std::string envelopeText =
      shared_ ? store::FormatEnvelope(envelope, platform::LocalTime(platform::Now()))
              : std::string();
  if (sink.writer.Commit(envelopeText) != 0) {
    LowLog("   ERROR: File write: " + std::to_string(kPop3FileError));
    return kPop3FileError;
  }
  ++stored_;
  return 0;
}

int CPOP3Client::ReceiveBody(long number, Pop3MessageSink& sink, int failed) {
  std::string head = store::StatusLine(store::kStatusNew) + "\r\n";
  std::string localName = context_.settings ? context_.settings->Snapshot()->smtp.localName : "";
  head += "Received: from " + peer_ + " by " + localName + " with POP3 (" + context_.product + " " +
          context_.version + ")\r\n";
  head += "          id " + std::to_string(number) + "; " + store::FormatDateHeader() + "\r\n";
  if (failed == 0 && sink.writer.Write(head) != 0) {
    LowLog("   ERROR: File write: " + std::to_string(kPop3FileError));
    failed = kPop3FileError;
  }
  // The server's own limits hold for collected mail as for mail taken over SMTP: a message over
  // MaxMsgSize Kbytes, or one that would leave less than MinDiskSpace Kbytes free, is not kept
  // (it stays on the server).
  FirewallLimits limits = Limits();
  long nextDiskCheck = 0;  // at the first line, then after each step
  std::string line;
  for (;;) {
    int n = socket_->ReceiveData(&line);
    if (n <= 0) {
      LowLog("   ERROR: Socket read: " + std::to_string(n) + ", " +
             std::to_string(socket_->GetLastError()));
      // A line too long for the buffer breaks only this message: read past its end so that the
      // server still hears QUIT and lets go of the messages deleted before (RFC 1939 6).
      if (n != net::kBufferFull || !SkipRestOfMessage()) Close();
      return kPop3Broken;
    }
    if (line[0] == '.') {
      LowLog("Received: " + core::LogSafe(WithoutLineEnd(line)));
      if (line == ".\r\n") {
        LowLog("Received: [CRLF.CRLF]");
        return failed;
      }
      line.erase(0, 1);  // RFC 1939 3: the termination octet is removed
    }
    // The rest is read and dropped: the server hears QUIT and lets go of the messages deleted
    // before this one.
    if (failed != 0) continue;
    sink.Header(line);
    if (sink.writer.Write(line) != 0) {
      LowLog("   ERROR: File write: " + std::to_string(kPop3FileError));
      failed = kPop3FileError;
      continue;
    }
    bytes_ += static_cast<long>(line.size());
    long written = static_cast<long>(sink.writer.BytesWritten());
    if (limits.maxBytes > 0 && written > limits.maxBytes) {
      // Only this message is passed over; the ones after it are collected as usual.
      ConLog("Message " + std::to_string(number) + " from=" + user_ + "@" + server_ + " exceeds " +
             std::to_string(limits.maxBytes / 1000) + " Kbytes: left on the server");
      failed = kPop3TooLarge;
    } else if (limits.keepFree > 0 && written >= nextDiskCheck) {
      nextDiskCheck = written + kDiskCheckStep;
      int64_t free = platform::FreeDiskSpace(context_.home);
      if (free >= 0 && free < limits.keepFree) {
        LowLog("   ERROR: Disk space below " + std::to_string(limits.keepFree / 1000) +
               " Kbytes: message " + std::to_string(number) + " left on the server");
        failed = kPop3FileError;
      }
    }
  }
}

CPOP3Client::FirewallLimits CPOP3Client::Limits() const {
  FirewallLimits limits;
  if (context_.settings == nullptr) return limits;
  auto values = context_.settings->Snapshot();
  if (values->firewall.maxMsgSize > 0) limits.maxBytes = values->firewall.maxMsgSize * 1000;
  if (values->firewall.minDiskSpace > 0) {
    limits.keepFree = static_cast<int64_t>(values->firewall.minDiskSpace) * 1000;
  }
  return limits;
}

bool CPOP3Client::SkipRestOfMessage() {
  bool lineStart = false;  // the first piece continues the line that was too long
  bool pendingCR = false;  // the last piece of a long line ended with the CR of its CR LF
  for (long total = 0; total <= kMaxSkippedBytes && !Stopping();) {
    std::string piece;
    int rc = socket_->ReceiveLine(&piece, "\r\n");
    total += static_cast<long>(piece.size()) + 2;
    if (rc == net::kBufferFull) {
      lineStart = false;
      pendingCR = !piece.empty() && piece.back() == '\r';
      continue;
    }
    if (rc != 0) return false;
    if (pendingCR && !piece.empty() && piece[0] == '\n') {
      piece.erase(0, 1);  // the LF ended the long line; the rest is a line of its own
      lineStart = true;
    }
    pendingCR = false;
    if (lineStart && piece == ".") return true;
    lineStart = true;
  }
  return false;
}

void CPOP3Client::Quit() {
  if (!socket_) return;
  if (SendCommand("QUIT", "") == 0) (void)ReadAnswer();
  Close();
}

void CPOP3Client::Close() { socket_.reset(); }

void CPOP3Client::SendNotice() {
  if (!context_.generated || !context_.settings) return;
  store::GeneratedContext ctx = context_.generated();
  std::string postmaster = context_.settings->Snapshot()->smtp.postmaster;
  std::string to = shared_ ? postmaster : account_ + "@" + ctx.primaryDomain;
  std::string text = "A remote POP3 server answered with an error while mail was collected for " +
                     account_ + ":\r\n\r\n";
  for (const std::string& l : errorLines_) text += l + "\r\n";
  (void)store::QueueTextMessage(ctx, to, kPop3NoticeSubject, text, postmaster);
}

}  // namespace outbound
