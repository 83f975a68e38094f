// The resolver against scripted DNS responders on loopback (127.0.0.1 and 127.0.0.2 on one
// random port): the order of exchangers and addresses, fallback to the second server, referrals,
// truncated, oversized, duplicated, forged and garbage answers, the query limit and dns.log.
// Every domain that may reach the direct connection check is a dotted address, so no test ever
// looks a name up.
#include "outbound/dns_resolver.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "outbound/tests/dns_wire.h"

namespace outbound {
namespace {

using testing::A;
using testing::Answer;
using testing::Bytes;
using testing::Mx;
using testing::Name;
using testing::Ns;

class CFd {
 public:
  explicit CFd(int fd = -1) : fd_(fd) {}
  ~CFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  CFd(const CFd&) = delete;
  CFd& operator=(const CFd&) = delete;
  int Get() const { return fd_; }

 private:
  int fd_;
};

sockaddr_in Loopback(const char* address, int port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address, &sa.sin_addr);
  return sa;
}

int BoundPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

struct Reply {
  Bytes bytes;
  int delayMs = 0;  // waited before this datagram is sent
};

// A UDP responder on one loopback address that answers each query with what its script says
// (nothing, one datagram, several), and records the queries it got.
class CScriptedDns {
 public:
  using Script = std::function<std::vector<Reply>(const Bytes& query, int index)>;

  CScriptedDns(const char* address, int port, Script script)
      : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), script_(std::move(script)) {
    sockaddr_in sa = Loopback(address, port);
    bound_ = ::bind(fd_.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    if (bound_) thread_ = std::thread([this] { Run(); });
  }
  ~CScriptedDns() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool Bound() const { return bound_; }
  int Port() const { return BoundPort(fd_.Get()); }
  int Queries() const { return count_; }
  std::vector<Bytes> Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  void Run() {
    while (!stop_) {
      pollfd p{fd_.Get(), POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      uint8_t buf[4096];
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      ssize_t n =
          ::recvfrom(fd_.Get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&peer), &len);
      if (n <= 0) continue;
      Bytes query(buf, buf + n);
      int index;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(query);
        index = count_++;
      }
      for (const Reply& r : script_(query, index)) {
        for (int waited = 0; waited < r.delayMs && !stop_; waited += 10) {
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (stop_) return;
        ::sendto(fd_.Get(), r.bytes.data(), r.bytes.size(), 0, reinterpret_cast<sockaddr*>(&peer),
                 len);
      }
    }
  }

  CFd fd_;
  Script script_;
  bool bound_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> count_{0};
  mutable std::mutex mutex_;
  std::vector<Bytes> received_;
  std::thread thread_;
};

uint16_t QueryId(const Bytes& q) { return static_cast<uint16_t>(q[0] << 8 | q[1]); }

// The answer `a` to `query`: its id echoed.
Reply To(const Bytes& query, Answer a) {
  a.id = QueryId(query);
  return {a.Wire()};
}

CScriptedDns::Script Always(Answer a) {
  return [a](const Bytes& q, int) { return std::vector<Reply>{To(q, a)}; };
}

CScriptedDns::Script Silent() {
  return [](const Bytes&, int) { return std::vector<Reply>{}; };
}

// A TCP port with nobody listening (bound for a moment, then given up).
int ClosedPort() {
  CFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in sa = Loopback("127.0.0.1", 0);
  ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  return BoundPort(fd.Get());
}

class DnsResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qv-dns-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Responders on 127.0.0.1 and 127.0.0.2 at one port (the resolver has one port for all).
  void Start(CScriptedDns::Script first, CScriptedDns::Script second = Silent()) {
    for (int tries = 0; tries < 50; ++tries) {
      one_ = std::make_unique<CScriptedDns>("127.0.0.1", 0, first);
      ASSERT_TRUE(one_->Bound());
      two_ = std::make_unique<CScriptedDns>("127.0.0.2", one_->Port(), second);
      if (two_->Bound()) return;
    }
    FAIL() << "no port free on both addresses";
  }

