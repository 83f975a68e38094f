// The SMTP client against a scripted peer on loopback: the dialogue, relay and DNS runs, retry
// state in the envelope, failure reports and what stays in the queue.
#include "outbound/smtp_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "outbound/retry_schedule.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/system.h"
#include "store/account_table.h"
#include "store/domain_table.h"
#include "store/envelope.h"
#include "store/queue_item.h"
#include "testing/temp_dir.h"

namespace outbound {
namespace {

using testing_support::CTempDir;
using testing_support::Read;

// One transaction as the peer saw it.
struct Received {
  std::string from;
  std::vector<std::string> rcpts;
  std::string data;  // as sent, dot-stuffing and CR LF included, without the final "."
};

// A mail server on 127.0.0.1 that answers from a script and records what it got.
class CScriptedPeer {
 public:
  // How the peer answers; changed by the test between runs, read once per connection.
  struct Script {
    std::string greeting = "220 mx.test ready";
    std::string ehlo = "250-mx.test\r\n250 SIZE 1000000";
    std::string helo = "250 mx.test";
    std::function<std::string(const std::string&)> rcpt = [](const std::string&) {
      return std::string("250 OK");
    };
    std::string mail = "250 OK";
    std::string data = "354 go ahead";
    std::string endOfData = "250 queued";
    bool dropInData = false;  // close the connection after the first data line
  };
  void Set(const std::function<void(Script&)>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(script_);
  }

  CScriptedPeer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(::listen(fd_, 8), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
  }
  ~CScriptedPeer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    if (thread_.joinable()) thread_.join();
  }
  void Start() {
    thread_ = std::thread([this] {
      for (;;) {
        int c = ::accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        ++connections;
        Serve(c);
        ::close(c);
      }
    });
  }
  int Port() const { return port_; }
  std::vector<Received> Transactions() {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
  }
  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  std::atomic<int> connections{0};

 private:
  bool ReadLine(int c, std::string* line) {
    line->clear();
    char ch;
    while (::recv(c, &ch, 1, 0) == 1) {
      *line += ch;
      if (line->size() >= 2 && line->compare(line->size() - 2, 2, "\r\n") == 0) return true;
    }
    return false;
  }
  void Send(int c, const std::string& text) {
    std::string out = text + "\r\n";
    (void)::send(c, out.data(), out.size(), MSG_NOSIGNAL);
  }
  void Serve(int c) {
    Script script;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      script = script_;
    }
    const std::string &greeting = script.greeting, &ehlo = script.ehlo, &helo = script.helo,
                      &mail = script.mail, &data = script.data, &endOfData = script.endOfData;
    const bool dropInData = script.dropInData;
    auto& rcpt = script.rcpt;
    Send(c, greeting);
    Received tx;
    std::string line;
    while (ReadLine(c, &line)) {
      std::string cmd = line.substr(0, line.size() - 2);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(cmd);
      }
      std::string verb = cmd.substr(0, 4);
      if (verb == "EHLO") {
        Send(c, ehlo);
      } else if (verb == "HELO") {
        Send(c, helo);
      } else if (verb == "MAIL") {
        tx = Received{};
        tx.from = cmd.substr(10);
        Send(c, mail);
      } else if (verb == "RCPT") {
        std::string who = cmd.substr(8);
        std::string reply = rcpt(who);
        if (reply[0] == '2') tx.rcpts.push_back(who);
        Send(c, reply);
      } else if (verb == "DATA") {
        Send(c, data);
        if (data[0] != '3') continue;
        bool first = true;
        while (ReadLine(c, &line) && line != ".\r\n") {
          tx.data += line;
          if (first && dropInData) return;
          first = false;
        }
        Send(c, endOfData);
        if (endOfData[0] == '2') {
          std::lock_guard<std::mutex> lock(mutex_);
          done_.push_back(tx);
        }
      } else if (verb == "QUIT") {
        Send(c, "221 bye");
        return;
      } else if (verb == "ETRN") {
        Send(c, "250 queuing started");
      } else if (verb == "RSET") {
        Send(c, "250 reset");
      } else {
        Send(c, "500 unknown");
      }
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  Script script_;
  std::vector<Received> done_;
  std::vector<std::string> commands_;
};

// Every domain resolves to the loopback peer, except those listed as failing.
class CFakeResolver : public IRouteResolver {
 public:
  std::vector<std::string> temporary;  // no route now
  std::vector<std::string> missing;    // name error with AA
  std::vector<std::string>* asked = nullptr;
  void Reset() override { missing_ = false; }
  int Resolve(const std::string& domain, int attempt, std::string& result) override {
    if (asked && attempt == 0) asked->push_back(domain);
    for (const std::string& d : missing) {
      if (d == domain) missing_ = true;
    }
    bool fails = missing_;
    for (const std::string& d : temporary) fails = fails || d == domain;
    if (fails || attempt > 0) {
      result = "0.0.0.0 (Not found. All DNS called)";
      return kNotResolved;
    }
    result = "127.0.0.1";
    return kResolvedHost;
  }
  bool DomainDoesNotExist() const override { return missing_; }

