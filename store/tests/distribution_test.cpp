#include "store/distribution.h"

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/path.h"
#include "store/account_table.h"
#include "store/domain_table.h"
#include "store/queue_item.h"
#include "testing/temp_dir.h"

namespace store {
namespace {

using testing_support::CTempDir;

// Mailbox names are found without regard to case, as the store writes them.
std::string Read(const std::string& path) { return testing_support::Read(platform::ResolvePath(path)); }

struct DistributionFixture : ::testing::Test {
  DistributionFixture() {
    for (const char* d : {"INQUEUE", "OUTQUEUE/MailHub", "MAILIN/alice", "MAILIN/bob", "MAILIN/master",
                          "MAILIN/news", "MAILIN/mod", "MAILIN/away", "MAILIN/fwd"}) {
      EXPECT_EQ(platform::MakeDirectoryTree(home / d), 0);
    }
    DomainSnapshot d;
    d.ownDomain = "example.test";
    d.localName = "mail.example.test";
    domains.Load(home.path(), d);
    auto account = [](const char* name) {
      CAccount a;
      a.name = name;
      a.AddAlias(std::string(name) + "@example.test");
      return a;
    };
    CAccount news = account("news");
    news.isList = 1;
    news.moderator = "mod@example.test";
    CAccount away = account("away");
    away.vacation = 1;
    away.autoReply = 1;
    away.autoReplyFile = "reply.txt";
    CAccount fwd = account("fwd");
    fwd.autoForward = 1;
    fwd.forwardAddresses = "elsewhere@far.test";
    table.Accounts() = {account("master"), account("alice"), account("bob"), news, account("mod"), away, fwd};
    accounts.Replace(table);
    ctx.generated.home = home.path();
    ctx.generated.primaryDomain = "example.test";
    ctx.generated.product = "Varnel";
    ctx.generated.domains = &domains;
    ctx.generated.accounts = &accounts;
    ctx.daemonAddress = "MAILER-DAEMON@example.test";
  }
  // Queues a message as the SMTP server would.
  void Inbound(const std::string& from, const std::vector<std::string>& to, const std::string& text,
               const std::string& subject = "s") {
    CItemWriter w;
    ASSERT_EQ(w.Begin(home / "INQUEUE", ItemKind::kInbound), 0);
    ASSERT_EQ(w.Write(text), 0);
    std::string env = "[From]\r\nFrom=" + from + "\r\nSubject=" + subject + "\r\n[To]\r\nn=" +
                      std::to_string(to.size()) + "\r\n";
    for (size_t i = 0; i < to.size(); ++i) env += std::to_string(i) + "=" + to[i] + "\r\n";
    ASSERT_EQ(w.Commit(env), 0);
  }
  std::vector<std::string> Box(const std::string& account) {
    if (!platform::DirectoryExists(platform::ResolvePath(home / ("MAILIN/" + account)))) return {};
    std::vector<std::string> texts;
    for (const std::string& n : ListCompleteItems(home / ("MAILIN/" + account), ItemKind::kMailbox)) {
      texts.push_back(Read(home / ("MAILIN/" + account + "/" + n)));
    }
    return texts;
  }
  CTempDir home;
  CDomainTable domains;
  CAccountTable table;
  CAccountStore accounts;
  DistributionContext ctx;
  CDistributor distributor;
};

TEST_F(DistributionFixture, LocalUnknownAndRemoteRecipientsOfOneMessage) {
  // The outbound runner is woken only once the outbound item is complete: a run started by the
  // wake must find it.
  std::vector<size_t> seenAtWake;
  ctx.generated.wakeOutbound = [&] {
    seenAtWake.push_back(ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound).size());
  };
  Inbound("sender@far.test", {"alice@example.test", "ghost@example.test", "carol@remote.test"},
          "Subject: hello\r\nFrom: sender@far.test\r\nTo: alice@example.test\r\n\r\nbody\r\n");
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);  // one run: the notice it writes is delivered too
  auto alice = Box("alice");
  ASSERT_EQ(alice.size(), 1u);
  EXPECT_NE(alice[0].find("\r\nMessage-Id: <"), std::string::npos);  // added: the message had none
  EXPECT_NE(alice[0].find("\r\nDate: "), std::string::npos);
  EXPECT_EQ(alice[0].find("Apparently-To"), std::string::npos);  // it had a To:
  auto master = Box("master");
  ASSERT_EQ(master.size(), 1u);
  EXPECT_NE(master[0].find("Subject: [MAILER-DAEMON] Invalid local address [ghost@example.test]"), std::string::npos);
  auto out = ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound);
  ASSERT_EQ(out.size(), 1u);
  std::string env = Read(ItemSibling(home / ("OUTQUEUE/MailHub/" + out[0]), 'I'));
  EXPECT_EQ(env, "[FROM]\r\nFrom=sender@far.test\r\n[TO]\r\nn=1\r\n0=carol@remote.test\r\n");
  EXPECT_EQ(platform::FindFiles(home / "INQUEUE", "*.tmp"), std::vector<std::string>{});
  EXPECT_EQ(seenAtWake, std::vector<size_t>{1});
}

