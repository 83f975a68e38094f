#include "outbound/dns_resolver.h"

#include <cstdio>
#include <random>
#include <utility>

#include "net/socket_extension.h"
#include "outbound/dns_answer.h"
#include "platform/file.h"
#include "platform/path.h"
#include "platform/system.h"
#include "platform/text.h"

namespace outbound {
namespace {

constexpr int kQueryLimit = 10;
constexpr size_t kMaxErrorText = 128;
constexpr const char* kNotFound = "0.0.0.0 (Not found. All DNS called)";

std::string Format(const char* format, auto... args) {
  char text[640];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

// A fresh query id for every query (RFC 5452 9.2): an answer must echo it to be taken.
uint16_t NewQueryId() {
  uint16_t id = 0;
  if (platform::RandomBytes(&id, sizeof id) != 0) {
    std::random_device device;
    id = static_cast<uint16_t>(device());
  }
  return id;
}

}  // namespace

int DnsErrorClass(int code) {
  if (code == kDnsRcode) return -30;
  if (code == kDnsExpandFailed || code == kDnsCompressFailed) return -20;
  if (code <= -11 && code >= -17) return -10;
  if (code == 0) return 0;
  return -100;
}

class CDnsResolver::CState {
 public:
  explicit CState(ResolverSettings settings) : settings_(std::move(settings)) { Reset(); }

  void Reset() {
    server1_ = settings_.server1;
    server2_ = settings_.server2;
    port_ = settings_.port;
    timeout_ = settings_.timeoutSeconds < 1 ? 1 : settings_.timeoutSeconds;
    current_ = server1_;
    serverState_ = 1;
    tried_.clear();
    errorCode_ = 0;
    errorText_.clear();
    queryCount_ = 0;
    table_.Clear();
    answer_ = DnsHeader{};
    chosenMx_ = -1;
    chosenAddress_ = -1;
    everChosen_ = false;
  }
  void Reset(const ResolverSettings& settings) {
    settings_ = settings;
    Reset();
  }

  int Resolve(const std::string& domain, int attempt, std::string& result);
  void SetQuestion(const std::string& name) { qname_ = name; }
  int QueryOnce();
  std::string Report(int rc, const std::string& server, int port) const;

  bool DomainDoesNotExist() const { return answer_.rcode == kDnsRcodeNameError && answer_.aa; }
  int ErrorCode() const { return errorCode_; }
  const std::string& ErrorText() const { return errorText_; }

 private:
  int QueryWithFallback();
  int ReceiveAnswer(net::CSocketExtension& socket, uint8_t* buffer, int& length);
  int SocketError(net::CSocketExtension& socket, int code, const char* message);
  int AnswerError(int code, const std::string& message);
  void SetError(int code, std::string text);
  void AddTried(const std::string& server);
  bool ChooseExchanger();
  int FindAddress(int from) const;
  bool IsGlue(int index) const;
  int NextGlue() const;
  bool Referral(int index);
  int ConnectivityCheck(const std::string& domain);
  void Log(const std::string& text) const;