  ResolverSettings Settings(const std::string& server1, const std::string& server2 = "",
                            int timeout = 10) {
    ResolverSettings s;
    s.server1 = server1;
    s.server2 = server2;
    s.port = one_ ? one_->Port() : 53;
    s.timeoutSeconds = timeout;
    s.logging = true;
    s.logPath = dir_ + "/dns.log";
    s.smtpPort = ClosedPort();
    return s;
  }

  std::string Log() const {
    std::ifstream in(dir_ + "/dns.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::string dir_;
  std::unique_ptr<CScriptedDns> one_, two_;
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(DnsResolverTest, ExchangerThenItsAddressesThenTheNextExchanger) {
  Answer a;
  a.answer = {Mx("example.test", 20, "mx2.example.test"),
              Mx("example.test", 10, "mx1.example.test")};
  a.additional = {A("mx1.example.test", 127, 0, 0, 2), A("mx2.example.test", 127, 0, 0, 4),
                  A("MX1.example.test", 127, 0, 0, 3)};
  Start(Always(a));
  CFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  sockaddr_in sa = Loopback("127.0.0.1", 0);
  ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(listener.Get(), 4), 0);
  ResolverSettings s = Settings("127.0.0.1");
  s.smtpPort = BoundPort(listener.Get());
  CDnsResolver r(s);
  r.Reset();
  const std::pair<int, const char*> expected[] = {
      {kResolvedHost, "mx1.example.test"}, {kResolvedHost, "127.0.0.2"},
      {kResolvedHost, "127.0.0.3"},        {kResolvedHost, "mx2.example.test"},
      {kResolvedHost, "127.0.0.4"},        {kNotResolved, "0.0.0.0 (Not found. All DNS called)"},
  };
  for (int attempt = 0; attempt < 6; ++attempt) {
    std::string result;
    EXPECT_EQ(r.Resolve("example.test", attempt, result), expected[attempt].first) << attempt;
    EXPECT_EQ(result, expected[attempt].second) << attempt;
  }
  EXPECT_EQ(one_->Queries(), 1);  // later attempts walk the table of the first answer
  // An exchanger's address (127.0.0.2 has a silent server) is never asked as a DNS server.
  EXPECT_EQ(two_->Queries(), 0);
  // The direct connection check belongs to attempt 0 only.
  EXPECT_LT(::accept(listener.Get(), nullptr, nullptr), 0);
}

TEST_F(DnsResolverTest, EqualPreferencesTryTheLaterRecordFirst) {
  Answer a;
  a.answer = {Mx("example.test", 20, "x.example.test"), Mx("example.test", 10, "a.example.test"),
              Mx("example.test", 10, "b.example.test"), Mx("example.test", 10, "c.example.test")};
  Start(Always(a));
  CDnsResolver r(Settings("127.0.0.1"));
  const char* order[] = {"c.example.test", "b.example.test", "a.example.test", "x.example.test"};
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::string result;
    ASSERT_EQ(r.Resolve("example.test", attempt, result), kResolvedHost);
    EXPECT_EQ(result, order[attempt]);
  }
}

TEST_F(DnsResolverTest, EmptyFirstServerSendsTheQueryToTheSecond) {
  Answer a;
  a.answer = {Mx("example.test", 10, "mx.example.test")};
  Start(Always(a));
  CDnsResolver r(Settings("", "127.0.0.1"));
  std::string result;
  EXPECT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  EXPECT_EQ(result, "mx.example.test");
  EXPECT_EQ(one_->Queries(), 1);
  EXPECT_EQ(Count(Log(), "SERVER: dns="), 1u);
  EXPECT_NE(Log().find("SERVER: dns=127.0.0.1\n"), std::string::npos);
}

TEST_F(DnsResolverTest, SilentFirstServerTimesOutThenTheSecondAnswers) {
  Answer a;
  a.answer = {Mx("example.test", 10, "mx.example.test")};
  Start(Always(a), Silent());
  CDnsResolver r(Settings("127.0.0.2", "127.0.0.1", 1));
  std::string result;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result, "mx.example.test");
  EXPECT_EQ(two_->Queries(), 1);
  EXPECT_EQ(one_->Queries(), 1);
  EXPECT_GE(waited, std::chrono::milliseconds(990));  // the whole time-out was given
  EXPECT_EQ(r.ErrorCode(), kDnsTimedOut);
  EXPECT_EQ(r.ErrorText(), " ERROR: 127.0.0.2: Select socket timeout error.  WSAE=-1");
  EXPECT_NE(Log().find("\n\n ERROR: 127.0.0.2: Select socket timeout error.  WSAE=-1"),
            std::string::npos);
}

