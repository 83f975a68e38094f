#include "core/tick.h"

#include <gtest/gtest.h>

#include "core/backup.h"
#include "core/tests/fakes.h"
#include "testing/temp_dir.h"

namespace core {
namespace {

using testing_support::CTempDir;

struct TickFixture : ::testing::Test {
  TickFixture() : sink(dir / "message.log", nullptr), settings(sink, nullptr) {
    settings.SetHome(dir.path());
    v().schedule.frequency = 0;  // keep the outbound job out of the way unless a test wants it
    v().schedule.useFreq = 0;
  }
  SettingsValues& v() { return settings.MutableValues(); }
  // Runs `n` ticks and returns how often `job` ran during them.
  int Ticks(long n, const std::string& job) {
    int before = jobs.Count(job);
    for (long i = 0; i < n; ++i) tick.Run(flags, stopping);
    return jobs.Count(job) - before;
  }
  CTempDir dir;
  CMessageSink sink;
  CSettings settings;
  CRecordingJobs jobs;
  CDeliverySchedule schedule;
  int backups = 0;
  std::tm now{};
  CTick tick{settings, jobs, schedule, [this] { ++backups; }, [this] { return now; }};
  TickFlags flags;
  bool stopping = false;
};

TEST_F(TickFixture, DistributionPeriodFollowsItsUnit) {
  v().smtp.deliveryDelay = 10;
  v().smtp.deliveryDelayUnit = 0;
  // First distribution after one period (the counter starts at 1 and is raised to 2).
  EXPECT_EQ(Ticks(97, "distribution"), 0);
  EXPECT_EQ(Ticks(1, "distribution"), 0);
  EXPECT_EQ(Ticks(1, "distribution"), 1);  // tick 99
  EXPECT_EQ(Ticks(1000, "distribution"), 10);  // then every 100 ticks
  v().smtp.deliveryDelayUnit = 1;  // minutes
  EXPECT_EQ(Ticks(6000, "distribution"), 1);
  EXPECT_EQ(Ticks(12000, "distribution"), 2);
}

TEST_F(TickFixture, CommandsRunEveryDelayWithZeroTakenAsTenOrAtOnceWhenPending) {
  v().command.delay = 30;
  EXPECT_EQ(Ticks(1, "commands"), 1);  // due on the first tick
  EXPECT_EQ(Ticks(300, "commands"), 1);
  v().command.delay = 0;
  EXPECT_EQ(Ticks(1, "commands"), 0);
  EXPECT_EQ(settings.Values().command.delay, 10);  // kept in memory as 10
  EXPECT_EQ(Ticks(100, "commands"), 1);
  flags.commandPending = true;
  EXPECT_EQ(Ticks(1, "commands"), 1);
  EXPECT_FALSE(flags.commandPending);
}

TEST_F(TickFixture, Pop3CollectionOnlyWithANonZeroPeriod) {
  v().smtp.pop3CliDelay = 0;
  v().smtp.pop3UsrDelay = 2;
  EXPECT_EQ(Ticks(1, "pop3-users"), 1);  // due on the first tick
  EXPECT_EQ(Ticks(1200, "pop3-users"), 1);
  EXPECT_EQ(Ticks(20000, "pop3"), 0);  // 0 never collects, whatever its counter
}

TEST_F(TickFixture, BackupsComeOneHourAfterStartThenEveryPeriod) {
  v().smtp.bakDelay = 2;
  for (int i = 0; i < 35999; ++i) tick.Run(flags, stopping);
  EXPECT_EQ(backups, 0);
  tick.Run(flags, stopping);
  EXPECT_EQ(backups, 1);  // one hour after start
  for (int i = 0; i < 72000; ++i) tick.Run(flags, stopping);
  EXPECT_EQ(backups, 2);  // then every two hours
}

TEST_F(TickFixture, OutboundBySendNowFrequencyOrSchedule) {
  v().schedule.useFreq = 1;
  v().schedule.frequency = 1;
  EXPECT_EQ(Ticks(1, "outbound"), 1);  // due on the first tick
  EXPECT_EQ(Ticks(599, "outbound"), 0);
  EXPECT_EQ(Ticks(1, "outbound"), 1);
  flags.sendNow = true;
  EXPECT_EQ(Ticks(1, "outbound"), 1);
  EXPECT_FALSE(flags.sendNow);

  v().schedule.useFreq = 0;
  v().schedule.times = {600};
  now.tm_hour = 9;
  now.tm_mday = 7;
  now.tm_wday = 1;
  schedule.Init(v().schedule.times, now);
  EXPECT_EQ(Ticks(10, "outbound"), 0);
  now.tm_hour = 10;
  EXPECT_EQ(Ticks(10, "outbound"), 1);
}

TEST_F(TickFixture, StoppingRunsNoJobAndUucpCompletionDistributes) {
  v().smtp.enableUucp = 1;
  jobs.uucpCompleted = true;
  stopping = true;
  Ticks(1000, "");
  EXPECT_TRUE(jobs.ran.empty());
  stopping = false;
  EXPECT_EQ(Ticks(1, "uucp-poll"), 1);
  // The completed exchange is distributed at once, right after the poll.
  ASSERT_GE(jobs.ran.size(), 2u);
  EXPECT_EQ(jobs.ran[jobs.ran.size() - 2], "uucp-poll");
  EXPECT_EQ(jobs.ran.back(), "distribution");
}

TEST_F(TickFixture, BackupNumbersRotateUpToBakaddno) {
  v().smtp.bakCmd = "backup.sh";
  v().smtp.bakAddNo = 3;
  v().smtp.bakNo = 0;
  std::vector<std::string> lines;
  auto launch = [&](const std::string& line) {
    lines.push_back(line);
    return 0;
  };
  for (int i = 0; i < 6; ++i) ASSERT_EQ(RunBackupJob(settings, sink, launch), 0);
  EXPECT_EQ(lines, (std::vector<std::string>{"backup.sh 0", "backup.sh 1", "backup.sh 2",
                                             "backup.sh 3", "backup.sh 1", "backup.sh 2"}));
  EXPECT_EQ(ReadText(dir / "NEXUM2.INI"), "[SMTP]\r\nbakno=3\r\n");

  v().smtp.bakAddNo = 0;
  lines.clear();
  ASSERT_EQ(RunBackupJob(settings, sink, launch), 0);
  EXPECT_EQ(lines, (std::vector<std::string>{"backup.sh"}));
  EXPECT_EQ(RunBackupJob(settings, sink, [](const std::string&) { return -1; }), -1);
  EXPECT_NE(ReadText(dir / "message.log").find("ERROR: Cannot execute the backup command\n\nbackup.sh"),
            std::string::npos);
}

}  // namespace
}  // namespace core