 private:
  bool missing_ = false;
};

struct ClientFixture : ::testing::Test {
  ClientFixture() {
    EXPECT_EQ(platform::MakeDirectoryTree(home / "INQUEUE"), 0);
    EXPECT_EQ(platform::MakeDirectoryTree(home / "OUTQUEUE/MAILHUB"), 0);
    store::DomainSnapshot d;
    d.ownDomain = "example.test";
    d.localName = "mail.example.test";
    domains.Load(home.path(), d);
    store::CAccountTable t;
    store::CAccount alice, master;
    alice.name = "alice";
    alice.AddAlias("alice@example.test");
    master.name = "master";
    t.Accounts() = {master, alice};
    accounts.Replace(t);
    context.home = home.path();
    context.generated.home = home.path();
    context.generated.primaryDomain = "example.test";
    context.generated.domains = &domains;
    context.generated.accounts = &accounts;
    context.now = [this] { return clock; };
    context.makeResolver = [this]() -> std::unique_ptr<IRouteResolver> {
      auto r = std::make_unique<CFakeResolver>();
      r->temporary = temporaryDomains;
      r->missing = missingDomains;
      r->asked = &asked;
      return r;
    };
    peer.Start();
    config.queueDir = "MAILHUB";
    config.destination = "127.0.0.1";
    config.localDomain = "example.test";
    config.port = peer.Port();
    config.timeoutSeconds = 10;
  }

  // Queues a complete outbound item; returns the message path.
  std::string Queue(const std::string& body, const std::string& from,
                    const std::vector<std::string>& to, const std::string& nextSend = "") {
    store::CItemWriter w;
    EXPECT_EQ(w.Begin(home / "OUTQUEUE/MAILHUB", store::ItemKind::kOutbound), 0);
    EXPECT_EQ(w.Write(body), 0);
    std::string env = "[From]\r\nFrom=" + from + "\r\nIniDate=01/02/2026 10:00:00\r\n";
    if (!nextSend.empty()) env += "NxtSend=" + nextSend + "\r\n";
    env += "[To]\r\nn=" + std::to_string(to.size()) + "\r\n";
    for (size_t i = 0; i < to.size(); ++i) env += std::to_string(i) + "=" + to[i] + "\r\n";
    EXPECT_EQ(w.Commit(env), 0);
    return w.MessagePath();
  }
  std::vector<std::string> Queued() {
    return store::ListCompleteItems(home / "OUTQUEUE/MAILHUB", store::ItemKind::kOutbound);
  }
  store::EnvelopeFields Envelope(const std::string& message) {
    store::EnvelopeFields f;
    EXPECT_EQ(store::ReadEnvelope(store::ItemSibling(message, 'I'), &f), 0);
    return f;
  }
  // Failure reports queued for local senders (INQUEUE), as their texts.
  std::vector<std::string> Reports() {
    std::vector<std::string> out;
    for (const std::string& n :
         store::ListCompleteItems(home / "INQUEUE", store::ItemKind::kInbound)) {
      out.push_back(Read(platform::JoinPath(home / "INQUEUE", n)));
    }
    return out;
  }
  int Run(bool dns) {
    ClientConfig c = config;
    c.dnsMode = dns;
    CSMTPClient client(context, c);
    return client.Run();
  }