TEST_F(DnsResolverTest, RefusingFirstServerFallsBackAtOnce) {
  Answer a;
  a.answer = {Mx("example.test", 10, "mx.example.test")};
  Start(Always(a));
  CDnsResolver r(Settings("127.0.0.3", "127.0.0.1"));  // nobody listens on 127.0.0.3
  std::string result;
  EXPECT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  EXPECT_EQ(result, "mx.example.test");
  EXPECT_NE(Log().find(" ERROR: 127.0.0.3: Receive() socket error.  WSAE=10061"),
            std::string::npos);
}

TEST_F(DnsResolverTest, FailedAnswerOfTheFirstServerCountsAsAnsweredThenTheSecondIsAsked) {
  Answer fail;
  fail.rcode = 2;  // SERVFAIL
  Answer good;
  good.answer = {Mx("example.test", 10, "mx.example.test")};
  Start(Always(good), Always(fail));
  CDnsResolver r(Settings("127.0.0.2", "127.0.0.1"));
  std::string result;
  EXPECT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  EXPECT_EQ(result, "mx.example.test");
  EXPECT_EQ(two_->Queries(), 1);
  EXPECT_EQ(one_->Queries(), 1);
  EXPECT_NE(Log().find("\n\n ERROR: DNS Query Query FAILED.  RCODE=2"), std::string::npos);
}

TEST_F(DnsResolverTest, ReferralIsFollowedThroughGlueAddressesInTurn) {
  Answer referral;
  referral.aa = false;
  referral.qname = "referral.test";
  referral.authority = {Ns("referral.test", "ns1.referral.test"),
                        Ns("referral.test", "ns2.referral.test")};
  // The first glue address has no server behind it; the second answers.
  referral.additional = {A("ns1.referral.test", 127, 0, 0, 3),
                         A("ns2.referral.test", 127, 0, 0, 2)};
  Answer final;
  final.qname = "referral.test";
  final.answer = {Mx("referral.test", 10, "mx.referral.test")};
  final.additional = {A("mx.referral.test", 127, 0, 0, 7)};
  Start(Always(referral), Always(final));
  CDnsResolver r(Settings("127.0.0.1"));
  std::string result;
  EXPECT_EQ(r.Resolve("referral.test", 0, result), kResolvedHost);
  EXPECT_EQ(result, "mx.referral.test");
  EXPECT_EQ(one_->Queries(), 1);
  EXPECT_EQ(two_->Queries(), 1);
  EXPECT_EQ(r.Resolve("referral.test", 1, result), kResolvedHost);
  EXPECT_EQ(result, "127.0.0.7");
  std::string log = Log();
  EXPECT_LT(log.find("SERVER: dns=127.0.0.3"), log.find("SERVER: dns=127.0.0.2"));
}

