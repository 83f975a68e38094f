#include <gtest/gtest.h>

#include <random>

#include "core/message_sink.h"
#include "platform/fs.h"
#include "platform/lock_file.h"
#include "platform/path.h"
#include "store/account_files.h"
#include "store/account_table.h"
#include "testing/temp_dir.h"

namespace store {
namespace {

using testing_support::CTempDir;

using testing_support::Read;

struct AccountsFixture : ::testing::Test {
  AccountsFixture() : sink(home / "message.log", nullptr), files(home.path(), sink) {
    files.SetDomain("example.test");
  }
  void Write(const std::string& name, const std::string& text) {
    std::string path = home / name;
    ASSERT_EQ(platform::MakeDirectoryTree(platform::DirName(path)), 0);
    ASSERT_EQ(platform::WriteFileAtomic(path, text), 0);
  }
  CTempDir home;
  core::CMessageSink sink;
  CAccountFiles files;
};

TEST(PasswordTest, ScrambleRoundTripsAndReadsTheOlderForm) {
  for (std::string pw : {"", "secret", "p@ss w0rd!", "\x01\xff"}) {
    for (int r : {0, 0x5A, 0xFF}) {
      std::string s = ScramblePassword(pw, static_cast<unsigned char>(r));
      EXPECT_EQ(s[0], '2');
      EXPECT_EQ(s.size(), 3 + 2 * pw.size());
      EXPECT_EQ(s.find_first_not_of("2ABCDEFGHIJKLMNOP"), std::string::npos);
      EXPECT_EQ(UnscramblePassword(s), pw);
    }
  }
  EXPECT_NE(ScramblePassword("same", 1), ScramblePassword("same", 2));
  // Format "1": the position keys alone ("a" at position 0: 'a' ^ 0x5A ^ 0x33 = 0x08 -> "AI").
  EXPECT_EQ(UnscramblePassword("1AI"), "a");
}

TEST_F(AccountsFixture, MailboxCfgGivesVacationAndTypeAndIgnoresCaseDuplicates) {
  Write("mailbox.cfg",
        "# accounts\r\nannounce:*:1:1:0:0:0:0:0:0\r\nbob:*:0\r\nBOB:*:1\r\n:bad\r\nnocolon\r\n");
  CAccountTable table;
  ASSERT_EQ(files.Load(&table), 0);
  const CAccount* list = table.FindAccount("announce");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->vacation, 1);
  EXPECT_EQ(list->type, kAccountList);
  EXPECT_EQ(list->isList, 1);
  const CAccount* bob = table.FindAccount("Bob");
  ASSERT_NE(bob, nullptr);
  EXPECT_EQ(bob->name, "bob");
  EXPECT_EQ(bob->vacation, 0);
  EXPECT_EQ(bob->type, kAccountOrdinary);
  EXPECT_NE(table.FindAccount(kDefaultAccount), nullptr);  // created at load
  EXPECT_EQ(table.Accounts().size(), 3u);
  EXPECT_TRUE(platform::DirectoryExists(home / "MAILIN/bob"));
  EXPECT_TRUE(platform::FileExists(home / "MAILIN/$default/MAILBOX.INI"));
}

TEST_F(AccountsFixture, FlatFilesFillWhatTheAccountFilesLack) {
  Write("passwd", "master:::::master\r\nalice:::::alice\r\ncarol:::::carol\r\n");
  Write("forward.cfg", "#Version=300\r\nalice\t1\t1\t0\talice@elsewhere.test\r\n"
                       "carol\t0\t1\t0\t*\r\n");
  Write("reply.cfg", "#Version=300\r\ncarol\t1\t*\r\nalice\t1\taway.txt\r\n");
  Write("aliases", "#Version=300\r\n\r\nal@example.test:\talice\r\n\r\nal:\talice\r\n"
                   "nobody@example.test:\tghost\r\n");
  CAccountTable table;
  ASSERT_EQ(files.Load(&table), 0);
  const CAccount* alice = table.FindAccount("alice");
  ASSERT_NE(alice, nullptr);
  EXPECT_EQ(alice->autoCopy, 1);  // copy wins over forward
  EXPECT_EQ(alice->autoForward, 0);
  EXPECT_EQ(alice->forwardAddresses, "alice@elsewhere.test");
  EXPECT_EQ(alice->autoReply, 1);
  EXPECT_EQ(alice->autoReplyFile, "away.txt");
  ASSERT_EQ(alice->aliases.size(), 1u);  // the line without "@" is not read
  EXPECT_EQ(alice->aliases[0].local, "al");
  const CAccount* carol = table.FindAccount("carol");
  EXPECT_EQ(carol->autoForward, 0);  // "*" clears both flags
  EXPECT_EQ(carol->autoReply, 0);    // file "*" clears the flag
  const CAccount* master = table.FindAccount("master");
  ASSERT_EQ(master->aliases.size(), 3u);
  EXPECT_EQ(master->aliases[1].local, "Postmaster");
  EXPECT_EQ(master->aliases[2].domain, "example.test");

  // Everything was saved in the current form; forward.cfg is gone; passwd became mailbox.cfg.
  EXPECT_FALSE(platform::FileExists(home / "forward.cfg"));
  EXPECT_EQ(Read(home / "mailbox.cfg").substr(0, 26), "master:*:0:0:0:0:0:0:0:0\r\n");
  EXPECT_NE(Read(home / "redirect.cfg").find("alice\t1\t0\t0\talice@elsewhere.test\r\n"),
            std::string::npos);
  // A second load reads the account files alone and gives the same table.
  CAccountTable again;
  ASSERT_EQ(files.Load(&again), 0);
  EXPECT_EQ(again.FindAccount("alice")->forwardAddresses, "alice@elsewhere.test");
  EXPECT_EQ(again.FindAccount("master")->aliases.size(), 3u);
  EXPECT_EQ(again.FindAccount("alice")->aliases.size(), 1u);
}

TEST_F(AccountsFixture, ListFileSubscribeSenderForcesReadOnlyAndUnmoderated) {
  Write("mailbox.cfg", "news:*:0:1:0:0:0:0:0:0\r\n");
  Write("list.cfg", "#Version=300\r\nnews\t1\t1\tmod@example.test\t0\t1\t0\r\n");
  CAccountTable table;
  ASSERT_EQ(files.Load(&table), 0);
  const CAccount* news = table.FindAccount("news");
  EXPECT_EQ(news->isList, 1);
  EXPECT_EQ(news->moderator, "mod@example.test");
  EXPECT_EQ(news->subscribeSender, 1);
  EXPECT_EQ(news->moderated, 0);
  EXPECT_EQ(news->readOnly, 1);
}

TEST_F(AccountsFixture, OldOptionsSectionMovesIntoMailboxIni) {
  Write("mailbox.cfg", "news:*:0:1\r\n");
  Write("MAILIN/news/MEMBERS.INI",
        "[options]\r\n0=3\r\n1=news@example.test\r\n2=/docs\r\n3=1\r\n4=1\r\n"
        "[MEMBERS]\r\nn=1\r\n0=Ann\tann@example.test\t2\r\n[END_MEMBERS]\r\n");
  CAccountTable table;
  ASSERT_EQ(files.Load(&table), 0);
  const CAccount* news = table.FindAccount("news");
  EXPECT_EQ(news->listSubsCmd, 3);
  EXPECT_EQ(news->listAddress, "news@example.test");
  EXPECT_EQ(news->publicFiles, 1);
  ASSERT_EQ(news->members.size(), 1u);
  EXPECT_EQ(news->members[0].state, 2);
  ASSERT_EQ(files.Save(table, true), 0);
  std::string members = Read(home / "MAILIN/news/MEMBERS.INI");
  EXPECT_EQ(members.find("[options]"), std::string::npos);
  EXPECT_NE(Read(home / "MAILIN/news/MAILBOX.INI").find("MailListAddress=news@example.test"),
            std::string::npos);
  EXPECT_NE(members.find("[MEMBERS]\r\nn=1\r\n0=Ann\tann@example.test\t2\r\n[END_MEMBERS]\r\n"),
            std::string::npos);
  EXPECT_TRUE(platform::FileExists(home / "MAILIN/news/MEMBERS.BAK"));
}

// The same answers from a scan and from the index.
class LookupTest : public ::testing::TestWithParam<bool> {
 protected:
  void Add(const char* name, std::vector<const char*> aliases) {
    CAccount a;
    a.name = name;
    for (const char* alias : aliases) a.AddAlias(alias);
    table.Accounts().push_back(a);
  }
  std::string Who(const std::string& local, const std::string& domain) {
    if (GetParam()) table.BuildIndex();
    std::string who;
    return table.LookupLocal(local, domain, &who) ? who : "-";
  }
  CAccountTable table;
};

TEST_P(LookupTest, ExactBeatsWildcardAndOtherAccountsBeatDefault) {
  Add("x", {"*@catch.test", "sales*@shop.test", "*Team*@shop.test"});
  Add("$default", {"*@catch.test", "boss@catch.test", "*@only-default.test"});
  Add("alice", {"alice@example.test", "ally"});
  Add("Alice", {"second@example.test"});  // a later account of the same name is never found
  EXPECT_EQ(Who("someone", "catch.test"), "x");  // another account's wildcard beats $default's
  EXPECT_EQ(Who("boss", "catch.test"), "$default");  // an exact alias on $default beats x's wildcard
  EXPECT_EQ(Who("BOSS", "Catch.Test"), "$default");
  EXPECT_EQ(Who("anyone", "only-default.test"), "$default");
  EXPECT_EQ(Who("SALES-eu", "shop.test"), "x");
  EXPECT_EQ(Who("the-Team-a", "shop.test"), "x");
  EXPECT_EQ(Who("the-team-a", "shop.test"), "-");  // "*x*" compares with case
  EXPECT_EQ(Who("support", "shop.test"), "-");
  EXPECT_EQ(Who("ALICE", "Example.Test"), "alice");
  EXPECT_EQ(Who("ally", ""), "alice");  // an alias without domain
  EXPECT_EQ(Who("alice", ""), "alice");  // the account name itself
  EXPECT_EQ(Who("Alice", "[uucp]"), "alice");
  EXPECT_EQ(Who("alice", "other.test"), "-");
  EXPECT_EQ(table.FindAccount("ALICE")->aliases.size(), 2u);
  table.Accounts()[0].deleted = true;
  EXPECT_EQ(Who("someone", "catch.test"), "$default");
  EXPECT_EQ(table.GetVacation("nobody"), 0);
}

INSTANTIATE_TEST_SUITE_P(ScanAndIndex, LookupTest, ::testing::Bool());

// Random accounts survive a save and a load field by field, and the previous generation of each
// flat file is kept as .bak.
TEST_F(AccountsFixture, SaveThenLoadGivesBackEveryField) {
  std::mt19937 rng(12345);
  auto word = [&](size_t maxLen) {
    std::string s;
    size_t n = 1 + rng() % maxLen;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + rng() % 26);
    return s;
  };
  auto flag = [&] { return static_cast<int>(rng() % 2); };
  CAccountTable table;
  for (int i = 0; i < 40; ++i) {
    CAccount a;
    a.name = word(10) + std::to_string(i);
    a.password = word(16).substr(0, 16);
    a.vacation = flag();
    a.autoCopy = flag();
    a.autoForward = a.autoCopy ? 0 : flag();
    a.forwardAddresses = (a.autoCopy || a.autoForward) ? word(8) + "@fwd.test" : "";
    a.autoReply = flag();
    a.autoReplyFile = a.autoReply ? word(8) + ".txt" : "";
    a.isList = flag();
    a.isGate = a.isList ? 0 : flag();
    a.maxBoxSize = static_cast<int>(rng() % 100000);
    a.maxMsgSize = static_cast<int>(rng() % 1000);
    a.maxMsgNmbr = static_cast<int>(rng() % 500);
    a.msgSize = static_cast<int>(rng() % 1000);
    a.boxSize = static_cast<int>(rng() % 1000);
    a.msgNmbr = static_cast<int>(rng() % 1000);
    a.kaldorIn = static_cast<int>(rng() % 3) - 1;
    a.webUsage = flag();
    a.webABook = flag();
    a.pop3Client = flag();
    a.moderator = a.isList ? word(6) + "@example.test" : "";
    a.moderated = a.isList ? flag() : 0;
    a.discard = flag();
    a.readOnly = flag();
    a.listSubsCmd = static_cast<int>(rng() % 4);
    a.listSubsConf = static_cast<int>(rng() % 4);
    a.listAddress = a.isList ? a.name + "@example.test" : "";
    a.docsPath = a.isList ? "/docs/" + word(5) : "";
    a.hasFiles = flag();
    a.publicFiles = flag();
    a.displayName = flag() ? word(12) : "";
    a.addressText = flag() ? word(12) : "";
    for (int k = 0, n = static_cast<int>(rng() % 4); k < n; ++k) {
      a.AddAlias((k == 2 ? "*" : word(8)) + "@" + word(6) + ".test", flag() ? word(10) : "");
    }
    if (a.isList) {
      for (int k = 0, n = static_cast<int>(rng() % 4); k < n; ++k) {
        a.members.push_back({flag() ? word(6) : "", word(6) + "@m.test", static_cast<int>(rng() % 3)});
      }
    }
    a.type = a.DerivedType();
    table.Accounts().push_back(a);
  }
  CAccount def;
  def.name = kDefaultAccount;
  table.Accounts().push_back(def);

