#include "store/list_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>
#include <tuple>

#include "platform/fs.h"
#include "platform/path.h"
#include "store/account_files.h"
#include "store/account_table.h"
#include "store/distribution.h"
#include "store/domain_table.h"
#include "store/envelope.h"
#include "store/list_token.h"
#include "store/queue_item.h"
#include "testing/temp_dir.h"

namespace store {
namespace {

using testing_support::CTempDir;

std::string Read(const std::string& path) {
  return testing_support::Read(platform::ResolvePath(path));
}

std::string Hex(const std::array<uint8_t, 32>& d) {
  static const char k[] = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) s += {k[b >> 4], k[b & 15]};
  return s;
}

TEST(ListToken, MacMatchesPublishedVectors) {
  // RFC 4231 test cases 2 and 6 (a key longer than the block is hashed first).
  std::array<uint8_t, 32> mac;
  ASSERT_TRUE(HmacSha256("Jefe", "what do ya want for nothing?", &mac));
  EXPECT_EQ(Hex(mac), "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  ASSERT_TRUE(HmacSha256(std::string(131, '\xaa'),
                         "Test Using Larger Than Block-Size Key - Hash Key First", &mac));
  EXPECT_EQ(Hex(mac), "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
}

TEST(ListToken, TokenBelongsToOneListOneAddressAndOneSecret) {
  std::string secret(32, 's');
  std::string t = ConfirmationToken(secret, "news@x.test", "Ann@Far.test");
  EXPECT_EQ(t.size(), kConfirmationTokenSize);
  EXPECT_EQ(t.find_first_not_of("0123456789abcdef"), std::string::npos);  // one word
  EXPECT_TRUE(CheckConfirmationToken(secret, "NEWS@x.test", "ann@far.test", t));
  std::string upper = t;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(CheckConfirmationToken(secret, "news@x.test", "ann@far.test", upper));
  EXPECT_FALSE(CheckConfirmationToken(secret, "other@x.test", "ann@far.test", t));
  EXPECT_FALSE(CheckConfirmationToken(secret, "news@x.test", "bob@far.test", t));
  EXPECT_FALSE(CheckConfirmationToken(std::string(32, 't'), "news@x.test", "ann@far.test", t));
  EXPECT_FALSE(CheckConfirmationToken(secret, "news@x.test", "ann@far.test", t.substr(0, 31)));
  EXPECT_FALSE(CheckConfirmationToken(secret, "news@x.test", "ann@far.test", t + "0"));
  // The old reversible scramble of the address is no token.
  EXPECT_FALSE(CheckConfirmationToken(secret, "news@x.test", "ann@far.test",
                                      ScramblePassword("ann@far.test")));
}

TEST(ListToken, SecretIsMadeOncePrivateAndNotTakenWhenShort) {
  CTempDir home;
  std::string a, b;
  ASSERT_EQ(ListSecret(home.path(), &a), 0);
  ASSERT_EQ(ListSecret(home.path(), &b), 0);
  EXPECT_EQ(a.size(), kListSecretSize);
  EXPECT_EQ(a, b);
  struct stat st {};
  ASSERT_EQ(::stat((home / kListSecretFile).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(platform::FindFiles(home.path(), "*.new").empty());
  CTempDir other;
  std::string c;
  ASSERT_EQ(ListSecret(other.path(), &c), 0);
  EXPECT_NE(a, c);  // random per home
  ASSERT_EQ(platform::WriteFileAtomic(other / kListSecretFile, std::string(31, 'x')), 0);
  EXPECT_EQ(ListSecret(other.path(), &c), -1);
}

TEST(ListToken, ConcurrentFirstUsesAgreeAndALeftoverOfADeadWriterIsNotTaken) {
  CTempDir home;
  // A process that died between writing its candidate and linking it into place.
  ASSERT_EQ(platform::WriteFileAtomic(home / (std::string(kListSecretFile) + ".1.new"),
                                      std::string(32, 'd')),
            0);
  std::string secrets[8];
  int results[8];
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < 8; ++i)
      threads.emplace_back([&, i] { results[i] = ListSecret(home.path(), &secrets[i]); });
  }
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(results[i], 0);
    EXPECT_EQ(secrets[i], secrets[0]);
  }
  EXPECT_NE(secrets[0], std::string(32, 'd'));
  EXPECT_EQ(Read(home / kListSecretFile), secrets[0]);
}