TEST_F(DnsResolverTest, TruncatedAnswerIsUsedAsFarAsItGoesWithoutTcp) {
  Answer a;
  a.tc = true;
  a.answer = {Mx("example.test", 30, "mx3.example.test"),
              Mx("example.test", 20, "mx2.example.test"),
              Mx("example.test", 10, "mx1.example.test")};
  Start([a](const Bytes& q, int) {
    Reply reply = To(q, a);
    reply.bytes.resize(reply.bytes.size() - 5);  // the datagram ends inside the last record
    return std::vector<Reply>{reply};
  });
  CFd tcp(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
  sockaddr_in sa = Loopback("127.0.0.1", one_->Port());
  ASSERT_EQ(::bind(tcp.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(tcp.Get(), 4), 0);
  CDnsResolver r(Settings("127.0.0.1"));
  std::string result;
  EXPECT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  EXPECT_EQ(result, "mx2.example.test");
  EXPECT_EQ(r.Resolve("example.test", 1, result), kResolvedHost);
  EXPECT_EQ(result, "mx3.example.test");
  EXPECT_EQ(one_->Queries(), 1);
  EXPECT_LT(::accept(tcp.Get(), nullptr, nullptr), 0);  // no retry over TCP
  EXPECT_NE(Log().find("tc=1"), std::string::npos);
}

TEST_F(DnsResolverTest, TableKeepsTheFirstTwoHundredRecords) {
  // Server 1: 110 A records and no exchanger. Server 2 (asked next): 95 exchangers whose
  // preference falls with their position, so the best one kept shows where the table ended.
  Answer addresses;
  for (int i = 0; i < 110; ++i) {
    addresses.answer.push_back({Bytes{0xC0, 12}, 1, Bytes{127, 0, 1, static_cast<uint8_t>(i)}});
  }
  Answer exchangers;
  for (int i = 0; i < 95; ++i) {
    std::string label = "m" + std::to_string(i);
    Bytes rd;
    testing::Put16(rd, static_cast<unsigned>(1000 - i));
    rd.push_back(static_cast<uint8_t>(label.size()));
    rd.insert(rd.end(), label.begin(), label.end());
    rd.insert(rd.end(), {0xC0, 12});
    exchangers.answer.push_back({Bytes{0xC0, 12}, 15, rd});
  }
  ASSERT_LE(exchangers.Wire().size(), 2048u);
  ASSERT_LE(addresses.Wire().size(), 2048u);
  Start(Always(addresses), Always(exchangers));
  CDnsResolver r(Settings("127.0.0.1", "127.0.0.2"));
  std::string result;
  EXPECT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  EXPECT_EQ(result, "m89.example.test");  // entry 199; m90 to m94 were not kept
  EXPECT_EQ(two_->Queries(), 1);
  std::string log = Log();
  EXPECT_NE(log.find("\n199: "), std::string::npos);
  EXPECT_EQ(log.find("\n200: "), std::string::npos);
}

TEST_F(DnsResolverTest, RecordRepeatedInAnotherSectionIsUsedOnce) {
  Answer a;
  a.answer = {Mx("example.test", 10, "mx1.example.test"), A("mx1.example.test", 127, 0, 0, 2)};
  a.additional = {Mx("example.test", 10, "MX1.EXAMPLE.TEST"), A("mx1.Example.test", 127, 0, 0, 2)};
  Start(Always(a));
  CDnsResolver r(Settings("127.0.0.1"));
  std::string result;
  EXPECT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  EXPECT_EQ(result, "mx1.example.test");
  EXPECT_EQ(r.Resolve("example.test", 1, result), kResolvedHost);
  EXPECT_EQ(result, "127.0.0.2");
  EXPECT_EQ(r.Resolve("example.test", 2, result), kNotResolved);
  EXPECT_EQ(result, "0.0.0.0 (Not found. All DNS called)");
}

TEST_F(DnsResolverTest, NameErrorWithAuthorityMeansTheDomainDoesNotExist) {
  struct Case {
    int rcode;
    bool aa;
    bool doesNotExist;
  };
  const Case cases[] = {{3, true, true}, {3, false, false}, {2, true, false}, {0, true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.rcode) + (c.aa ? " aa" : ""));
    Answer a;
    a.rcode = c.rcode;
    a.aa = c.aa;
    a.qname = "127.0.0.1";
    Start(Always(a));
    CDnsResolver r(Settings("127.0.0.1"));
    std::string result;
    EXPECT_EQ(r.Resolve("127.0.0.1", 0, result), kNotResolved);
    EXPECT_EQ(result, "0.0.0.0 (Not found. All DNS called)");
    EXPECT_EQ(r.DomainDoesNotExist(), c.doesNotExist);
    r.Reset();
    EXPECT_FALSE(r.DomainDoesNotExist());
    one_.reset();
    two_.reset();
  }
  std::string log = Log();
  EXPECT_NE(log.find("\n\n ERROR: DNS Query Query FAILED.  RCODE=3"), std::string::npos);
  EXPECT_NE(log.find("\n CHECK: 127.0.0.1: Try to connect to. Result: Connect socket error. \n"),
            std::string::npos);
}

TEST_F(DnsResolverTest, DomainThatTakesConnectionsItselfIsTheRoute) {
  Answer a;
  a.rcode = 3;
  a.qname = "127.0.0.1";
  Start(Always(a));
  CFd listener(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in sa = Loopback("127.0.0.1", 0);
  ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(listener.Get(), 4), 0);
  ResolverSettings s = Settings("127.0.0.1");
  s.smtpPort = BoundPort(listener.Get());
  CDnsResolver r(s);
  std::string result;
  EXPECT_EQ(r.Resolve("127.0.0.1", 0, result), kResolvedDirect);
  EXPECT_EQ(result, "127.0.0.1");
  EXPECT_NE(Log().find("\n CHECK: 127.0.0.1: Try to connect to. Result: Connected. \n"),
            std::string::npos);
}

TEST_F(DnsResolverTest, OnlyAnAnswerWithOurIdQrSetAndOurQuestionIsTaken) {
  Start([](const Bytes& q, int) {
    Answer evil;
    evil.answer = {Mx("example.test", 1, "evil.example.test")};
    Answer good;
    good.answer = {Mx("example.test", 10, "good.example.test")};
    Reply wrongId = To(q, evil);
    wrongId.bytes[1] ^= 0x01;
    Reply noQr = To(q, evil);
    noQr.bytes[2] &= 0x7F;
    Reply headerOnly = noQr;
    headerOnly.bytes.resize(12);
    Reply shortId = To(q, evil);
    shortId.bytes.resize(11);  // our id, QR set, but no whole header
    Answer otherName = evil;
    otherName.qname = "example.tesu";  // an answer to another question
    Reply otherType = To(q, evil);
    otherType.bytes[12 + 14 + 1] = 1;  // after the 14 bytes of the name: type A instead of MX
    Reply noQuestion = To(q, evil);
    noQuestion.bytes[5] = 0;      // QDCOUNT 0
    good.qname = "EXAMPLE.Test";  // the name comes back in another case: still ours
    return std::vector<Reply>{wrongId,   noQr,       headerOnly, shortId,    To(q, otherName),
                              otherType, noQuestion, Reply{},    To(q, good)};
  });
  CDnsResolver r(Settings("127.0.0.1"));
  std::string result;
  EXPECT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  EXPECT_EQ(result, "good.example.test");
  EXPECT_EQ(r.Resolve("example.test", 1, result), kNotResolved);  // evil was never recorded
  EXPECT_EQ(Count(Log(), "ANSWER:"), 1u);
}

TEST_F(DnsResolverTest, StrayDatagramsDoNotProlongTheWait) {
  // Forged answers every 100 ms for 20 s; the resolver gives up after its 1 s time-out.
  Start([](const Bytes& q, int) {
    Answer evil;
    evil.answer = {Mx("127.0.0.1", 1, "evil.example.test")};
    evil.qname = "127.0.0.1";
    Reply forged = To(q, evil);
    forged.bytes[0] ^= 0x80;
    forged.delayMs = 100;
    return std::vector<Reply>(200, forged);
  });
  CDnsResolver r(Settings("127.0.0.1", "", 1));
  std::string result;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(r.Resolve("127.0.0.1", 0, result), kNotResolved);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(990));
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_NE(Log().find("Select socket timeout error."), std::string::npos);
}

