// The POP3 client against a scripted POP3 server on loopback: order of retrieval, what is stored
// and how, when DELE is sent, the shared collection's envelopes, broken transfers, the notice,
// and the collector's one-run-per-account rule.
#include "outbound/pop3_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "core/jobs.h"
#include "core/log_set.h"
#include "core/message_sink.h"
#include "core/settings.h"
#include "outbound/pop3_collector.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/profile.h"
#include "store/account.h"
#include "store/account_table.h"
#include "store/domain_table.h"
#include "store/envelope.h"
#include "store/queue_item.h"
#include "testing/temp_dir.h"

namespace outbound {
namespace {

using testing_support::CTempDir;
using testing_support::Read;

// A POP3 server on 127.0.0.1 serving one maildrop from a script; DELE takes effect at QUIT as
// RFC 1939 6 says. Messages are given as they go on the wire (dot-stuffed, CR LF), without the
// final ".".
class CScriptedPop3 {
 public:
  struct Script {
    std::string pass = "+OK logged in";
    std::vector<std::string> messages;
    long closeInRetr = 0;  // close the connection halfway through RETR of this message
    // Called at DELE n, before the answer (the test looks at the store then).
    std::function<void(long)> onDele;
    std::function<void()> beforeRetr;  // called before each RETR answer
  };
  void Set(const std::function<void(Script&)>& change) {
    std::lock_guard<std::mutex> lock(mutex_);
    change(script_);
  }
  std::vector<std::string> Remaining() {
    std::lock_guard<std::mutex> lock(mutex_);
    return script_.messages;
  }

  CScriptedPop3() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    EXPECT_EQ(::listen(fd_, 8), 0);
    socklen_t len = sizeof sa;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
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
  ~CScriptedPop3() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  int Port() const { return port_; }
  std::vector<std::string> Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }
  std::atomic<int> connections{0};

 private:
  static bool ReadLine(int c, std::string* line) {
    line->clear();
    char ch;
    while (::recv(c, &ch, 1, 0) == 1) {
      *line += ch;
      if (line->size() >= 2 && line->compare(line->size() - 2, 2, "\r\n") == 0) return true;
    }
    return false;
  }
  static void Send(int c, const std::string& text) {
    (void)::send(c, text.data(), text.size(), MSG_NOSIGNAL);
  }
  void Serve(int c) {
    Script s;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      s = script_;
    }
    std::vector<bool> deleted(s.messages.size(), false);
    Send(c, "+OK scripted ready\r\n");
    std::string line;
    while (ReadLine(c, &line)) {
      std::string cmd = line.substr(0, line.size() - 2);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        commands_.push_back(cmd);
      }
      std::string verb = cmd.substr(0, 4);
      long n = cmd.size() > 5 ? std::atol(cmd.c_str() + 5) : 0;
      bool valid = n >= 1 && n <= static_cast<long>(s.messages.size());
      if (verb == "USER") {
        Send(c, "+OK\r\n");
      } else if (verb == "PASS") {
        Send(c, s.pass + "\r\n");
        if (s.pass[0] == '-') return;
      } else if (verb == "STAT") {
        Send(c, "+OK " + std::to_string(s.messages.size()) + " 1000\r\n");
      } else if (verb == "RETR" && valid) {
        if (s.beforeRetr) s.beforeRetr();
        const std::string& m = s.messages[n - 1];
        if (n == s.closeInRetr) {
          Send(c, "+OK\r\n" + m.substr(0, m.size() / 2));
          return;
        }
        Send(c, "+OK\r\n" + m + ".\r\n");
      } else if (verb == "DELE" && valid) {
        if (s.onDele) s.onDele(n);
        deleted[n - 1] = true;
        Send(c, "+OK deleted\r\n");
      } else if (verb == "QUIT") {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> kept;
        for (size_t i = 0; i < s.messages.size(); ++i) {
          if (!deleted[i]) kept.push_back(s.messages[i]);
        }
        script_.messages = kept;
        Send(c, "+OK bye\r\n");
        return;
      } else {
        Send(c, "-ERR no such message\r\n");
      }
    }
  }

  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  Script script_;
  std::vector<std::string> commands_;
};

// Polls for `done` for up to `seconds`.
bool WaitFor(const std::function<bool()>& done, int seconds = 60) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