TEST_F(DistributionFixture, OutsideTheServerProcessOrWhileStoppingNothingIsDistributedHere) {
  Inbound("s@far.test", {"alice@example.test"}, "Subject: x\r\n\r\nbody\r\n");
  int asked = 0;
  DistributionContext elsewhere = ctx;
  elsewhere.requestServerRun = [&] { ++asked; };
  ASSERT_EQ(distributor.DistributeInbound(elsewhere), 0);
  EXPECT_EQ(asked, 1);
  std::atomic<bool> stopping{true};
  DistributionContext ending = ctx;
  ending.stopping = &stopping;
  ASSERT_EQ(distributor.DistributeInbound(ending), 0);
  EXPECT_TRUE(Box("alice").empty());
  EXPECT_EQ(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound).size(), 1u);
  stopping = false;
  ASSERT_EQ(distributor.DistributeInbound(ending), 0);
  EXPECT_EQ(Box("alice").size(), 1u);
}

TEST_F(DistributionFixture, AMissingMailboxKeepsOnlyThatRecipientQueued) {
  ASSERT_EQ(platform::RemoveFile(home / "MAILIN/alice/useqf"), 0);
  ASSERT_EQ(::rmdir((home / "MAILIN/alice").c_str()), 0);
  Inbound("s@far.test", {"alice@example.test", "bob@example.test"},
          "Message-Id: <1@x>\r\nDate: today\r\nFrom: s@far.test\r\nTo: x\r\n\r\nbody\r\n");
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  auto bob = Box("bob");
  ASSERT_EQ(bob.size(), 1u);
  EXPECT_EQ(bob[0], "Message-Id: <1@x>\r\nDate: today\r\nFrom: s@far.test\r\nTo: x\r\n\r\nbody\r\n");  // unchanged
  auto items = ListCompleteItems(home / "INQUEUE", ItemKind::kInbound);
  ASSERT_EQ(items.size(), 1u);
  std::string env = Read(ItemSibling(home / ("INQUEUE/" + items[0]), 'R'));
  EXPECT_NE(env.find("[To]\r\nn=1\r\n0=alice@example.test\r\n"), std::string::npos);
  EXPECT_FALSE(platform::FileExists(home / "INQUEUE/recipien.tmp"));
  // Once the mailbox exists, the next run delivers the rest and empties the queue.
  ASSERT_EQ(platform::MakeDirectory(home / "MAILIN/alice"), 0);
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_EQ(Box("alice").size(), 1u);
  EXPECT_EQ(Box("bob").size(), 1u);
  EXPECT_TRUE(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound).empty());
}