TEST_F(DnsResolverTest, EveryQueryHasAFreshIdAndAsksForMxWithRecursion) {
  Answer a;
  a.answer = {Mx("example.test", 10, "mx.example.test")};
  Start(Always(a));
  CDnsResolver r(Settings("127.0.0.1"));
  for (int i = 0; i < 4; ++i) {
    r.Reset();
    std::string result;
    ASSERT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  }
  std::vector<Bytes> queries = one_->Received();
  ASSERT_EQ(queries.size(), 4u);
  std::set<uint16_t> ids;
  for (const Bytes& q : queries) {
    ids.insert(QueryId(q));
    ASSERT_EQ(q.size(), 12u + 14u + 4u);
    EXPECT_EQ(q[2], 0x01);  // RD only
    EXPECT_EQ(q[5], 1);     // one question
    Bytes tail(q.end() - 4, q.end());
    EXPECT_EQ(tail, (Bytes{0, 15, 0, 1}));
  }
  EXPECT_GT(ids.size(), 1u);
  std::smatch m;
  std::string log = Log();
  ASSERT_TRUE(std::regex_search(log, m, std::regex(" QUERY: qid=(\\d+) ")));
  EXPECT_EQ(std::stoi(m[1]), QueryId(queries[0]));
}

// Every answer is a referral to a new glue address (127.0.0.1 again); answer `mxAt` (1-based)
// carries the exchanger.
CScriptedDns::Script ReferralChain(int mxAt) {
  return [mxAt](const Bytes& q, int index) {
    Answer a;
    a.qname = "127.0.0.1";
    if (index + 1 == mxAt) {
      a.answer = {Mx("127.0.0.1", 10, "mx.example.test")};
    } else {
      std::string ns = "ns" + std::to_string(index) + ".test";
      a.authority = {Ns("127.0.0.1", ns)};
      a.additional = {A(ns, 127, 0, 0, 1)};
    }
    return std::vector<Reply>{To(q, a)};
  };
}