  ResolverSettings settings_;
  std::string server1_, server2_, current_, tried_;
  int serverState_ = 1;
  int port_ = 53;
  int timeout_ = 20;
  int errorCode_ = 0;
  std::string errorText_;
  int queryCount_ = 0;
  std::string qname_;
  uint16_t qid_ = 0;
  std::string question_;  // the question section of the query in flight, as sent
  DnsHeader answer_;
  CDnsRecordTable table_;
  int chosenMx_ = -1;
  int chosenAddress_ = -1;
  bool everChosen_ = false;
};

void CDnsResolver::CState::Log(const std::string& text) const {
  if (!settings_.logging || settings_.logPath.empty()) return;
  platform::CFile file;
  if (file.Open(platform::ResolvePath(settings_.logPath), platform::FileMode::kAppend) != 0) return;
  (void)file.Write(text);  // a lost log line does not stop the resolver
}

void CDnsResolver::CState::SetError(int code, std::string text) {
  if (text.size() > kMaxErrorText) text.resize(kMaxErrorText);
  errorCode_ = code;
  errorText_ = std::move(text);
}

int CDnsResolver::CState::SocketError(net::CSocketExtension& socket, int code,
                                      const char* message) {
  int wsa = socket.GetLastError() != 0 ? socket.GetLastError() : -1;
  SetError(code, Format(" ERROR: %s: %s WSAE=%d", current_.c_str(), message, wsa));
  Log("\n\n" + errorText_);
  return code;
}

int CDnsResolver::CState::AnswerError(int code, const std::string& message) {
  SetError(code, " ERROR: DNS Query " + message);
  return code;
}

void CDnsResolver::CState::AddTried(const std::string& server) {
  if (server.empty()) return;
  size_t start = 0;
  while (start <= tried_.size() && !tried_.empty()) {
    size_t end = tried_.find(';', start);
    if (end == std::string::npos) end = tried_.size();
    if (tried_.compare(start, end - start, server) == 0) return;
    start = end + 1;
  }
  tried_ += tried_.empty() ? server : ";" + server;
}

// Waits for the answer to our query until the time-out: a datagram that is no answer to it
// (another id, QR clear, shorter than a header) is dropped and the wait goes on, so a stray
// or forged datagram can neither be taken nor prolong the wait.
int CDnsResolver::CState::ReceiveAnswer(net::CSocketExtension& socket, uint8_t* buffer,
                                        int& length) {
  const uint64_t deadline = platform::TickCount() + static_cast<uint64_t>(timeout_) * 1000;
  for (;;) {
    uint64_t now = platform::TickCount();
    if (now >= deadline) return SocketError(socket, kDnsTimedOut, "Select socket timeout error. ");
    int n = socket.ReceiveDatagram(reinterpret_cast<char*>(buffer), kDnsAnswerSize,
                                   static_cast<int>(deadline - now));
    if (n == net::kTimedOut) {
      return SocketError(socket, kDnsTimedOut, "Select socket timeout error. ");
    }
    if (n < 0) return SocketError(socket, kDnsReceiveFailed, "Receive() socket error. ");
    DnsHeader header;
    if (!DecodeDnsHeader(buffer, static_cast<size_t>(n), header)) continue;
    if (header.id != qid_ || !header.qr) continue;
    // The answer must repeat our question (RFC 5452 9.1): name (without case), type and class.
    // The records are read from behind it, so another question would also misplace them.
    if (header.qdcount != 1 || static_cast<size_t>(n) < kDnsHeaderSize + question_.size() ||
        !platform::EqualNoCase(
            std::string_view(reinterpret_cast<const char*>(buffer) + kDnsHeaderSize,
                             question_.size()),
            question_)) {
      continue;
    }
    answer_ = header;
    length = n;
    return 0;
  }
}

int CDnsResolver::CState::QueryOnce() {
  if (current_.empty()) return -1;
  qid_ = NewQueryId();
  Log(Format("\n\n********************\nSERVER: dns=%s", current_.c_str()) +
      Format("\n QUERY: qid=%d qrd=%d qopcode=%d qname=%s, qtype=%d, qclass=%d", qid_, 1, 0,
             qname_.c_str(), kDnsTypeMx, kDnsClassIn));
  std::vector<uint8_t> query;
  size_t questionLength = 0;
  if (BuildDnsQuery(qid_, qname_, kDnsTypeMx, kDnsClassIn, query, questionLength) != 0) {
    AnswerError(kDnsCompressFailed, "dn_comp() query compression error (1). ");
    Log("\n\n" + errorText_);
    return kDnsCompressFailed;
  }
  question_.assign(reinterpret_cast<const char*>(query.data()) + kDnsHeaderSize, questionLength);
  uint8_t buffer[kDnsAnswerSize];
  int length = 0;
  {
    net::CSocketExtension socket(timeout_, 0);
    if (socket.CreateDatagram() != 0) {
      return SocketError(socket, kDnsCreateFailed, "Create() socket error. ");
    }
    if (socket.Connect(current_, port_) != 0) {
      return SocketError(socket, kDnsConnectFailed, "Connect() socket error. ");
    }
    if (socket.SendN(reinterpret_cast<const char*>(query.data()), static_cast<int>(query.size())) !=
        static_cast<int>(query.size())) {
      return SocketError(socket, kDnsSendFailed, "SendN() socket error. ");
    }
    if (int rc = ReceiveAnswer(socket, buffer, length); rc != 0) return rc;
  }  // the socket is closed before the answer is read
  std::string log =
      Format("\nANSWER:  id=%d  rd=%d  opcode=%d ra=%d aa=%d tc=%d rcode=%d", answer_.id,
             answer_.rd, answer_.opcode, answer_.ra, answer_.aa, answer_.tc, answer_.rcode);
  std::string text;
  int rc = ParseDnsRecords(buffer, static_cast<size_t>(length), kDnsHeaderSize + questionLength,
                           answer_, table_, &text, &log);
  if (rc != 0) {
    AnswerError(rc, text);
    Log(log + "\n\n" + errorText_);
    return rc;
  }
  if (answer_.rcode != 0) {
    SetError(kDnsRcode, Format(" ERROR: DNS Query %s RCODE=%d", "Query FAILED. ", answer_.rcode));
    log += "\n\n" + errorText_;
  }
  Log(log);
  return 0;
}

int CDnsResolver::CState::QueryWithFallback() {
  if (queryCount_ >= kQueryLimit) return -1;
  current_ = serverState_ == 1 ? server1_ : server2_;
  int rc = -1;
  while (queryCount_ < kQueryLimit) {
    ++queryCount_;
    rc = QueryOnce();
    if (rc == 0) return 0;
    AddTried(current_);
    if (serverState_ == 1 && !server2_.empty()) {
      serverState_ = 2;
      current_ = server2_;
      continue;
    }
    break;
  }
  return rc;
}

// The unused exchanger of lowest preference; of equal ones the later entry.
bool CDnsResolver::CState::ChooseExchanger() {
  int best = -1;
  for (int i = 0; i < table_.Count(); ++i) {
    const DnsRecord& r = table_[i];
    if (r.type != kDnsTypeMx || r.used || i == chosenMx_) continue;
    if (best < 0 || r.value <= table_[best].value) best = i;
  }
  if (best < 0) return false;
  table_[best].used = true;
  chosenMx_ = best;
  chosenAddress_ = -1;
  everChosen_ = true;
  return true;
}

// The first A entry at or after `from` whose owner is the chosen exchanger's host, or -1.
int CDnsResolver::CState::FindAddress(int from) const {
  if (chosenMx_ < 0) return -1;
  const std::string& host = table_[chosenMx_].data;
  for (int i = from; i < table_.Count(); ++i) {
    if (table_[i].type == kDnsTypeA && SameName(table_[i].owner, host)) return i;
  }
  return -1;
}

// A glue address: an A entry that is no address of an exchanger in the table. (An exchanger's
// own address is asked for mail, not for DNS: asking it would cost a time-out per address once
// the exchangers are used up.)
bool CDnsResolver::CState::IsGlue(int index) const {
  const DnsRecord& r = table_[index];
  if (r.type != kDnsTypeA) return false;
  for (int i = 0; i < table_.Count(); ++i) {
    if (table_[i].type == kDnsTypeMx && SameName(table_[i].data, r.owner)) return false;
  }
  return true;
}

int CDnsResolver::CState::NextGlue() const {
  for (int i = 0; i < table_.Count(); ++i) {
    if (!table_[i].picked && IsGlue(i)) return i;
  }
  return -1;
}

// The glue address at `index` becomes server1 and is asked; true when its answer gave an
// exchanger.
bool CDnsResolver::CState::Referral(int index) {
  table_[index].picked = true;
  server1_ = DottedAddress(table_[index].address);
  current_ = server1_;
  serverState_ = 1;
  return QueryWithFallback() == 0 && ChooseExchanger();
}

int CDnsResolver::CState::ConnectivityCheck(const std::string& domain) {
  std::string line = "\n CHECK: " + domain + ": Try to connect to. Result: ";
  net::CSocketExtension socket(timeout_, 0);
  int rc = 0;
  if (socket.Create() != 0) {
    rc = kDnsCreateFailed;
    line += "Create socket error. \n";
  } else if (socket.Connect(domain, settings_.smtpPort) != 0) {
    rc = kDnsConnectFailed;
    line += "Connect socket error. \n";
  } else {
    line += "Connected. \n";
  }
  if (rc != 0) {
    int wsa = socket.GetLastError() != 0 ? socket.GetLastError() : -1;
    SetError(rc, Format(" ERROR: %s: %s WSAE=%d", domain.c_str(),
                        rc == kDnsCreateFailed ? "Create socket error. " : "Connect socket error. ",
                        wsa));
  }
  Log(line);
  return rc;
}

int CDnsResolver::CState::Resolve(const std::string& domain, int attempt, std::string& result) {
  qname_ = domain;
  bool found = false;
  bool address = false;
  if (attempt > 0) {
    // The next address of the chosen exchanger, else the next exchanger.
    int a = FindAddress(chosenAddress_ < 0 ? 0 : chosenAddress_ + 1);
    if (a >= 0) {
      chosenAddress_ = a;
      table_[a].addressUsed = true;
      result = DottedAddress(table_[a].address);
      found = address = true;
    } else {
      found = ChooseExchanger();
    }
  } else {
    chosenMx_ = -1;
    chosenAddress_ = -1;
    found = QueryWithFallback() == 0 && ChooseExchanger();
  }
  if (!found) {
    serverState_ = 2;
    if (QueryWithFallback() == 0) {
      found = ChooseExchanger();
    } else {
      server1_.clear();
      server2_.clear();
    }
  }
  // Referrals: the glue addresses of the answers are asked in turn, within the query limit.
  for (int glue = NextGlue(); !found && glue >= 0 && queryCount_ < kQueryLimit; glue = NextGlue()) {
    found = Referral(glue);
  }
  int rc = kResolvedHost;
  if (found && !address) result = table_[chosenMx_].data;
  if (!found) {
    result = kNotFound;
    rc = kNotResolved;
    if (attempt == 0 && !everChosen_ && ConnectivityCheck(domain) == 0) {
      result = domain;
      rc = kResolvedDirect;
    }
  }
  Log(Format("\n ROUTE: mx=%-3d a=%-3d domain=%s address=%s", chosenMx_, chosenAddress_,
             domain.c_str(), result.c_str()));
  return rc;
}

std::string CDnsResolver::CState::Report(int rc, const std::string& server, int port) const {
  std::string out = "MX query for " + qname_ + " to " + server + ":" + std::to_string(port) + ": ";
  if (rc != 0) {
    out += "no answer (" + std::to_string(rc) + ")";
    if (errorCode_ != 0) out += ":";
    if (server.empty()) out += " no DNS server given";
    if (errorCode_ != 0) out += errorText_;
    return out;
  }
  out += Format("answered (aa=%d tc=%d ra=%d rcode=%d)", answer_.aa, answer_.tc, answer_.ra,
                answer_.rcode);
  if (DomainDoesNotExist()) out += ", the domain does not exist";
  static const char* const kSections[] = {"", "answer", "authority", "additional"};
  out += "\nRecords: " + std::to_string(table_.Count());
  for (int i = 0; i < table_.Count(); ++i) {
    const DnsRecord& r = table_[i];
    out += Format("\n  %-10s %s ", kSections[r.section], r.owner.c_str());
    if (r.type == kDnsTypeMx) {
      out += Format("MX %d %s", r.value, r.data.c_str());
    } else if (r.type == kDnsTypeA) {
      out += "A " + DottedAddress(r.address);
    } else if (r.type == kDnsTypeNs) {
      out += "NS " + r.data;
    } else {
      out += "type " + std::to_string(r.type);
    }
  }
  // The order in which delivery would try the exchangers of this answer, with their addresses.
  CState walk(settings_);
  walk.table_ = table_;
  out += "\nExchangers in the order they are tried:";
  bool any = false;
  while (walk.ChooseExchanger()) {
    any = true;
    const DnsRecord& mx = walk.table_[walk.chosenMx_];
    out += Format("\n  %s (preference %d)", mx.data.c_str(), mx.value);
    for (int a = walk.FindAddress(0); a >= 0; a = walk.FindAddress(a + 1)) {
      out += " " + DottedAddress(walk.table_[a].address);
    }
  }
  if (!any) out += " none";
  if (errorCode_ != 0) out += "\n" + errorText_;
  return out;
}

CDnsResolver::CDnsResolver(ResolverSettings settings)
    : state_(std::make_unique<CState>(std::move(settings))) {}
CDnsResolver::~CDnsResolver() = default;
void CDnsResolver::Reset() { state_->Reset(); }
void CDnsResolver::Reset(const ResolverSettings& settings) { state_->Reset(settings); }
int CDnsResolver::Resolve(const std::string& domain, int attempt, std::string& result) {
  return state_->Resolve(domain, attempt, result);
}
bool CDnsResolver::DomainDoesNotExist() const { return state_->DomainDoesNotExist(); }
int CDnsResolver::ErrorCode() const { return state_->ErrorCode(); }
const std::string& CDnsResolver::ErrorText() const { return state_->ErrorText(); }

int DiagnosticMxQuery(const ResolverSettings& settings, const std::string& name,
                      const std::string& server, int port, int timeoutSeconds,
                      std::string& report) {
  ResolverSettings one = settings;
  one.server1 = server;
  one.server2.clear();
  one.port = port;
  one.timeoutSeconds = timeoutSeconds;
  one.logging = true;
  CDnsResolver::CState state(one);
  state.SetQuestion(name);
  int rc = state.QueryOnce();
  report = state.Report(rc, server, port);
  return rc;
}

}  // namespace outbound