TEST_F(DistributionFixture, ForwardListBounceLoopAndReplies) {
  // Forward without copy: nothing stays local, the outbound queue gets it.
  Inbound("s@far.test", {"fwd@example.test"}, "From: s@far.test\r\nTo: fwd\r\n\r\nx\r\n");
  // A bounce to a list goes to the moderator, not to the list.
  Inbound("MAILER-DAEMON@far.test", {"news@example.test"}, "From: daemon\r\nTo: news\r\n\r\nbounce\r\n");
  // 31 hops: the postmaster's mailbox, unchanged.
  std::string looping;
  for (int i = 0; i < 31; ++i) looping += "Received: from hop" + std::to_string(i) + "\r\n";
  Inbound("s@far.test", {"alice@example.test"}, looping + "\r\nloop\r\n");
  // Vacation and auto-reply: Errors-To stops the vacation reply, not the auto-reply.
  ASSERT_EQ(platform::WriteFileAtomic(home / "MAILIN/away/reply.txt", "I am away.\r\n"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(home / "MAILIN/away/vacation.txt", "On vacation.\r\n"), 0);
  Inbound("s@far.test", {"away@example.test"},
          "From: Writer <writer@far.test>\r\nReply-To: answers@far.test\r\nErrors-To: e@far.test\r\n"
          "Subject: question\r\nTo: away\r\n\r\n?\r\n");
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);

  EXPECT_TRUE(Box("fwd").empty());
  EXPECT_TRUE(Box("news").empty());
  ASSERT_EQ(Box("mod").size(), 1u);
  EXPECT_NE(Box("mod")[0].find("bounce"), std::string::npos);
  auto master = Box("MASTER");
  ASSERT_EQ(master.size(), 1u);
  EXPECT_EQ(master[0], looping + "\r\nloop\r\n");
  EXPECT_TRUE(Box("alice").empty());
  EXPECT_EQ(Box("away").size(), 1u);
  // Outbound: the forward, and one reply (auto-reply to Reply-To; no vacation reply).
  auto out = ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound);
  ASSERT_EQ(out.size(), 2u);
  std::string all;
  for (const std::string& n : out) {
    all += Read(home / ("OUTQUEUE/MailHub/" + n)) + Read(ItemSibling(home / ("OUTQUEUE/MailHub/" + n), 'I'));
  }
  EXPECT_NE(all.find("0=elsewhere@far.test"), std::string::npos);
  EXPECT_NE(all.find("0=answers@far.test"), std::string::npos);
  EXPECT_NE(all.find("Subject: Re: question\r\n"), std::string::npos);
  EXPECT_NE(all.find("I am away."), std::string::npos);
  EXPECT_EQ(all.find("On vacation."), std::string::npos);
}

// Adds an account with an auto-reply file "reply.txt" and/or vacation on.
void AddResponder(DistributionFixture& f, const std::string& name, bool autoReply, bool vacation) {
  CAccount a;
  a.name = name;
  a.AddAlias(name + "@example.test");
  a.autoReply = autoReply;
  a.autoReplyFile = autoReply ? "reply.txt" : "";
  a.vacation = vacation;
  f.table.Accounts().push_back(a);
  f.accounts.Replace(f.table);
  ASSERT_EQ(platform::MakeDirectoryTree(f.home / ("MAILIN/" + name)), 0);
  ASSERT_EQ(platform::WriteFileAtomic(f.home / ("MAILIN/" + name + "/reply.txt"),
                                      "auto from " + name + "\r\n"),
            0);
  ASSERT_EQ(platform::WriteFileAtomic(f.home / ("MAILIN/" + name + "/vacation.txt"),
                                      "away: " + name + "\r\n"),
            0);
}

// RFC 3834: a reply is marked auto-replied, and a marked reply is never answered, so two
// responders exchange one message each and the queue empties; the same for vacations, and for
// an account that writes to itself.
TEST_F(DistributionFixture, RespondersNeverAnswerEachOtherOrThemselves) {
  AddResponder(*this, "ping", true, false);
  AddResponder(*this, "pong", true, false);
  AddResponder(*this, "sun", false, true);
  AddResponder(*this, "sea", false, true);
  AddResponder(*this, "echo", true, true);
  Inbound("pong@example.test", {"ping@example.test"}, "From: pong@example.test\r\nSubject: hi\r\n\r\nx\r\n");
  Inbound("sea@example.test", {"sun@example.test"},
          "From: sea@example.test\r\nSubject: hi\r\n\r\nx\r\n");
  Inbound("echo@example.test", {"echo@example.test"},
          "From: echo@example.test\r\nSubject: me\r\n\r\nx\r\n");
  for (int run = 0; run < 3; ++run) ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  ASSERT_EQ(Box("ping").size(), 1u);
  ASSERT_EQ(Box("pong").size(), 1u);
  EXPECT_NE(
      Box("pong")[0].find("Subject: Re: hi\r\nAuto-Submitted: auto-replied\r\n\r\nauto from ping"),
      std::string::npos);
  ASSERT_EQ(Box("sun").size(), 1u);
  ASSERT_EQ(Box("sea").size(), 1u);
  EXPECT_NE(Box("sea")[0].find("Auto-Submitted: auto-replied\r\n\r\naway: sun"), std::string::npos);
  EXPECT_EQ(Box("echo").size(), 1u);  // its own message, no answer to itself
  EXPECT_TRUE(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound).empty());
}