TEST(ListWords, QuotesEmptyWordsAndTheLimitOfTwenty) {
  EXPECT_EQ(SplitListWords("  subscribe  a@b \"Ann  Lee\" tok"),
            (std::vector<std::string>{"subscribe", "a@b", "Ann  Lee", "tok"}));
  EXPECT_EQ(SplitListWords("subscribe a@b \"\""),
            (std::vector<std::string>{"subscribe", "a@b", ""}));
  EXPECT_EQ(SplitListWords("x \"open"), (std::vector<std::string>{"x", "open"}));
  std::string line;
  for (int i = 0; i < 21; ++i) line += "w" + std::to_string(i) + " ";
  auto words = SplitListWords(line);
  ASSERT_EQ(words.size(), 20u);
  EXPECT_EQ(words.back(), "w19");
}

TEST(ListMembersFile, RoundTripKeepsOtherBlocksAndOneLinePerMember) {
  CTempDir home;
  std::string path = home / "MEMBERS.INI";
  ASSERT_EQ(
      platform::WriteFileAtomic(path, "[ALIAS]\r\nn=1\r\n0=*\tnews@x.test\r\n[END_ALIAS]\r\n"), 0);
  std::vector<MemberRecord> in = {{"Ann\tLee\r\nX", "ann@far.test", 0}, {"", "bob@far.test", 2}};
  ASSERT_EQ(WriteMembersFile(path, in), 0);
  std::string text = Read(path);
  EXPECT_NE(text.find("[ALIAS]\r\nn=1\r\n0=*\tnews@x.test\r\n[END_ALIAS]"), std::string::npos);
  EXPECT_NE(text.find("[MEMBERS]\r\nn=2\r\n0=Ann Lee  "
                      "X\tann@far.test\t0\r\n1=*\tbob@far.test\t2\r\n[END_MEMBERS]"),
            std::string::npos);
  std::vector<MemberRecord> out;
  ASSERT_EQ(ReadMembersFile(path, &out), 0);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].name, "Ann Lee  X");
  EXPECT_EQ(out[1].name, "");
  EXPECT_EQ(out[1].state, 2);
  ASSERT_EQ(ReadMembersFile(home / "NONE.INI", &out), 0);
  EXPECT_TRUE(out.empty());
}

