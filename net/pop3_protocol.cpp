#include "net/pop3_protocol.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/log_set.h"
#include "core/settings.h"
#include "net/socket_extension.h"
#include "platform/file.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "store/account_table.h"

namespace net {
namespace {

constexpr const char* kCommands[] = {"USER", "PASS", "TOP", "STAT", "RETR", "LIST",
                                     "DELE", "QUIT", "RSET", "NOOP", "NOK"};

constexpr char kUnknownReply[] = "-ERR Unknown command\r\n";
constexpr char kWrongStateReply[] = "-ERR Illegal Command in this state\r\n";
constexpr char kBusyReply[] = "-ERR MailDrop busy. Another session is active.\r\n";
constexpr char kEndReply[] = ".\r\n";
constexpr char kNoopReply[] = "+OK\r\n";

// Messages go out in blocks of about this size.
constexpr size_t kSendBlock = 64 * 1024;

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Printf(const char* format, ...) {
  char buf[600];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

// The argument after the command word and the blanks or tabs after it, up to CR, LF or the end.
std::string ArgumentOf(const std::string& line, size_t wordEnd) {
  size_t start = line.find_first_not_of(" \t", wordEnd);
  if (start == std::string::npos) return std::string();
  size_t end = line.find_first_of("\r\n", start);
  return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace

CPOP3Protocol::~CPOP3Protocol() { ReleaseAccount(); }

CPOP3Protocol::Command CPOP3Protocol::Parse(const std::string& line, std::string* argument) {
  size_t end = line.find_first_of(" \r\n");
  std::string word = line.substr(0, end);
  *argument = end == std::string::npos ? std::string() : ArgumentOf(line, end);
  if (word.empty()) return kUnknown;
  for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (size_t i = 0; i < sizeof kCommands / sizeof kCommands[0]; ++i) {
    if (word == kCommands[i]) return static_cast<Command>(i);
  }
  return kUnknown;
}

long CPOP3Protocol::MessageNumber(const std::string& argument) {
  if (argument.empty()) return 0;
  // The leading decimal value, as a C library reads it; anything below 1 is invalid.
  char* end = nullptr;
  long value = std::strtol(argument.c_str(), &end, 10);
  return value < 1 ? -1 : value;
}

void CPOP3Protocol::LowLog(const std::string& text) {
  context_.logs->Write(core::LogId::kPopLow, peer_ + ": " + text);
}

void CPOP3Protocol::ConLog(const std::string& text) {
  context_.logs->Write(core::LogId::kPopCon, peer_ + ": " + text);
}

bool CPOP3Protocol::Reply(const std::string& text) {
  std::string shown = core::LogSafe(text.substr(0, text.size() >= 2 ? text.size() - 2 : 0));
  CSocketExtension* socket = Socket();
  int sent = socket ? socket->SendN(text) : -1;
  if (sent != static_cast<int>(text.size())) {
    LowLog(" Send (ERROR=" + std::to_string(socket ? socket->GetLastError() : -1) + ") " + shown);
    return false;
  }
  LowLog("    Send command " + shown);
  return true;
}

int CPOP3Protocol::ProtocolLoop() {
  number_ = ++context_.sessionNumber;
  peer_ = PeerAddress();
  CSocketExtension* socket = Socket();
  if (socket == nullptr) return 0;
  LowLog("POP3 Server start: " + std::to_string(number_) + ", socket=" +
         std::to_string(socket->Handle()) + " **************");
  auto settings = context_.settings->Snapshot();
  bool open = Reply(Printf("+OK POP3 %s ready at %s (%s)\r\n", context_.product.c_str(),
                           settings->smtp.domain.c_str(), context_.version.c_str()));
  while (open) {
    std::string line;
    int rc = socket->ReceiveLine(&line, "\r\n");
    if (rc == kTimedOut) {
      LowLog("Timeout while reading POP command");
      break;
    }
    if (rc != 0 && rc != kBufferFull) {  // a cut line is used as it stands
      LowLog("ReceiveLine error (" + std::to_string(rc) + ")");
      break;
    }
    if (line.size() > kMaxCommandLine) line.resize(kMaxCommandLine);
    LowLog("Received command " + core::LogSafe(state_ == kUserGiven && line.size() > 4
                                                    ? line.substr(0, 4) + " ****"
                                                    : line));
    std::string argument;
    Command command = Parse(line, &argument);
    open = Dispatch(command, argument);
  }
  LowLog("POP3 Server stop : " + std::to_string(number_));
  ReleaseAccount();
  context_.logs->RecordSize(core::LogId::kPopCon);
  context_.logs->RecordSize(core::LogId::kPopLow);
  return 0;
}

bool CPOP3Protocol::Dispatch(Command command, const std::string& argument) {
  if (command == kUnknown) return Reply(kUnknownReply);
  if (command == kQuit) {
    if (!account_.empty() && state_ == kTransaction) DeleteMarked();
    Reply(Printf("+OK POP3 server at %s signing off\r\n",
                 context_.settings->Snapshot()->smtp.domain.c_str()));
    return false;
  }
  switch (state_) {
    case kAuthorization:
      if (command == kUser) {
        OnUser(argument.substr(0, kMaxCommandLine));
        return true;
      }
      if (command == kNok) return true;  // ignored, without a reply
      return Reply(kWrongStateReply);
    case kUserGiven:
      if (command == kPass) {
        OnPass(argument.substr(0, kMaxCommandLine));
        return true;
      }
      return Reply(kWrongStateReply);
    case kTransaction:
      if (command == kUser || command == kPass || command == kNok) return Reply(kWrongStateReply);
      return OnTransaction(command, argument);
  }
  return true;
}

void CPOP3Protocol::OnUser(const std::string& name) {
  ReleaseAccount();
  auto table = context_.accounts->Snapshot();
  const store::CAccount* account = table->FindAccount(name);
  if (account == nullptr) account = table->FindByExactAlias(name);
  if (account == nullptr) {
    Reply(Printf("-ERR Sorry %s doesn't get his mail here\r\n", name.c_str()));
    state_ = kAuthorization;
    return;
  }
  account_ = account->name;
  password_ = account->password;
  markedByUs_ = context_.accounts->TakeInUse(account_);
  wasInUse_ = !markedByUs_;
  state_ = kUserGiven;
  Reply(Printf("+OK Password required for %s\r\n", account_.c_str()));
}

void CPOP3Protocol::OnPass(const std::string& password) {
  if (password != password_) {
    ConLog("Authentication failed for user " + core::LogSafe(account_));
    Reply(Printf("-ERR Password supplied for \"%s\" is incorrect\r\n", account_.c_str()));
    state_ = kAuthorization;
    return;
  }
  OpenMaildrop();
  if (context_.saveCounters) {
    int kbytes = static_cast<int>(std::min<uint64_t>(totalBytes_ / 1024, INT32_MAX));
    context_.accounts->SetCounters(account_, {static_cast<int>(maildrop_.size()), kbytes});
    context_.saveCounters(account_, static_cast<int>(maildrop_.size()), kbytes);
  }
  if (wasInUse_) {
    Reply(kBusyReply);
    state_ = kAuthorization;
    return;
  }
  Reply(Printf("+OK %s has %d message(s)\r\n", account_.c_str(), static_cast<int>(maildrop_.size())));
  state_ = kTransaction;
  ConLog("User " + core::LogSafe(account_) + " connected");
}

void CPOP3Protocol::OpenMaildrop() {
  maildrop_.clear();
  totalBytes_ = 0;
  std::string box = platform::ResolvePath(
      platform::JoinPath(platform::JoinPath(context_.home, "MAILIN"), account_));
  // Sorted names: the numbering stays the same for the whole session.
  for (const std::string& name : platform::FindFiles(box, "M*.MIM")) {
    std::string path = platform::JoinPath(box, name);
    if (platform::FileExists(platform::ResolvePath(platform::SiblingName(path, 'B')))) continue;
    int64_t size = platform::FileSize(path);
    if (size < 0) continue;  // gone meanwhile
    maildrop_.push_back({path, static_cast<uint64_t>(size), false});
    totalBytes_ += static_cast<uint64_t>(size);
  }
}

bool CPOP3Protocol::CheckNumber(long number, const char* command) {
  if (number < 1) {
    return Reply(Printf("-ERR Invalid parameter to the %s command\r\n", command)), false;
  }
  if (static_cast<size_t>(number) > maildrop_.size()) {
    return Reply(Printf("-ERR Message %ld does not exist.\r\n", number)), false;
  }
  return true;
}

bool CPOP3Protocol::OnTransaction(Command command, const std::string& argument) {
  unsigned long total = static_cast<unsigned long>(totalBytes_);
  int count = static_cast<int>(maildrop_.size());
  switch (command) {
    case kStat:
      return Reply(Printf("+OK %d %lu\r\n", count, total));
    case kNoop:
      return Reply(kNoopReply);
    case kRset:
      for (Entry& e : maildrop_) e.deleted = false;
      return Reply(Printf("+OK Maildrop has %d messages (%lu bytes)\r\n", count, total));
    case kList: {
      long n = MessageNumber(argument);
      if (n == 0) {
        std::string text = Printf("+OK %d %lu\r\n", count, total);
        for (size_t i = 0; i < maildrop_.size(); ++i) {
          text += Printf("%zu %lu\r\n", i + 1, static_cast<unsigned long>(maildrop_[i].size));
        }
        return Reply(text + kEndReply);
      }
      if (!CheckNumber(n, "LIST")) return true;
      return Reply(Printf("+OK %ld %lu\r\n", n, static_cast<unsigned long>(maildrop_[n - 1].size)));
    }
    case kRetr: {
      long n = MessageNumber(argument);
      if (!CheckNumber(n == 0 ? -1 : n, "RETR")) return true;
      return SendMessage(maildrop_[n - 1], -1);
    }
    case kTop: {
      // "TOP n lines": both parts present and at most 31 characters each.
      size_t split = argument.find_first_of(" \t");
      std::string first = argument.substr(0, split);
      size_t second = split == std::string::npos ? std::string::npos : argument.find_first_not_of(" \t", split);
      std::string lines = second == std::string::npos ? std::string() : argument.substr(second);
      lines = lines.substr(0, lines.find_first_of(" \t"));
      long n = MessageNumber(first);
      if (first.size() > kMaxTopPart || lines.empty() || lines.size() > kMaxTopPart) n = -1;
      if (!CheckNumber(n == 0 ? -1 : n, "TOP")) return true;
      long count = std::max(0L, std::strtol(lines.c_str(), nullptr, 10));
      return SendMessage(maildrop_[n - 1], count);
    }
    case kDele: {
      long n = MessageNumber(argument);
      if (!CheckNumber(n == 0 ? -1 : n, "DELE")) return true;
      Entry& e = maildrop_[n - 1];
      if (e.deleted) {
        // Counted once: a second DELE of the same message changes nothing.
        return Reply(Printf("-ERR Message %ld has already been deleted.\r\n", n));
      }
      e.deleted = true;
      bool ok = Reply(Printf("+OK Message %ld has been deleted.\r\n", n));
      if (auto table = context_.accounts->Snapshot(); const store::CAccount* a = table->FindAccount(account_)) {
        store::MailboxCounters c = context_.accounts->Counters(*a);
        c.msgNmbr = std::max(0, c.msgNmbr - 1);
        c.boxSize = std::max(0, c.boxSize - static_cast<int>(e.size / 1024));
        context_.accounts->SetCounters(account_, c);
        if (context_.saveCounters) context_.saveCounters(account_, c.msgNmbr, c.boxSize);
      }
      return ok;
    }
    default:
      return Reply(kUnknownReply);
  }
}

bool CPOP3Protocol::SendMessage(const Entry& entry, long topLines) {
  // The reply line, the message and the closing dot go out together in large blocks: separate
  // small writes would wait on the peer's delayed acknowledgements.
  std::string head = Printf("+OK %lu bytes\r\n", static_cast<unsigned long>(entry.size));
  LowLog("    Send command " + head.substr(0, head.size() - 2));
  CSocketExtension* socket = Socket();
  std::string out = head;
  out.reserve(kSendBlock + 4096);
  auto flush = [&] {
    bool ok = socket && socket->SendN(out) == static_cast<int>(out.size());
    out.clear();
    return ok;
  };
  platform::CFile file;
  // A message deleted meanwhile (web mail, another reader) is sent empty.
  if (file.Open(entry.path, platform::FileMode::kRead) == 0) {
    std::string pending;
    std::vector<char> buf(kSendBlock);
    bool first = true, inHeader = true, done = false;
    long bodyLines = 0;
    // One line of the file (without its LF, and without the CR before it).
    auto line = [&](const char* p, size_t n) {
      if (n > 0 && p[n - 1] == '\r') --n;
      if (first) {
        first = false;
        if (n > 8 && std::string_view(p, n).substr(0, 10) == "X-IStatus:") return;
      }
      if (topLines >= 0 && !inHeader) {
        if (bodyLines >= topLines) {
          done = true;
          return;
        }
        ++bodyLines;
      }
      if (n == 0) inHeader = false;
      if (n > 0 && p[0] == '.') out += '.';
      out.append(p, n);
      out += "\r\n";
    };
    long got;
    while (!done && (got = file.Read(buf.data(), static_cast<long>(buf.size()))) > 0) {
      const char* p = buf.data();
      const char* end = p + got;
      while (!done && p < end) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (nl == nullptr) {
          pending.append(p, end);
          break;
        }
        if (pending.empty()) {
          line(p, static_cast<size_t>(nl - p));
        } else {
          pending.append(p, nl);
          line(pending.data(), pending.size());
          pending.clear();
        }
        p = nl + 1;
      }
      if (out.size() >= kSendBlock && !flush()) return false;  // the peer is gone
    }
    if (!done && !pending.empty()) line(pending.data(), pending.size());
  }
  out += kEndReply;
  if (!flush()) {
    LowLog(" Send (ERROR=" + std::to_string(socket ? socket->GetLastError() : -1) + ") .");
    return false;
  }
  LowLog("    Send command .");
  return true;
}

void CPOP3Protocol::DeleteMarked() {
  for (const Entry& e : maildrop_) {
    if (e.deleted) (void)platform::RemoveFile(e.path);
  }
  maildrop_.clear();
}

void CPOP3Protocol::ReleaseAccount() {
  if (account_.empty()) return;
  if (markedByUs_) context_.accounts->ClearInUse(account_);
  account_.clear();
  password_.clear();
  markedByUs_ = wasInUse_ = false;
  maildrop_.clear();
  totalBytes_ = 0;
}

}  // namespace net