// The messages that get no automatic answer, each sent to an account with auto-reply and
// vacation; the last ones show that "Auto-Submitted: no" and an ordinary sender are answered.
TEST_F(DistributionFixture, AutomaticBulkListDaemonAndNullSendersGetNoReply) {
  AddResponder(*this, "away2", true, true);
  ctx.vacationDays = 1;
  struct Case {
    const char* sender;
    const char* header;
    size_t replies;
  } cases[] = {
      {"r1@far.test", "Auto-Submitted: auto-replied\r\n", 0},
      {"r2@far.test", "Auto-Submitted: auto-generated (report)\r\n", 0},
      {"r3@far.test", "AUTO-SUBMITTED:\r\n\tauto-notified\r\n", 0},  // folded, any case
      {"r4@far.test", "Precedence: bulk\r\n", 0},
      {"r5@far.test", "Precedence: JUNK\r\n", 0},
      {"r6@far.test", "Precedence: list\r\n", 0},
      {"r7@far.test", "List-Id: <news.far.test>\r\n", 0},
      {"r7a@far.test", "X-Loop: news@far.test\r\n", 0},  // a list's (or forwarder's) mark
      {"", "", 0},
      {"MAILER-DAEMON@far.test", "", 0},
      {"anonymous@varnel", "", 0},                   // the SMTP server's record of "MAIL FROM:<>"
      {"r8@far.test", "Auto-Submitted: no\r\n", 2},  // auto-reply and vacation
      {"r9@far.test", "Precedence: first-class\r\n", 2},
  };
  for (const Case& c : cases) {
    std::string from = std::string("From: ") + (*c.sender ? c.sender : "nobody@far.test") + "\r\n";
    Inbound(c.sender, {"away2@example.test"}, from + c.header + "Subject: q\r\n\r\nbody\r\n");
    size_t before = ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound).size();
    ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
    size_t replies =
        ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound).size() - before;
    EXPECT_EQ(replies, c.replies) << "sender '" << c.sender << "' header '" << c.header << "'";
  }
  EXPECT_EQ(Box("away2").size(), std::size(cases));  // every message itself is stored
}

// One vacation reply per address and account within the period: at N-1 seconds the memory still
// holds the address, at N it has expired. Another account keeps its own memory.
TEST_F(DistributionFixture, AVacationAnswersOneSenderOncePerPeriod) {
  AddResponder(*this, "beach", false, true);
  AddResponder(*this, "hills", false, true);
  std::time_t now = 1'800'000'000;
  ctx.clock = [&now] { return now; };
  ctx.vacationDays = 2;
  const std::time_t period = 2 * 86400;
  auto send = [&](const std::string& from, const std::string& to) {
    Inbound(from, {to}, "From: " + from + "\r\nSubject: v\r\n\r\nbody\r\n");
    size_t before = ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound).size();
    EXPECT_EQ(distributor.DistributeInbound(ctx), 0);
    return ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound).size() - before;
  };
  EXPECT_EQ(send("Ann@far.test", "beach@example.test"), 1u);
  EXPECT_EQ(send("ann@FAR.test", "beach@example.test"), 0u);  // the same address in another case
  EXPECT_EQ(send("bob@far.test", "beach@example.test"), 1u);
  EXPECT_EQ(send("ann@far.test", "hills@example.test"), 1u);  // another account
  now += period - 1;
  EXPECT_EQ(send("ann@far.test", "beach@example.test"), 0u);
  now += 1;
  EXPECT_EQ(send("ann@far.test", "beach@example.test"), 1u);
  EXPECT_EQ(send("ann@far.test", "beach@example.test"), 0u);
  std::string memory = Read(home / "MAILIN/beach/vacation.sent");
  EXPECT_EQ(memory, std::to_string(now) + " ann@far.test\r\n");  // bob's entry has expired
  EXPECT_EQ(Box("beach").size(), 6u);
  // A memory that cannot be written sends no reply (a reply that cannot be remembered could be
  // sent again and again).
  ASSERT_EQ(platform::RemoveFile(home / "MAILIN/hills/vacation.sent"), 0);
  ASSERT_EQ(platform::MakeDirectory(home / "MAILIN/hills/vacation.sent"), 0);
  EXPECT_EQ(send("carl@far.test", "hills@example.test"), 0u);
}