struct ListFixture : ::testing::Test {
  ListFixture() {
    for (const char* d : {"INQUEUE", "MAILIN/news", "MAILIN/master", "MAILIN/mod", "MAILIN/alice",
                          "docs", "OUTQUEUE/MAILHUB"}) {
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
    news = account("news");
    news.AddAlias("news-request@example.test");
    news.isList = 1;
    news.listAddress = "news@example.test";
    news.moderator = "mod@example.test";
    news.listSubsConf = 1;
    news.docsPath = home / "docs";
    table.Accounts() = {account("master"), account("mod"), account("alice"), news};
    accounts.Replace(table);
    ctx.generated.home = home.path();
    ctx.generated.primaryDomain = "example.test";
    ctx.generated.product = "Varnel";
    ctx.generated.domains = &domains;
    ctx.generated.accounts = &accounts;
    ctx.daemonAddress = "MAILER-DAEMON@example.test";
  }
  // Distribution wired to the list server, as the program wires them.
  DistributionContext ListDistribution() {
    DistributionContext dctx;
    dctx.generated = ctx.generated;
    dctx.daemonAddress = ctx.daemonAddress;
    dctx.redistribute = [this](const std::string& m, const CAccount& l, const std::string& s,
                               const std::string& a) { return RedistributePost(ctx, m, l, s, a); };
    return dctx;
  }

  // A post "hi" from alice to the list news, waiting in INQUEUE.
  void QueuePostFromAlice() {
    CItemWriter w;
    ASSERT_EQ(w.Begin(home / "INQUEUE", ItemKind::kInbound), 0);
    ASSERT_EQ(w.Write("From: alice@example.test\r\nSubject: hi\r\n\r\nbody\r\n"), 0);
    ASSERT_EQ(
        w.Commit("[From]\r\nFrom=alice@example.test\r\n[To]\r\nn=1\r\n0=news@example.test\r\n"), 0);
  }

  void SetMembers(const std::vector<MemberRecord>& m) {
    ASSERT_EQ(WriteMembersFile(MembersPath(home.path(), "news"), m), 0);
  }
  std::vector<MemberRecord> Members() {
    std::vector<MemberRecord> m;
    EXPECT_EQ(ReadMembersFile(MembersPath(home.path(), "news"), &m), 0);
    return m;
  }
  std::string Message(const std::string& text) {
    std::string path = home / ("in" + std::to_string(++messages) + ".tmp");
    EXPECT_EQ(platform::WriteFileAtomic(path, text), 0);
    return path;
  }
  struct Item {
    std::string text;
    EnvelopeFields envelope;
  };
  // The items of INQUEUE (local recipients) and of the relay queue (remote ones), which are
  // then removed.
  std::vector<Item> TakeQueued() {
    std::vector<Item> out;
    for (auto [dir, kind, letter] :
         {std::tuple{std::string("INQUEUE"), ItemKind::kInbound, 'R'},
          std::tuple{std::string("OUTQUEUE/MAILHUB"), ItemKind::kOutbound, 'I'}}) {
      if (!platform::DirectoryExists(platform::ResolvePath(home / dir))) continue;
      for (const std::string& n : ListCompleteItems(platform::ResolvePath(home / dir), kind)) {
        Item it;
        std::string m = platform::ResolvePath(home / (dir + "/" + n));
        it.text = Read(m);
        EXPECT_EQ(ReadEnvelope(ItemSibling(m, letter), &it.envelope), 0);
        (void)platform::RemoveFile(ItemSibling(m, letter));
        (void)platform::RemoveFile(m);
        out.push_back(std::move(it));
      }
    }
    return out;
  }
  std::vector<std::string> Box(const std::string& account) {
    std::vector<std::string> texts;
    for (const std::string& n :
         ListCompleteItems(home / ("MAILIN/" + account), ItemKind::kMailbox)) {
      texts.push_back(Read(home / ("MAILIN/" + account + "/" + n)));
    }
    return texts;
  }
  int Post(const std::string& sender, const std::string& text,
           const std::string& to = "news@example.test") {
    return RedistributePost(ctx, Message(text), news, sender, to);
  }
  CTempDir home;
  CDomainTable domains;
  CAccountTable table;
  CAccountStore accounts;
  CAccount news;
  ListContext ctx;
  int messages = 0;
};

constexpr char kPost[] =
    "X-IStatus:00000000000000000003\r\nFrom: Ann Lee <ann@far.test>\r\nSender: "
    "someone@else.test\r\n"
    "Reply-To: ann@home.test\r\nSubject: Hello\r\n all\r\nTo: news@example.test\r\n\r\nline "
    "one\r\n\r\nline two\r\n";

TEST_F(ListFixture, PostGoesToActiveMembersWithTheHeaderRewritten) {
  SetMembers({{"Ann Lee", "ann@far.test", 0},
              {"", "bob@far.test", 0},
              {"", "pending@far.test", 2},
              {"", "news@example.test", 0}});
  ASSERT_EQ(Post("ann@far.test", kPost), 0);
  auto q = TakeQueued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].envelope.from, "news@example.test");
  // Not the pending registration, not the list itself.
  EXPECT_EQ(q[0].envelope.to, (std::vector<std::string>{"ann@far.test", "bob@far.test"}));
  EXPECT_EQ(q[0].text,
            "X-IStatus:00000000000000000003\r\nSender: Ann Lee <ann@far.test>\r\n"
            "From: \"ann@far.test via news@example.test\" <news@example.test>\r\n"
            "Subject:[List] Hello all\r\nTo: news@example.test\r\nX-Loop: news@example.test\r\n"
            "Reply-to: news@example.test\r\n\r\nAnn Lee at ann@far.test wrote:\r\n\r\nline "
            "one\r\n\r\nline two\r\n");
  auto archive = Box("news");
  ASSERT_EQ(archive.size(), 1u);
  EXPECT_EQ(archive[0], kPost);  // as received
  // The copy coming back through the list (a list among its own members) is not sent again.
  ASSERT_EQ(Post("ann@far.test", q[0].text), 0);
  EXPECT_TRUE(TakeQueued().empty());
}