  ASSERT_EQ(files.Save(table, true), 0);
  std::string firstGeneration = Read(home / "mailbox.cfg");
  table.Accounts()[0].vacation = !table.Accounts()[0].vacation;
  bool notified = false;
  files.OnSaved([&] { notified = true; });
  ASSERT_EQ(files.Save(table, false), 0);
  EXPECT_TRUE(notified);
  EXPECT_EQ(Read(home / "mailbox.bak"), firstGeneration);
  EXPECT_TRUE(platform::FileExists(home / "aliases.bak"));

  CAccountTable loaded;
  ASSERT_EQ(files.Load(&loaded), 0);
  ASSERT_EQ(loaded.Accounts().size(), table.Accounts().size());
  for (size_t i = 0; i < table.Accounts().size(); ++i) {
    const CAccount& w = table.Accounts()[i];
    const CAccount& g = loaded.Accounts()[i];
    SCOPED_TRACE(w.name);
    EXPECT_EQ(g.name, w.name);
    EXPECT_EQ(g.password, w.password);
    EXPECT_EQ(g.vacation, w.vacation);
    EXPECT_EQ(g.autoCopy, w.autoCopy);
    EXPECT_EQ(g.autoForward, w.autoForward);
    EXPECT_EQ(g.forwardAddresses, w.forwardAddresses);
    EXPECT_EQ(g.autoReply, w.autoReply);
    EXPECT_EQ(g.autoReplyFile, w.autoReplyFile);
    EXPECT_EQ(g.isList, w.isList);
    EXPECT_EQ(g.isGate, w.isGate);
    EXPECT_EQ(g.type, w.type);
    EXPECT_EQ(g.maxBoxSize, w.maxBoxSize);
    EXPECT_EQ(g.maxMsgSize, w.maxMsgSize);
    EXPECT_EQ(g.maxMsgNmbr, w.maxMsgNmbr);
    EXPECT_EQ(g.msgSize, w.msgSize);
    EXPECT_EQ(g.boxSize, w.boxSize);
    EXPECT_EQ(g.msgNmbr, w.msgNmbr);
    EXPECT_EQ(g.kaldorIn, w.kaldorIn);
    EXPECT_EQ(g.webUsage, w.webUsage);
    EXPECT_EQ(g.webABook, w.webABook);
    EXPECT_EQ(g.pop3Client, w.pop3Client);
    EXPECT_EQ(g.moderator, w.moderator);
    EXPECT_EQ(g.moderated, w.moderated);
    EXPECT_EQ(g.discard, w.discard);
    EXPECT_EQ(g.readOnly, w.readOnly);
    EXPECT_EQ(g.listSubsCmd, w.listSubsCmd);
    EXPECT_EQ(g.listSubsConf, w.listSubsConf);
    EXPECT_EQ(g.listAddress, w.listAddress);
    EXPECT_EQ(g.docsPath, w.docsPath);
    EXPECT_EQ(g.hasFiles, w.hasFiles);
    EXPECT_EQ(g.publicFiles, w.publicFiles);
    EXPECT_EQ(g.displayName, w.displayName);
    EXPECT_EQ(g.addressText, w.addressText);
    ASSERT_EQ(g.aliases.size(), w.aliases.size());
    for (size_t k = 0; k < w.aliases.size(); ++k) {
      EXPECT_EQ(g.aliases[k].local, w.aliases[k].local);
      EXPECT_EQ(g.aliases[k].domain, w.aliases[k].domain);
      EXPECT_EQ(g.aliases[k].comment, w.aliases[k].comment);
    }
    ASSERT_EQ(g.members.size(), w.members.size());
    for (size_t k = 0; k < w.members.size(); ++k) {
      EXPECT_EQ(g.members[k].name, w.members[k].name);
      EXPECT_EQ(g.members[k].address, w.members[k].address);
      EXPECT_EQ(g.members[k].state, w.members[k].state);
    }
  }
}