// Replies go to the mailbox address of the header, not to its literal text: a trailing comment,
// a display name, a group or a quoted local part must not make an invalid recipient. A local
// sender written with a comment is answered in her own mailbox; remote ones through the queue,
// whose envelope names the bare address; the vacation memory keeps the bare address too.
TEST_F(DistributionFixture, RepliesGoToTheAddressWithoutCommentsOrDisplayNames) {
  AddResponder(*this, "desk", true, true);
  ctx.vacationDays = 1;
  struct Case {
    const char* header;  // From: and Reply-To: lines of the message
    const char* to;      // where both replies must go
  } cases[] = {
      {"From: bbb@ddd.test (John X. Doe)\r\n", "bbb@ddd.test"},
      {"From: \"Doe, John\" <jd@ddd.test> (office)\r\n", "jd@ddd.test"},
      {"From: x@ddd.test\r\nReply-To: Team: (the team) team@ddd.test, other@ddd.test;\r\n",
       "team@ddd.test"},
      {"From: \"john q\"@ddd.test (quoted local part)\r\n", "\"john q\"@ddd.test"},
      {"From: (lead) first . last @ ddd.test\r\n", "first.last@ddd.test"},
  };
  auto outbound = [&] { return ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound); };
  for (const Case& c : cases) {
    size_t before = outbound().size();
    Inbound("envelope@far.test", {"desk@example.test"},
            std::string(c.header) + "Subject: q\r\n\r\nx\r\n");
    ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
    auto items = outbound();
    ASSERT_EQ(items.size(), before + 2) << c.header;  // auto-reply and vacation reply
    for (size_t i = before; i < items.size(); ++i) {
      std::string env = Read(ItemSibling(home / ("OUTQUEUE/MailHub/" + items[i]), 'I'));
      EXPECT_NE(env.find("\r\n0=" + std::string(c.to) + "\r\n"), std::string::npos) << env;
      std::string text = Read(home / ("OUTQUEUE/MailHub/" + items[i]));
      EXPECT_NE(text.find("\r\nTo: " + std::string(c.to) + "\r\n"), std::string::npos) << text;
    }
  }
  std::string memory = Read(home / "MAILIN/desk/vacation.sent");
  EXPECT_NE(memory.find(" bbb@ddd.test\r\n"), std::string::npos) << memory;
  EXPECT_EQ(memory.find('('), std::string::npos) << memory;

  // A local sender with a comment: both replies land in her mailbox, nothing goes outbound.
  size_t before = outbound().size();
  Inbound("alice@example.test", {"desk@example.test"},
          "From: alice@example.test (Alice A.)\r\nSubject: q\r\n\r\nx\r\n");
  for (int run = 0; run < 2; ++run) ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_EQ(outbound().size(), before);
  EXPECT_EQ(Box("alice").size(), 2u);
  // A daemon hidden behind a display name and a comment is still a daemon: no reply.
  Inbound("x@far.test", {"desk@example.test"},
          "From: Mail System <MAILER-DAEMON@far.test> (returned)\r\nSubject: q\r\n\r\nx\r\n");
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_EQ(outbound().size(), before);
}

// A moderator and a forward target written with a comment: the bounce reaches
// the moderator's mailbox and the forward the bare remote address.
TEST_F(DistributionFixture, ModeratorAndForwardTargetsMayCarryNamesAndComments) {
  table.Accounts()[3].moderator = "mod@example.test (list moderator)";
  table.Accounts()[6].forwardAddresses = "elsewhere@far.test(old-address)";
  accounts.Replace(table);
  Inbound("MAILER-DAEMON@far.test", {"news@example.test"},
          "From: x@far.test\r\nSubject: b\r\n\r\nx\r\n");
  Inbound("y@far.test", {"fwd@example.test"}, "From: y@far.test\r\nSubject: f\r\n\r\nx\r\n");
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_EQ(Box("mod").size(), 1u);
  auto out = ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Read(ItemSibling(home / ("OUTQUEUE/MailHub/" + out[0]), 'I')),
            "[FROM]\r\nFrom=y@far.test\r\n[TO]\r\nn=1\r\n0=elsewhere@far.test\r\n");
}