TEST_F(ListFixture, ModeratedReadOnlyDiscardAndStrangers) {
  SetMembers({{"", "ann@far.test", 0}, {"", "bob@far.test", 0}, {"", "pending@far.test", 2}});
  news.moderated = 1;
  ASSERT_EQ(Post("ann@far.test", kPost), 0);
  auto q = TakeQueued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].envelope.to, std::vector<std::string>{"mod@example.test"});
  EXPECT_NE(q[0].text.find("\r\n\r\nann@far.test wrote:\r\n\r\n"),
            std::string::npos);                   // no display name
  ASSERT_EQ(Post("MOD@example.test", kPost), 0);  // the owner posts to all active members
  q = TakeQueued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].envelope.to, (std::vector<std::string>{"ann@far.test", "bob@far.test"}));

  news.moderated = 0;
  news.readOnly = 1;
  ASSERT_EQ(Post("ann@far.test", kPost), 0);
  q = TakeQueued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].envelope.to, std::vector<std::string>{"ann@far.test"});
  EXPECT_NE(q[0].text.find("Subject: [List] Error. Undelivered message"), std::string::npos);
  EXPECT_NE(
      q[0].text.find(
          "Sorry. You cannot send a message to \"news@example.test\". \r\nThis mailing list is "
          "read-only."),
      std::string::npos);
  EXPECT_NE(q[0].text.find("From: MAILER-DAEMON@example.test"), std::string::npos);
  EXPECT_EQ(Box("news").size(), 3u);  // every post archived, the refused one too

  news.discard = 1;
  news.readOnly = 0;
  for (const char* stranger : {"eve@far.test", "pending@far.test"}) {
    ASSERT_EQ(Post(stranger, kPost), 0);
    q = TakeQueued();
    ASSERT_EQ(q.size(), 1u) << stranger;
    EXPECT_NE(q[0].text.find("Sorry. You are not member of this list (news@example.test)."),
              std::string::npos);
  }
  EXPECT_EQ(Box("news").size(), 3u);  // discarded: no archive copy
  // Bounces and a sender that is no plain address are not answered.
  ASSERT_EQ(Post("MAILER-DAEMON@far.test", kPost), 0);
  ASSERT_EQ(Post("a@b\r\nBcc: x@y", kPost), 0);
  ASSERT_EQ(Post("", kPost), 0);
  EXPECT_TRUE(TakeQueued().empty());
}

TEST_F(ListFixture, SubscriptionWithConfirmationRoundTrip) {
  // The same address as the sender: active at once.
  ASSERT_EQ(Post("ann@far.test", "Subject: x\r\n\r\nsubscribe ann@far.test \"Ann Lee\"\r\n",
                 "news-request@example.test"),
            0);
  ASSERT_EQ(Members().size(), 1u);
  EXPECT_EQ(Members()[0].state, 0);
  auto q = TakeQueued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].text.find("Subject: [List] Subscription"), std::string::npos);
  EXPECT_NE(
      q[0].text.find(
          "The address \"ann@far.test\" of \"Ann Lee\" has been added to \r\nthe subscription"),
      std::string::npos);
  // Another address: waiting, with a confirmation request to that address.
  ASSERT_EQ(
      Post("ann@far.test", "Subject: x\r\n\r\nsubscribe bob@far.test \"Bob\"\r\n\r\nsignature\r\n",
           "news-request@example.test"),
      0);
  ASSERT_EQ(Members().size(), 2u);
  EXPECT_EQ(Members()[1].state, 2);
  q = TakeQueued();
  ASSERT_EQ(q.size(), 1u);  // the signature after the empty line is no command
  EXPECT_EQ(q[0].envelope.to, std::vector<std::string>{"bob@far.test"});
  EXPECT_EQ(q[0].envelope.from, "news-request@example.test");
  EXPECT_NE(q[0].text.find("Subject: Please confirm your subscription"), std::string::npos);
  size_t body = q[0].text.find("\r\n\r\n") + 4;
  size_t first = q[0].text.find("\r\n", body);
  EXPECT_EQ(q[0].text.substr(body, first - body), "confirm-subscription bob@far.test \"Bob\"");
  std::string token = q[0].text.substr(first + 2, kConfirmationTokenSize);
  std::string secret;
  ASSERT_EQ(ListSecret(home.path(), &secret), 0);
  EXPECT_TRUE(CheckConfirmationToken(secret, "news@example.test", "bob@far.test", token));
  // A forged confirmation (the address's old scramble) is refused and takes the waiting entry off.
  ASSERT_EQ(Post("bob@far.test",
                 "Subject: Re\r\n\r\n> confirm-subscription bob@far.test \"Bob\"\r\n> " +
                     ScramblePassword("bob@far.test") + "\r\n",
                 "news-request@example.test"),
            0);
  ASSERT_EQ(Members().size(), 1u);
  q = TakeQueued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].text.find("Confirmation syntax error: Please retry."), std::string::npos);
  // The reply quoted with "> ", attribution line removed as the usage asks: active.
  ASSERT_EQ(Post("ann@far.test", "Subject: x\r\n\r\nsubscribe bob@far.test \"Bob\"\r\n",
                 "news-request@example.test"),
            0);
  TakeQueued();
  ASSERT_EQ(Post("bob@far.test",
                 "Subject: Re\r\n\r\n> confirm-subscription bob@far.test \"Bob\"\r\n>" + token +
                     "\r\n>\r\n> => Please CONFIRM YOUR SUBSCRIPTION to get it active.\r\n",
                 "news-request@example.test"),
            0);
  ASSERT_EQ(Members().size(), 2u);
  EXPECT_EQ(Members()[1].address, "bob@far.test");
  EXPECT_EQ(Members()[1].name, "Bob");
  EXPECT_EQ(Members()[1].state, 0);
  q = TakeQueued();
  ASSERT_EQ(q.size(),
            1u);  // "[List] Subscription", nothing for the quoted text after the empty line
  EXPECT_NE(q[0].text.find("Subject: [List] Subscription"), std::string::npos);
  // A wrong token for an active member leaves it active; a stranger's subscribe of it too.
  ASSERT_EQ(
      Post("eve@far.test", "Subject: x\r\n\r\nconfirm-subscription bob@far.test \"B\"\r\n0000\r\n",
           "news-request@example.test"),
      0);
  ASSERT_EQ(Post("eve@far.test", "Subject: x\r\n\r\nsubscribe bob@far.test \"B\"\r\n",
                 "news-request@example.test"),
            0);
  ASSERT_EQ(Members().size(), 2u);
  EXPECT_EQ(Members()[1].state, 0);
  EXPECT_EQ(Members()[1].name, "Bob");
}