std::string Msg(const std::string& to, const std::string& subject, const std::string& body) {
  return "To: " + to + "\r\nSubject: " + subject + "\r\n\r\n" + body;
}

struct Pop3Fixture : ::testing::Test {
  Pop3Fixture() {
    EXPECT_EQ(platform::MakeDirectoryTree(home / "INQUEUE"), 0);
    for (const char* a : {"alice", "bob", "master", "$default"}) {
      EXPECT_EQ(platform::MakeDirectoryTree(home / (std::string("MAILIN/") + a)), 0);
    }
    settings.SetHome(home.path());
    core::SettingsValues& v = settings.MutableValues();
    v.smtp.domain = "example.test";
    v.smtp.localName = "mail.example.test";
    v.smtp.postmaster = "master@example.test";
    v.smtp.pop3Timeout = 30;
    v.smtp.lowPopcLog = 1;
    v.smtp.pop3Client = 1;
    settings.Publish();
    logs.SetHome(home.path());
    store::DomainSnapshot d;
    d.ownDomain = "example.test";
    d.localName = "mail.example.test";
    domains.Load(home.path(), d);
    store::CAccountTable t;
    store::CAccount alice, bob, master, def;
    alice.name = "alice";
    alice.AddAlias("alice@example.test");
    alice.AddAlias("al@example.test");
    bob.name = "bob";
    bob.AddAlias("bob@example.test");
    bob.pop3Client = 1;
    master.name = "master";
    master.AddAlias("master@example.test");
    def.name = "$default";
    t.Accounts() = {master, alice, bob, def};
    accounts.Replace(t);
    context.home = home.path();
    context.settings = &settings;
    context.logs = &logs;
    context.domains = &domains;
    context.accounts = &accounts;
    context.product = "Quorvale";
    context.version = "1.0";
    context.port = peer.Port();
    context.counters = &counters;
    context.generated = [this] {
      store::GeneratedContext g;
      g.home = home.path();
      g.primaryDomain = "example.test";
      g.product = "Quorvale";
      g.domains = &domains;
      g.accounts = &accounts;
      return g;
    };
  }

  // Slot `slot` (1..5) of `account`.
  void SetSlot(const std::string& account, int slot, bool enabled, bool del,
               const std::string& user = "remote") {
    std::string value = std::string("*") + (enabled ? "1" : "0") + "\t*" + user + "\t*" +
                        store::ScramblePassword("secret") + "\t*127.0.0.1\t*" + (del ? "1" : "0");
    ASSERT_EQ(platform::WriteProfileString(home / ("MAILIN/" + account + "/MAILBOX.INI"), "POP3ACC",
                                           "acc" + std::to_string(slot), value),
              0);
  }
  std::vector<std::string> Mailbox(const std::string& account) {
    std::vector<std::string> out;
    std::string dir = home / ("MAILIN/" + account);
    for (const auto& n : store::ListCompleteItems(dir, store::ItemKind::kMailbox)) {
      out.push_back(Read(platform::JoinPath(dir, n)));
    }
    return out;
  }
  std::vector<std::string> Inqueue() {
    return store::ListCompleteItems(home / "INQUEUE", store::ItemKind::kInbound);
  }
  // Files of a directory that no complete item explains: busy markers, parts, locks.
  std::vector<std::string> Stray(const std::string& dir) {
    std::vector<std::string> out;
    for (const std::string& f : platform::FindFiles(home / dir, "*")) {
      char c = f[0];
      if (c == 'B' || c == 'b' || c == '~' || f.find(".part") != std::string::npos ||
          f.find(".tri") != std::string::npos || f.find(".LCK") != std::string::npos) {
        out.push_back(f);
      }
    }
    return out;
  }
  int Collect(const std::string& account, bool shared) {
    CPOP3Client client(context, account, shared);
    client.LoadSlots();
    return client.Run();
  }
  // The body of a stored message after the client's own three lines.
  static std::string Body(const std::string& stored) {
    size_t pos = 0;
    for (int i = 0; i < 3; ++i) pos = stored.find("\r\n", pos) + 2;
    return stored.substr(pos);
  }

  CTempDir home;
  core::CMessageSink sink{home / "message.log", nullptr};
  core::CSettings settings{sink, nullptr};
  core::CLogSet logs{settings};
  store::CDomainTable domains;
  store::CAccountStore accounts;
  core::CSessionCounters counters;
  CScriptedPop3 peer;
  Pop3ClientContext context;
};

