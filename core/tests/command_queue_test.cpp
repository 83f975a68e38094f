#include "core/command_queue.h"

#include <gtest/gtest.h>

#include <functional>

#include "core/tests/fakes.h"
#include "platform/fs.h"
#include "platform/lock_file.h"
#include "testing/temp_dir.h"

namespace core {
namespace {

using testing_support::CTempDir;
using testing_support::Read;

// Records what the commands asked of the other modules.
struct CFakeOwners : ICommandOwners {
  bool AccountExists(const std::string& name) override { return name == "known"; }
  int ReloadAccounts() override {
    calls.push_back("reload");
    return 0;
  }
  int ListAccounts(std::vector<AccountListing>* out) override {
    calls.push_back("list");
    if (duringList) duringList();
    *out = accounts;
    return listResult;
  }
  int AddAccount(const std::string& name, const std::string& password,
                 const std::vector<std::string>& addresses) override {
    std::string call = "add " + name + " " + password;
    for (const auto& a : addresses) call += " " + a;
    calls.push_back(call);
    return name == "known" ? kCommandAccountExists : 0;
  }
  int SetPassword(const std::string& name, const std::string& password) override {
    calls.push_back("password " + name + " " + password);
    return name == "known" ? 0 : -1;
  }
  int DeleteAccount(const std::string& name) override {
    calls.push_back("delete " + name);
    return 0;
  }
  int QueueText(const std::string& to, const std::string& from, const std::string& subject,
                const std::string& text) override {
    calls.push_back("text " + to + "|" + from + "|" + subject + "|" + text);
    return 0;
  }
  int QueueFile(const std::string& file, const std::string& name, const std::string& to,
                const std::string& from, const std::string& subject, CommandEncoding encoding,
                const std::string& receiptTo, const std::string& text) override {
    calls.push_back("file " + file + "|" + name + "|" + to + "|" + from + "|" + subject + "|" +
                    std::to_string(static_cast<int>(encoding)) + "|" + receiptTo + "|" + text);
    return 0;
  }
  int Subscribe(const std::string& list, const std::string& address,
                const std::string& name) override {
    calls.push_back("subscribe " + list + "|" + address + "|" + name);
    return list == "known" ? 0 : -1;
  }
  int Unsubscribe(const std::string& list, const std::string& address) override {
    calls.push_back("unsubscribe " + list + "|" + address);
    return list == "known" ? 0 : -1;
  }
  void CollectPop3Account(const std::string& account) override {
    calls.push_back("collect " + account);
  }
  std::vector<std::string> calls;
  std::vector<AccountListing> accounts;
  int listResult = 0;
  std::function<void()> duringList;
};

struct CommandQueueFixture : ::testing::Test {
  CommandQueueFixture() : sink(dir / "message.log", nullptr), settings(sink, nullptr) {
    settings.SetHome(dir.path());
    (void)platform::MakeDirectory(settings.Paths().command);
    settings.MutableValues().smtp.domain = "example.org";
    settings.MutableValues().smtp.daemon = "MAILER-DAEMON@example.org";
    settings.MutableValues().command.logging = 1;
    settings.MutableValues().command.emailFeedback = 0;
  }
  std::string File(const char* name) { return settings.Paths().command + "/" + name; }
  void Queue(const std::string& text) {
    ASSERT_EQ(platform::AppendToFile(File("COMMAND.TXT"), text), 0);
  }
  int Line(const std::string& line) { return queue.Execute(ParseQueueLine(line).tokens); }
  std::string Log() { return Read(File("COMMAND.LOG")); }

