#include "core/logger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

#include "core/log_set.h"
#include "core/message_sink.h"
#include "core/settings.h"
#include "core/tests/fakes.h"
#include "testing/temp_dir.h"

namespace core {
namespace {

using testing_support::CTempDir;

TEST(LoggerTest, LinesAreStampedAppendedAndFilteredByLevel) {
  CTempDir dir;
  CLogger log(dir / "smtpcon.log");
  EXPECT_EQ(log.Write("first"), 1);
  EXPECT_EQ(log.WriteF("second %d", 2), 1);
  EXPECT_EQ(log.Write(0, "below the threshold"), 0);
  std::string text = ReadText(dir / "smtpcon.log");
  EXPECT_TRUE(std::regex_match(
      text, std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d: first\r\n)"
                       R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d: second 2\r\n)")))
      << text;
  EXPECT_EQ(log.Size(), static_cast<int64_t>(text.size()));
  EXPECT_EQ(log.Clear(), 0);
  EXPECT_EQ(log.Size(), 0);

  CLogger plain(dir / "plain.log", /*timestamp=*/0);
  EXPECT_EQ(plain.Write("x"), 1);
  EXPECT_EQ(ReadText(dir / "plain.log"), "x\r\n");
  CLogger nowhere(dir / "missing/dir.log");
  EXPECT_EQ(nowhere.Write("lost"), 0);
}

// Lines go to the log as path resolution finds it: the spelling as configured when that file
// exists, else an existing one in another case, else a new one as configured.
TEST(LoggerTest, LinesGoToTheLogUnderTheSpellingThatExists) {
  CTempDir dir;
  CLogger log(dir.path() + "\\smtpcon.log");  // a separator as a settings file may write it
  ASSERT_EQ(platform::WriteFileAtomic(dir / "SMTPCON.LOG", "", false), 0);
  EXPECT_EQ(log.Write("to the upper-case file"), 1);
  EXPECT_NE(ReadText(dir / "SMTPCON.LOG").find("to the upper-case file"), std::string::npos);
  EXPECT_FALSE(platform::FileExists(dir / "smtpcon.log"));
  EXPECT_EQ(log.Size(), platform::FileSize(dir / "SMTPCON.LOG"));
  // Both spellings: the exact one wins.
  ASSERT_EQ(platform::WriteFileAtomic(dir / "smtpcon.log", "", false), 0);
  EXPECT_EQ(log.Write("to the exact file"), 1);
  EXPECT_NE(ReadText(dir / "smtpcon.log").find("to the exact file"), std::string::npos);
  EXPECT_EQ(ReadText(dir / "SMTPCON.LOG").find("to the exact file"), std::string::npos);
  EXPECT_EQ(log.Size(), platform::FileSize(dir / "smtpcon.log"));
  // Removed: the other spelling is found again; both removed: made as configured.
  ASSERT_EQ(platform::RemoveFile(dir / "smtpcon.log"), 0);
  EXPECT_EQ(log.Write("back to upper case"), 1);
  EXPECT_NE(ReadText(dir / "SMTPCON.LOG").find("back to upper case"), std::string::npos);
  ASSERT_EQ(platform::RemoveFile(dir / "SMTPCON.LOG"), 0);
  EXPECT_EQ(log.Write("new"), 1);
  EXPECT_NE(ReadText(dir / "smtpcon.log").find("new"), std::string::npos);
  EXPECT_FALSE(platform::FileExists(dir / "SMTPCON.LOG"));
}

TEST(LoggerTest, AWriterHeldOffForOverASecondDropsItsLine) {
  CTempDir dir;
  CLogger log(dir / "busy.log");
  log.LockForTest().Lock();
  auto start = std::chrono::steady_clock::now();
  int written = 1;
  std::thread writer([&] { written = log.Write("dropped"); });
  writer.join();
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(written, 0);
  EXPECT_GE(waited, std::chrono::milliseconds(990));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  log.LockForTest().Unlock();
  EXPECT_EQ(ReadText(dir / "busy.log"), "");
}

TEST(LoggerTest, ConcurrentWritersKeepLinesWhole) {
  CTempDir dir;
  CLogger log(dir / "many.log");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) log.WriteF("thread %d line %03d end", t, i);
    });
  }
  for (auto& th : threads) th.join();
  std::string text = ReadText(dir / "many.log");
  std::regex line(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d: thread \d line \d\d\d end)");
  size_t count = 0, pos = 0, nl;
  while ((nl = text.find("\r\n", pos)) != std::string::npos) {
    EXPECT_TRUE(std::regex_match(text.substr(pos, nl - pos), line));
    pos = nl + 2;
    ++count;
  }
  EXPECT_EQ(count, 800u);
}