TEST(Pop3SlotTest, FieldsParseAndAMissingOrIncompleteSlotIsDisabled) {
  Pop3Slot s = ParsePop3Slot("*1\t*joe\t*" + store::ScramblePassword("pw") + "\t*pop.x.test\t*0");
  EXPECT_TRUE(s.enabled);
  EXPECT_EQ(s.user, "joe");
  EXPECT_EQ(s.password, "pw");
  EXPECT_EQ(s.server, "pop.x.test");
  EXPECT_FALSE(s.deleteAfter);
  Pop3Slot empty = ParsePop3Slot(kPop3EmptySlot);
  EXPECT_FALSE(empty.enabled);
  EXPECT_TRUE(empty.deleteAfter);                                // delete on by default
  EXPECT_FALSE(ParsePop3Slot("*2\t*joe\t*\t*pop\t*1").enabled);  // only "1" enables
  EXPECT_FALSE(ParsePop3Slot("*1\t*\t*\t*pop\t*1").enabled);     // no user
  EXPECT_FALSE(ParsePop3Slot("*1\t*joe").enabled);               // no server
  Pop3Slot shortSlot = ParsePop3Slot("*1\t*joe\t*\t*pop");       // no delete field
  EXPECT_TRUE(shortSlot.enabled);
  EXPECT_TRUE(shortSlot.deleteAfter);
}

TEST_F(Pop3Fixture, LastMessageFirstStoredWithOwnHeadersAndDeletedOnlyOnceOnDisk) {
  std::vector<std::string> msgs = {Msg("x@remote.test", "one", "first\r\n"),
                                   Msg("x@remote.test", "two", "second\r\n"),
                                   Msg("x@remote.test", "three", "third\r\n")};
  std::mutex seen;  // the peer's thread writes, the test reads
  std::vector<long> visibleAtDele;
  peer.Set([&](CScriptedPop3::Script& s) {
    s.messages = msgs;
    s.onDele = [&](long n) {
      // The message must be complete under its final name before the server lets it go.
      for (const std::string& m : Mailbox("alice")) {
        std::lock_guard<std::mutex> lock(seen);
        if (Body(m) == msgs[n - 1]) visibleAtDele.push_back(n);
      }
    };
  });
  SetSlot("alice", 1, true, true);
  EXPECT_EQ(Collect("alice", false), 0);
  EXPECT_EQ(peer.Commands(),
            (std::vector<std::string>{"USER remote", "PASS secret", "STAT", "RETR 3", "DELE 3",
                                      "RETR 2", "DELE 2", "RETR 1", "DELE 1", "QUIT"}));
  {
    std::lock_guard<std::mutex> lock(seen);
    EXPECT_EQ(visibleAtDele, (std::vector<long>{3, 2, 1}));
  }
  std::vector<std::string> box = Mailbox("alice");
  ASSERT_EQ(box.size(), 3u);
  EXPECT_EQ(Body(box[0]), msgs[2]);  // numbered in arrival order: message 3 came first
  EXPECT_EQ(Body(box[2]), msgs[0]);
  EXPECT_EQ(box[0].compare(0, 32, "X-IStatus:00000000000000000003\r\n"), 0);
  EXPECT_NE(box[0].find("\r\nReceived: from 127.0.0.1 by mail.example.test with POP3 (Quorvale "
                        "1.0)\r\n          id 3; "),
            std::string::npos);
  EXPECT_TRUE(peer.Remaining().empty());
  std::string con = Read(home / "popccon.log");
  EXPECT_NE(con.find("127.0.0.1: 3 Message(s) received from=remote@127.0.0.1 to=alice size="),
            std::string::npos);
  // The password never reaches the log.
  EXPECT_EQ(Read(home / "popclow.log").find("secret"), std::string::npos);
  EXPECT_NE(Read(home / "popclow.log").find("PASS ****"), std::string::npos);
}