  CTempDir home;
  store::CDomainTable domains;
  store::CAccountStore accounts;
  CScriptedPeer peer;
  ClientContext context;
  ClientConfig config;
  std::time_t clock = platform::Now();
  std::vector<std::string> temporaryDomains, missingDomains, asked;
};

const char kMessage[] =
    "X-IStatus:00000000000000000003\r\nFrom: alice@example.test\r\nSubject: hi\r\n\r\n"
    "first\r\n.leading dot\r\n..two dots\r\n.\r\nlast\r\n";
const char kSent[] =
    "From: alice@example.test\r\nSubject: hi\r\n\r\nfirst\r\n..leading dot\r\n...two dots\r\n"
    "..\r\nlast\r\n";

TEST_F(ClientFixture, RelayRunSendsEveryMessageDotStuffedWithoutStatusLineAndEmptiesTheQueue) {
  Queue(kMessage, "alice@example.test", {"bob@remote.test", "carol@other.test"});
  Queue("Subject: two\r\n\r\nbody\r\n", "", {"dave@remote.test"});
  EXPECT_EQ(Run(false), kRelayDone);
  auto got = peer.Transactions();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].from, "<alice@example.test>");
  EXPECT_EQ(got[0].rcpts, (std::vector<std::string>{"<bob@remote.test>", "<carol@other.test>"}));
  EXPECT_EQ(got[0].data, kSent);
  // An empty sender is sent as the postmaster of the local domain.
  EXPECT_EQ(got[1].from, "<master@example.test>");
  EXPECT_TRUE(Queued().empty());
  EXPECT_TRUE(platform::FindFiles(home / "OUTQUEUE/MAILHUB", "*.MIM").empty());
  auto commands = peer.Commands();
  EXPECT_EQ(commands.front(), "EHLO example.test");
  EXPECT_EQ(commands.back(), "QUIT");
  EXPECT_EQ(peer.connections.load(), 1);  // one connection for the whole queue
}

TEST_F(ClientFixture, LinesUpToTheLimitGoWholeAndLongerOnesAreSplitWithoutLoss) {
  std::string exact(998, 'a'), longer = std::string(999, 'b') + ".x";
  Queue("Subject: long\r\n\r\n" + exact + "\r\n" + longer + "\r\nend\r\n", "alice@example.test",
        {"bob@remote.test"});
  EXPECT_EQ(Run(false), kRelayDone);
  auto got = peer.Transactions();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, "Subject: long\r\n\r\n" + exact + "\r\n" + std::string(998, 'b') +
                             "\r\nb.x\r\nend\r\n");
}

TEST_F(ClientFixture, AFloodingOrGarbledPeerGetsNothingAndTheQueueStays) {
  Queue(kMessage, "alice@example.test", {"bob@remote.test"});
  std::string flood;
  for (int i = 0; i < 300; ++i) flood += "220-more and more\r\n";
  for (const std::string& greeting : {flood + "220 end", std::string("hello, I am no server")}) {
    peer.Set([&](CScriptedPeer::Script& s) { s.greeting = greeting; });
    EXPECT_EQ(Run(false), kRelayNoConnection);
    EXPECT_EQ(Queued().size(), 1u);
  }
  EXPECT_TRUE(peer.Transactions().empty());
  EXPECT_TRUE(Reports().empty());
}

// A reply fills at most the 2048-byte buffer: one of exactly 2048 bytes (line ends included)
// is read, one byte more is not, and the relay keeps its queue.
TEST_F(ClientFixture, AReplyOfTheBufferSizeIsReadAndOneByteMoreIsNot) {
  Queue(kMessage, "alice@example.test", {"bob@remote.test"});
  const std::string last = "220 end";  // 9 bytes with its line end
  auto greeting = [&](size_t total) {
    return "220-" + std::string(total - last.size() - 2 - 4 - 2, 'x') + "\r\n" + last;
  };
  ASSERT_EQ(greeting(2048).size() + 2, 2048u);
  peer.Set([&](CScriptedPeer::Script& s) { s.greeting = greeting(2049); });
  EXPECT_EQ(Run(false), kRelayNoConnection);
  EXPECT_EQ(Queued().size(), 1u);
  peer.Set([&](CScriptedPeer::Script& s) { s.greeting = greeting(2048); });
  EXPECT_EQ(Run(false), kRelayDone);
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(peer.Transactions().size(), 1u);
}