TEST(MessageSinkTest, WithoutOperatorMessagesAreTaggedLinesAndQuestionsGetFixedAnswers) {
  CTempDir dir;
  CMessageSink sink(dir / "message.log", nullptr);
  sink.SetOperator(true);  // no channel: there is still no operator
  EXPECT_FALSE(sink.HasOperator());
  sink.Information("started");
  sink.Warning("careful");
  sink.Error("broken");
  sink.ErrorAlways("always");
  std::string text = ReadText(dir / "message.log");
  EXPECT_TRUE(std::regex_match(text, std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d    OK: started\r\n)"
                                                R"(.{17}  STOP: careful\r\n)"
                                                R"(.{17} ERROR: broken\r\n)"
                                                R"(.{17} ERROR: always\r\n)")))
      << text;
  EXPECT_EQ(sink.Ask(QuestionKind::kOkCancel, "q"), kAnswerOk);
  EXPECT_EQ(sink.Ask(QuestionKind::kYesNoCancel, "q"), kAnswerYes);
  EXPECT_EQ(sink.Ask(QuestionKind::kYesNoDefaultYes, "q"), kAnswerYes);
  EXPECT_EQ(sink.Ask(QuestionKind::kYesNoDefaultNo, "q"), kAnswerNo);
  sink.EmptyMessageLog();
  EXPECT_EQ(ReadText(dir / "message.log"), "");
}

TEST(MessageSinkTest, WithOperatorMessagesAreShownAndOnlyErrorAlwaysIsLogged) {
  CTempDir dir;
  std::vector<std::string> shown;
  std::deque<int> answers = {kAnswerYes};
  CMessageSink sink(dir / "message.log",
                    std::make_unique<CScriptedOperator>(&shown, &answers));
  sink.SetOperator(true);
  sink.Information("hello");
  sink.ErrorAlways("disk full");
  EXPECT_EQ(sink.Ask(QuestionKind::kYesNoDefaultNo, "remove?"), kAnswerYes);
  EXPECT_EQ(shown, (std::vector<std::string>{"hello", "disk full", "remove?"}));
  std::string text = ReadText(dir / "message.log");
  EXPECT_NE(text.find("ERROR: disk full\r\n"), std::string::npos);
  EXPECT_EQ(text.find("hello"), std::string::npos);
}