TEST_F(Pop3Fixture, DisabledSlotIsSkippedAndDeleteOffKeepsMessagesOnTheServer) {
  peer.Set([](CScriptedPop3::Script& s) { s.messages = {Msg("a@b", "s", "x\r\n")}; });
  SetSlot("alice", 1, false, true, "other");
  SetSlot("alice", 2, true, false);
  EXPECT_EQ(Collect("alice", false), 0);
  EXPECT_EQ(peer.connections.load(), 1);
  EXPECT_EQ(peer.Commands(),
            (std::vector<std::string>{"USER remote", "PASS secret", "STAT", "RETR 1", "QUIT"}));
  EXPECT_EQ(Mailbox("alice").size(), 1u);
  EXPECT_EQ(peer.Remaining().size(), 1u);
}

TEST_F(Pop3Fixture, DotStuffedLinesAreUnstuffedAndTheLongestLineFitsExactly) {
  std::string longest(2046, 'x');  // 2046 characters + CR LF fill the 2048-byte buffer
  peer.Set([&](CScriptedPop3::Script& s) {
    s.messages = {"Subject: dots\r\n\r\n..\r\n...two\r\n..lead\r\nmid.dle\r\n" + longest + "\r\n"};
  });
  SetSlot("alice", 1, true, true);
  EXPECT_EQ(Collect("alice", false), 0);
  std::vector<std::string> box = Mailbox("alice");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_EQ(Body(box[0]),
            "Subject: dots\r\n\r\n.\r\n..two\r\n.lead\r\nmid.dle\r\n" + longest + "\r\n");
}

TEST_F(Pop3Fixture, OverlongLineDropsTheMessageLeavesItOnTheServerAndStopsTheMailbox) {
  std::string tooLong(2047, 'y');
  peer.Set([&](CScriptedPop3::Script& s) {
    s.messages = {Msg("a@b", "one", "fine\r\n"), Msg("a@b", "two", tooLong + "\r\n")};
  });
  SetSlot("alice", 1, true, true);
  EXPECT_EQ(Collect("alice", false), kPop3Broken);
  EXPECT_TRUE(Mailbox("alice").empty());
  EXPECT_TRUE(Stray("MAILIN/alice").empty());
  std::vector<std::string> cmds = peer.Commands();
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "RETR 1"), 0);  // the mailbox stopped
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "DELE 2"), 0);
  // The rest of the message was read (its line end fell just past the buffer) and the server
  // heard QUIT at once, not after the time-out.
  ASSERT_FALSE(cmds.empty());
  EXPECT_EQ(cmds.back(), "QUIT");
  EXPECT_EQ(peer.Remaining().size(), 2u);
}

TEST_F(Pop3Fixture, AfterAnOverlongLineTheServerStillHearsQuitAndDeletesWhatWasStored) {
  // Message 2 is far bigger than the socket buffers, and its first line is too long: the
  // client must read it to its end, or the server, still sending, never reads QUIT.
  std::string big = "Subject: big\r\n\r\n" + std::string(3000, 'q') + "\r\n";
  for (int i = 0; i < 40000; ++i) big += "..line of the big message that goes on and on\r\n";
  big += "..\r\nlast\r\n";  // a stuffed "." line: not the end
  peer.Set([&](CScriptedPop3::Script& s) {
    s.messages = {Msg("a@b", "one", "x\r\n"), big, Msg("a@b", "three", "z\r\n")};
  });
  SetSlot("alice", 1, true, true);
  EXPECT_EQ(Collect("alice", false), kPop3Broken);
  std::vector<std::string> box = Mailbox("alice");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_EQ(Body(box[0]), Msg("a@b", "three", "z\r\n"));
  std::vector<std::string> cmds = peer.Commands();
  EXPECT_EQ(cmds.back(), "QUIT");
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "RETR 1"), 0);
  // Message 3 was deleted at QUIT; 1 and the broken 2 stay.
  std::vector<std::string> left = peer.Remaining();
  ASSERT_EQ(left.size(), 2u);
  EXPECT_EQ(left[1], big);
  EXPECT_TRUE(Stray("MAILIN/alice").empty());
}