TEST_F(ListFixture, TheSubscribeAddressSubscribesItsSender) {
  ASSERT_EQ(Post("Dan@Far.test", "Subject: anything\r\n\r\nunsubscribe me\r\n",
                 "news-subscribe@example.test"),
            0);
  auto m = Members();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].address, "Dan@Far.test");
  EXPECT_EQ(m[0].state, 0);
  auto q = TakeQueued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].text.find("Subject: [List] Subscription"), std::string::npos);
  EXPECT_EQ(q[0].envelope.to, std::vector<std::string>{"Dan@Far.test"});
  // "register" is "subscribe"; the same address again replaces the entry, never doubles it.
  ASSERT_EQ(Post("dan@far.test", "Subject: x\r\n\r\nregister dan@far.test \"Dan\"\r\n",
                 "news-request@example.test"),
            0);
  m = Members();
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].name, "Dan");
}

TEST_F(ListFixture, UnsubscribeSyntaxErrorsAndRefusedCommands) {
  SetMembers({{"", "ann@far.test", 0}, {"", "bob@far.test", 0}});
  auto request = [&](const std::string& sender, const std::string& body) {
    EXPECT_EQ(Post(sender, "Subject: x\r\n\r\n" + body, "news-request@example.test"), 0);
    return TakeQueued();
  };
  // Someone else's address needs the owner (or the token); the owner may.
  auto q = request("eve@far.test", "unsubscribe bob@far.test\r\n");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].text.find("Subject: [List] Error. Unprocessed command"), std::string::npos);
  EXPECT_EQ(Members().size(), 2u);
  q = request("bob@far.test", "unsubscribe bob@far.test\r\n");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].envelope.to, std::vector<std::string>{"bob@far.test"});
  EXPECT_NE(q[0].text.find(
                "The address \"bob@far.test\" has been removed \r\nfrom the subscription list of "
                "\"news@example.test\""),
            std::string::npos);
  ASSERT_EQ(Members().size(), 1u);
  q = request("mod@example.test", "UNREGISTER ann@far.test\r\n");
  EXPECT_TRUE(Members().empty());
  // Five words: the syntax error with an example.
  q = request("ann@far.test", "subscribe ann@far.test \"A\" tok extra\r\n");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].text.find("Syntax error:\r\n\r\nThe address \"ann@far.test\" has not been added"),
            std::string::npos);
  EXPECT_NE(q[0].text.find("\"Your Name\"] is the correct syntax."), std::string::npos);
  // Commands are not open to everybody: refused by name, the list's owner named.
  q = request("ann@far.test", "listmembers\r\n");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].text.find(
                "Sorry. You cannot send the command [listmembers]\r\nto \"news@example.test\".\r\n"
                "Please contact mod@example.test..."),
            std::string::npos);
  // A message of bad lines gets a bounded number of answers.
  std::string junk;
  for (int i = 0; i < 50; ++i) junk += "subscribe\r\n";
  q = request("ann@far.test", junk);
  EXPECT_EQ(q.size(), 5u);
  // In a MIME message a failing line skips the rest of its part, without an answer; a refused
  // one is answered and skips its part too.
  ASSERT_EQ(
      Post("ann@far.test",
           "Subject: x\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n"
           "preamble text\r\n--b1\r\nContent-Type: text/plain\r\n\r\nhello there\r\nsubscribe "
           "x@far.test\r\n"
           "--b1\r\nContent-Type: text/plain\r\n\r\nsubscribe ann@far.test \"Ann\"\r\n--b1--\r\n",
           "news-request@example.test"),
      0);
  q = TakeQueued();
  ASSERT_EQ(q.size(),
            3u);  // two refusals (preamble, first part), then the second part's subscription
  int refused = 0, added = 0;
  for (const Item& it : q) {
    EXPECT_EQ(it.envelope.to, std::vector<std::string>{"ann@far.test"});  // none to x@far.test
    refused += it.text.find("You cannot send the command [") != std::string::npos;
    added += it.text.find("\"ann@far.test\" of \"Ann\" has been added") != std::string::npos;
  }
  EXPECT_EQ(refused, 2);
  EXPECT_EQ(added, 1);
  ASSERT_EQ(Members().size(), 1u);
  // With commands open to everybody, failing lines of a MIME part are skipped without an answer.
  news.listSubsCmd = 1;
  ASSERT_EQ(Post("bob@far.test",
                 "Subject: x\r\nContent-Type: multipart/mixed; boundary=b2\r\n\r\n"
                 "preamble\r\n--b2\r\nContent-Type: text/plain\r\n\r\nhi\r\nsubscribe "
                 "x@far.test\r\n--b2--\r\n",
                 "news-request@example.test"),
            0);
  EXPECT_TRUE(TakeQueued().empty());
  ASSERT_EQ(Members().size(), 1u);
}