  CTempDir dir;
  CMessageSink sink;
  CSettings settings;
  CRecordingJobs jobs;
  CFakeOwners owners;
  CSessionCounters counters;
  CCommandQueue queue{{settings, sink, jobs, owners, counters, false}};
};

TEST_F(CommandQueueFixture, BatchIsRenamedRunAndKeptUntilTheNextRun) {
  EXPECT_EQ(queue.Run(), 1);  // nothing queued
  Queue("deluser a\r\n# a note\r\n\r\nbogus x\r\ndeluser b\n");
  EXPECT_EQ(queue.Run(), 0);
  EXPECT_FALSE(platform::FileExists(File("COMMAND.TXT")));
  EXPECT_EQ(Read(File("COMMAND.CMD")), "deluser a\r\n# a note\r\n\r\nbogus x\r\ndeluser b\n");
  // Comments and empty lines are counted but not logged.
  EXPECT_EQ(Log(), "1:\tdeluser a\r\n4:ERR-99\tbogus x\r\n5:\tdeluser b\r\n");
  EXPECT_EQ(owners.calls, (std::vector<std::string>{"delete a", "delete b"}));
  // The next batch replaces the old COMMAND.CMD; its numbers start at 1 again.
  Queue("deluser c");  // no line end at the end of the file
  EXPECT_EQ(queue.Run(), 0);
  EXPECT_EQ(Read(File("COMMAND.CMD")), "deluser c");
  EXPECT_NE(Log().find("\r\n1:\tdeluser c\r\n"), std::string::npos);
}

TEST_F(CommandQueueFixture, EndStopsTheBatchAndLinesAfterItAreNotRun) {
  Queue("deluser a\r\n  end \r\ndeluser b\r\n");
  EXPECT_EQ(queue.Run(), 0);
  EXPECT_EQ(owners.calls, (std::vector<std::string>{"delete a"}));
  EXPECT_EQ(Log(), "1:\tdeluser a\r\n");
  // They are lost with COMMAND.CMD at the next run.
  Queue("deluser c\r\n");
  EXPECT_EQ(queue.Run(), 0);
  EXPECT_EQ(owners.calls, (std::vector<std::string>{"delete a", "delete c"}));
}

TEST_F(CommandQueueFixture, OverlongAndNulLinesAreRefusedWholeAndTheBatchGoesOn) {
  std::string atLimit = "logmessage " + std::string(kCommandLineMax - 11, 'x');
  std::string over = "deluser " + std::string(5000, 'y');
  Queue(atLimit + "\r\n" + atLimit + "x\r\n" + over + "\r\n" + std::string("deluser a\0b", 11) +
        "\r\ndeluser c\r\n");
  EXPECT_EQ(queue.Run(), 0);
  // The 5,000 characters are one refused line, not five commands.
  EXPECT_EQ(owners.calls, (std::vector<std::string>{"delete c"}));
  std::string log = Log();
  EXPECT_NE(log.find("\r\n2:ERR-99\t" + atLimit + "...\r\n"), std::string::npos);
  EXPECT_NE(log.find("\r\n3:ERR-99\tdeluser yyy"), std::string::npos);
  EXPECT_NE(log.find("\r\n4:ERR-99\tdeluser a\\x00b\r\n5:\tdeluser c\r\n"), std::string::npos);
  EXPECT_EQ(log.find("6:"), std::string::npos);
  // Line 1 ran: its text and its log entry.
  EXPECT_EQ(log.compare(0, atLimit.size() - 11, std::string(kCommandLineMax - 11, 'x')), 0);
}

TEST_F(CommandQueueFixture, LoggingOffWritesNoEntriesAndControlBytesAreShownEscaped) {
  settings.MutableValues().command.logging = 0;
  Queue("deluser a\r\n");
  EXPECT_EQ(queue.Run(), 0);
  EXPECT_FALSE(platform::FileExists(File("COMMAND.LOG")));
  settings.MutableValues().command.logging = 1;
  Queue("bogus a\rb\r\n");  // a CR inside the line must not start a log line
  EXPECT_EQ(queue.Run(), 0);
  EXPECT_EQ(Log(), "1:ERR-99\tbogus a\\x0Db\r\n");
}

TEST_F(CommandQueueFixture, TokenCountsAreExactUnlessAtLeast) {
  struct Case {
    const char* name;
    size_t tokens;
    bool atLeast;
  };
  // Commands whose run at the right count is harmless here.
  const Case cases[] = {
      {"StartAllGates", 1, false}, {"StopAllGates", 1, false}, {"StartGate", 2, false},
      {"StopGate", 2, false},      {"LoadAlias", 2, false},    {"LoadUser", 2, false},
      {"LoadPassword", 2, false},  {"GetPop3Mail", 2, false},  {"Backup", 1, false},
      {"LoadCommand", 1, false},   {"LoadDNS", 1, false},      {"listuser", 1, true},
      {"listmailbox", 1, false},   {"adduser", 3, true},       {"password", 3, false},
      {"deluser", 2, false},       {"eraselogfile", 1, false}, {"emailfeedback", 2, false},
      {"adminaddress", 2, false},  {"setlogging", 2, false},   {"readinifile", 1, false},
      {"saveinifile", 1, false},   {"subscribe", 4, false},    {"unsubscribe", 3, false},
      {"sendmessage", 5, false},   {"logdatetime", 1, true},   {"logmessage", 2, false},
      {"StartService", 2, false},  {"StopService", 2, false},  {"sendfile", 7, true},
  };
  for (const Case& c : cases) {
    std::vector<std::string> t{c.name};
    for (size_t i = 1; i < c.tokens; ++i) t.push_back("known");
    EXPECT_NE(queue.Execute(t), kCommandUnknown) << c.name << " with " << c.tokens;
    std::vector<std::string> fewer(t.begin(), t.end() - 1);
    EXPECT_EQ(queue.Execute(fewer), kCommandUnknown) << c.name << " with one token less";
    t.push_back("known");
    if (c.atLeast) {
      EXPECT_NE(queue.Execute(t), kCommandUnknown) << c.name << " with one token more";
    } else {
      EXPECT_EQ(queue.Execute(t), kCommandUnknown) << c.name << " with one token more";
    }
  }
  EXPECT_EQ(Line("exit now"), kCommandUnknown);
  EXPECT_EQ(Line("nosuchcommand"), kCommandUnknown);
  EXPECT_EQ(Line("DELUSER Bob"), 0);  // names compared without case
  EXPECT_EQ(owners.calls.back(), "delete Bob");
}

TEST_F(CommandQueueFixture, AddUserBuildsAddressesAndRecordsExistingNames) {
  EXPECT_EQ(Line("adduser joe"), kCommandUnknown);
  EXPECT_EQ(Line("adduser joe pw"), 0);
  EXPECT_EQ(owners.calls.back(), "add joe pw joe@example.org");
  EXPECT_EQ(Line("adduser ann pw ann@other.org \"a b\" last@x.org"), 0);
  // The addresses stop at the first that cannot be one.
  EXPECT_EQ(owners.calls.back(), "add ann pw ann@example.org ann@other.org");
  EXPECT_EQ(Line("adduser known pw"), kCommandFailed);
  EXPECT_EQ(Line("adduser known pw2"), kCommandFailed);
  EXPECT_EQ(Read(File("USERLIST.ERR")), "known\r\nknown\r\n");
}

TEST_F(CommandQueueFixture, AccountNamesThatCouldLeaveTheMailboxTreeAreRefused) {
  std::vector<std::string> bad{
      "../etc", "a/b", "a\\b", "..", ".", "a..b", "a:b", std::string(16, 'n'), "\"\""};
  for (const std::string& name : bad) {
    for (const char* cmd : {"adduser %s pw", "password %s pw", "deluser %s", "LoadUser %s"}) {
      std::string line = cmd;
      line.replace(line.find("%s"), 2, name);
      EXPECT_EQ(Line(line), kCommandFailed) << line;
    }
  }
  EXPECT_EQ(queue.Execute({"deluser", std::string("a\x01")}), kCommandFailed);
  EXPECT_TRUE(owners.calls.empty());
  EXPECT_TRUE(ValidAccountName(std::string(15, 'n')));
  EXPECT_TRUE(ValidAccountName("$default"));
  EXPECT_TRUE(ValidAccountName("first.last"));
}

TEST_F(CommandQueueFixture, PasswordLengthLimitAndUnknownAccount) {
  EXPECT_EQ(Line("password known " + std::string(15, 'p')), 0);
  EXPECT_EQ(Line("password known " + std::string(16, 'p')), kCommandPasswordTooLong);
  EXPECT_EQ(Line("password nobody pw"), kCommandFailed);
  EXPECT_EQ(Line("adduser joe " + std::string(16, 'p')), kCommandPasswordTooLong);
  EXPECT_EQ(owners.calls, (std::vector<std::string>{"password known " + std::string(15, 'p'),
                                                    "password nobody pw"}));
  EXPECT_EQ(Line("deluser nobody"), 0);  // an unknown account is no error
}

TEST_F(CommandQueueFixture, AccountReloadsNeedAKnownAccount) {
  EXPECT_EQ(Line("LoadUser nobody"), kCommandFailed);
  EXPECT_EQ(Line("LoadAlias known"), 0);
  EXPECT_EQ(Line("loadpassword known"), 0);
  EXPECT_EQ(owners.calls, (std::vector<std::string>{"reload", "reload"}));
}

TEST_F(CommandQueueFixture, ListFilesAreWrittenThroughTheTemporaryName) {
  owners.accounts = {{"master", {"master@example.org", "Postmaster@example.org"}}, {"joe", {}}};
  ASSERT_EQ(platform::AppendToFile(File("USERLIST.TXT"), "old list\r\n"), 0);
  // While the list is made, the old list is still whole and the temporary file is not there.
  owners.duringList = [this] {
    EXPECT_EQ(Read(File("USERLIST.TXT")), "old list\r\n");
    EXPECT_FALSE(platform::FileExists(File("COMMAND.$$$")));
  };
  EXPECT_EQ(Line("listuser ignored-argument"), 0);
  EXPECT_EQ(Read(File("USERLIST.TXT")),
            "master\tmaster@example.org\tPostmaster@example.org\r\njoe\r\n");
  EXPECT_FALSE(platform::FileExists(File("COMMAND.$$$")));
  owners.duringList = nullptr;
  EXPECT_EQ(Line("listmailbox"), 0);
  EXPECT_EQ(Read(File("MBOXLIST.TXT")), "master\r\njoe\r\n");
}

TEST_F(CommandQueueFixture, ListFailureLeavesTheOldListWhole) {
  ASSERT_EQ(platform::AppendToFile(File("MBOXLIST.TXT"), "old\r\n"), 0);
  owners.listResult = kCommandNotAvailable;
  EXPECT_EQ(Line("listmailbox"), kCommandNotAvailable);
  owners.listResult = 0;
  owners.accounts = {{"joe", {}}};
  ASSERT_EQ(platform::MakeDirectory(File("COMMAND.$$$")), 0);  // cannot be written
  EXPECT_EQ(Line("listmailbox"), kCommandFailed);
  EXPECT_EQ(Read(File("MBOXLIST.TXT")), "old\r\n");
}

TEST_F(CommandQueueFixture, SendMessageUnescapesWrapsAndKeepsHeadersToOneLine) {
  std::string text = "Hello\x01xworld " + std::string(80, 'z') + " end";
  EXPECT_EQ(queue.Execute({"sendmessage", "to@x.org", "from@y.org", "Subj", text}), 0);
  EXPECT_EQ(owners.calls.back(),
            "text to@x.org|from@y.org|Subj|Hello\r\nworld\n" + std::string(80, 'z') + " end");
  size_t before = owners.calls.size();
  for (int field = 1; field <= 3; ++field) {
    std::vector<std::string> t{"sendmessage", "to@x.org", "from@y.org", "Subj", "t"};
    t[field] += "\r\nBcc: victim@z.org";
    EXPECT_EQ(queue.Execute(t), kCommandFailed) << field;
  }
  EXPECT_EQ(queue.Execute({"sendmessage", "", "from@y.org", "Subj", "t"}), kCommandFailed);
  EXPECT_EQ(owners.calls.size(), before);
}

TEST_F(CommandQueueFixture, SendFileEncodingsAndOptionalArguments) {
  std::string file = dir / "report.txt";
  ASSERT_EQ(platform::AppendToFile(file, "data\r\n"), 0);
  struct Case {
    const char* encoding;
    CommandEncoding expected;
  };
  const Case cases[] = {
      {"Binary", CommandEncoding::kBase64},        {"b64", CommandEncoding::kBase64},
      {"TEXT", CommandEncoding::kQuotedPrintable}, {"qp", CommandEncoding::kQuotedPrintable},
      {"Uuencode", CommandEncoding::kUuencode},    {"uuencoded", CommandEncoding::kUuencode},
      {"ascii", CommandEncoding::kAscii}};
  for (const Case& c : cases) {
    EXPECT_EQ(queue.Execute({"sendfile", file, "r.txt", "to@x", "from@y", "S", c.encoding}), 0);
    EXPECT_EQ(owners.calls.back(), "file " + file + "|r.txt|to@x|from@y|S|" +
                                       std::to_string(static_cast<int>(c.expected)) + "||");
  }
  EXPECT_EQ(queue.Execute({"sendfile", file, "r", "to@x", "f@y", "S", "B64", "rcpt@z",
                           "a\x02\x03"
                           "b"}),
            0);
  EXPECT_EQ(owners.calls.back(), "file " + file + "|r|to@x|f@y|S|0|rcpt@z|a\r\nb");
  size_t before = owners.calls.size();
  EXPECT_EQ(queue.Execute({"sendfile", file, "r", "to@x", "f@y", "S", "Base32"}), kCommandFailed);
  EXPECT_EQ(queue.Execute({"sendfile", dir / "missing", "r", "to@x", "f@y", "S", "B64"}),
            kCommandFailed);
  EXPECT_EQ(queue.Execute({"sendfile", dir.path(), "r", "to@x", "f@y", "S", "B64"}),
            kCommandFailed);
  EXPECT_EQ(queue.Execute({"sendfile", file, "r", "to@x", "f@y", "S\nX: y", "B64"}),
            kCommandFailed);
  EXPECT_EQ(queue.Execute({"sendfile", file, "r", "to@x", "f@y", "S", "B64", "r\r@z"}),
            kCommandFailed);
  EXPECT_EQ(owners.calls.size(), before);
}

TEST_F(CommandQueueFixture, FailuresAreMailedWhenFeedbackIsOn) {
  settings.MutableValues().command.adminAddress = "admin@example.org";
  Queue("bogus 1\r\ndeluser a\r\n");
  EXPECT_EQ(queue.Run(), 0);  // feedback off
  EXPECT_EQ(owners.calls, (std::vector<std::string>{"delete a"}));
  settings.MutableValues().command.emailFeedback = 1;
  Queue("bogus 2\r\ndeluser b\r\npassword known " + std::string(20, 'p') + "\r\n");
  EXPECT_EQ(queue.Run(), 0);
  EXPECT_EQ(owners.calls,
            (std::vector<std::string>{
                "delete a",
                "text admin@example.org|MAILER-DAEMON@example.org|ERROR in a Mail Server "
                "command!!!|ERR-99: bogus 2",
                "delete b",
                "text admin@example.org|MAILER-DAEMON@example.org|ERROR in a Mail Server "
                "command!!!|ERR-2: password known " +
                    std::string(20, 'p')}));
  settings.MutableValues().command.adminAddress.clear();
  Queue("bogus 3\r\n");
  EXPECT_EQ(queue.Run(), 0);
  EXPECT_EQ(owners.calls.size(), 4u);
}

TEST_F(CommandQueueFixture, SettingsCommandsChangeTheValuesInMemory) {
  EXPECT_EQ(Line("emailfeedback 1"), 0);
  EXPECT_EQ(settings.Values().command.emailFeedback, 1);
  EXPECT_EQ(Line("emailfeedback 0"), 0);
  EXPECT_EQ(settings.Values().command.emailFeedback, 0);
  EXPECT_EQ(Line("setlogging -3"), 0);
  EXPECT_EQ(settings.Values().command.logging, 0);
  EXPECT_EQ(Line("setlogging 7"), 0);
  EXPECT_EQ(settings.Values().command.logging, 1);
  EXPECT_EQ(Line("adminaddress boss@example.org"), 0);
  EXPECT_EQ(settings.Snapshot()->command.adminAddress, "boss@example.org");
  EXPECT_EQ(queue.Execute({"adminaddress", "x@y\r\nz"}), kCommandFailed);
  EXPECT_EQ(settings.Values().command.adminAddress, "boss@example.org");
  // Saved and read back through section Command.
  EXPECT_EQ(Line("saveinifile"), 0);
  settings.MutableValues().command.adminAddress = "changed";
  EXPECT_EQ(Line("readinifile"), 0);
  EXPECT_EQ(settings.Values().command.adminAddress, "boss@example.org");
}

TEST_F(CommandQueueFixture, LogCommandsAndEraseLogFile) {
  settings.MutableValues().command.logging = 0;
  EXPECT_EQ(Line("logmessage \"hello there\""), 0);
  EXPECT_EQ(Line("logdatetime"), 0);
  EXPECT_EQ(Line("logdatetime marker"), 0);
  std::string log = Log();
  EXPECT_EQ(log.compare(0, 13, "hello there\r\n"), 0);
  // "\t<dd/mm/yy HH:MM:SS>" and "\t<date>- marker".
  EXPECT_EQ(log.size(), 13u + (1 + 17 + 2) + (1 + 17 + 8 + 2)) << log;
  EXPECT_NE(log.find("- marker\r\n"), std::string::npos);
  EXPECT_EQ(Line("eraselogfile"), 0);
  EXPECT_FALSE(platform::FileExists(File("COMMAND.LOG")));
  EXPECT_EQ(Line("eraselogfile"), 0);  // nothing to erase is no failure
}

TEST_F(CommandQueueFixture, ServerJobsAndRequestsReachTheirOwners) {
  EXPECT_EQ(Line("StartAllGates"), 0);
  EXPECT_EQ(Line("StopAllGates"), 0);
  EXPECT_EQ(Line("GetPop3Mail -all"), 0);
  EXPECT_EQ(Line("GetPop3Mail ../x"), 0);  // always 0, and nothing collected for a bad name
  EXPECT_EQ(jobs.ran, (std::vector<std::string>{"start-gates", "stop-gates", "pop3"}));
  // One account's collection, and the list commands with their arguments in order.
  EXPECT_EQ(Line("GetPop3Mail alice"), 0);
  EXPECT_EQ(Line("subscribe known a@b \"Ann Lee\""), 0);
  EXPECT_EQ(Line("subscribe other a@b Name"), -1);  // the list server's result
  EXPECT_EQ(Line("unsubscribe known a@b"), 0);
  EXPECT_EQ(queue.Execute({"subscribe", "known", "a@b", "Ann\r\nBcc: x@y"}), kCommandFailed);
  EXPECT_EQ(queue.Execute({"unsubscribe", "known", "a@b\nx"}), kCommandFailed);
  EXPECT_EQ(owners.calls,
            (std::vector<std::string>{"collect alice", "subscribe known|a@b|Ann Lee",
                                      "subscribe other|a@b|Name", "unsubscribe known|a@b"}));
  // The gate daemons are not part of this program yet: "not available".
  EXPECT_EQ(Line("StartGate uucp"), kCommandNotAvailable);
  EXPECT_EQ(Line("StartService x"), kCommandFailed);  // refused in the server role
  EXPECT_FALSE(counters.backupRequested);
  EXPECT_EQ(Line("Backup"), 0);
  EXPECT_TRUE(counters.backupRequested);
  EXPECT_EQ(Line("exit"), 0);
  EXPECT_TRUE(counters.exitRequested);
}

TEST_F(CommandQueueFixture, ServiceModeWritesEachLineToMessageLog) {
  CCommandQueue service{{settings, sink, jobs, owners, counters, true}};
  Queue("# not this\r\ndeluser a\r\n");
  EXPECT_EQ(service.Run(), 0);
  std::string log = Read(dir / "message.log");
  EXPECT_NE(log.find("deluser a"), std::string::npos);
  EXPECT_EQ(log.find("not this"), std::string::npos);
}

TEST_F(CommandQueueFixture, LinesAppendedWhileABatchRunsFormTheNextBatch) {
  owners.duringList = [this] {
    ASSERT_EQ(AppendCommandLines(settings.Paths().command, {"deluser late"}), 0);
  };
  Queue("listmailbox\r\ndeluser a\r\n");
  EXPECT_EQ(queue.Run(), 0);
  EXPECT_EQ(Read(File("COMMAND.TXT")), "deluser late\r\n");
  owners.duringList = nullptr;
  EXPECT_EQ(queue.Run(), 0);
  EXPECT_EQ(owners.calls, (std::vector<std::string>{"list", "delete a", "delete late"}));
}

TEST_F(CommandQueueFixture, AHeldQueueLockOrADirectoryLeavesTheQueueAlone) {
  Queue("deluser a\r\n");
  {
    platform::CLockFile writer;
    ASSERT_EQ(writer.TryAcquire(File("COMMAND.LCK")), platform::LockAttempt::kHeld);
    EXPECT_EQ(queue.Run(), -1);
    EXPECT_TRUE(platform::FileExists(File("COMMAND.TXT")));
    EXPECT_NE(AppendCommandLines(settings.Paths().command, {"x"}, 50), 0);
  }
  EXPECT_EQ(queue.Run(), 0);
  EXPECT_EQ(owners.calls, (std::vector<std::string>{"delete a"}));

  ASSERT_EQ(platform::MakeDirectory(File("COMMAND.TXT")), 0);
  EXPECT_EQ(queue.Run(), -1);
  EXPECT_EQ(queue.Run(), -1);
  EXPECT_TRUE(platform::DirectoryExists(File("COMMAND.TXT")));
  EXPECT_EQ(Read(File("COMMAND.CMD")), "deluser a\r\n");  // the last batch is untouched
  EXPECT_NE(AppendCommandLines(settings.Paths().command, {"x"}), 0);
}

}  // namespace
}  // namespace core