TEST_F(Pop3Fixture, MessageThatCannotBeStoredStaysOnTheServerAndTheRunStopsCleanly) {
  peer.Set([](CScriptedPop3::Script& s) {
    s.messages = {"To: bob@example.test\r\n\r\none\r\n", "To: bob@example.test\r\n\r\ntwo\r\n"};
  });
  SetSlot("$default", 1, true, true);
  // INQUEUE is not a directory: no message file can be made there.
  ASSERT_TRUE(std::filesystem::remove(home / "INQUEUE"));
  ASSERT_EQ(platform::WriteFileAtomic(home / "INQUEUE", "not a directory"), 0);
  EXPECT_EQ(Collect("$default", true), kPop3FileError);
  EXPECT_NE(Read(home / "popclow.log").find("   ERROR: Cannot open "), std::string::npos);
  // The message was read to its end, so QUIT was understood; nothing was deleted.
  EXPECT_EQ(peer.Commands(),
            (std::vector<std::string>{"USER remote", "PASS secret", "STAT", "RETR 2", "QUIT"}));
  EXPECT_NE(Read(home / "popclow.log").find("Received: +OK bye"), std::string::npos);
  EXPECT_EQ(peer.Remaining().size(), 2u);
}

TEST_F(Pop3Fixture, MessageOverTheSizeLimitStaysOnTheServerAndTheOthersAreCollected) {
  core::SettingsValues& v = settings.MutableValues();
  v.firewall.maxMsgSize = 4;  // Kbytes: 4000 bytes with the two lines put in front
  settings.Publish();
  std::string fits = "To: a@b\r\n\r\n", over = fits;
  for (int i = 0; i < 30; ++i) fits += std::string(98, 'f') + "\r\n";  // 3,000 bytes of body
  for (int i = 0; i < 40; ++i) over += std::string(98, 'o') + "\r\n";  // 4,000
  peer.Set([&](CScriptedPop3::Script& s) { s.messages = {fits, over, Msg("a@b", "z", "z\r\n")}; });
  SetSlot("alice", 1, true, true);
  EXPECT_EQ(Collect("alice", false), 0);
  EXPECT_EQ(peer.Commands(),
            (std::vector<std::string>{"USER remote", "PASS secret", "STAT", "RETR 3", "DELE 3",
                                      "RETR 2", "RETR 1", "DELE 1", "QUIT"}));
  std::vector<std::string> box = Mailbox("alice");
  ASSERT_EQ(box.size(), 2u);
  EXPECT_EQ(Body(box[1]), fits);
  EXPECT_EQ(peer.Remaining(), std::vector<std::string>{over});
  EXPECT_TRUE(Stray("MAILIN/alice").empty());
  EXPECT_NE(Read(home / "popccon.log").find("Message 2 from=remote@127.0.0.1 exceeds 4 Kbytes"),
            std::string::npos);
}

TEST_F(Pop3Fixture, TooLittleFreeDiskSpaceStopsTheCollectionBeforeAnythingIsKept) {
  core::SettingsValues& v = settings.MutableValues();
  v.firewall.minDiskSpace = 2000000000L;  // Kbytes to keep free: more than any disk here has
  settings.Publish();
  peer.Set([](CScriptedPop3::Script& s) {
    s.messages = {Msg("a@b", "one", "x\r\n"), Msg("a@b", "two", "y\r\n")};
  });
  SetSlot("alice", 1, true, true);
  EXPECT_EQ(Collect("alice", false), kPop3FileError);
  EXPECT_TRUE(Mailbox("alice").empty());
  EXPECT_TRUE(Stray("MAILIN/alice").empty());
  // The message was read to its end, so the server heard QUIT; nothing was deleted.
  EXPECT_EQ(peer.Commands(),
            (std::vector<std::string>{"USER remote", "PASS secret", "STAT", "RETR 2", "QUIT"}));
  EXPECT_EQ(peer.Remaining().size(), 2u);
  EXPECT_NE(Read(home / "popclow.log").find("   ERROR: Disk space below 2000000000 Kbytes"),
            std::string::npos);
}

TEST_F(Pop3Fixture, ConnectionClosedInRetrLeavesNothingVisibleAndTheMessageOnTheServer) {
  peer.Set([&](CScriptedPop3::Script& s) {
    s.messages = {Msg("a@b", "one", "first\r\n"), Msg("a@b", "two", "second\r\nmore\r\n")};
    s.closeInRetr = 1;
  });
  SetSlot("alice", 1, true, true);
  EXPECT_EQ(Collect("alice", false), kPop3Broken);
  // Message 2 came whole and is stored; message 1 broke and left nothing behind.
  std::vector<std::string> box = Mailbox("alice");
  ASSERT_EQ(box.size(), 1u);
  EXPECT_EQ(Body(box[0]), Msg("a@b", "two", "second\r\nmore\r\n"));
  EXPECT_TRUE(Stray("MAILIN/alice").empty());
  EXPECT_EQ(platform::FindFiles(home / "MAILIN/alice", "M*.MIM").size(), 1u);
  std::vector<std::string> cmds = peer.Commands();
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "DELE 1"), 0);
  // The server never saw QUIT, so it deletes nothing (RFC 1939 6): both stay there.
  EXPECT_EQ(peer.Remaining().size(), 2u);
}