TEST_F(AccountsFixture, PlainPasswordIsScrambledAtTheNextSave) {
  Write("mailbox.cfg", "alice:*:0\r\n");
  Write("MAILIN/alice/MAILBOX.INI", "[SETUP]\r\nversion=2\r\nname=Alice\r\nPassword=hunter2\r\n");
  Write("MAILIN/alice/MEMBERS.INI", "[ALIAS]\r\nn=0\r\n[END_ALIAS]\r\n");
  CAccountTable table;
  ASSERT_EQ(files.Load(&table), 0);
  EXPECT_EQ(table.FindAccount("alice")->password, "hunter2");
  ASSERT_EQ(files.Save(table, true), 0);
  std::string ini = Read(home / "MAILIN/alice/MAILBOX.INI");
  EXPECT_EQ(ini.find("Password="), std::string::npos);
  EXPECT_EQ(ini.find("hunter2"), std::string::npos);
  EXPECT_NE(ini.find("pwd=2"), std::string::npos);
}

TEST_F(AccountsFixture, ARefusedLockLeavesTheTableAsItWas) {
  Write("mailbox.cfg", "alice:*:0\r\n");
  platform::CLockFile held;
  ASSERT_EQ(held.TryAcquire(home / "USER.LCK"), platform::LockAttempt::kHeld);
  files.SetLockRetryForTest(1, 1);
  CAccountTable table;
  table.Accounts().push_back(CAccount{});
  EXPECT_EQ(files.Load(&table), -1);
  EXPECT_EQ(table.Accounts().size(), 1u);
  EXPECT_EQ(files.Save(table, true), -1);
}

}  // namespace
}  // namespace store