TEST_F(DnsResolverTest, TenthQueryIsTheLast) {
  {
    Start(ReferralChain(10));
    CDnsResolver r(Settings("127.0.0.1", "127.0.0.1"));
    std::string result;
    EXPECT_EQ(r.Resolve("127.0.0.1", 0, result), kResolvedHost);
    EXPECT_EQ(result, "mx.example.test");
    EXPECT_EQ(one_->Queries(), 10);
  }
  {
    Start(ReferralChain(11));
    CDnsResolver r(Settings("127.0.0.1", "127.0.0.1"));
    std::string result;
    EXPECT_EQ(r.Resolve("127.0.0.1", 0, result), kNotResolved);
    EXPECT_EQ(one_->Queries(), 10);
    // The limit holds for later attempts too, until the next reset.
    EXPECT_EQ(r.Resolve("127.0.0.1", 1, result), kNotResolved);
    EXPECT_EQ(one_->Queries(), 10);
    // A reset allows ten more: the first of them gets the exchanger.
    r.Reset();
    EXPECT_EQ(r.Resolve("127.0.0.1", 0, result), kResolvedHost);
    EXPECT_EQ(result, "mx.example.test");
    EXPECT_EQ(one_->Queries(), 11);
  }
}

TEST_F(DnsResolverTest, GarbageAnswersNeverCrash) {
  std::atomic<uint32_t> seed{12345};
  Start([&seed](const Bytes& q, int) {
    uint32_t x = seed.fetch_add(7919);
    auto next = [&x] {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      return static_cast<uint8_t>(x);
    };
    // Our id and question, random flags, counts and records behind them.
    Bytes g = q;
    size_t size = g.size() + x % 600;
    for (size_t i : {2, 3, 6, 7, 8, 9, 10, 11}) g[i] = next();
    while (g.size() < size) g.push_back(next());
    g[2] |= 0x80;  // QR set: the answer is taken and parsed
    return std::vector<Reply>{{g}};
  });
  ResolverSettings s = Settings("127.0.0.1");
  for (int i = 0; i < 300; ++i) {
    std::string report;
    int rc = DiagnosticMxQuery(s, "example.test", "127.0.0.1", s.port, 2, report);
    EXPECT_TRUE(rc == 0 || rc == kDnsExpandFailed) << rc;
  }
  EXPECT_EQ(one_->Queries(), 300);
}