TEST_F(ClientFixture, EhloRefusedFallsBackToHelo) {
  peer.Set([](CScriptedPeer::Script& s) { s.ehlo = "500 command unrecognized"; });
  Queue(kMessage, "alice@example.test", {"bob@remote.test"});
  EXPECT_EQ(Run(false), kRelayDone);
  auto commands = peer.Commands();
  ASSERT_GE(commands.size(), 2u);
  EXPECT_EQ(commands[0], "EHLO example.test");
  EXPECT_EQ(commands[1], "HELO example.test");
  EXPECT_EQ(peer.Transactions().size(), 1u);
}

TEST_F(ClientFixture, EtrnIsSentOnlyWhenAskedForAndOffered) {
  config.etrn = true;
  Queue(kMessage, "alice@example.test", {"bob@remote.test"});
  EXPECT_EQ(Run(false), kRelayDone);  // not offered
  for (const std::string& c : peer.Commands()) EXPECT_NE(c.rfind("ETRN", 0), 0u) << c;

  peer.Set([](CScriptedPeer::Script& s) { s.ehlo = "250-mx.test\r\n250-ETRN\r\n250 SIZE 100"; });
  config.etrn = false;  // offered, not asked for
  Queue(kMessage, "alice@example.test", {"bob@remote.test"});
  EXPECT_EQ(Run(false), kRelayDone);
  for (const std::string& c : peer.Commands()) EXPECT_NE(c.rfind("ETRN", 0), 0u) << c;

  config.etrn = true;  // both: sent even with nothing queued
  EXPECT_EQ(Run(false), kRelayDone);
  auto commands = peer.Commands();
  EXPECT_NE(std::find(commands.begin(), commands.end(), "ETRN example.test"), commands.end());
}

TEST_F(ClientFixture, RelayWithoutMessagesDoesNotConnectAndAnUnreachableRelayKeepsTheQueue) {
  EXPECT_EQ(Run(false), kRelayNothing);
  EXPECT_EQ(peer.connections.load(), 0);
  Queue(kMessage, "alice@example.test", {"bob@remote.test"});
  config.port = 1;  // nothing listens there
  EXPECT_EQ(Run(false), kRelayNoConnection);
  EXPECT_EQ(Queued().size(), 1u);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(ClientFixture, RelayKeepsTemporaryRefusalsAndReportsPermanentOnesOnce) {
  peer.Set([&](CScriptedPeer::Script& s) {
    s.rcpt = [](const std::string& who) {
      if (who.find("defer") != std::string::npos) return std::string("451 try later");
      if (who.find("reject") != std::string::npos) return std::string("550 no such user");
      return std::string("250 OK");
    };
  });
  std::string m = Queue(kMessage, "alice@example.test",
                        {"ok@remote.test", "defer@remote.test", "reject@remote.test"});
  EXPECT_EQ(Run(false), kRelayDone);
  ASSERT_EQ(peer.Transactions().size(), 1u);
  EXPECT_EQ(peer.Transactions()[0].rcpts, std::vector<std::string>{"<ok@remote.test>"});
  // Only the deferred recipient stays.
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_EQ(Envelope(m).to, std::vector<std::string>{"defer@remote.test"});
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("Subject: Delivery failed"), std::string::npos);
  EXPECT_NE(reports[0].find("reject@remote.test"), std::string::npos);
  EXPECT_EQ(reports[0].find("\"defer@remote.test\""), std::string::npos);
}