TEST_F(Pop3Fixture, RefusedPasswordGivesOneErrorLineAndOneNotice) {
  peer.Set([](CScriptedPop3::Script& s) {
    s.pass = "-ERR [AUTH] Authentication failed.";
    s.messages = {Msg("a@b", "s", "x\r\n")};
  });
  SetSlot("alice", 1, true, true);
  SetSlot("alice", 3, true, true);  // a second slot on the same server fails too
  EXPECT_EQ(Collect("alice", false), kPop3Broken);
  std::string con = Read(home / "popccon.log");
  size_t first = con.find("POP3 ERROR: account=alice, from=remote@127.0.0.1, reason=-ERR [AUTH]");
  ASSERT_NE(first, std::string::npos) << con;
  EXPECT_NE(con.find("POP3 ERROR", first + 1), std::string::npos);  // one per refusing server
  EXPECT_NE(Read(home / "popclow.log").find("   ERROR: Connection to remote on 127.0.0.1 failed"),
            std::string::npos);
  // One notice for the whole run, to the local account, from the postmaster.
  std::vector<std::string> q = Inqueue();
  ASSERT_EQ(q.size(), 1u);
  std::string notice = Read(platform::JoinPath(home / "INQUEUE", q[0]));
  EXPECT_NE(notice.find("Subject: ERROR checking POP3 account"), std::string::npos);
  store::EnvelopeFields env;
  ASSERT_EQ(store::ReadEnvelope(store::ItemSibling(home / ("INQUEUE/" + q[0]), 'R'), &env), 0);
  EXPECT_EQ(env.to, (std::vector<std::string>{"alice@example.test"}));
  EXPECT_TRUE(Mailbox("alice").empty());
}

TEST_F(Pop3Fixture, SharedCollectionTakesLocalRecipientsFromToAndCcAndLeavesForeignMail) {
  peer.Set([](CScriptedPop3::Script& s) {
    s.messages = {
        // 1: To and a folded Cc; one foreign, one unknown local, a duplicate.
        "From: x@remote.test\r\nTo: \"Al\" <al@example.test>, someone@foreign.test\r\n"
        "Subject: s\r\nCc: nobody@example.test,\r\n Bob <BOB@example.test>, al@example.test\r\n"
        "\r\nTo: carol@example.test in the body counts not\r\n",
        // 2: only foreign addresses.
        "To: a@foreign.test\r\nCc: b@other.test\r\n\r\nbody\r\n",
    };
  });
  SetSlot("$default", 1, true, true, "nobody-here");
  EXPECT_EQ(Collect("$default", true), 0);
  std::vector<std::string> q = Inqueue();
  ASSERT_EQ(q.size(), 1u);
  store::EnvelopeFields env;
  ASSERT_EQ(store::ReadEnvelope(store::ItemSibling(home / ("INQUEUE/" + q[0]), 'R'), &env), 0);
  EXPECT_EQ(env.to, (std::vector<std::string>{"al@example.test", "bob@example.test"}));
  std::vector<std::string> cmds = peer.Commands();
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "DELE 1"), 1);
  EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "DELE 2"), 0);
  EXPECT_EQ(peer.Remaining().size(), 1u);
  EXPECT_NE(Read(home / "popccon.log")
                .find("Account nobody-here does not exist. Message from=nobody-here@127.0.0.1 "
                      "not distributed, size="),
            std::string::npos);
  EXPECT_TRUE(Stray("INQUEUE").empty());
  EXPECT_EQ(platform::FindFiles(home / "INQUEUE", "M*.TMP").size(), 1u);
}