// Every served command of a request message makes a message (a confirmation request to the
// address named, a file, a syntax answer): one message serves at most twenty, so that a request of
// many lines does not turn into as many messages to the sender or to addresses it names.
TEST_F(ListFixture, ARequestMessageIsServedForABoundedNumberOfCommands) {
  auto request = [&](int lines, const std::string& first) {
    std::string body;
    for (int i = 0; i < lines; ++i) {
      body += "subscribe " + first + std::to_string(i) + "@far.test \"U\"\r\n";
    }
    EXPECT_EQ(Post("eve@far.test", "Subject: x\r\n\r\n" + body, "news-request@example.test"), 0);
    return TakeQueued();
  };
  auto q = request(20, "u");
  EXPECT_EQ(q.size(), 20u);
  EXPECT_EQ(Members().size(), 20u);
  q = request(21, "v");
  ASSERT_EQ(q.size(), 20u);
  for (const Item& it : q) {
    EXPECT_NE(it.text.find("Subject: Please confirm your subscription"), std::string::npos);
    EXPECT_NE(it.envelope.to[0], "v20@far.test");
  }
  EXPECT_EQ(Members().size(), 40u);  // the 21st line was not served
  // Syntax answers count the same: five words get an answer each, and no more than twenty.
  std::string body;
  for (int i = 0; i < 30; ++i) body += "subscribe a@far.test b c d\r\n";
  ASSERT_EQ(Post("eve@far.test", "Subject: x\r\n\r\n" + body, "news-request@example.test"), 0);
  EXPECT_EQ(TakeQueued().size(), 20u);
}

TEST_F(ListFixture, FilesByMailStayInsideTheDocumentsPath) {
  SetMembers({{"", "ann@far.test", 0}});
  news.hasFiles = 1;
  news.listSubsCmd = 1;
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  ASSERT_EQ(platform::WriteFileAtomic(home / "docs/data.bin", bytes), 0);
  ASSERT_EQ(platform::WriteFileAtomic(home / "secret.txt", "not for you\r\n"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(home / "getfile.msg", "no such document\r\n"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(home / "eaccess.msg", "members only\r\n"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(home / "docs/list.ini", "data.bin\r\n"), 0);
  auto request = [&](const std::string& sender, const std::string& body) {
    EXPECT_EQ(Post(sender, "Subject: x\r\n\r\n" + body, "news-request@example.test"), 0);
    return TakeQueued();
  };
  auto q = request("ann@far.test", "getfile data.bin mine.txt qp\r\n");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].envelope.from, "news-request@example.test");
  EXPECT_NE(q[0].text.find("Subject: [Mail Server] document download"), std::string::npos);
  EXPECT_NE(q[0].text.find("filename=mine.txt\r\nContent-Transfer-Encoding:Quoted-Printable"),
            std::string::npos);
  for (const char* bad : {"getfile ../secret.txt s.txt\r\n", "getfile ..\\secret.txt s.txt\r\n",
                          "getfile sub/secret.txt s.txt\r\n", "getfile data.bin\r\n"}) {
    q = request("ann@far.test", bad);
    ASSERT_EQ(q.size(), 1u) << bad;
    EXPECT_NE(q[0].text.find("Unprocessed command"), std::string::npos) << bad;
    EXPECT_EQ(q[0].text.find("not for you"), std::string::npos) << bad;
  }
  q = request("ann@far.test", "getfile none.bin n.bin\r\n");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].text.find("Subject: [Mail Server] document (none.bin) not found"),
            std::string::npos);
  EXPECT_NE(q[0].text.find("no such document"), std::string::npos);
  // The documents path's own text wins over the home directory's.
  ASSERT_EQ(platform::WriteFileAtomic(home / "docs/getfile.msg", "ask the owner\r\n"), 0);
  q = request("ann@far.test", "getfile none.bin n.bin\r\n");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].text.find("ask the owner"), std::string::npos);
  EXPECT_EQ(q[0].text.find("no such document"), std::string::npos);
  // An attachment name that would change the header is replaced by the file's name.
  q = request("ann@far.test", "getfile data.bin \"x;y\" ascii\r\n");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].text.find("filename=data.bin\r\n"), std::string::npos);
  q = request("ann@far.test", "listfiles\r\n");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].text.find("Subject: [Mail Server] List of files"), std::string::npos);
  // Not a member and no public files: the access text.
  q = request("eve@far.test", "getfile data.bin d.bin\r\n");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].text.find("members only"), std::string::npos);
  // The help text is missing: the command fails.
  q = request("ann@far.test", "help\r\n");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_NE(q[0].text.find("Unprocessed command"), std::string::npos);
  // listmembers goes to the owner, as a Base64 attachment "members.txt".
  q = request("ann@far.test", "listmembers\r\n");
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].envelope.to, std::vector<std::string>{"mod@example.test"});
  EXPECT_NE(q[0].text.find("Subject: [Mail Server] listmembers issued by <ann@far.test>"),
            std::string::npos);
  EXPECT_NE(q[0].text.find("filename=members.txt\r\nContent-Transfer-Encoding:Base64"),
            std::string::npos);
}