TEST_F(ClientFixture, RelayKeepsTheMessageWhenTheEndOfDataIsDeferredOrTheConnectionBreaks) {
  peer.Set([](CScriptedPeer::Script& s) { s.endOfData = "452 disk full"; });
  Queue(kMessage, "alice@example.test", {"bob@remote.test"});
  EXPECT_EQ(Run(false), kRelayDone);
  EXPECT_EQ(Queued().size(), 1u);
  EXPECT_TRUE(Reports().empty());

  peer.Set([](CScriptedPeer::Script& s) { s.endOfData = "250 queued"; });
  peer.Set([](CScriptedPeer::Script& s) { s.dropInData = true; });
  EXPECT_EQ(Run(false), kRelayDone);
  EXPECT_EQ(Queued().size(), 1u);
  EXPECT_TRUE(Reports().empty());

  peer.Set([](CScriptedPeer::Script& s) { s.dropInData = false; });
  EXPECT_EQ(Run(false), kRelayDone);
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(peer.Transactions().size(), 1u);
}

// A relay that refuses the sender or the message data for good (5xx) refuses every recipient:
// the sender is told and the message leaves the queue. A 4xx there keeps it for the next run.
TEST_F(ClientFixture, RelayRefusingTheSenderOrTheDataForGoodReportsAndRemoves) {
  peer.Set([](CScriptedPeer::Script& s) { s.mail = "553 sender not allowed"; });
  Queue(kMessage, "alice@example.test", {"bob@remote.test", "carol@remote.test"});
  EXPECT_EQ(Run(false), kRelayDone);
  EXPECT_TRUE(Queued().empty());
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("Subject: Delivery failed"), std::string::npos);
  EXPECT_NE(reports[0].find("553 sender not allowed"), std::string::npos);
  EXPECT_NE(reports[0].find("\"carol@remote.test\""), std::string::npos);

  peer.Set([](CScriptedPeer::Script& s) { s.mail = "451 try later"; });
  std::string m = Queue(kMessage, "alice@example.test", {"bob@remote.test"});
  EXPECT_EQ(Run(false), kRelayDone);
  ASSERT_EQ(Queued().size(), 1u);
  EXPECT_EQ(Envelope(m).to, std::vector<std::string>{"bob@remote.test"});
  EXPECT_EQ(Reports().size(), 1u);

  peer.Set([](CScriptedPeer::Script& s) {
    s.mail = "250 OK";
    s.data = "554 no valid recipients";
  });
  EXPECT_EQ(Run(false), kRelayDone);
  EXPECT_TRUE(Queued().empty());
  reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(reports[0].find("554 no valid recipients") != std::string::npos ||
              reports[1].find("554 no valid recipients") != std::string::npos);
  EXPECT_TRUE(peer.Transactions().empty());
}

// A sender address longer than 127 characters goes out whole: cut, it would be someone else's.
TEST_F(ClientFixture, ALongSenderIsSentWhole) {
  const std::string sender = std::string(140, 's') + "@example.test";
  Queue(kMessage, sender, {"bob@remote.test"});
  EXPECT_EQ(Run(false), kRelayDone);
  Queue(kMessage, sender, {"bob@remote.test"});
  EXPECT_EQ(Run(true), 0);
  auto got = peer.Transactions();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].from, "<" + sender + ">");
  EXPECT_EQ(got[1].from, "<" + sender + ">");
}

TEST_F(ClientFixture, AFiveHundredAtTheEndOfDataRefusesForGood) {
  peer.Set([](CScriptedPeer::Script& s) { s.endOfData = "554 content rejected"; });
  Queue(kMessage, "alice@example.test", {"bob@remote.test"});
  EXPECT_EQ(Run(true), 0);
  EXPECT_TRUE(Queued().empty());
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("554 content rejected"), std::string::npos);
}

TEST_F(ClientFixture, ItemsBeingWrittenOrWithoutEnvelopeAreLeftAlone) {
  std::string m = Queue(kMessage, "alice@example.test", {"bob@remote.test"});
  {
    platform::CBusyMarker marker;
    ASSERT_TRUE(marker.Create(store::ItemSibling(m, 'B')));
    EXPECT_EQ(Run(false), kRelayDone);
    EXPECT_EQ(Run(true), 0);
  }
  EXPECT_TRUE(peer.Transactions().empty());
  ASSERT_EQ(platform::RenameFile(store::ItemSibling(m, 'I'), home / "elsewhere"), 0);
  EXPECT_EQ(Run(false), kRelayDone);
  EXPECT_TRUE(peer.Transactions().empty());
  EXPECT_TRUE(platform::FileExists(m));
}