// An account that keeps a copy and forwards to a bad local address, a good local one and a
// remote one: one copy each, one outbound item; only the bad target stays queued and is tried
// at each run until it can be served, without anything else being done again.
TEST_F(DistributionFixture, OnlyTheFailedForwardTargetIsCarriedOver) {
  AddResponder(*this, "keeper", true, false);
  CAccountTable t = *accounts.Snapshot();
  CAccount* keeper = t.FindAccount("keeper");
  keeper->autoCopy = 1;
  keeper->forwardAddresses = "ghost@example.test, bob@example.test\tpat@partner.test";
  accounts.Replace(t);
  table = t;
  Inbound("s@far.test", {"keeper@example.test", "alice@example.test"},
          "From: s@far.test\r\nSubject: f\r\n\r\nx\r\n");
  for (int run = 0; run < 3; ++run) ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_EQ(Box("keeper").size(), 1u);
  EXPECT_EQ(Box("bob").size(), 1u);
  EXPECT_EQ(Box("alice").size(), 1u);
  EXPECT_TRUE(Box("master").empty());  // a bad forward target is no unknown recipient
  // One outbound item with the remote target, one auto-reply: made once.
  EXPECT_EQ(ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound).size(), 2u);
  auto items = ListCompleteItems(home / "INQUEUE", ItemKind::kInbound);
  ASSERT_EQ(items.size(), 1u);
  std::string env = Read(ItemSibling(home / ("INQUEUE/" + items[0]), 'R'));
  EXPECT_NE(env.find("[To]\r\nn=1\r\n0=keeper@example.test\r\n[Steps]\r\nn=1\r\n0=forward "
                     "ghost@example.test\r\n"),
            std::string::npos)
      << env;
  // Once the target exists, the next run serves it alone and the item leaves the queue.
  CAccount ghost;
  ghost.name = "ghost";
  ghost.AddAlias("ghost@example.test");
  t.Accounts().push_back(ghost);
  accounts.Replace(t);
  ASSERT_EQ(platform::MakeDirectoryTree(home / "MAILIN/ghost"), 0);
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_EQ(Box("ghost").size(), 1u);
  EXPECT_EQ(Box("keeper").size(), 1u);
  EXPECT_EQ(Box("bob").size(), 1u);
  EXPECT_EQ(ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound).size(), 2u);
  EXPECT_TRUE(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound).empty());
}

// A failed own copy is the only step carried over: the forward and the reply are not repeated,
// and the receipt comes once, with the copy.
TEST_F(DistributionFixture, AFailedOwnCopyIsRetriedAloneAndItsReceiptSentOnce) {
  AddResponder(*this, "shelf", true, false);
  CAccountTable t = *accounts.Snapshot();
  t.FindAccount("shelf")->autoCopy = 1;
  t.FindAccount("shelf")->forwardAddresses = "bob@example.test";
  accounts.Replace(t);
  // The mailbox directory is there for the reply file, but no message can be numbered in it.
  ASSERT_EQ(platform::MakeDirectoryTree(home / "MAILIN/shelf/useqf"), 0);
  CItemWriter w;
  ASSERT_EQ(w.Begin(home / "INQUEUE", ItemKind::kInbound), 0);
  ASSERT_EQ(w.Write("From: s@far.test\r\nSubject: r\r\n\r\nx\r\n"), 0);
  ASSERT_EQ(w.Commit("[From]\r\nFrom=s@far.test\r\nSubject=r\r\nReceipt=s@far.test\r\n[To]\r\nn="
                     "1\r\n0=shelf@example.test\r\n"),
            0);
  for (int run = 0; run < 2; ++run) ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_TRUE(Box("shelf").empty());
  EXPECT_EQ(Box("bob").size(), 1u);
  auto out = ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound);
  EXPECT_EQ(out.size(), 1u);  // the auto-reply; no receipt yet
  ASSERT_EQ(::rmdir((home / "MAILIN/shelf/useqf").c_str()), 0);
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_EQ(Box("shelf").size(), 1u);
  EXPECT_EQ(Box("bob").size(), 1u);
  out = ListCompleteItems(home / "OUTQUEUE/MailHub", ItemKind::kOutbound);
  ASSERT_EQ(out.size(), 2u);  // the reply and now the receipt
  std::string all;
  for (const std::string& n : out) all += Read(home / ("OUTQUEUE/MailHub/" + n));
  EXPECT_NE(all.find("Subject: Receipt notification"), std::string::npos);
  EXPECT_TRUE(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound).empty());
}