TEST_F(ListFixture, ListsThatSubscribeTheirPosters) {
  news.subscribeSender = 1;
  news.readOnly = 1;
  news.autoReply = 1;
  news.autoReplyFile = "welcome.txt";
  ASSERT_EQ(platform::WriteFileAtomic(home / "MAILIN/news/welcome.txt", "Welcome aboard\r\n"), 0);
  ASSERT_EQ(Post("carl@far.test", kPost), 0);
  ASSERT_EQ(Members().size(), 1u);
  EXPECT_EQ(Members()[0].state, 0);
  auto q = TakeQueued();
  ASSERT_EQ(q.size(), 1u);  // the welcome file only, no confirmation
  EXPECT_NE(q[0].text.find("Subject: Welcome"), std::string::npos);
  EXPECT_NE(q[0].text.find("From: news@example.test"), std::string::npos);
  // A member's mail is dropped; the owner's goes out under the owner's name.
  ASSERT_EQ(Post("carl@far.test", kPost), 0);
  EXPECT_TRUE(TakeQueued().empty());
  ASSERT_EQ(Post("mod@example.test", kPost), 0);
  q = TakeQueued();
  ASSERT_EQ(q.size(), 1u);
  EXPECT_EQ(q[0].envelope.to, std::vector<std::string>{"carl@far.test"});
  EXPECT_NE(q[0].text.find("\r\nFrom:mod@example.test\r\n"), std::string::npos);
  EXPECT_NE(q[0].text.find("\r\nReply-to: mod@example.test\r\n\r\n"), std::string::npos);
}

TEST_F(ListFixture, DistributionHandsListMailOverWithoutAnsweringIt) {
  SetMembers({{"", "alice@example.test", 0}});
  CAccountTable t = table;
  CAccount* list = t.FindAccount("news");
  list->autoReply = 1;  // the welcome text; not an answer to every post
  list->autoReplyFile = "welcome.txt";
  accounts.Replace(t);
  ASSERT_EQ(platform::WriteFileAtomic(home / "MAILIN/news/welcome.txt", "Welcome\r\n"), 0);
  DistributionContext dctx = ListDistribution();
  QueuePostFromAlice();
  CDistributor distributor;
  ASSERT_EQ(distributor.DistributeInbound(dctx), 0);
  auto alice = Box("alice");
  ASSERT_EQ(alice.size(), 1u);  // the post, and no welcome text
  EXPECT_NE(alice[0].find("Subject:[List] hi"), std::string::npos);
  EXPECT_EQ(Box("news").size(), 1u);  // the archive copy
}