// A run reads the queue once: envelopes and markers are found in any case from that reading, and
// a marker made after it (by a writer that took the item meanwhile) still holds the item back.
TEST_F(ClientFixture, OneReadingOfTheQueueFindsSiblingsInAnyCaseAndSeesMarkersMadeLater) {
  std::string dir = home / "OUTQUEUE/MAILHUB";
  const std::string env =
      "[From]\r\nFrom=alice@example.test\r\n[To]\r\nn=1\r\n0=bob@remote.test\r\n";
  ASSERT_EQ(platform::WriteFileAtomic(dir + "/i0000005.mim", env), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir + "/M0000005.MIM", "Subject: five\r\n\r\nx\r\n"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir + "/I0000006.MIM", env), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir + "/M0000006.MIM", "Subject: six\r\n\r\nx\r\n"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir + "/b0000006.mim", ""), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir + "/I0000007.MIM", env), 0);
  ASSERT_EQ(platform::WriteFileAtomic(dir + "/M0000007.MIM", "Subject: seven\r\n\r\nx\r\n"), 0);
  platform::CBusyMarker late;
  bool made = false;
  peer.Set([&](CScriptedPeer::Script& s) {
    s.rcpt = [&](const std::string&) {
      if (!made) made = late.Create(dir + "/B0000007.MIM");
      return std::string("250 OK");
    };
  });
  EXPECT_EQ(Run(false), kRelayDone);
  EXPECT_TRUE(made);
  auto got = peer.Transactions();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data, "Subject: five\r\n\r\nx\r\n");
  EXPECT_FALSE(platform::FileExists(dir + "/i0000005.mim"));
  EXPECT_FALSE(platform::FileExists(dir + "/M0000005.MIM"));
  for (const char* kept : {"/M0000006.MIM", "/I0000006.MIM", "/M0000007.MIM", "/I0000007.MIM"}) {
    EXPECT_TRUE(platform::FileExists(dir + kept)) << kept;
  }
}

TEST_F(ClientFixture, DnsRunDeliversDomainByDomainAndKeepsOnlyTheTemporarilyFailingDomain) {
  temporaryDomains = {"down.test"};
  std::string m = Queue(kMessage, "alice@example.test",
                        {"a@one.test", "x@down.test", "b@TWO.test", "c@one.test", "d@two.test"});
  EXPECT_EQ(Run(true), 0);
  EXPECT_EQ(asked, (std::vector<std::string>{"one.test", "down.test", "TWO.test"}));
  auto got = peer.Transactions();
  ASSERT_EQ(got.size(), 2u);  // one per reachable domain
  EXPECT_EQ(got[0].rcpts, (std::vector<std::string>{"<a@one.test>", "<c@one.test>"}));
  EXPECT_EQ(got[1].rcpts, (std::vector<std::string>{"<b@TWO.test>", "<d@two.test>"}));
  auto f = Envelope(m);
  EXPECT_EQ(f.to, std::vector<std::string>{"x@down.test"});
  RetryState r = ParseNextSend(f.nxtSend, 0);
  EXPECT_EQ(r.counter, 1);
  EXPECT_GE(r.next, clock + 30 * 60 - 1);
  EXPECT_LE(r.next, clock + 30 * 60 + 1);
  EXPECT_EQ(f.iniDate, "01/02/2026 10:00:00");
  EXPECT_TRUE(Reports().empty());  // the first retry is not reported
}