TEST_F(DnsResolverTest, LogLinesOfAQueryAndTheRoutes) {
  Answer a;
  a.answer = {Mx("example.test", 10, "mx1.example.test")};
  a.additional = {A("mx1.example.test", 127, 0, 0, 2)};
  Start(Always(a));
  CDnsResolver r(Settings("127.0.0.1"));
  std::string result;
  ASSERT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  ASSERT_EQ(r.Resolve("example.test", 1, result), kResolvedHost);
  std::string id = std::to_string(QueryId(one_->Received().at(0)));
  EXPECT_EQ(Log(),
            "\n\n********************\nSERVER: dns=127.0.0.1"
            "\n QUERY: qid=" +
                id +
                " qrd=1 qopcode=0 qname=example.test, qtype=15, qclass=1"
                "\nANSWER:  id=" +
                id +
                "  rd=1  opcode=0 ra=0 aa=1 tc=0 rcode=0"
                "\n\n 0:                   example.test  15  1   10 0 1 mx1.example.test"
                "\n"
                "\n\n 1:               mx1.example.test   1  1    4 0 1 127.0.0.2"
                "\n ROUTE: mx=0   a=-1  domain=example.test address=mx1.example.test"
                "\n ROUTE: mx=0   a=1   domain=example.test address=127.0.0.2");
}

TEST_F(DnsResolverTest, NoLogWhenLoggingIsOff) {
  Answer a;
  a.answer = {Mx("example.test", 10, "mx1.example.test")};
  Start(Always(a));
  ResolverSettings s = Settings("127.0.0.1");
  s.logging = false;
  CDnsResolver r(s);
  std::string result;
  ASSERT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/dns.log"));
}

TEST_F(DnsResolverTest, ResetStartsAfreshWithNewSettings) {
  Answer first;
  first.answer = {Mx("example.test", 10, "old.example.test")};
  Answer second;
  second.answer = {Mx("example.test", 10, "new.example.test")};
  Start(Always(first), Always(second));
  CDnsResolver r(Settings("127.0.0.1"));
  std::string result;
  ASSERT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  EXPECT_EQ(result, "old.example.test");
  r.Reset(Settings("127.0.0.2"));
  ASSERT_EQ(r.Resolve("example.test", 0, result), kResolvedHost);
  EXPECT_EQ(result, "new.example.test");
  // The old table is gone: no old exchanger comes back.
  EXPECT_EQ(r.Resolve("example.test", 1, result), kNotResolved);
  EXPECT_EQ(r.ErrorCode(), 0);
}

TEST_F(DnsResolverTest, DiagnosticReportsRecordsAndTheOrderOfExchangers) {
  Answer a;
  a.answer = {Mx("example.test", 10, "mx1.example.test"),
              Mx("example.test", 10, "mx2.example.test")};
  a.additional = {A("mx1.example.test", 127, 0, 0, 2), A("mx2.example.test", 127, 0, 0, 3)};
  Start(Always(a));
  ResolverSettings s = Settings("", "");
  s.logging = false;  // the diagnostic logs whatever the setting
  std::string report;
  ASSERT_EQ(DiagnosticMxQuery(s, "example.test", "127.0.0.1", one_->Port(), 5, report), 0);
  EXPECT_NE(report.find("Records: 4"), std::string::npos) << report;
  EXPECT_NE(report.find("answer     example.test MX 10 mx1.example.test"), std::string::npos)
      << report;
  EXPECT_NE(report.find("additional mx2.example.test A 127.0.0.3"), std::string::npos) << report;
  EXPECT_NE(report.find("Exchangers in the order they are tried:\n"
                        "  mx2.example.test (preference 10) 127.0.0.3\n"
                        "  mx1.example.test (preference 10) 127.0.0.2"),
            std::string::npos)
      << report;
  EXPECT_NE(Log().find("SERVER: dns=127.0.0.1"), std::string::npos);
  EXPECT_EQ(one_->Queries(), 1);

  ASSERT_EQ(DiagnosticMxQuery(s, "example.test", "127.0.0.3", one_->Port(), 5, report),
            kDnsReceiveFailed);
  EXPECT_NE(report.find("no answer (-16)"), std::string::npos) << report;
}

}  // namespace
}  // namespace outbound
