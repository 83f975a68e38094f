#include "net/pop3_protocol.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "core/log_set.h"
#include "core/settings.h"
#include "net/socket_extension.h"
#include "store/account_table.h"

namespace net {
namespace {

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

}  // namespace

const char kPop3TooManySessionsReply[] = "-ERR Too many connections, try again later\r\n";

CPOP3Protocol::~CPOP3Protocol() { ReleaseAccount(); }

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
    if (line.size() > kPop3MaxCommandLine) line.resize(kPop3MaxCommandLine);
    // A password is never logged.
    LowLog("Received command " + core::LogSafe(state_ == kUserGiven && line.size() > 4
                                                    ? line.substr(0, 4) + " ****"
                                                    : line));
    open = Dispatch(ParsePop3Command(line));
  }
  LowLog("POP3 Server stop : " + std::to_string(number_));
  ReleaseAccount();
  context_.logs->RecordSize(core::LogId::kPopCon);
  context_.logs->RecordSize(core::LogId::kPopLow);
  return 0;
}

bool CPOP3Protocol::Dispatch(const Pop3CommandLine& command) {
  if (command.verb == Pop3Verb::kUnknown) return Reply(kUnknownReply);
  if (command.verb == Pop3Verb::kQuit) {
    if (!account_.empty() && state_ == kTransaction) maildrop_.Expunge();
    Reply(Printf("+OK POP3 server at %s signing off\r\n",
                 context_.settings->Snapshot()->smtp.domain.c_str()));
    return false;
  }
  switch (state_) {
    case kAuthorization:
      if (command.verb == Pop3Verb::kUser) {
        OnUser(command.argument.substr(0, kPop3MaxCommandLine));
        return true;
      }
      if (command.verb == Pop3Verb::kNok) return true;  // ignored, without a reply
      return Reply(kWrongStateReply);
    case kUserGiven:
      if (command.verb == Pop3Verb::kPass) {
        OnPass(command.argument.substr(0, kPop3MaxCommandLine));
        return true;
      }
      return Reply(kWrongStateReply);
    case kTransaction:
      if (command.verb == Pop3Verb::kUser || command.verb == Pop3Verb::kPass || command.verb == Pop3Verb::kNok) {
        return Reply(kWrongStateReply);
      }
      return OnTransaction(command.verb, command.argument);
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
  state_ = kUserGiven;
  Reply(Printf("+OK Password required for %s\r\n", account_.c_str()));
}

void CPOP3Protocol::OnPass(const std::string& password) {
  // An account without a password (such as the catch-all "$default") is never opened.
  if (password_.empty() || password != password_) {
    ConLog("Authentication failed for user " + core::LogSafe(account_));
    Reply(Printf("-ERR Password supplied for \"%s\" is incorrect\r\n", account_.c_str()));
    state_ = kAuthorization;
    return;
  }
  // The mailbox is marked in use only for a client that knows its password.
  markedByUs_ = context_.accounts->TakeInUse(account_);
  maildrop_.Open(context_.home, account_);
  if (context_.saveCounters) {
    int kbytes = static_cast<int>(std::min<uint64_t>(maildrop_.TotalBytes() / 1024, INT32_MAX));
    int count = static_cast<int>(maildrop_.Count());
    context_.accounts->SetCounters(account_, {count, kbytes});
    context_.saveCounters(account_, count, kbytes);
  }
  if (!markedByUs_) {
    maildrop_.Clear();
    Reply(kBusyReply);
    state_ = kAuthorization;
    return;
  }
  Reply(Printf("+OK %s has %d message(s)\r\n", account_.c_str(), static_cast<int>(maildrop_.Count())));
  state_ = kTransaction;
  ConLog("User " + core::LogSafe(account_) + " connected");
}

bool CPOP3Protocol::CheckNumber(long number, const char* command) {
  if (number < 1) {
    return Reply(Printf("-ERR Invalid parameter to the %s command\r\n", command)), false;
  }
  if (maildrop_.Find(number) == nullptr) {
    return Reply(Printf("-ERR Message %ld does not exist.\r\n", number)), false;
  }
  return true;
}

bool CPOP3Protocol::OnTransaction(Pop3Verb verb, const std::string& argument) {
  unsigned long total = static_cast<unsigned long>(maildrop_.TotalBytes());
  int count = static_cast<int>(maildrop_.Count());
  switch (verb) {
    case Pop3Verb::kStat:
      return Reply(Printf("+OK %d %lu\r\n", count, total));
    case Pop3Verb::kNoop:
      return Reply(kNoopReply);
    case Pop3Verb::kRset:
      maildrop_.UnmarkAll();
      return Reply(Printf("+OK Maildrop has %d messages (%lu bytes)\r\n", count, total));
    case Pop3Verb::kList: {
      long n = Pop3MessageNumber(argument);
      if (n == 0) {
        std::string text = Printf("+OK %d %lu\r\n", count, total);
        for (long i = 1; i <= count; ++i) {
          text += Printf("%ld %lu\r\n", i, static_cast<unsigned long>(maildrop_.Find(i)->size));
        }
        return Reply(text + kEndReply);
      }
      if (!CheckNumber(n, "LIST")) return true;
      return Reply(Printf("+OK %ld %lu\r\n", n, static_cast<unsigned long>(maildrop_.Find(n)->size)));
    }
    case Pop3Verb::kRetr: {
      long n = Pop3MessageNumber(argument);
      if (!CheckNumber(n == 0 ? -1 : n, "RETR")) return true;
      return SendMessage(*maildrop_.Find(n), -1);
    }
    case Pop3Verb::kTop: {
      Pop3TopArguments top = ParsePop3Top(argument);
      if (!CheckNumber(top.number, "TOP")) return true;
      return SendMessage(*maildrop_.Find(top.number), top.lines);
    }
    case Pop3Verb::kDele: {
      long n = Pop3MessageNumber(argument);
      if (!CheckNumber(n == 0 ? -1 : n, "DELE")) return true;
      if (!maildrop_.MarkDeleted(n)) {
        // Counted once: a second DELE of the same message changes nothing.
        return Reply(Printf("-ERR Message %ld has already been deleted.\r\n", n));
      }
      bool ok = Reply(Printf("+OK Message %ld has been deleted.\r\n", n));
      if (auto table = context_.accounts->Snapshot(); const store::CAccount* a = table->FindAccount(account_)) {
        store::MailboxCounters c = context_.accounts->Counters(*a);
        c.msgNmbr = std::max(0, c.msgNmbr - 1);
        c.boxSize = std::max(0, c.boxSize - static_cast<int>(maildrop_.Find(n)->size / 1024));
        context_.accounts->SetCounters(account_, c);
        if (context_.saveCounters) context_.saveCounters(account_, c.msgNmbr, c.boxSize);
      }
      return ok;
    }
    default:
      return Reply(kUnknownReply);
  }
}

bool CPOP3Protocol::SendMessage(const store::CMaildrop::Entry& entry, long topLines) {
  // The reply line, the message and the closing dot go out together in large blocks: separate
  // small writes would wait on the peer's delayed acknowledgements.
  std::string head = Printf("+OK %lu bytes\r\n", static_cast<unsigned long>(entry.size));
  LowLog("    Send command " + head.substr(0, head.size() - 2));
  CSocketExtension* socket = Socket();
  std::string out = head;
  out.reserve(kSendBlock + 4096);
  bool sent = true;
  auto flush = [&] {
    sent = socket && socket->SendN(out) == static_cast<int>(out.size());
    out.clear();
    return sent;
  };
  bool inHeader = true;
  long bodyLines = 0;
  // A message deleted meanwhile (web mail, another reader) is sent empty.
  (void)store::ReadMessageLines(entry.path, [&](std::string_view line) {
    if (topLines >= 0 && !inHeader) {
      if (bodyLines >= topLines) return false;
      ++bodyLines;
    }
    if (line.empty()) inHeader = false;
    if (!line.empty() && line[0] == '.') out += '.';  // dot-stuffing (RFC 1939 3)
    out.append(line);
    out += "\r\n";
    return out.size() < kSendBlock || flush();
  });
  if (sent) {
    out += kEndReply;
    flush();
  }
  if (!sent) {
    LowLog(" Send (ERROR=" + std::to_string(socket ? socket->GetLastError() : -1) + ") " +
           head.substr(0, head.size() - 2));
    return false;
  }
  LowLog("    Send command .");
  return true;
}

void CPOP3Protocol::ReleaseAccount() {
  if (account_.empty()) return;
  if (markedByUs_) context_.accounts->ClearInUse(account_);
  account_.clear();
  password_.clear();
  markedByUs_ = false;
  maildrop_.Clear();
}

}  // namespace net