TEST_F(ClientFixture, RetriesFollowTheTableReportOnTheSecondAttemptAndDiscardAfterTheLast) {
  peer.Set([&](CScriptedPeer::Script& s) {
    s.rcpt = [](const std::string& who) {
      return who.find("defer") != std::string::npos ? std::string("451 later")
                                                    : std::string("250 OK");
    };
  });
  std::string m = Queue(kMessage, "alice@example.test", {"defer@remote.test"});
  // Attempt counter before each attempt, and the delay it adds.
  const int delays[] = {1800, 1800, 3600, 7200,  7200,  7200,  7200, 7200,
                        7200, 7200, 7200, 43200, 43200, 43200, 43200};
  size_t reports = 0;
  for (int c = 0; c < kMaxAttempts; ++c) {
    RetryState before = ParseNextSend(Envelope(m).nxtSend, clock);
    EXPECT_EQ(before.counter, c);
    // Not due yet: untouched.
    if (c > 0) {
      clock = before.next - 1;
      EXPECT_EQ(Run(true), 0);
      EXPECT_EQ(ParseNextSend(Envelope(m).nxtSend, 0).counter, c);
    }
    clock = before.next;
    EXPECT_EQ(Run(true), 0);
    RetryState after = ParseNextSend(Envelope(m).nxtSend, 0);
    EXPECT_EQ(after.counter, c + 1);
    EXPECT_EQ(after.next, before.next + delays[c]) << "attempt " << c;
    reports = Reports().size();
    EXPECT_EQ(reports, c >= 1 ? 1u : 0u) << "attempt " << c;
  }
  clock = ParseNextSend(Envelope(m).nxtSend, 0).next;
  EXPECT_EQ(Run(true), 0);
  EXPECT_TRUE(Queued().empty());
  auto all = Reports();
  ASSERT_EQ(all.size(), 2u);
  bool discarded = false;
  for (const std::string& r : all) {
    discarded = discarded || r.find(
                                 "Subject: Impossible to deliver: 15 retries since 01/02/2026 "
                                 "10:00:00. Message discarded.") != std::string::npos;
  }
  EXPECT_TRUE(discarded);
}

TEST_F(ClientFixture, PermanentRefusalIsReportedOnceBesideARetry) {
  peer.Set([&](CScriptedPeer::Script& s) {
    s.rcpt = [](const std::string& who) {
      if (who.find("defer") != std::string::npos) return std::string("451 later");
      if (who.find("reject") != std::string::npos) return std::string("550 unknown");
      return std::string("250 OK");
    };
  });
  std::string m =
      Queue(kMessage, "alice@example.test", {"reject@remote.test", "defer@remote.test"});
  EXPECT_EQ(Run(true), 0);
  EXPECT_EQ(Envelope(m).to, std::vector<std::string>{"defer@remote.test"});
  // The refused recipient leaves the item now, so it is reported now; the waiting one is not.
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("\"reject@remote.test\""), std::string::npos);
  EXPECT_EQ(reports[0].find("\"defer@remote.test\""), std::string::npos);
  clock = ParseNextSend(Envelope(m).nxtSend, 0).next;
  EXPECT_EQ(Run(true), 0);
  reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  // The second attempt reports the one still waiting, and the refused one not again.
  int rejectMentions = 0, deferMentions = 0;
  for (const std::string& r : reports) {
    rejectMentions += r.find("\"reject@remote.test\"") != std::string::npos;
    deferMentions += r.find("\"defer@remote.test\"") != std::string::npos;
  }
  EXPECT_EQ(rejectMentions, 1);
  EXPECT_EQ(deferMentions, 1);
  EXPECT_EQ(ParseNextSend(Envelope(m).nxtSend, 0).counter, 2);
}

TEST_F(ClientFixture, AllRefusedForGoodIsReportedAtOnceAndRemoved) {
  peer.Set([&](CScriptedPeer::Script& s) {
    s.rcpt = [](const std::string&) { return std::string("550 unknown"); };
  });
  Queue(kMessage, "alice@example.test", {"x@remote.test"});
  EXPECT_EQ(Run(true), 0);
  EXPECT_TRUE(Queued().empty());
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("Subject: Postmaster report: Delivery failed."), std::string::npos);
  EXPECT_NE(reports[0].find("Transmission cancelled"), std::string::npos);
}