TEST(LogSetTest, SwitchesDecideAndTheSizeWatchWarnsOnceUntilALogIsCleared) {
  CTempDir dir;
  CMessageSink sink(dir / "message.log", nullptr);
  CSettings settings(sink, nullptr);
  settings.SetHome(dir.path());
  ASSERT_EQ(platform::MakeDirectory(dir / "COMMAND"), 0);
  SettingsValues& v = settings.MutableValues();
  v.smtp.domain = "example.test";
  v.smtp.postmaster = "master@example.test";
  v.smtp.logMaxSize = 1;  // kilobytes
  v.smtp.lowSmtpLog = 0;
  settings.Publish();
  CLogSet logs(settings);
  logs.SetHome(dir.path());

  EXPECT_EQ(logs.Write(LogId::kSmtpLow, "off by default"), 0);
  EXPECT_FALSE(platform::FileExists(dir / "smtplow.log"));
  EXPECT_EQ(logs.Write(LogId::kError, "always"), 1);
  EXPECT_EQ(logs.Write(LogId::kCommand, "command log is off"), 0);

  std::vector<std::string> mails;
  auto queue = [&](const std::string& to, const std::string& from, const std::string& subject,
                   const std::string& body) {
    mails.push_back(to + "|" + from + "|" + subject + "|" + body);
    return 0;
  };
  EXPECT_EQ(logs.CheckSizes(nullptr, queue), 0);  // nothing is large yet
  std::string big(600, 'x');
  logs.Write(LogId::kPopCon, big);
  logs.Write(LogId::kPopCon, big);  // 1.2 KB counts as 1: not over a limit of 1
  EXPECT_EQ(logs.SizeKb(LogId::kPopCon), 1);
  EXPECT_EQ(logs.CheckSizes(nullptr, queue), 0);
  for (int i = 0; i < 2; ++i) logs.Write(LogId::kPopCon, big);  // 2.5 KB: over
  for (int i = 0; i < 4; ++i) logs.Write(LogId::kSmtpCon, big);  // a second oversize log
  EXPECT_EQ(logs.CheckSizes(nullptr, queue), 1);
  EXPECT_EQ(logs.CheckSizes(nullptr, queue), 0);
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_EQ(mails[0],
            "master@example.test|master@example.test|[Mail Server]. Warning!|Warning from "
            "<master@example.test>\r\n\r\nAt least one Mail Server log-file became larger than 1 "
            "Kbytes!\r\n\r\nRegards.\r\n");
  EXPECT_EQ(logs.Clear(LogId::kPopCon), 0);
  EXPECT_EQ(logs.CheckSizes(nullptr, queue), 1);  // re-armed; smtpcon.log is still large

  // LogMaxSize 0 disables the watch; the UUCP gateway's logs count too.
  logs.Clear(LogId::kSmtpCon);
  EXPECT_EQ(logs.CheckSizes([](long) { return true; }, queue), 1);
  settings.MutableValues().smtp.logMaxSize = 0;
  settings.Publish();
  logs.RearmSizeWatch();
  EXPECT_EQ(logs.CheckSizes([](long) { return true; }, queue), 0);
}

// The console that clears a log is a process of its own, with a log set of its own: the server's
// watch learns of the clear from the file, when the log is written again or when the watch runs.
TEST(LogSetTest, AClearByAnotherProcessReArmsTheServersSizeWatch) {
  CTempDir dir;
  CMessageSink sink(dir / "message.log", nullptr);
  CSettings settings(sink, nullptr);
  settings.SetHome(dir.path());
  settings.MutableValues().smtp.postmaster = "master@example.test";
  settings.MutableValues().smtp.logMaxSize = 1;
  settings.Publish();
  CLogSet server(settings), console(settings);
  server.SetHome(dir.path());
  console.SetHome(dir.path());
  int mails = 0;
  auto queue = [&](const std::string&, const std::string&, const std::string&, const std::string&) {
    return ++mails, 0;
  };
  std::string big(600, 'x');
  auto overflow = [&](LogId id) {
    for (int i = 0; i < 4; ++i) server.Write(id, big);
  };

  // Cleared, then written again: the write sees the shorter file.
  overflow(LogId::kSmtpCon);
  EXPECT_EQ(server.CheckSizes(nullptr, queue), 1);
  ASSERT_EQ(console.Clear(LogId::kSmtpCon), 0);
  server.Write(LogId::kSmtpCon, "after the clear");
  EXPECT_EQ(server.SizeKb(LogId::kSmtpCon), 0);
  EXPECT_EQ(server.CheckSizes(nullptr, queue), 0);  // nothing is over now
  overflow(LogId::kSmtpCon);
  EXPECT_EQ(server.CheckSizes(nullptr, queue), 1);  // the next overflow warns again
  EXPECT_EQ(server.CheckSizes(nullptr, queue), 0);

  // Another log cleared and not written since: the watch notices it when it runs, and warns
  // again for the log that is still over.
  server.Write(LogId::kPopCon, "a short log");
  ASSERT_EQ(console.Clear(LogId::kPopCon), 0);
  EXPECT_EQ(server.CheckSizes(nullptr, queue), 1);
  EXPECT_EQ(mails, 3);

  // Growth by another writer is not taken from the file: only what this process writes counts.
  server.Logger(LogId::kDns).Write(big + big + big);  // written past the set: not recorded
  server.Clear(LogId::kSmtpCon);
  EXPECT_EQ(server.CheckSizes(nullptr, queue), 0);
  EXPECT_EQ(mails, 3);
}

}  // namespace
}  // namespace core
