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

TEST_F(DistributionFixture, TwoAutoReplyingAccountsDoNotKeepARunGoing) {
  for (const char* name : {"ping", "pong"}) {
    CAccount a;
    a.name = name;
    a.AddAlias(std::string(name) + "@example.test");
    a.autoReply = 1;
    a.autoReplyFile = "reply.txt";
    table.Accounts().push_back(a);
    ASSERT_EQ(platform::MakeDirectoryTree(home / ("MAILIN/" + std::string(name))), 0);
    ASSERT_EQ(platform::WriteFileAtomic(home / ("MAILIN/" + std::string(name) + "/reply.txt"), "auto\r\n"), 0);
  }
  accounts.Replace(table);
  Inbound("pong@example.test", {"ping@example.test"}, "From: pong@example.test\r\nSubject: hi\r\n\r\nx\r\n");
  ASSERT_EQ(distributor.DistributeInbound(ctx), 0);  // returns: four passes at most
  EXPECT_EQ(Box("ping").size() + Box("pong").size(), 4u);
  EXPECT_EQ(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound).size(), 1u);  // for the next run
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