TEST_F(Pop3Fixture, SharedCollectionFallsBackToTheRemoteUserName) {
  peer.Set([](CScriptedPop3::Script& s) { s.messages = {"To: x@foreign.test\r\n\r\nhi\r\n"}; });
  SetSlot("$default", 1, true, false, "bob");
  EXPECT_EQ(Collect("$default", true), 0);
  std::vector<std::string> q = Inqueue();
  ASSERT_EQ(q.size(), 1u);
  store::EnvelopeFields env;
  ASSERT_EQ(store::ReadEnvelope(store::ItemSibling(home / ("INQUEUE/" + q[0]), 'R'), &env), 0);
  EXPECT_EQ(env.to, (std::vector<std::string>{"bob"}));
}

TEST_F(Pop3Fixture, CollectorRunsOneCollectionPerAccountAndOneSharedAtATime) {
  std::atomic<bool> release{false};
  peer.Set([&](CScriptedPop3::Script& s) {
    s.messages = {Msg("a@b", "1", "x\r\n"), Msg("a@b", "2", "y\r\n")};
    // The first run waits in RETR until the other starts have been tried.
    s.beforeRetr = [&] { WaitFor([&] { return release.load(); }); };
  });
  SetSlot("alice", 1, true, true);
  CPOP3Collector collector(context, &counters);
  EXPECT_EQ(collector.GetPop3Mail("nosuch"), -1);
  EXPECT_EQ(collector.GetPop3Mail("ALICE"), 0);
  EXPECT_EQ(collector.GetPop3Mail("alice"), 0);  // busy: nothing started
  EXPECT_EQ(collector.GetPop3Mail(""), 0);       // all accounts: alice is skipped while busy
  EXPECT_TRUE(WaitFor([&] {
    return Read(home / "popclow.log").find("POP3 Cli: thread stop : 2, *") != std::string::npos;
  }));
  EXPECT_EQ(counters.pop3Clients.load(), 1);
  release = true;
  collector.WaitIdle();
  EXPECT_EQ(counters.pop3Clients.load(), 0);
  EXPECT_EQ(peer.connections.load(), 1);
  EXPECT_EQ(Mailbox("alice").size(), 2u);  // each message once

  // The shared collection: "-" and "$default" are the same run, one at a time.
  peer.Set([](CScriptedPop3::Script& s) {
    s.messages = {"To: bob@example.test\r\n\r\nz\r\n"};
    s.beforeRetr = nullptr;
  });
  SetSlot("$default", 1, true, true);
  EXPECT_EQ(collector.GetPop3Mail("-"), 0);
  EXPECT_EQ(collector.GetPop3Mail("$default"), 0);
  collector.WaitIdle();
  EXPECT_EQ(peer.connections.load(), 2);
  EXPECT_EQ(Inqueue().size(), 1u);
  EXPECT_FALSE(collector.Busy());
}

TEST_F(Pop3Fixture, CollectorFollowsThePop3ClientSettingAndTheStoppingFlag) {
  peer.Set([](CScriptedPop3::Script& s) { s.messages = {Msg("a@b", "1", "x\r\n")}; });
  SetSlot("alice", 1, true, false);
  SetSlot("bob", 1, true, false);
  CPOP3Collector collector(context, &counters);
  settings.MutableValues().smtp.pop3Client = 0;
  settings.Publish();
  EXPECT_EQ(collector.GetPop3Mail(""), 0);  // switched off: no run over the accounts
  collector.WaitIdle();
  EXPECT_EQ(peer.connections.load(), 0);
  settings.MutableValues().smtp.pop3Client = 2;  // only accounts with their own flag
  settings.Publish();
  EXPECT_EQ(collector.GetPop3Mail("alice"), 0);
  collector.WaitIdle();
  EXPECT_EQ(peer.connections.load(), 0);
  EXPECT_EQ(collector.GetPop3Mail(""), 0);
  collector.WaitIdle();
  EXPECT_EQ(peer.connections.load(), 1);  // bob only
  EXPECT_EQ(Mailbox("bob").size(), 1u);
  EXPECT_TRUE(Mailbox("alice").empty());
  counters.stopping = true;
  EXPECT_EQ(collector.GetPop3Mail("bob"), 0);
  collector.WaitIdle();
  EXPECT_EQ(peer.connections.load(), 1);
  EXPECT_EQ(counters.pop3Clients.load(), 0);
}

}  // namespace
}  // namespace outbound