// A member with auto-reply and vacation gets the post and answers nothing: the post carries the
// list's X-Loop, and an answer would go to its Reply-to, the whole list, where another responder
// could answer it again.
TEST_F(ListFixture, AMembersResponderDoesNotAnswerAPostToTheWholeList) {
  CAccountTable t = table;
  CAccount away;
  away.name = "away";
  away.AddAlias("away@example.test");
  away.autoReply = 1;
  away.autoReplyFile = "reply.txt";
  away.vacation = 1;
  t.Accounts().push_back(away);
  accounts.Replace(t);
  ASSERT_EQ(platform::MakeDirectoryTree(home / "MAILIN/away"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(home / "MAILIN/away/reply.txt", "auto from away\r\n"), 0);
  ASSERT_EQ(platform::WriteFileAtomic(home / "MAILIN/away/vacation.txt", "away: on leave\r\n"), 0);
  SetMembers({{"", "alice@example.test", 0}, {"", "away@example.test", 0}});
  DistributionContext dctx = ListDistribution();
  QueuePostFromAlice();
  CDistributor distributor;
  for (int run = 0; run < 3; ++run) ASSERT_EQ(distributor.DistributeInbound(dctx), 0);
  auto alice = Box("alice");
  auto box = Box("away");
  ASSERT_EQ(alice.size(), 1u);  // the post only
  ASSERT_EQ(box.size(), 1u);
  EXPECT_NE(box[0].find("X-Loop: news@example.test"), std::string::npos);
  EXPECT_EQ(Box("news").size(), 1u);  // the archive copy of the post, no answer to it
  EXPECT_TRUE(ListCompleteItems(home / "INQUEUE", ItemKind::kInbound).empty());
}

TEST_F(ListFixture, CommandQueueSubscriptionAndPendingRegistrations) {
  ASSERT_EQ(SubscribeByOwner(ctx, "news", "zed@far.test", "Zed \"Z\""), 0);
  ASSERT_EQ(SubscribeByOwner(ctx, "news@example.test", "yan@far.test", ""), 0);
  EXPECT_EQ(SubscribeByOwner(ctx, "alice", "x@far.test", ""), -1);  // no list
  EXPECT_EQ(SubscribeByOwner(ctx, "news", "not an address", ""), -1);
  auto m = Members();
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].name, "Zed Z");
  EXPECT_EQ(m[0].state, 0);
  EXPECT_TRUE(TakeQueued().empty());  // no confirmation mail for the owner's own subscription
  EXPECT_EQ(UnsubscribeByOwner(ctx, "news", "ZED@far.test"), 0);
  EXPECT_EQ(UnsubscribeByOwner(ctx, "news", "zed@far.test"), -1);
  EXPECT_EQ(Members().size(), 1u);
  SetMembers({{"", "a@far.test", 2}, {"", "b@far.test", 0}, {"", "c@far.test", 2}});
  EXPECT_EQ(DeletePendingMembers(home.path(), "news"), 2);
  ASSERT_EQ(Members().size(), 1u);
  EXPECT_EQ(Members()[0].address, "b@far.test");
  EXPECT_EQ(DeletePendingMembers(home.path(), "news"), 0);
  // A save of the account table takes the members from the files.
  CAccountTable t = table;
  RefreshListMembers(home.path(), &t);
  ASSERT_EQ(t.FindAccount("news")->members.size(), 1u);
  EXPECT_EQ(t.FindAccount("news")->members[0].address, "b@far.test");
}

TEST_F(ListFixture, ConsoleChecksOfTheListOptions) {
  auto snapshot = domains.Snapshot();
  auto check = [&](CAccount a) {
    std::string message;
    return ValidateListOptions(&a, *snapshot, table, "example.test", &message) == 0
               ? std::string("ok")
               : message;
  };
  CAccount a = news;
  EXPECT_EQ(check(a), "ok");
  a.subscribeSender = 1;
  a.moderated = 1;
  EXPECT_EQ(check(a), "An auto-subscribe list must not be moderated (and must be Read-only)...");
  a.moderated = 0;
  EXPECT_EQ(check(a), "An auto-subscribe list must be Read-only (and must not be moderated)...");
  a.readOnly = 1;
  EXPECT_EQ(check(a), "ok");
  a.listAddress = "news";
  EXPECT_EQ(check(a), "The mailing list must have a valid Email address");
  a.listAddress = "news@example.test";
  a.moderator = "";
  EXPECT_EQ(check(a), "The mailing list must have an owner");
  a.moderator = "   ";
  EXPECT_EQ(check(a), "You must enter a valid Email address for the Owner of the list");
  a.moderator = "nobody";
  EXPECT_EQ(check(a), "Invalid Moderator address (does not exist in the Address/Alias list)");
  a.moderator = "boss@far.test";  // not a local domain: not checked
  EXPECT_EQ(check(a), "ok");
  CAccount b = news;
  b.moderator = "mod";
  std::string message;
  ASSERT_EQ(ValidateListOptions(&b, *snapshot, table, "example.test", &message), 0);
  EXPECT_EQ(b.moderator, "mod@example.test");
}

}  // namespace
}  // namespace store