// A message from the null sender (a delivery report, recorded as the anonymous sender) or from a
// MAILER-DAEMON is itself a report or a notice: refused for good, it leaves the queue without a
// report about it, which would go to a domain that does not exist or answer a report with one.
TEST_F(ClientFixture, AReportOrNoticeRefusedForGoodGetsNoReportItself) {
  peer.Set([&](CScriptedPeer::Script& s) {
    s.rcpt = [](const std::string&) { return std::string("550 unknown"); };
  });
  for (const char* sender :
       {"anonymous@varnel", "MAILER-DAEMON@example.test", "mailer-daemon@far.test"}) {
    Queue(kMessage, sender, {"x@remote.test"});
    EXPECT_EQ(Run(true), 0) << sender;
    EXPECT_TRUE(Queued().empty()) << sender;  // neither the item nor a report to the sender
    EXPECT_TRUE(Reports().empty()) << sender;
  }
  // An ordinary sender still gets its report, and so does an item without sender (the
  // postmaster stands in for it).
  Queue(kMessage, "alice@example.test", {"x@remote.test"});
  Queue(kMessage, "", {"y@remote.test"});
  EXPECT_EQ(Run(true), 0);
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(Reports().size(), 2u);
}

TEST_F(ClientFixture, ADomainThatDoesNotExistIsRefusedForGood) {
  missingDomains = {"nowhere.test"};
  Queue(kMessage, "alice@example.test", {"x@nowhere.test"});
  EXPECT_EQ(Run(true), 0);
  EXPECT_TRUE(Queued().empty());
  auto reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("Domain does not exist: nowhere.test"), std::string::npos);
  EXPECT_EQ(peer.connections.load(), 0);
}

TEST_F(ClientFixture, FutureItemsWaitForADnsRunButARelayRunSendsThem) {
  RetryState later{clock + 3600, 2};
  Queue(kMessage, "alice@example.test", {"bob@remote.test"}, FormatNextSend(later));
  EXPECT_EQ(Run(true), 0);
  EXPECT_EQ(peer.connections.load(), 0);
  EXPECT_EQ(Queued().size(), 1u);
  EXPECT_EQ(Run(false), kRelayDone);
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(peer.Transactions().size(), 1u);
}

TEST_F(ClientFixture, ABrokenConnectionInTheDataIsRetriedNotDeliveredHalf) {
  peer.Set([](CScriptedPeer::Script& s) { s.dropInData = true; });
  std::string m = Queue(kMessage, "alice@example.test", {"bob@remote.test"});
  EXPECT_EQ(Run(true), 0);
  EXPECT_TRUE(peer.Transactions().empty());
  EXPECT_EQ(Envelope(m).to, std::vector<std::string>{"bob@remote.test"});
  EXPECT_EQ(ParseNextSend(Envelope(m).nxtSend, 0).counter, 1);
}

TEST(RetrySchedule, FormatsParsesAndCatchesUpAfterADowntime) {
  std::time_t t = 1790000000;
  RetryState s{t, 7};
  std::string text = FormatNextSend(s);
  ASSERT_EQ(text.size(), 23u);
  EXPECT_EQ(text.substr(19), " 007");
  RetryState back = ParseNextSend(text, 0);
  EXPECT_EQ(back.next, t);
  EXPECT_EQ(back.counter, 7);
  // Missing or broken: due now, first attempt.
  for (const char* bad : {"", "garbage", "32/01/2026 10:00:00 001", "01/13/2026 10:00:00 001"}) {
    RetryState r = ParseNextSend(bad, 42);
    EXPECT_EQ(r.next, 42) << bad;
    EXPECT_EQ(r.counter, 0) << bad;
  }
  EXPECT_EQ(RetryDelaySeconds(0), 1800);
  EXPECT_EQ(RetryDelaySeconds(1), 1800);
  EXPECT_EQ(RetryDelaySeconds(2), 3600);
  EXPECT_EQ(RetryDelaySeconds(3), 7200);
  EXPECT_EQ(RetryDelaySeconds(10), 7200);
  EXPECT_EQ(RetryDelaySeconds(11), 43200);
  // On time: from the previous value. Days late: from now, not a burst of attempts.
  EXPECT_EQ(NextAttempt({t, 3}, t + 60).next, t + 7200);
  EXPECT_EQ(NextAttempt({t, 3}, t + 86400).next, t + 86400 + 7200);
  EXPECT_EQ(NextAttempt({t, 3}, t + 86400).counter, 4);
}

}  // namespace
}  // namespace outbound