// Without a postmaster account the notice about an unknown recipient is logged and dropped; the
// message reaches its other recipients and leaves the queue, and nothing comes back.
TEST_F(DistributionFixture, WithoutAPostmasterANoticeIsLoggedAndDropped) {
  CAccountTable t = *accounts.Snapshot();
  t.Accounts().erase(t.Accounts().begin());  // master
  accounts.Replace(t);
  std::vector<std::string> logged;
  ctx.log = [&](const std::string& line) { logged.push_back(line); };
  Inbound("s@far.test", {"ghost@example.test", "alice@example.test", "master"},
          "Subject: n\r\n\r\nx\r\n");
  for (int run = 0; run < 3; ++run) ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_EQ(Box("alice").size(), 1u);
  EXPECT_TRUE(Box("master").empty());
  EXPECT_TRUE(platform::FindFiles(home / "INQUEUE", "*.tmp").empty());
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0],
            "Notice to the postmaster dropped (-1): [MAILER-DAEMON] Invalid local address "
            "[ghost@example.test]");
  EXPECT_EQ(
      logged[1],
      "Notice to the postmaster dropped (-1): [MAILER-DAEMON] Invalid local address [master]");
}

// A step left by an earlier run for an account that has gone since: the whole procedure, here
// the notice for an unknown recipient.
TEST_F(DistributionFixture, AStepForAnAccountThatHasGoneBecomesTheWholeProcedure) {
  CItemWriter w;
  ASSERT_EQ(w.Begin(home / "INQUEUE", ItemKind::kInbound), 0);
  ASSERT_EQ(w.Write("From: s@far.test\r\nSubject: g\r\n\r\nx\r\n"), 0);
  ASSERT_EQ(w.Commit("[From]\r\nFrom=s@far.test\r\n[To]\r\nn=2\r\n0=gone@example.test\r\n1=alice@"
                     "example.test\r\n"
                     "[Steps]\r\nn=2\r\n0=mailbox\r\n1=mailbox\r\n"),
            0);
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_EQ(Box("alice").size(), 1u);
  ASSERT_EQ(Box("master").size(), 1u);
  EXPECT_NE(Box("master")[0].find("Invalid local address [gone@example.test]"), std::string::npos);
  EXPECT_TRUE(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound).empty());
}

// A list's posts go out with the list address as envelope sender, so a remote server's delivery
// report about a member comes back to the list from the null sender, which the SMTP server
// records as anonymous@varnel: a bounce like one from a MAILER-DAEMON, it goes to the moderator
// and is not served as a post (which would answer the null sender).
TEST_F(DistributionFixture, AReportFromTheNullSenderToAListGoesToTheModerator) {
  Inbound("anonymous@varnel", {"news@example.test"},
          "From: Mail Delivery System <postmaster@far.test>\r\n"
          "Subject: Undelivered Mail Returned to Sender\r\n\r\nreport\r\n",
          "Undelivered Mail Returned to Sender");
  bool served = false;
  ctx.redistribute = [&](const std::string&, const CAccount&, const std::string&,
                         const std::string&) {
    served = true;
    return 0;
  };
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_FALSE(served);
  ASSERT_EQ(Box("mod").size(), 1u);
  EXPECT_NE(Box("mod")[0].find("report"), std::string::npos);
  EXPECT_TRUE(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound).empty());
  // An ordinary sender's mail is still served by the list.
  Inbound("s@far.test", {"news@example.test"}, "From: s@far.test\r\n\r\npost\r\n");
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_TRUE(served);
  EXPECT_EQ(Box("mod").size(), 1u);
}

TEST_F(DistributionFixture, ASecondBounceToTheSameListInARunIsDropped) {
  Inbound("MAILER-DAEMON@far.test", {"news@example.test"}, "From: d\r\n\r\none\r\n");
  Inbound("x@far.test", {"news@example.test"}, "From: d\r\n\r\ntwo\r\n", "Returned mail: User unknown");
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);
  EXPECT_EQ(Box("mod").size(), 1u);
  EXPECT_TRUE(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound).empty());
}

}  // namespace
}  // namespace store
